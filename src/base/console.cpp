// Base, console: the lanes' filling side, and the start and end of the
// printing thread.
#include "base/console.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/console_queue.h"
#include "base/life_cycle.h"
#include "base/pipe.h"
#include "base/stop_wait.h"

namespace {

// The song text's lane holds at least this much, and besides it one line
// as long as the run said its longest would be.
constexpr size_t TEXT_FLOOR = 64 * 1024;

// A lane this big holds minutes of the busiest karaoke file; a longer line
// (a text of many megabytes) is dropped and said rather than allocated for.
constexpr size_t TEXT_CEILING = 64 * 1024 * 1024;

// The error lane: thousands of error lines. The player says each fault of
// a port once, so only a song full of texts in another encoding than the
// one named comes near it, and only while the console takes nothing.
constexpr size_t ERROR_LANE_SIZE = 256 * 1024;

// Room for one formatted piece: an error line with a device path in it.
constexpr size_t FORMAT_ROOM = 4608;

// How long the end waits, once a stop was seen, for a printer that has not
// ended by itself: its grace, its drop line, and a margin for the scheduler.
constexpr int END_BOUND_MSEC = STOP_GRACE_MSEC + DROP_REPORT_MSEC + 200;

// The console of the printing thread that runs, or null while none does.
// Written by the main thread only, before the player thread starts and
// after it has been joined, so the filler reads it without ordering.
ConsoleQueue* console = nullptr;

// Consoles whose printer was left behind in a write: never freed, so that
// the printer never reads freed memory; kept here so they stay reachable.
ConsoleQueue* left_behind[8];
size_t left_behind_count = 0;

// The line being built by the filler.
struct LineDraft {
  bool queued;   // false: written straight to stdio
  bool dropped;  // did not fit
  int fd;
  ConsoleLane* lane;
  size_t start;     // byte number of its header
  size_t end;       // byte number after its last byte so far
  uint64_t length;  // bytes asked for, kept or not
};

LineDraft draft;

FILE* stream_of(int fd) { return fd == STDERR_FILENO ? stderr : stdout; }

// Copies count bytes into a lane's ring at byte number at, wrapping at its end.
void ring_write(ConsoleLane* lane, size_t at, const void* bytes, size_t count) {
  size_t offset = at % lane->capacity;
  size_t first = std::min(count, lane->capacity - offset);
  memcpy(lane->ring + offset, bytes, first);
  memcpy(lane->ring, static_cast<const char*>(bytes) + first, count - first);
}

// Whether the lane can hold everything up to byte number end. The byte
// numbers never wrap: a size_t counts more bytes than a run can print.
bool ring_has_room(const ConsoleLane& lane, size_t end) {
  return end - lane.tail.load(std::memory_order_acquire) <= lane.capacity;
}

// The song text lane's size: room for the longest line on top of the floor.
size_t text_lane_size(size_t longest_line) {
  size_t line = sizeof(LineHeader) + longest_line;
  if (longest_line == 0 || line < longest_line || line > TEXT_CEILING - TEXT_FLOOR) return TEXT_CEILING;
  return TEXT_FLOOR + line;
}

// Releases a console whose printer has ended, or never started.
void release(ConsoleQueue* queue) {
  for (ConsoleLane& lane : queue->lanes) free(lane.ring);
  close_quiet_pipe(queue->work_pipe);
  close_quiet_pipe(queue->done_pipe);
  delete queue;
}

// A console with its lanes and pipes, or null when any could not be had.
ConsoleQueue* make_console(size_t longest_line) {
  ConsoleQueue* queue = new (std::nothrow) ConsoleQueue;
  if (queue == nullptr) return nullptr;
  queue->lanes[LANE_ERRORS].capacity = ERROR_LANE_SIZE;
  queue->lanes[LANE_TEXT].capacity = text_lane_size(longest_line);
  bool made = true;
  for (ConsoleLane& lane : queue->lanes) {
    lane.ring = static_cast<char*>(malloc(lane.capacity));
    made = made && lane.ring != nullptr;
  }
  if (made && open_quiet_pipe(queue->work_pipe) && open_quiet_pipe(queue->done_pipe)) return queue;
  release(queue);
  return nullptr;
}

// Starts the printer with every signal held back from it, so that a stop
// or pause signal always reaches the player (and breaks its sleep) or the
// main thread.
bool start_printer(ConsoleQueue* queue) {
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  int error = pthread_create(&queue->printer, nullptr, console_printer, queue);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return error == 0;
}

// How a wait for the printer ended.
enum PrinterWait { PRINTER_ENDED, PRINTER_STUCK, PRINTER_PAUSED, PRINTER_STOPPED };

// Waits for the printer's end: without limit until a stop is seen, then at
// most END_BOUND_MSEC; what ends names ends the wait early.
PrinterWait wait_for_printer(ConsoleQueue* queue, unsigned ends) {
  pollfd done = {queue->done_pipe[0], POLLIN, 0};
  if (!stop_raised()) {
    WaitEnd end = wait_beside_stop(&done, 1, -1, ends | ENDS_ON_STOP);
    if (end == WAIT_READY) return PRINTER_ENDED;
    if (end == WAIT_PAUSE) return PRINTER_PAUSED;
    if ((ends & ENDS_ON_STOP) != 0) return PRINTER_STOPPED;
  }
  return wait_beside_stop(&done, 1, END_BOUND_MSEC, ENDS_ON_NEITHER) == WAIT_READY ? PRINTER_ENDED : PRINTER_STUCK;
}

// Formats into the line begun: straight to stdio, or through a piece on the
// stack into the lane.
void append_formatted(const char* format, va_list args) {
  if (!draft.queued) {
    vfprintf(stream_of(draft.fd), format, args);
    return;
  }
  char piece[FORMAT_ROOM];
  int length = vsnprintf(piece, sizeof piece, format, args);
  if (length > 0) console_append(piece, std::min(static_cast<size_t>(length), sizeof piece - 1));
}

// Counts a relaxed total up by one step; only the filler writes it.
void count_up(std::atomic<uint64_t>* total, uint64_t step) {
  total->store(total->load(std::memory_order_relaxed) + step, std::memory_order_relaxed);
}

}  // namespace

