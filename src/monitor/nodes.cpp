// Making, opening and removing the monitor's FIFO nodes.
#include "monitor/nodes.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The player makes "/dev/NAME" (or takes an absolute NAME) in 256 bytes and
// cuts what does not fit.
constexpr size_t PLAYER_NAME_LIMIT = 255;

// The directory without trailing slashes ("/" stays "/").
std::string trim_slashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// The name under which the player reaches a node: a plain name in /dev/,
// where its unit search finds it, else the node's absolute path.
std::string player_name(const std::string& real_dir, const std::string& node) {
  if (real_dir == "/dev") return node;
  return (real_dir == "/" ? "" : real_dir) + "/" + node;
}

// The group the nodes (and a directory made for them) are given to: audio,
// when run as root and that group exists, as the system's own MIDI nodes
// are; otherwise none.
const group* node_group() { return geteuid() == 0 ? getgrnam("audio") : nullptr; }

// Gives a node the permissions that node_mode chooses, and the group of
// node_group. Returns 0, or -1 with errno set.
int set_permissions(const std::string& path, const MonitorOptions& options) {
  const group* audio = node_group();
  if (audio != nullptr && chown(path.c_str(), static_cast<uid_t>(-1), audio->gr_gid) != 0) return -1;
  int mode = node_mode(options, geteuid() == 0, audio != nullptr);
  if (mode >= 0 && chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) return -1;
  return 0;
}

// Opens a directory made here for the nodes to whoever the nodes are open
// to, and gives it the nodes' group: a node's own permissions are of no use
// to someone who cannot pass through its directory. NODES_OK, or
// NODES_FAILED after saying why.
int open_node_dir(const std::string& dir, const MonitorOptions& options) {
  const group* audio = node_group();
  bool failed = audio != nullptr && chown(dir.c_str(), static_cast<uid_t>(-1), audio->gr_gid) != 0;
  int mode = node_dir_mode(node_mode(options, geteuid() == 0, audio != nullptr));
  if (!failed && chmod(dir.c_str(), static_cast<mode_t>(mode)) != 0) failed = true;
  if (!failed) return NODES_OK;
  std::fprintf(stderr, "songrelay-monitor: cannot open %s to the nodes' users (%s)\n", dir.c_str(),
               std::strerror(errno));
  return NODES_FAILED;
}

// Makes the nodes in dir, one per port. Returns NODES_OK; NODES_EXIST after
// saying which name is taken; NODES_FAILED with the errno in error and
// nothing printed, so that the caller can decide between an error and a
// fallback. Nodes made before a failure are removed again.
int create_all(NodeSet& nodes, const std::string& dir, const MonitorOptions& options, int& error) {
  nodes.dir = trim_slashes(dir);
  char real[PATH_MAX];
  if (realpath(nodes.dir.c_str(), real) == nullptr) {
    error = errno;
    return NODES_FAILED;
  }
  for (int port = 0; port < options.ports; ++port) {
    std::string node = options.base + std::to_string(options.unit) + "." + std::to_string(port);
    std::string path = (nodes.dir == "/" ? "" : nodes.dir) + "/" + node;
    struct stat info;
    if (mkfifo(path.c_str(), 0666) != 0 || lstat(path.c_str(), &info) != 0) {
      error = errno;
      if (error == EEXIST)
        std::fprintf(stderr, "songrelay-monitor: %s already exists; refusing to replace it\n", path.c_str());
      remove_nodes(nodes);
      return error == EEXIST ? NODES_EXIST : NODES_FAILED;
    }
    if (set_permissions(path, options) != 0) {
      error = errno;
      unlink(path.c_str());
      remove_nodes(nodes);
      return NODES_FAILED;
    }
    nodes.paths[port] = path;
    nodes.port_names[port] = player_name(real, node);
    nodes.devices[port] = info.st_dev;
    nodes.inodes[port] = info.st_ino;
    nodes.count = port + 1;
    size_t player_path = nodes.port_names[port].size() + (nodes.port_names[port][0] == '/' ? 0 : std::strlen("/dev/"));
    if (player_path > PLAYER_NAME_LIMIT)
      std::fprintf(stderr, "songrelay-monitor: warning: %s is too long a port name for the player\n",
                   nodes.port_names[port].c_str());
  }
  return NODES_OK;
}

// Makes a fresh directory for the nodes under $TMPDIR or /tmp, open as
// open_node_dir says.
int make_temp_dir(NodeSet& nodes, const MonitorOptions& options) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = trim_slashes(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/songrelay-mon-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "songrelay-monitor: cannot make a temporary directory %s (%s)\n", pattern.c_str(),
                 std::strerror(errno));
    return NODES_FAILED;
  }
  nodes.dir = pattern;
  nodes.temp_dir = true;
  return open_node_dir(nodes.dir, options);
}

