// Shared test helpers.
#include "support/support.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

// Milliseconds on the monotonic clock, for deadlines.
int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Appends what one ready pipe holds to sink, or closes the pipe at its end.
void read_ready_pipe(int& fd, std::string& sink) {
  char buffer[4096];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    sink.append(buffer, static_cast<size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    close(fd);
    fd = -1;
  }
}

// Whether the reading asked for is done: needle seen, or without one, both pipes closed.
bool read_enough(const ChildProcess& child, const std::string& needle) {
  if (needle.empty()) return child.fds[0] < 0 && child.fds[1] < 0;
  return child.out.find(needle) != std::string::npos;
}

}  // namespace

pid_t start_process(const std::string& program, const std::vector<std::string>& args, int out_fd, int err_fd,
                    const std::vector<std::string>& env) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  sigset_t interrupt, saved;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, &saved);
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    if (out_fd >= 0) dup2(out_fd, 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    for (const std::string& entry : env) {
      size_t eq = entry.find('=');
      if (eq == std::string::npos) unsetenv(entry.c_str());
      else setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigaction(SIGINT, &action, nullptr);
    sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return pid;
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
  ChildProcess child;
  if (!start_child(child, program, args, env)) throw std::runtime_error("could not start " + program);
  if (!wait_child(child, -1)) throw std::runtime_error("could not read the output of " + program);
  return ProcessResult{child.exit_status, std::move(child.out), std::move(child.err)};
}

ChildProcess::~ChildProcess() {
  int ignored;
  if (pid > 0) wait_or_kill(pid, ignored, 0);
  for (int fd : fds)
    if (fd >= 0) close(fd);
}

bool start_child(ChildProcess& child, const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env) {
  // Close-on-exec, so that a child started by another thread at the same time
  // does not hold this child's pipes open; dup2 clears the flag on 1 and 2.
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return false;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return false;
  }
  child.pid = start_process(program, args, out_pipe[1], err_pipe[1], env);
  close(out_pipe[1]);
  close(err_pipe[1]);
  child.fds[0] = out_pipe[0];
  child.fds[1] = err_pipe[0];
  return child.pid >= 0;
}

bool read_child_until(ChildProcess& child, const std::string& needle, int timeout_ms) {
  const int64_t give_up = monotonic_ms() + timeout_ms;
  std::string* sinks[2] = {&child.out, &child.err};
  while (!read_enough(child, needle)) {
    if (child.fds[0] < 0 && child.fds[1] < 0) return false;
    int64_t left = timeout_ms < 0 ? -1 : give_up - monotonic_ms();
    if (timeout_ms >= 0 && left <= 0) return false;
    pollfd fds[2] = {{child.fds[0], POLLIN, 0}, {child.fds[1], POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left)) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (int i = 0; i < 2; ++i)
      if (fds[i].fd >= 0 && fds[i].revents != 0) read_ready_pipe(child.fds[i], *sinks[i]);
  }
  return true;
}

bool wait_child(ChildProcess& child, int timeout_ms) {
  if (!read_child_until(child, "", timeout_ms)) return false;
  int status = 0;
  bool ended = wait_or_kill(child.pid, status, -1);
  child.pid = -1;
  if (!ended) return false;
  child.exit_status = shell_status(status);
  return true;
}

