// Meta-event display, console: the queue's player side, and the start and
// end of the printing thread.
#include "meta/console.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "meta/console_queue.h"
#include "meta/meta.h"
#include "song/clock.h"
#include "song/song.h"
#include "song/stop_wake.h"

ConsoleQueue console_queue;

namespace {

// The queue holds at least this much, and besides it one line as long as
// the song's longest text can make (a label, a channel prefix, the newline).
constexpr size_t QUEUE_FLOOR = 64 * 1024;
constexpr size_t LABEL_ROOM = 64;

// A queue this big holds minutes of the busiest karaoke file; a longer line
// (a text of many megabytes) is dropped and said rather than allocated for.
constexpr size_t QUEUE_CEILING = 64 * 1024 * 1024;

// Room for one formatted piece: an error line with a device path in it.
constexpr size_t FORMAT_ROOM = 4608;

// How long the end waits, once a stop was seen, for a printer that has not
// ended by itself: its grace, its drop line, and a margin for the scheduler.
constexpr int END_BOUND_MSEC = STOP_GRACE_MSEC + DROP_REPORT_MSEC + 200;

// The line being built by the player.
struct LineDraft {
  bool queued;   // false: written straight to stdio
  bool dropped;  // did not fit
  int fd;
  size_t start;     // byte number of its header
  size_t end;       // byte number after its last byte so far
  uint64_t length;  // bytes asked for, kept or not
};

LineDraft draft;

FILE* stream_of(int fd) { return fd == STDERR_FILENO ? stderr : stdout; }

// Copies count bytes into the ring at byte number at, wrapping at its end.
void ring_write(size_t at, const void* bytes, size_t count) {
  size_t offset = at % console_queue.capacity;
  size_t first = std::min(count, console_queue.capacity - offset);
  memcpy(console_queue.ring + offset, bytes, first);
  memcpy(console_queue.ring, static_cast<const char*>(bytes) + first, count - first);
}

// Whether the ring can hold everything up to byte number end.
bool ring_has_room(size_t end) {
  return end - console_queue.tail.load(std::memory_order_acquire) <= console_queue.capacity;
}

// Writes one byte to a non-blocking pipe; a full pipe already wakes its reader.
void poke(int fd) {
  ssize_t ignored = write(fd, "w", 1);
  (void)ignored;
}

// The queue's size for the loaded song: room for its longest line on top of the floor.
size_t queue_capacity() {
  size_t text = text_buffer_size(playback_info.longest_meta);
  size_t line = sizeof(LineHeader) + LABEL_ROOM + text;
  if (text == 0 || line > QUEUE_CEILING - QUEUE_FLOOR) return QUEUE_CEILING;
  return QUEUE_FLOOR + line;
}

// Makes a pipe whose ends never block and are closed on exec.
bool open_quiet_pipe(int ends[2]) {
  if (pipe(ends) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    int flags = fcntl(ends[i], F_GETFL);
    if (flags == -1 || fcntl(ends[i], F_SETFL, flags | O_NONBLOCK) != 0 || fcntl(ends[i], F_SETFD, FD_CLOEXEC) != 0) {
      close(ends[0]);
      close(ends[1]);
      ends[0] = ends[1] = -1;
      return false;
    }
  }
  return true;
}

void close_pipe(int ends[2]) {
  for (int i = 0; i < 2; ++i) {
    if (ends[i] >= 0) close(ends[i]);
    ends[i] = -1;
  }
}

// Releases what start_console took; only once the printer has ended.
void release_queue() {
  free(console_queue.ring);
  console_queue.ring = nullptr;
  close_pipe(console_queue.work_pipe);
  close_pipe(console_queue.done_pipe);
}

// Starts the printer with every signal held back from it, so that a stop
// signal always reaches the player (and breaks its sleep) or the main thread.
bool start_printer() {
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  int error = pthread_create(&console_queue.printer, nullptr, console_printer, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return error == 0;
}

// Waits for the printer's end: without limit until a stop is seen, then at
// most END_BOUND_MSEC. True when it ended.
bool wait_for_printer() {
  int64_t deadline = -1;
  for (;;) {
    if (deadline < 0 && stop_asked_for()) deadline = monotonic_ms() + END_BOUND_MSEC;
    int timeout = deadline < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, deadline - monotonic_ms()));
    pollfd waits[2] = {{console_queue.done_pipe[0], POLLIN, 0}, {stop_wake_fd(), POLLIN, 0}};
    nfds_t count = deadline < 0 && stop_wake_fd() >= 0 ? 2 : 1;
    // Without the stop's pipe, the stop is looked for ten times a second.
    if (deadline < 0 && stop_wake_fd() < 0) timeout = 100;
    int ready = poll(waits, count, timeout);
    if (ready > 0 && (waits[0].revents & POLLIN) != 0) return true;
    if (ready == 0 && deadline >= 0 && monotonic_ms() >= deadline) return false;
  }
}

