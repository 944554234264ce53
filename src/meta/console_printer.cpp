// Meta-event display, console printer: the thread that writes the queued
// lines to the terminal. It waits on the console with poll, beside the stop's
// wake-up pipe, and writes at most PIPE_BUF bytes after each POLLOUT, so a
// console that stops reading holds up this thread only, and a stop ends any
// wait at once. The descriptors stay blocking: O_NONBLOCK on a terminal
// would reach the shell that shares it.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

#include "meta/console_queue.h"
#include "song/clock.h"
#include "song/song.h"
#include "song/stop_wake.h"

namespace {

// Lines written and lines lost, as the printer sees them.
struct PrinterState {
  bool stopping = false;  // a stop was seen
  int64_t deadline = 0;   // while stopping: the end of the wait allowed
  bool gone[3] = {};      // standard output or error refused every write
  uint64_t reported_lines = 0;
  uint64_t reported_bytes = 0;
  uint64_t lost_lines = 0;  // dropped here, after a stop
  uint64_t lost_bytes = 0;
};

// Notes a stop and starts its grace.
void see_stop(PrinterState* state) {
  if (state->stopping) return;
  state->stopping = true;
  state->deadline = monotonic_ms() + STOP_GRACE_MSEC;
}

// The poll timeout: none before a stop (a tenth of a second when there is no
// wake-up pipe to wake it), what is left of the grace after one.
int wait_msec(const PrinterState& state) {
  if (!state.stopping) return stop_wake_fd() >= 0 ? -1 : 100;
  return static_cast<int>(std::max<int64_t>(0, state.deadline - monotonic_ms()));
}

// Waits until fd takes bytes. False when the grace after a stop ran out.
bool wait_writable(PrinterState* state, int fd) {
  for (;;) {
    if (stop_asked_for()) see_stop(state);
    pollfd waits[2] = {{fd, POLLOUT, 0}, {stop_wake_fd(), POLLIN, 0}};
    nfds_t count = state->stopping || stop_wake_fd() < 0 ? 1 : 2;
    int timeout = wait_msec(*state);
    int ready = poll(waits, count, timeout);
    if (ready > 0 && waits[0].revents != 0) return true;
    if (count == 2 && (waits[1].revents & POLLIN) != 0) see_stop(state);
    if (ready == 0 && state->stopping && timeout == 0) return false;
  }
}

// Writes count bytes to fd, PIPE_BUF at most after each POLLOUT, so that no
// write can block for long. A console that fails (its reader went away)
// loses this text and every later line for it, silently, as before. False
// when the grace after a stop ran out first.
bool write_out(PrinterState* state, int fd, const char* bytes, size_t count) {
  while (count > 0 && !state->gone[fd]) {
    if (!wait_writable(state, fd)) return false;
    ssize_t written = write(fd, bytes, std::min<size_t>(count, PIPE_BUF));
    if (written > 0) {
      bytes += written;
      count -= static_cast<size_t>(written);
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
      state->gone[fd] = true;
    }
  }
  return true;
}

// Writes the ring's bytes from at, in the two pieces the ring's end may cut them into.
bool write_from_ring(PrinterState* state, int fd, size_t at, size_t count) {
  size_t offset = at % console_queue.capacity;
  size_t first = std::min(count, console_queue.capacity - offset);
  return write_out(state, fd, console_queue.ring + offset, first) &&
         write_out(state, fd, console_queue.ring, count - first);
}

// Says on standard error how many lines were lost up to the totals given,
// if any were since the last time it said so; a line that finds no room in a
// stop's grace is tried again at the end.
void report_drops(PrinterState* state, uint64_t lines, uint64_t bytes) {
  if (lines <= state->reported_lines) return;
  uint64_t new_lines = lines - state->reported_lines;
  uint64_t new_bytes = bytes - state->reported_bytes;
  char amount[32];
  if (new_bytes < 1024) snprintf(amount, sizeof amount, "%" PRIu64 " bytes", new_bytes);
  else snprintf(amount, sizeof amount, "%" PRIu64 " KB", (new_bytes + 1023) / 1024);
  char line[160];
  int length = snprintf(line, sizeof line,
                        "songrelay: %" PRIu64 " %s of song text (%s) %s not shown: the console did not keep up.\n",
                        new_lines, new_lines == 1 ? "line" : "lines", amount, new_lines == 1 ? "was" : "were");
  if (!write_out(state, STDERR_FILENO, line, static_cast<size_t>(length))) return;
  state->reported_lines = lines;
  state->reported_bytes = bytes;
}

// Writes the oldest queued line, after the line that says what the player
// dropped before it; a line that the console does not take within a stop's
// grace is counted as lost. Its room is then handed back to the player.
void print_line(PrinterState* state, size_t at) {
  LineHeader header;
  ring_read(at, &header, sizeof header);
  report_drops(state, header.dropped_lines + state->lost_lines, header.dropped_bytes + state->lost_bytes);
  int fd = header.fd == STDERR_FILENO ? STDERR_FILENO : STDOUT_FILENO;
  if (!write_from_ring(state, fd, at + sizeof header, header.length)) {
    ++state->lost_lines;
    state->lost_bytes += header.length;
  }
  console_queue.tail.store(at + sizeof header + header.length, std::memory_order_release);
}

// Empties the work pipe; what it held only said that there is work.
void drain_work_pipe() {
  char bytes[64];
  while (read(console_queue.work_pipe[0], bytes, sizeof bytes) > 0) {
  }
}

// Waits for a line or the end. The flag tells the player to write to the
// pipe; it is set before the queue is looked at again, so that a line
// published in between is seen either here or through the pipe.
void wait_for_work(PrinterState* state) {
  console_queue.printer_idle.store(true);
  if (console_queue.head.load() != console_queue.tail.load(std::memory_order_relaxed) || console_queue.ending.load()) {
    console_queue.printer_idle.store(false);
    return;
  }
  pollfd waits[2] = {{console_queue.work_pipe[0], POLLIN, 0}, {stop_wake_fd(), POLLIN, 0}};
  nfds_t count = state->stopping || stop_wake_fd() < 0 ? 1 : 2;
  int ready = poll(waits, count, stop_wake_fd() < 0 ? 100 : -1);
  if (count == 2 && ready > 0 && (waits[1].revents & POLLIN) != 0) see_stop(state);
  drain_work_pipe();
  console_queue.printer_idle.store(false);
}

}  // namespace

void* console_printer(void*) {
  PrinterState state;
  for (;;) {
    if (stop_asked_for()) see_stop(&state);
    // The end is read before the head: once it is set, the head read after
    // it is the player's last.
    bool ending = console_queue.ending.load();
    size_t tail = console_queue.tail.load(std::memory_order_relaxed);
    if (console_queue.head.load(std::memory_order_acquire) != tail) {
      print_line(&state, tail);
    } else if (ending) {
      break;
    } else {
      wait_for_work(&state);
    }
  }
  // The last word on what was lost may wait a little beyond a stop's grace.
  if (state.stopping) state.deadline = std::max(state.deadline, monotonic_ms() + DROP_REPORT_MSEC);
  report_drops(&state, console_queue.dropped_lines.load() + state.lost_lines,
               console_queue.dropped_bytes.load() + state.lost_bytes);
  ssize_t ignored = write(console_queue.done_pipe[1], "d", 1);
  (void)ignored;
  return nullptr;
}