int shell_status(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

// Polls without blocking while there is a bound, so that a hung child is
// found when it runs out; without one, blocks in waitpid.
bool wait_or_kill(pid_t pid, int& status, int timeout_ms) {
  const int64_t give_up = monotonic_ms() + timeout_ms;
  for (;;) {
    pid_t reaped = waitpid(pid, &status, timeout_ms < 0 ? 0 : WNOHANG);
    if (reaped == pid) return true;
    if (reaped < 0 && errno != EINTR) return false;
    if (timeout_ms >= 0 && monotonic_ms() >= give_up) break;
    if (reaped == 0) usleep(5000);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return false;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/songrelay-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

Pty::Pty() {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
    throw std::runtime_error("no pseudo-terminal");
  }
  slave = ptsname(master);
  // A child that inherited the master would keep the device plugged in.
  fcntl(master, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() { unplug(); }

void Pty::unplug() {
  if (master >= 0) close(master);
  master = -1;
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string read_text(const std::string& path) {
  Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool is_fifo(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

bool path_exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

Bytes vlq(uint32_t value) {
  Bytes groups{static_cast<uint8_t>(value & 0x7F)};
  while ((value >>= 7) != 0) groups.insert(groups.begin(), static_cast<uint8_t>(0x80 | (value & 0x7F)));
  return groups;
}

TrackBuilder& TrackBuilder::event(uint32_t delta, std::initializer_list<uint8_t> body) {
  Bytes d = vlq(delta);
  bytes.insert(bytes.end(), d.begin(), d.end());
  bytes.insert(bytes.end(), body.begin(), body.end());
  return *this;
}

TrackBuilder& TrackBuilder::meta(uint32_t delta, uint8_t type, const Bytes& data) {
  Bytes d = vlq(delta), n = vlq(static_cast<uint32_t>(data.size()));
  bytes.insert(bytes.end(), d.begin(), d.end());
  bytes.push_back(0xFF);
  bytes.push_back(type);
  bytes.insert(bytes.end(), n.begin(), n.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  return *this;
}

TrackBuilder& TrackBuilder::text(uint32_t delta, uint8_t type, const std::string& text) {
  return meta(delta, type, Bytes(text.begin(), text.end()));
}

TrackBuilder& TrackBuilder::sysex(uint32_t delta, const Bytes& body) {
  Bytes d = vlq(delta), n = vlq(static_cast<uint32_t>(body.size()));
  bytes.insert(bytes.end(), d.begin(), d.end());
  bytes.push_back(0xF0);
  bytes.insert(bytes.end(), n.begin(), n.end());
  bytes.insert(bytes.end(), body.begin(), body.end());
  return *this;
}

TrackBuilder& TrackBuilder::end(uint32_t delta) { return event(delta, {0xFF, 0x2F, 0x00}); }

TrackBuilder& TrackBuilder::raw(std::initializer_list<uint8_t> raw_bytes) {
  bytes.insert(bytes.end(), raw_bytes.begin(), raw_bytes.end());
  return *this;
}

Bytes smf(uint16_t format, uint16_t division, const std::vector<TrackBuilder>& tracks) {
  auto u16 = [](Bytes& b, uint16_t v) {
    b.push_back(v >> 8);
    b.push_back(v & 0xFF);
  };
  auto u32 = [](Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back((v >> s) & 0xFF);
  };
  Bytes image{'M', 'T', 'h', 'd', 0, 0, 0, 6};
  u16(image, format);
  u16(image, static_cast<uint16_t>(tracks.size()));
  u16(image, division);
  for (const TrackBuilder& track : tracks) {
    image.insert(image.end(), {'M', 'T', 'r', 'k'});
    u32(image, static_cast<uint32_t>(track.bytes.size()));
    image.insert(image.end(), track.bytes.begin(), track.bytes.end());
  }
  return image;
}

std::string hex(const Bytes& bytes) {
  std::string text;
  char cell[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += cell;
  }
  return text;
}

double cpu_seconds(pid_t pid) {
  Bytes stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::string text(stat.begin(), stat.end());
  size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return -1;
  // After the name: the state is field 3, utime field 14, stime field 15.
  std::istringstream fields(text.substr(close_paren + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoull(field);
    if (i == 15) system = std::stoull(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Seen wait_stopped_or_ended(pid_t pid, int& status, int timeout_ms) {
  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  do {
    pid_t seen = waitpid(pid, &status, WUNTRACED | WNOHANG);
    if (seen == pid) return WIFSTOPPED(status) ? SEEN_STOPPED : SEEN_ENDED;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (std::chrono::steady_clock::now() < give_up);
  return SEEN_NOTHING;
}
