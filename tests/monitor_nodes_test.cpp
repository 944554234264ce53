// The monitor's nodes: where they are made when the default directory is
// refused, and that only the monitor's own are removed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "monitor/nodes.h"
#include "monitor/options.h"
#include "support/support.h"

namespace {

// The process's umask, left as it was.
mode_t current_umask() {
  mode_t mask = umask(022);
  umask(mask);
  return mask;
}

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

// A -D directory that is missing is made (its last level only, private to
// the user unless the nodes are open to others) and removed again with the
// nodes; one whose parent is missing is an error that leaves nothing behind.
TEST(MonitorNodes, AMissingDirectoryIsMadeAndRemovedAgain) {
  TempDir scratch;
  MonitorOptions options;
  options.dir = scratch.file("ports/");
  options.ports = 1;
  NodeSet nodes;
  ASSERT_EQ(setup_nodes(nodes, options), NODES_OK);
  struct stat info;
  ASSERT_EQ(stat(scratch.file("ports").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777,
            mode_t(geteuid() == 0 ? node_dir_mode(node_mode(options, true, getgrnam("audio") != nullptr)) : 0700));
  EXPECT_EQ(player_arguments(nodes), "-0 " + scratch.file("ports/umidi0.0"));
  EXPECT_TRUE(is_fifo(scratch.file("ports/umidi0.0")));
  remove_nodes(nodes);
  EXPECT_FALSE(path_exists(scratch.file("ports")));

  NodeSet deep;
  options.dir = scratch.file("a/b");
  testing::internal::CaptureStderr();
  EXPECT_EQ(setup_nodes(deep, options), NODES_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "songrelay-monitor: cannot make nodes in " + scratch.file("a/b") + " (No such file or directory)\n");
  EXPECT_FALSE(path_exists(scratch.file("a")));
  EXPECT_EQ(deep.count, 0);
}

// The nodes' permissions and those of a directory made for them: whoever
// may use a node may pass through its directory (as root, group audio,
// whose 0660 nodes were out of reach in a 0700 directory).
TEST(MonitorNodes, ADirectoryMadeForTheNodesLetsTheirUsersThrough) {
  struct Case {
    int option;        // --mode, -1 without it
    bool root;         // run as root
    bool audio_group;  // the system has a group audio
    int nodes;         // the nodes' permissions, -1 as the umask leaves them
    int dir;           // the directory's
  };
  const std::vector<Case> cases = {
      {-1, false, true, -1, 0700},     {-1, true, true, 0660, 0750},    {-1, true, false, 0666, 0755},
      {0600, true, true, 0600, 0700},  {0640, false, true, 0640, 0750}, {0606, false, false, 0606, 0705},
      {0602, false, true, 0602, 0705}, {0, true, true, 0, 0700},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << test.option << (test.root ? ", root" : "")
                                    << (test.audio_group ? ", group audio" : ""));
    MonitorOptions options;
    options.mode = test.option;
    EXPECT_EQ(node_mode(options, test.root, test.audio_group), test.nodes);
    EXPECT_EQ(node_dir_mode(test.nodes), test.dir);
  }
  // What can be made here without root: a temporary directory and a -D one
  // for nodes open to the group.
  TempDir scratch;
  TmpdirOverride tmpdir(scratch.path);
  MonitorOptions options;
  options.mode = 0660;
  options.ports = 1;
  options.default_dir = scratch.file("no-such-dir");
  for (const std::string& dir : {std::string(), scratch.file("ports")}) {
    SCOPED_TRACE(dir.empty() ? "temporary" : dir);
    options.dir = dir;
    NodeSet nodes;
    testing::internal::CaptureStderr();
    ASSERT_EQ(setup_nodes(nodes, options), NODES_OK);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(nodes.temp_dir);
    struct stat info;
    ASSERT_EQ(stat(nodes.dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
    std::string made = nodes.dir;
    remove_nodes(nodes);
    EXPECT_FALSE(path_exists(made));
  }
}

TEST(MonitorNodes, ADirectoryMadeAsRootIsForGroupAudio) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: only root gives the directory and nodes to group audio";
  const group* audio = getgrnam("audio");
  if (audio == nullptr) GTEST_SKIP() << "this system has no group audio";
  TempDir scratch;
  MonitorOptions options;
  options.dir = scratch.file("ports");
  options.ports = 1;
  NodeSet nodes;
  ASSERT_EQ(setup_nodes(nodes, options), NODES_OK);
  for (const std::string& path : {nodes.dir, nodes.paths[0]}) {
    SCOPED_TRACE(path);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_gid, audio->gr_gid);
    EXPECT_EQ(info.st_mode & 07777, S_ISDIR(info.st_mode) ? 0750u : 0660u);
  }
  remove_nodes(nodes);
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

TEST(MonitorNodes, NodesAreForGroupAudioAsRootOrAsModeSays) {
  // As root: group audio, 0660. Without root, only --mode changes what the
  // umask leaves.
  struct Case {
    int mode;
    mode_t expected;
  };
  const bool root = geteuid() == 0;
  const group* audio = getgrnam("audio");
  const std::vector<Case> cases = {
      {-1, root ? mode_t(audio != nullptr ? 0660 : 0666) : mode_t(0666 & ~current_umask())},
      {0640, 0640},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.mode);
    TempDir scratch;
    MonitorOptions options;
    options.dir = scratch.path;
    options.ports = 1;
    options.mode = test.mode;
    NodeSet nodes;
    ASSERT_EQ(setup_nodes(nodes, options), NODES_OK);
    struct stat info;
    ASSERT_EQ(stat(scratch.file("umidi0.0").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, test.expected);
    if (root && audio != nullptr) {
      EXPECT_EQ(info.st_gid, audio->gr_gid);
    }
    remove_nodes(nodes);
  }
}

}  // namespace