// Makes a directory named with -D when it is not there yet, its last level
// only, open as open_node_dir says, to be removed again at the end. NODES_OK
// when the directory is there, or NODES_FAILED after saying why not.
int make_missing_dir(NodeSet& nodes, const std::string& dir, const MonitorOptions& options) {
  if (mkdir(trim_slashes(dir).c_str(), 0700) == 0) {
    nodes.temp_dir = true;
    nodes.dir = trim_slashes(dir);
    return open_node_dir(nodes.dir, options);
  }
  if (errno == EEXIST) return NODES_OK;
  std::fprintf(stderr, "songrelay-monitor: cannot make nodes in %s (%s)\n", dir.c_str(), std::strerror(errno));
  return NODES_FAILED;
}

}  // namespace

int node_mode(const MonitorOptions& options, bool root, bool audio_group) {
  if (options.mode >= 0 || !root) return options.mode;
  // Without that group, nobody but root could write a node of 0660.
  return audio_group ? 0660 : 0666;
}

int node_dir_mode(int node_mode) {
  if (node_mode < 0) return 0700;
  int mode = 0700;
  if (node_mode & 0060) mode |= 0050;
  if (node_mode & 0006) mode |= 0005;
  return mode;
}

int setup_nodes(NodeSet& nodes, const MonitorOptions& options) {
  int error = 0;
  if (!options.dir.empty() && make_missing_dir(nodes, options.dir, options) != NODES_OK) {
    remove_nodes(nodes);
    return NODES_FAILED;
  }
  const std::string& first_dir = options.dir.empty() ? options.default_dir : options.dir;
  int result = create_all(nodes, first_dir, options, error);
  if (result != NODES_FAILED) return result;
  if (!options.dir.empty()) {
    std::fprintf(stderr, "songrelay-monitor: cannot make nodes in %s (%s)\n", options.dir.c_str(),
                 std::strerror(error));
    remove_nodes(nodes);
    return NODES_FAILED;
  }
  std::fprintf(stderr, "songrelay-monitor: cannot make nodes in %s (%s); using a temporary directory\n",
               options.default_dir.c_str(), std::strerror(error));
  if (make_temp_dir(nodes, options) != NODES_OK) {
    remove_nodes(nodes);
    return NODES_FAILED;
  }
  result = create_all(nodes, nodes.dir, options, error);
  if (result == NODES_FAILED) {
    std::fprintf(stderr, "songrelay-monitor: cannot make nodes in %s (%s)\n", nodes.dir.c_str(), std::strerror(error));
  }
  if (result != NODES_OK) remove_nodes(nodes);
  return result;
}

int open_nodes(NodeSet& nodes) {
  for (int port = 0; port < nodes.count; ++port) {
    const char* path = nodes.paths[port].c_str();
    // A FIFO opens for reading at once when non-blocking.
    nodes.read_fds[port] = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (nodes.read_fds[port] < 0) {
      std::fprintf(stderr, "songrelay-monitor: cannot open %s (%s)\n", path, std::strerror(errno));
      return NODES_FAILED;
    }
  }
  return NODES_OK;
}

int reopen_node(NodeSet& nodes, int port, int& old_fd) {
  int fresh = open(nodes.paths[port].c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fresh < 0) {
    std::fprintf(stderr, "songrelay-monitor: cannot open %s again (%s)\n", nodes.paths[port].c_str(),
                 std::strerror(errno));
    return NODES_FAILED;
  }
  old_fd = nodes.read_fds[port];
  nodes.read_fds[port] = fresh;
  return NODES_OK;
}

void remove_nodes(NodeSet& nodes) {
  for (int port = 0; port < MAX_NODES; ++port) {
    if (nodes.read_fds[port] >= 0) close(nodes.read_fds[port]);
    nodes.read_fds[port] = -1;
  }
  for (int port = 0; port < nodes.count; ++port) {
    // A name that no longer holds our FIFO belongs to someone else now.
    struct stat info;
    const char* path = nodes.paths[port].c_str();
    if (lstat(path, &info) == 0 && S_ISFIFO(info.st_mode) && info.st_dev == nodes.devices[port] &&
        info.st_ino == nodes.inodes[port] && unlink(path) != 0)
      std::fprintf(stderr, "songrelay-monitor: cannot remove %s (%s)\n", path, std::strerror(errno));
  }
  nodes.count = 0;
  if (nodes.temp_dir && rmdir(nodes.dir.c_str()) != 0)
    std::fprintf(stderr, "songrelay-monitor: cannot remove %s (%s)\n", nodes.dir.c_str(), std::strerror(errno));
  nodes.temp_dir = false;
}

std::string player_arguments(const NodeSet& nodes) {
  std::string text;
  for (int port = 0; port < nodes.count; ++port) {
    if (port > 0) text += " ";
    // Appended piece by piece: GCC 12's -O3 misreads a chain of string sums here.
    text += '-';
    text += std::to_string(port);
    text += ' ';
    text += nodes.port_names[port];
  }
  return text;
}
