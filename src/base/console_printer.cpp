// Base, console printer: the thread that writes the queued lines to the
// terminal. It waits on the console with poll, beside the stop's wake-up
// pipe, and writes at most PIPE_BUF bytes after each POLLOUT, so a console
// that stops reading holds up this thread only, and a stop ends any wait at
// once. Error lines go first; while standard output takes nothing, they
// still reach a standard error that is another file. The descriptors stay
// blocking: O_NONBLOCK on a terminal would reach the shell that shares it.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/console_queue.h"
#include "base/life_cycle.h"
#include "base/pipe.h"
#include "base/stop_wait.h"

namespace {

// Lines written and lines lost, as the printer sees them.
struct PrinterState {
  ConsoleQueue* queue = nullptr;
  bool stopping = false;       // a stop was seen
  int64_t deadline = 0;        // while stopping: the end of the wait allowed
  bool gone[3] = {};           // standard output or error refused every write
  bool separate_error = true;  // standard error is another file than standard output
  uint64_t reported_lines = 0;
  uint64_t reported_bytes = 0;
  uint64_t lost_lines = 0;  // song text dropped here, after a stop
  uint64_t lost_bytes = 0;
  uint64_t lost_errors = 0;  // error lines dropped here, after a stop
};

// Notes a stop and starts its grace.
void see_stop(PrinterState* state) {
  if (state->stopping) return;
  state->stopping = true;
  state->deadline = monotonic_ms() + STOP_GRACE_MSEC;
}

// Whether a lane holds a line not yet printed.
bool has_lines(const ConsoleLane& lane) {
  return lane.head.load(std::memory_order_acquire) != lane.tail.load(std::memory_order_relaxed);
}

// Whether standard output and standard error are one file (a terminal, or
// one log), so that an error line written between two pieces of a text
// line would land inside it.
bool same_file(int a, int b) {
  struct stat one, other;
  if (fstat(a, &one) != 0 || fstat(b, &other) != 0) return false;
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// The wait allowed and what ends it: no limit, ended by a stop, before a
// stop; what is left of the grace after one. A pause is not the printer's
// to take: the process stops around it.
int wait_msec(PrinterState* state, unsigned* ends) {
  if (stop_raised()) see_stop(state);
  *ends = state->stopping ? ENDS_ON_NEITHER : ENDS_ON_STOP;
  if (state->stopping) return static_cast<int>(std::max<int64_t>(0, state->deadline - monotonic_ms()));
  return -1;
}

void print_line(PrinterState* state, int lane_index);

// Waits until fd takes bytes. While standard output takes nothing, error
// lines that arrive are written to a standard error that is another file
// and takes them: the printer says it waits, so that the filler wakes it
// for every line. False when the grace after a stop ran out.
bool wait_writable(PrinterState* state, int fd) {
  ConsoleQueue* queue = state->queue;
  ConsoleLane& errors = queue->lanes[LANE_ERRORS];
  bool errors_may_pass = fd == STDOUT_FILENO && state->separate_error;
  for (;;) {
    unsigned ends;
    int timeout = wait_msec(state, &ends);
    bool errors_waiting = false;
    if (errors_may_pass) {
      queue->printer_idle.store(true);
      errors_waiting = !state->gone[STDERR_FILENO] && errors.head.load() != errors.tail.load(std::memory_order_relaxed);
    }
    pollfd waits[3] = {{fd, POLLOUT, 0},
                       {errors_waiting ? STDERR_FILENO : -1, POLLOUT, 0},
                       {errors_may_pass && !errors_waiting ? queue->work_pipe[0] : -1, POLLIN, 0}};
    WaitEnd end = wait_beside_stop(waits, 3, timeout, ends);
    if (errors_may_pass) {
      queue->printer_idle.store(false);
      drain_pipe(queue->work_pipe[0]);
    }
    if (end == WAIT_READY && waits[0].revents != 0) return true;
    if (end == WAIT_READY && waits[1].revents != 0) {
      while (has_lines(errors)) print_line(state, LANE_ERRORS);
      continue;
    }
    if (end == WAIT_TIMED_OUT && state->stopping) return false;
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

// Writes a lane's bytes from at, in the two pieces the ring's end may cut them into.
bool write_from_ring(PrinterState* state, const ConsoleLane& lane, int fd, size_t at, size_t count) {
  size_t offset = at % lane.capacity;
  size_t first = std::min(count, lane.capacity - offset);
  return write_out(state, fd, lane.ring + offset, first) && write_out(state, fd, lane.ring, count - first);
}

// Says on standard error how many lines of song text were lost up to the
// totals given, if any were since the last time it said so; a line that
// finds no room in a stop's grace is tried again at the end.
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

// Says, at the end, how many error lines could not be shown: only a
// standard error that took nothing for a stop's grace, or an error lane
// filled while the console took nothing, loses any.
void report_lost_errors(PrinterState* state, uint64_t lines) {
  if (lines == 0) return;
  char line[160];
  int length = snprintf(line, sizeof line, "songrelay: %" PRIu64 " error %s not shown: the console did not keep up.\n",
                        lines, lines == 1 ? "line was" : "lines were");
  write_out(state, STDERR_FILENO, line, static_cast<size_t>(length));
}

// Writes the oldest line of a lane, after (for song text) the line that
// says what was dropped before it; a line that the console does not take
// within a stop's grace is counted as lost. Its room is then handed back.
void print_line(PrinterState* state, int lane_index) {
  ConsoleLane& lane = state->queue->lanes[lane_index];
  size_t at = lane.tail.load(std::memory_order_relaxed);
  LineHeader header;
  ring_read(lane, at, &header, sizeof header);
  if (lane_index == LANE_TEXT) {
    report_drops(state, header.dropped_lines + state->lost_lines, header.dropped_bytes + state->lost_bytes);
  }
  int fd = header.fd == STDERR_FILENO ? STDERR_FILENO : STDOUT_FILENO;
  if (!write_from_ring(state, lane, fd, at + sizeof header, header.length)) {
    if (lane_index == LANE_TEXT) {
      ++state->lost_lines;
      state->lost_bytes += header.length;
    } else {
      ++state->lost_errors;
    }
  }
  lane.tail.store(at + sizeof header + header.length, std::memory_order_release);
}

// Waits for a line or the end. The flag tells the filler to write to the
// pipe; it is set before the lanes are looked at again, so that a line
// published in between is seen either here or through the pipe (see
// ConsoleQueue for the order this needs).
void wait_for_work(PrinterState* state) {
  ConsoleQueue* queue = state->queue;
  queue->printer_idle.store(true);
  if (queue->lanes[LANE_ERRORS].head.load() != queue->lanes[LANE_ERRORS].tail.load(std::memory_order_relaxed) ||
      queue->lanes[LANE_TEXT].head.load() != queue->lanes[LANE_TEXT].tail.load(std::memory_order_relaxed) ||
      queue->ending.load()) {
    queue->printer_idle.store(false);
    return;
  }
  unsigned ends;
  wait_msec(state, &ends);
  // Lines queued after a stop still go out within the grace; once it is
  // over, the wait is for the end alone. The work pipe says which came.
  pollfd work = {queue->work_pipe[0], POLLIN, 0};
  wait_beside_stop(&work, 1, -1, ends);
  drain_pipe(queue->work_pipe[0]);
  queue->printer_idle.store(false);
}

}  // namespace

void* console_printer(void* queue) {
  PrinterState state;
  state.queue = static_cast<ConsoleQueue*>(queue);
  state.separate_error = !same_file(STDOUT_FILENO, STDERR_FILENO);
  ConsoleLane& errors = state.queue->lanes[LANE_ERRORS];
  ConsoleLane& text = state.queue->lanes[LANE_TEXT];
  for (;;) {
    if (stop_raised()) see_stop(&state);
    // The end is read before the heads: once it is set, the heads read after
    // it are the filler's last.
    bool ending = state.queue->ending.load();
    if (has_lines(errors)) {
      print_line(&state, LANE_ERRORS);
    } else if (has_lines(text)) {
      print_line(&state, LANE_TEXT);
    } else if (ending) {
      break;
    } else {
      wait_for_work(&state);
    }
  }
  // The last word on what was lost may wait a little beyond a stop's grace.
  if (state.stopping) state.deadline = std::max(state.deadline, monotonic_ms() + DROP_REPORT_MSEC);
  report_drops(&state, text.dropped_lines.load() + state.lost_lines, text.dropped_bytes.load() + state.lost_bytes);
  report_lost_errors(&state, errors.dropped_lines.load() + state.lost_errors);
  ssize_t ignored = write(state.queue->done_pipe[1], "d", 1);
  (void)ignored;
  return nullptr;
}
