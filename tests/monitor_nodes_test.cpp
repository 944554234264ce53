// The monitor's nodes: where they are made when the default directory is
// refused, and that only the monitor's own are removed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "nodes.h"
#include "options.h"
#include "support/support.h"

namespace {

// Points TMPDIR somewhere for the scope.
struct TmpdirOverride {
  std::string saved;
  bool had = false;
  explicit TmpdirOverride(const std::string& dir) {
    const char* old = std::getenv("TMPDIR");
    had = old != nullptr;
    if (had) saved = old;
    setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TmpdirOverride() {
    if (had) setenv("TMPDIR", saved.c_str(), 1);
    else unsetenv("TMPDIR");
  }
};

TEST(MonitorNodes, RefusedDefaultDirectoryFallsBackToATemporaryOne) {
  TempDir scratch;
  TmpdirOverride tmpdir(scratch.path);
  MonitorOptions options;
  options.default_dir = scratch.file("no-such-dir");
  options.ports = 2;
  options.unit = 5;
  NodeSet nodes;
  testing::internal::CaptureStderr();
  ASSERT_EQ(setup_nodes(nodes, options), NODES_OK);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("using a temporary directory"), std::string::npos) << err;
  EXPECT_TRUE(nodes.temp_dir);
  EXPECT_EQ(nodes.dir.rfind(scratch.path + "/songrelay-mon-", 0), 0u) << nodes.dir;
  EXPECT_EQ(player_arguments(nodes), "-0 " + nodes.dir + "/umidi5.0 -1 " + nodes.dir + "/umidi5.1");
  EXPECT_TRUE(is_fifo(nodes.port_names[0]));
  EXPECT_TRUE(is_fifo(nodes.port_names[1]));
  EXPECT_FALSE(path_exists(nodes.dir + "/umidi5.2"));
  std::string dir = nodes.dir;
  remove_nodes(nodes);
  EXPECT_FALSE(path_exists(dir));
}

TEST(MonitorNodes, ANameTakenOverByOthersIsNotRemoved) {
  TempDir scratch;
  MonitorOptions options;
  options.dir = scratch.path;
  NodeSet nodes;
  ASSERT_EQ(setup_nodes(nodes, options), NODES_OK);
  ASSERT_EQ(unlink(scratch.file("umidi0.1").c_str()), 0);
  write_file(scratch.file("umidi0.1"), {1, 2, 3});
  remove_nodes(nodes);
  EXPECT_EQ(read_file(scratch.file("umidi0.1")), (Bytes{1, 2, 3}));
  for (const char* name : {"umidi0.0", "umidi0.2", "umidi0.3"}) EXPECT_FALSE(path_exists(scratch.file(name))) << name;
  EXPECT_TRUE(path_exists(scratch.path));
}

}  // namespace
