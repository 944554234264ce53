// Base, stop and pause: the state, the pause flag, the stop counter and the
// wake-up pipe.
#include "base/stop.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

std::atomic<PlayerState> player_state{PLAYER_IDLE};

namespace {

// The lowest descriptor the pipe may take: 0 to 2 belong to the console,
// and a pipe there would be written to as if it were the terminal.
constexpr int FIRST_FREE_FD = 3;

// Set by the handler of the suspend key while a song plays; cleared by the
// thread that takes the pause. Sequentially consistent like the state, so
// that the taker's look at the state after emptying the pipe sees a stop
// raised before that pipe's last byte.
std::atomic<bool> pause_raised{false};

// Counts stops; only ever increased, by handlers and reset by tests.
std::atomic<unsigned> stop_count{0};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free,
              "raised from a signal handler");

// Read and write ends. Written once, by the main thread before any other
// thread exists, and never again (the pipe is not closed), so a relaxed
// load anywhere after sees them.
std::atomic<int> read_end{-1};
std::atomic<int> write_end{-1};

// Moves a descriptor above 2, non-blocking and closed on exec; the new
// descriptor, or -1 with errno set.
int settle(int fd) {
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, FIRST_FREE_FD);
  int error = errno;
  close(fd);
  if (moved < 0) {
    errno = error;
    return -1;
  }
  int flags = fcntl(moved, F_GETFL);
  if (flags == -1 || fcntl(moved, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = errno;
    close(moved);
    errno = error;
    return -1;
  }
  return moved;
}

// One byte makes the read end readable; a full pipe already is, so a
// failed write is harmless. errno is kept for the code the handler broke into.
void wake() {
  int fd = write_end.load(std::memory_order_relaxed);
  if (fd < 0) return;
  int saved_errno = errno;
  ssize_t ignored = write(fd, "s", 1);
  (void)ignored;
  errno = saved_errno;
}

// Reads the pipe empty.
void drain() {
  int fd = read_end.load(std::memory_order_relaxed);
  if (fd < 0) return;
  char bytes[64];
  while (read(fd, bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

bool open_stop_pipe() {
  if (read_end.load(std::memory_order_relaxed) >= 0) return true;
  int ends[2];
  if (pipe(ends) != 0) return false;
  int reading = settle(ends[0]);
  int error = errno;
  int writing = settle(ends[1]);
  if (writing < 0) error = errno;
  if (reading < 0 || writing < 0) {
    if (reading >= 0) close(reading);
    if (writing >= 0) close(writing);
    errno = error;
    return false;
  }
  read_end.store(reading, std::memory_order_relaxed);
  write_end.store(writing, std::memory_order_relaxed);
  return true;
}

// The state first: a thread woken by the pipe then finds the stop.
void raise_stop() {
  player_state.store(PLAYER_STOP_REQUESTED);
  stop_count.fetch_add(1);
  wake();
}

void raise_pause() {
  PlayerState state = player_state.load();
  if (state == PLAYER_STOP_REQUESTED) return;
  if (state != PLAYER_PLAYING) {
    raise(SIGSTOP);
    return;
  }
  pause_raised.store(true);
  wake();
}

Raised raised() {
  if (player_state.load() == PLAYER_STOP_REQUESTED) return RAISED_STOP;
  return pause_raised.load() ? RAISED_PAUSE : RAISED_NOTHING;
}

bool stop_raised() { return player_state.load() == PLAYER_STOP_REQUESTED; }

unsigned stops_raised() { return stop_count.load(); }

int stop_pipe_fd() { return read_end.load(std::memory_order_relaxed); }

// The flag is cleared before the pipe is emptied: a pause raised after the
// clear writes its byte after it too, or its byte is read here and its flag
// is seen by the next look. A stop keeps the pipe readable for good.
void end_pause() {
  pause_raised.store(false);
  drain();
  if (stop_raised()) wake();
}

void reset_stop() {
  player_state.store(PLAYER_IDLE);
  pause_raised.store(false);
  stop_count.store(0);
  drain();
}
