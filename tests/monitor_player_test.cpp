// The one-command form, "songrelay-monitor [options] -- songrelay [options]
// FILE": which program a bare "songrelay" is.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "monitor/player_child.h"
#include "support/monitor_output.h"
#include "support/support.h"

namespace {

// Writes an executable shell script.
void write_script(const std::string& path, const std::string& body) {
  std::string text = "#!/bin/sh\n" + body + "\n";
  write_file(path, Bytes(text.begin(), text.end()));
  chmod(path.c_str(), 0755);
}

TEST(MonitorPlayer, ABareSongrelayIsTakenFromBesideTheMonitor) {
  TempDir scratch;
  ASSERT_EQ(mkdir(scratch.file("both").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(scratch.file("lone").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(scratch.file("plain").c_str(), 0755), 0);
  for (const char* path : {"both/songrelay-monitor", "both/songrelay", "lone/songrelay-monitor"})
    write_script(scratch.file(path), "exit 0");
  // Beside this monitor, a songrelay that cannot be run.
  write_script(scratch.file("plain/songrelay-monitor"), "exit 0");
  write_file(scratch.file("plain/songrelay"), {'x'});
  struct Case {
    std::string name, monitor_path, path_list, expected;
  };
  const std::string both = scratch.file("both"), lone = scratch.file("lone");
  const std::vector<Case> cases = {
      {"songrelay", both + "/songrelay-monitor", "", both + "/songrelay"},
      {"songrelay", lone + "/songrelay-monitor", both, "songrelay"},
      {"songrelay", scratch.file("plain/songrelay-monitor"), both, "songrelay"},
      // Started by name: the monitor is where the PATH search found it.
      {"songrelay", "songrelay-monitor", "/nonexistent::" + both + ":" + lone, both + "/songrelay"},
      {"songrelay", "songrelay-monitor", lone + ":" + both, "songrelay"},
      {"songrelay", "", both, "songrelay"},
      // Any other name is the PATH search's, or a path as it stands.
      {"./songrelay", both + "/songrelay-monitor", "", "./songrelay"},
      {"songrelay-old", both + "/songrelay-monitor", "", "songrelay-old"},
      {"/usr/bin/songrelay", both + "/songrelay-monitor", "", "/usr/bin/songrelay"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name + " from " + test.monitor_path + " with PATH " + test.path_list);
    EXPECT_EQ(player_program(test.name, test.monitor_path, test.path_list.c_str()), test.expected);
  }
  EXPECT_EQ(player_program("songrelay", "songrelay-monitor", nullptr), "songrelay");
}

}  // namespace
