// Starting, watching, stopping and reaping the player the monitor runs.
#include "monitor/player_child.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/life_cycle.h"
#include "base/pipe.h"

extern char** environ;

namespace {

constexpr int64_t NS_PER_MS = 1000000;

// The name after "--" that is looked for beside the monitor first.
const char PLAYER_NAME[] = "songrelay";

// The signals whose actions the monitor sets for itself: the stop signals
// it catches, and SIGPIPE, which it ignores.
const int MONITOR_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Whether path names an executable regular file.
bool is_program(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The directory the monitor was started from, as the shell found it:
// the directory part of monitor_path, or the first directory of path_list
// that holds a program of that name; "" when neither says.
std::string monitor_dir(const std::string& monitor_path, const char* path_list) {
  size_t slash = monitor_path.rfind('/');
  if (slash != std::string::npos) return slash == 0 ? "/" : monitor_path.substr(0, slash);
  if (monitor_path.empty() || path_list == nullptr) return "";
  std::string list = path_list;
  for (size_t start = 0;;) {
    size_t end = list.find(':', start);
    std::string dir = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // An empty entry is the current directory.
    if (dir.empty()) dir = ".";
    if (is_program(dir + "/" + monitor_path)) return dir;
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

// The watching thread: waits for the player's end without reaping it, then
// writes the byte that wakes the run's poll.
void* watch_player(void* argument) {
  PlayerChild* child = static_cast<PlayerChild*>(argument);
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(child->pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  // On any other failure the byte is written all the same: the main thread
  // then finds out from waitpid.
  poke_pipe(child->ended_fds[1]);
  return nullptr;
}

// Spawns the player: an empty signal mask, since the monitor holds the stop
// signals back in its threads, and the actions the monitor set back at
// their default. A stop signal that the monitor found ignored (started in
// the background of a script) stays ignored, as for any other child of
// that script. Returns 0 or an error number.
int spawn(pid_t& pid, const std::string& path, const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawnattr_t attributes;
  int error = posix_spawnattr_init(&attributes);
  if (error != 0) return error;
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  for (int signal_number : MONITOR_SIGNALS) {
    struct sigaction action;
    bool left_ignored = signal_number != SIGPIPE && sigaction(signal_number, nullptr, &action) == 0 &&
                        action.sa_handler == SIG_IGN;
    if (!left_ignored) sigaddset(&defaults, signal_number);
  }
  error = posix_spawnattr_setsigmask(&attributes, &empty);
  if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &defaults);
  if (error == 0) error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (error == 0) error = posix_spawnp(&pid, path.c_str(), nullptr, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  return error;
}

// Starts the watching thread with every signal held back, so that no
// signal meant for the run lands on it.
int start_watching(PlayerChild& child) {
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  int error = pthread_create(&child.watcher, nullptr, watch_player, &child);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  child.watching = error == 0;
  return error;
}

}  // namespace

std::string player_program(const std::string& name, const std::string& monitor_path, const char* path_list) {
  if (name != PLAYER_NAME) return name;
  std::string dir = monitor_dir(monitor_path, path_list);
  if (dir.empty()) return name;
  std::string beside = (dir == "/" ? "" : dir) + "/" + PLAYER_NAME;
  return is_program(beside) ? beside : name;
}

std::vector<std::string> player_argv(const std::vector<std::string>& command, const NodeSet& nodes) {
  std::vector<std::string> argv = {command.at(0)};
  for (int port = 0; port < nodes.count; ++port) {
    argv.push_back("-" + std::to_string(port));
    argv.push_back(nodes.port_names[port]);
  }
  argv.insert(argv.end(), command.begin() + 1, command.end());
  return argv;
}

int start_player(PlayerChild& child, const std::string& path, const std::vector<std::string>& argv) {
  child.program = argv.at(0);
  // Neither end reaches the player.
  int error = open_quiet_pipe(child.ended_fds) ? 0 : errno;
  // A SIGCHLD ignored by whoever started the monitor would reap the player
  // behind its back and lose its status.
  if (error == 0) signal(SIGCHLD, SIG_DFL);
  if (error == 0) error = spawn(child.pid, path, argv);
  if (error != 0) {
    child.pid = -1;
    close_quiet_pipe(child.ended_fds);
    std::fprintf(stderr, "songrelay-monitor: cannot start %s (%s)\n", child.program.c_str(), std::strerror(error));
    return -1;
  }
  error = start_watching(child);
  if (error != 0) {
    std::fprintf(stderr, "songrelay-monitor: cannot watch %s (%s)\n", child.program.c_str(), std::strerror(error));
    kill(child.pid, SIGKILL);
    finish_player(child);
    return -1;
  }
  return 0;
}

bool player_running(const PlayerChild& child) { return child.pid > 0 && !child.ended; }

void note_player_ended(PlayerChild& child) {
  char byte;
  if (read(child.ended_fds[0], &byte, 1) == 1) child.ended = true;
}

int stop_player(PlayerChild& child, int signal_number) {
  int64_t now = monotonic_ns();
  if (child.stop_signal == 0 && player_running(child)) {
    child.stop_signal = signal_number;
    child.stop_deadline_ns = now + PLAYER_STOP_GRACE_MS * NS_PER_MS;
    kill(child.pid, signal_number);
  }
  int64_t left = child.stop_deadline_ns - now;
  return left <= 0 ? 0 : static_cast<int>((left + NS_PER_MS - 1) / NS_PER_MS);
}

int finish_player(PlayerChild& child) {
  if (child.pid <= 0) return -1;
  if (!child.ended && child.watching) {
    // Not ended yet: the run failed, or the time after the stop is up.
    for (int left = stop_player(child, SIGTERM); left > 0 && !child.ended; left = stop_player(child, SIGTERM)) {
      pollfd fd = {child.ended_fds[0], POLLIN, 0};
      if (poll(&fd, 1, left) > 0) note_player_ended(child);
    }
    if (!child.ended) {
      std::fprintf(stderr, "songrelay-monitor: %s did not end within %d s of the stop; killed\n", child.program.c_str(),
                   PLAYER_STOP_GRACE_MS / 1000);
      kill(child.pid, SIGKILL);
    }
  }
  int status = 0;
  pid_t reaped = -1;
  while ((reaped = waitpid(child.pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (reaped < 0) {
    std::fprintf(stderr, "songrelay-monitor: cannot learn how %s ended (%s)\n", child.program.c_str(),
                 std::strerror(errno));
    status = -1;
  }
  // The watching thread reads pid until it ends: ended by the player's end
  // or, once it is reaped, by ECHILD.
  if (child.watching) pthread_join(child.watcher, nullptr);
  child.watching = false;
  child.pid = -1;
  close_quiet_pipe(child.ended_fds);
  return status;
}

int shell_exit_status(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return 1;
}

void end_as_player_ended(int wait_status) {
  if (!WIFSIGNALED(wait_status)) return;
  int signal_number = WTERMSIG(wait_status);
  if (signal_number != SIGINT && signal_number != SIGTERM && signal_number != SIGHUP) return;
  end_by_signal(signal_number);
}
