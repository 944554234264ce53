// Shared test helpers.
#include "support/support.h"

#include <cerrno>
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
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads both pipes until the child has closed them, so neither can fill up.
void drain_pipes(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = 2;
  char buffer[4096];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
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
  // Close-on-exec, so that a child started by another thread at the same time
  // does not hold this child's pipes open; dup2 clears the flag on 1 and 2.
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = start_process(program, args, out_pipe[1], err_pipe[1], env);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) throw std::runtime_error("fork failed");
  ProcessResult result;
  drain_pipes(out_pipe[0], err_pipe[0], result.out, result.err);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
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
  auto u16 = [](Bytes& b, uint16_t v) { b.push_back(v >> 8); b.push_back(v & 0xFF); };
  auto u32 = [](Bytes& b, uint32_t v) { for (int s = 24; s >= 0; s -= 8) b.push_back((v >> s) & 0xFF); };
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
