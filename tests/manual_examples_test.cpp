// Every example in the manual pages runs as written: the commands of a
// page's EXAMPLES section, in order, in one shell in a scratch directory that
// holds song.mid, with the built programs first on PATH. A command that ends
// in '&' starts a monitor, which the next command finds ready, as a reader
// typing the commands would.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/port_files.h"
#include "support/support.h"

namespace {

// Replaces every from in text by to.
std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The commands of the page's EXAMPLES section: its ".Dl $ " lines with the
// roff escapes they use turned back into plain text.
std::vector<std::string> example_commands(const std::string& page) {
  std::istringstream lines(read_text(std::string(SONGRELAY_SOURCE_DIR) + "/man/" + page));
  std::vector<std::string> commands;
  std::string line;
  bool in_examples = false;
  while (std::getline(lines, line)) {
    if (line.rfind(".Sh ", 0) == 0) in_examples = line == ".Sh EXAMPLES";
    if (!in_examples || line.rfind(".Dl $ ", 0) != 0) continue;
    std::string command = line.substr(6);
    for (auto [escape, plain] : {std::pair{"\\(dq", "\""}, {"\\&", ""}, {"\\-", "-"}, {"\\e", "\\"}})
      command = replace_all(command, escape, plain);
    commands.push_back(command);
  }
  return commands;
}

// A shell script that runs the commands in dir with its output in out and
// err: after a command put in the background it waits for that monitor's
// ready line; after any other it reports the command's status; at the end it
// stops the monitors and reports how each ended.
std::string example_script(const std::vector<std::string>& commands, const std::string& dir, const std::string& out,
                           const std::string& err) {
  std::string script = "cd '" + dir + "' || exit 99\nexec >'" + out + "' 2>'" + err + "'\nmonitors=\n";
  for (const std::string& command : commands) {
    // A monitor run in one command before prints a ready line too: the
    // wait is for one more.
    bool background = command.size() > 2 && command.compare(command.size() - 2, 2, " &") == 0;
    if (background) script += "ready=$(grep -c ' ready: ' '" + out + "')\n";
    script += command + "\n";
    if (background) {
      script += "monitors=\"$monitors $!\"; n=0\n";
      script += "until [ \"$(grep -c ' ready: ' '" + out + "')\" -gt \"$ready\" ]; do\n";
      script += "  n=$((n + 1)); [ $n -lt 300 ] || { echo 'example: no ready line' >&2; break; }; sleep 0.1\n";
      script += "done\n";
    } else {
      script += "echo \"example status $?\" >&2\n";
    }
  }
  script += "for pid in $monitors; do kill -TERM $pid; wait $pid; echo \"monitor status $?\" >&2; done\n";
  return script;
}

TEST(ManualExamples, RunAsWrittenAgainstTheMonitor) {
#ifndef SONGRELAY_BIN_DIRS
  GTEST_SKIP() << "the monitor is not built";
#else
  // Title and lyric in Windows-1252, as a Western file holds them.
  TrackBuilder track;
  track.text(0, 0x03, "Sp\xE5r \xA9 2026").text(0, 0x05, "la").event(0, {0x90, 0x45, 0x60});
  track.event(48, {0x80, 0x45, 0x00}).end();
  const std::string path = std::string(SONGRELAY_BIN_DIRS) + ":" + (getenv("PATH") ? getenv("PATH") : "/bin:/usr/bin");
  for (const char* page : {"songrelay.1", "songrelay-monitor.1"}) {
    SCOPED_TRACE(page);
    std::vector<std::string> commands = example_commands(page);
    ASSERT_FALSE(commands.empty()) << "no examples found";
    TempDir work, output;
    write_file(work.file("song.mid"), smf(0, 96, {track}));
    {
      std::ofstream(output.file("examples.sh"))
          << example_script(commands, work.path, output.file("out"), output.file("err"));
    }
    ProcessResult run = run_process("/bin/sh", {"/bin/sh", output.file("examples.sh")},
                                    {"PATH=" + path, "LC_ALL", "LC_CTYPE", "LANG=en_US.UTF-8"});
    std::string out = read_text(output.file("out")), err = read_text(output.file("err"));
    EXPECT_EQ(run.exit_status, 0) << err;
    size_t foreground = 0, background = 0;
    for (const std::string& command : commands) (command.back() == '&' ? background : foreground)++;
    size_t succeeded = 0, monitors_ended = 0;
    for (size_t at = err.find("example status 0\n"); at != std::string::npos;
         at = err.find("example status 0\n", at + 1))
      ++succeeded;
    for (size_t at = err.find("monitor status 0\n"); at != std::string::npos;
         at = err.find("monitor status 0\n", at + 1))
      ++monitors_ended;
    EXPECT_EQ(succeeded, foreground) << err;
    EXPECT_EQ(monitors_ended, background) << err;
    EXPECT_EQ(err.find("Error!!"), std::string::npos) << err;
    EXPECT_EQ(err.find("example: no ready line"), std::string::npos) << err;
    EXPECT_NE(out.find("Note On            A4 (69), velocity 96"), std::string::npos) << "the monitor saw no note\n"
                                                                                      << out;
    // The page that shows how to read Western text shows it readable.
    bool western = false;
    for (const std::string& command : commands) western = western || command.find("-l CP1252") != std::string::npos;
    if (western) {
      EXPECT_NE(out.find("  [Title     ]: Sp\xC3\xA5r \xC2\xA9 2026\n"), std::string::npos) << out;
    }
  }
#endif
}

}  // namespace
