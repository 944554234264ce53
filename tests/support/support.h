// Shared test helpers: running the built programs, scratch directories and
// Standard MIDI File images built byte by byte in the test.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

// a followed by b: the one way the tests join byte strings.
Bytes operator+(Bytes a, const Bytes& b);

// What a finished child process left behind.
struct ProcessResult {
  int exit_status = -1;  // exit code, or 128 + signal number
  std::string out;       // everything written to standard output
  std::string err;       // everything written to standard error
};

// Starts program with args (argv[0] is program), standard input empty,
// standard output and error on out_fd and err_fd (-1 keeps this process's),
// the environment changed by env entries as for run_process, and SIGINT at
// its default action however this process treats it: held back until then,
// so that one sent at once still ends the child. The pid, or -1.
pid_t start_process(const std::string& program, const std::vector<std::string>& args, int out_fd, int err_fd,
                    const std::vector<std::string>& env = {});

// How long a test waits on a child before it calls it hung: generous, so that
// only a hung program ever waits this long.
constexpr int PATIENCE_MS = 30000;

// A wait status as a shell shows it: the exit code, or 128 + the signal.
int shell_status(int wait_status);

// Waits up to timeout_ms (-1: no limit) for the child to end and reaps it,
// status receiving its wait status; false when it had not ended by then, and
// it is then killed and reaped, so that no child outlives its test. The one
// reaping of the tests: for a child started by start_process, whose output
// the test left elsewhere, and by wait_child once its pipes have closed.
bool wait_or_kill(pid_t pid, int& status, int timeout_ms = PATIENCE_MS);

// Runs program with args (argv[0] is program), the environment changed by
// env entries "NAME=value" (or "NAME" alone to unset), standard input empty.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {});

// A child whose standard output and error come back through pipes, read as
// they come; killed and reaped at scope exit if still running.
struct ChildProcess {
  pid_t pid = -1;
  int fds[2] = {-1, -1};  // read ends of its standard output and error, -1 once closed
  std::string out, err;   // what has been read from them so far
  int exit_status = -1;   // exit code, or 128 + signal number, once reaped
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
};

// Starts program as start_process does, with its standard output and error
// into pipes that child reads. False when a pipe or the fork failed.
bool start_child(ChildProcess& child, const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {});

// Reads the child's pipes until its standard output holds needle, or with an
// empty needle until both pipes are closed (true); false when the pipes close
// first or timeout_ms (-1: no limit) passes.
bool read_child_until(ChildProcess& child, const std::string& needle, int timeout_ms = PATIENCE_MS);

// Reads the rest of the child's output and reaps it; false when its pipes are
// still open after timeout_ms (-1: no limit), the child then left running.
bool wait_child(ChildProcess& child, int timeout_ms = PATIENCE_MS);

// How a child looked when a wait for it to stop or end gave up or saw it.
enum Seen { SEEN_NOTHING, SEEN_STOPPED, SEEN_ENDED };

// Waits up to timeout_ms for the child to stop or end, without reaping a
// stop: what was seen, with the wait status in status.
Seen wait_stopped_or_ended(pid_t pid, int& status, int timeout_ms);

// A scratch directory under /tmp, removed with everything in it at scope exit.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  // Full path of a file inside the directory.
  std::string file(const std::string& name) const { return path + "/" + name; }
  // The same path relative to /dev/, as the player's -0 … -3 options want it.
  std::string from_dev(const std::string& name) const { return ".." + file(name); }
};

// A pseudo-terminal whose slave side stands in for a device node. Once the
// master side is closed every write to the slave fails, as writes to an
// unplugged interface do.
struct Pty {
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  int master = -1;
  std::string slave;  // the slave's absolute path
  // Closes the master side: the device is gone.
  void unplug();
};

void write_file(const std::string& path, const Bytes& bytes);
Bytes read_file(const std::string& path);
// The whole file as text; empty when it cannot be read.
std::string read_text(const std::string& path);

// Whether path names a FIFO, and whether it names anything; links not followed.
bool is_fifo(const std::string& path);
bool path_exists(const std::string& path);

// CPU seconds (user and system) a running process has used, from /proc;
// -1 where there is no /proc.
double cpu_seconds(pid_t pid);

// A track's events, appended one after another: delta then bytes.
struct TrackBuilder {
  Bytes bytes;
  TrackBuilder& event(uint32_t delta, std::initializer_list<uint8_t> body);
  TrackBuilder& meta(uint32_t delta, uint8_t type, const Bytes& data);
  TrackBuilder& text(uint32_t delta, uint8_t type, const std::string& text);
  TrackBuilder& sysex(uint32_t delta, const Bytes& body);  // body after F0, including its F7
  TrackBuilder& end(uint32_t delta = 0);                   // FF 2F 00
  TrackBuilder& raw(std::initializer_list<uint8_t> raw_bytes);
};

// The variable-length quantity of value.
Bytes vlq(uint32_t value);

// "MThd" with length 6, then one "MTrk" chunk per track with its true length.
Bytes smf(uint16_t format, uint16_t division, const std::vector<TrackBuilder>& tracks);

// Hex dump "F0 7E 7F" of bytes, for readable failure messages.
std::string hex(const Bytes& bytes);