// Formats into the line begun: straight to stdio, or through a piece on the
// stack into the ring.
void append_formatted(const char* format, va_list args) {
  if (!draft.queued) {
    vfprintf(stream_of(draft.fd), format, args);
    return;
  }
  char piece[FORMAT_ROOM];
  int length = vsnprintf(piece, sizeof piece, format, args);
  if (length > 0) console_append(piece, std::min(static_cast<size_t>(length), sizeof piece - 1));
}

}  // namespace

void ring_read(size_t at, void* out, size_t count) {
  size_t offset = at % console_queue.capacity;
  size_t first = std::min(count, console_queue.capacity - offset);
  memcpy(out, console_queue.ring + offset, first);
  memcpy(static_cast<char*>(out) + first, console_queue.ring, count - first);
}

bool start_console() {
  fflush(stdout);
  fflush(stderr);
  if (console_queue.running.load()) return true;
  console_queue.capacity = queue_capacity();
  console_queue.ring = static_cast<char*>(malloc(console_queue.capacity));
  console_queue.head.store(0);
  console_queue.tail.store(0);
  console_queue.ending.store(false);
  console_queue.printer_idle.store(false);
  console_queue.dropped_lines.store(0);
  console_queue.dropped_bytes.store(0);
  if (console_queue.ring == nullptr || !open_quiet_pipe(console_queue.work_pipe) ||
      !open_quiet_pipe(console_queue.done_pipe)) {
    release_queue();
    return false;
  }
  console_queue.running.store(true);
  if (start_printer()) return true;
  console_queue.running.store(false);
  release_queue();
  return false;
}

void stop_console() {
  if (!console_queue.running.load()) return;
  console_queue.ending.store(true);
  poke(console_queue.work_pipe[1]);
  bool ended = wait_for_printer();
  console_queue.running.store(false);
  if (ended) {
    pthread_join(console_queue.printer, nullptr);
    release_queue();
  } else {
    // Stuck in a write to a console that takes nothing: the process ends
    // without it, and its queue and pipes stay for it to the end.
    pthread_detach(console_queue.printer);
    console_queue.ring = nullptr;
    console_queue.work_pipe[0] = console_queue.work_pipe[1] = -1;
    console_queue.done_pipe[0] = console_queue.done_pipe[1] = -1;
  }
}

void console_begin(int fd) {
  draft = LineDraft{};
  draft.fd = fd;
  draft.queued = console_queue.running.load(std::memory_order_acquire);
  if (!draft.queued) return;
  draft.start = console_queue.head.load(std::memory_order_relaxed);
  draft.end = draft.start + sizeof(LineHeader);
  draft.dropped = !ring_has_room(draft.end);
}

void console_append(const char* bytes, size_t count) {
  if (!draft.queued) {
    fwrite(bytes, 1, count, stream_of(draft.fd));
    return;
  }
  draft.length += count;
  if (draft.dropped) return;
  if (!ring_has_room(draft.end + count)) {
    draft.dropped = true;
    return;
  }
  ring_write(draft.end, bytes, count);
  draft.end += count;
}

// Only the player moves head and the printer only frees room, so room seen
// now stays for the line. More than the whole ring is never there, however
// draft.end + bytes would wrap.
bool console_reserve(size_t bytes) {
  if (!draft.queued) return true;
  if (bytes > console_queue.capacity || !ring_has_room(draft.end + bytes)) draft.dropped = true;
  return !draft.dropped;
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
  if (draft.dropped) {
    console_queue.dropped_lines.store(console_queue.dropped_lines.load(std::memory_order_relaxed) + 1,
                                      std::memory_order_relaxed);
    console_queue.dropped_bytes.store(console_queue.dropped_bytes.load(std::memory_order_relaxed) + draft.length,
                                      std::memory_order_relaxed);
    return;
  }
  LineHeader header = {draft.end - draft.start - sizeof(LineHeader), static_cast<uint64_t>(draft.fd),
                       console_queue.dropped_lines.load(std::memory_order_relaxed),
                       console_queue.dropped_bytes.load(std::memory_order_relaxed)};
  ring_write(draft.start, &header, sizeof header);
  console_queue.head.store(draft.end);
  if (console_queue.printer_idle.exchange(false)) poke(console_queue.work_pipe[1]);
}

void console_printf(int fd, const char* format, ...) {
  va_list args;
  va_start(args, format);
  console_begin(fd);
  append_formatted(format, args);
  console_end();
  va_end(args);
}