void ring_read(const ConsoleLane& lane, size_t at, void* out, size_t count) {
  size_t offset = at % lane.capacity;
  size_t first = std::min(count, lane.capacity - offset);
  memcpy(out, lane.ring + offset, first);
  memcpy(static_cast<char*>(out) + first, lane.ring, count - first);
}

bool start_console(size_t longest_line) {
  fflush(stdout);
  fflush(stderr);
  if (console != nullptr) return true;
  ConsoleQueue* queue = make_console(longest_line);
  if (queue == nullptr) return false;
  if (!start_printer(queue)) {
    release(queue);
    return false;
  }
  console = queue;
  return true;
}

ConsoleEnd end_console(unsigned ends) {
  if (console == nullptr) return CONSOLE_ENDED;
  console->ending.store(true);
  poke_pipe(console->work_pipe[1]);
  PrinterWait ended = wait_for_printer(console, ends);
  if (ended == PRINTER_PAUSED) return CONSOLE_PAUSED;
  if (ended == PRINTER_STOPPED) return CONSOLE_STOPPED;
  if (ended == PRINTER_ENDED) {
    pthread_join(console->printer, nullptr);
    release(console);
  } else {
    // Stuck in a write to a console that takes nothing: the process ends
    // without it, and its console stays whole for it to the end.
    pthread_detach(console->printer);
    if (left_behind_count < sizeof left_behind / sizeof left_behind[0]) left_behind[left_behind_count++] = console;
  }
  console = nullptr;
  return CONSOLE_ENDED;
}

void console_begin(int fd) {
  draft = LineDraft{};
  draft.fd = fd;
  draft.queued = console != nullptr;
  if (!draft.queued) return;
  draft.lane = &console->lanes[fd == STDERR_FILENO ? LANE_ERRORS : LANE_TEXT];
  draft.start = draft.lane->head.load(std::memory_order_relaxed);
  draft.end = draft.start + sizeof(LineHeader);
  draft.dropped = !ring_has_room(*draft.lane, draft.end);
}

bool console_reserve(size_t bytes) {
  if (!draft.queued) return true;
  if (!draft.dropped && (bytes > draft.lane->capacity || !ring_has_room(*draft.lane, draft.end + bytes))) {
    draft.dropped = true;
  }
  return !draft.dropped;
}

void console_append(const char* bytes, size_t count) {
  if (!draft.queued) {
    fwrite(bytes, 1, count, stream_of(draft.fd));
    return;
  }
  draft.length += count;
  if (draft.dropped) return;
  if (count > draft.lane->capacity || !ring_has_room(*draft.lane, draft.end + count)) {
    draft.dropped = true;
    return;
  }
  ring_write(draft.lane, draft.end, bytes, count);
  draft.end += count;
}

void console_appendf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  append_formatted(format, args);
  va_end(args);
}

// Publishing head after the line's bytes lets the printer read them; the
// pipe is written only when the printer said it waits, so a line costs no
// system call while the printer keeps up with a busy stretch.
void console_end() {
  if (!draft.queued) return;
  ConsoleLane* lane = draft.lane;
  if (draft.dropped) {
    count_up(&lane->dropped_lines, 1);
    count_up(&lane->dropped_bytes, draft.length);
    return;
  }
  LineHeader header = {draft.end - draft.start - sizeof(LineHeader), static_cast<uint64_t>(draft.fd),
                       lane->dropped_lines.load(std::memory_order_relaxed),
                       lane->dropped_bytes.load(std::memory_order_relaxed)};
  ring_write(lane, draft.start, &header, sizeof header);
  lane->head.store(draft.end);
  if (console->printer_idle.exchange(false)) poke_pipe(console->work_pipe[1]);
}

void console_printf(int fd, const char* format, ...) {
  va_list args;
  va_start(args, format);
  console_begin(fd);
  append_formatted(format, args);
  console_end();
  va_end(args);
}
