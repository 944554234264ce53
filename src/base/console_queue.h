// Base, console queue: the two lanes of whole lines shared by the threads
// that fill them (the player, or whichever thread prints while a printing
// thread runs) and the printing thread, which empties them. Private to
// console.cpp and console_printer.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <pthread.h>

// What goes in front of each line in a lane. The drop totals are the
// filler's counts of lines dropped from the lane before this one, so that
// the printer says so where they were lost.
struct LineHeader {
  uint64_t length;  // bytes of the line after this header
  uint64_t fd;      // 1 or 2
  uint64_t dropped_lines;
  uint64_t dropped_bytes;
};

// One ring of lines. head and tail count bytes ever written and ever freed,
// so that head - tail is what the ring holds; only the filler moves head
// (storing it after the line's bytes, so the printer's acquire load sees
// them) and only the printer moves tail (storing it after it has read the
// line, so the filler's acquire load never lets it overwrite unread bytes).
struct ConsoleLane {
  char* ring = nullptr;
  size_t capacity = 0;
  std::atomic<size_t> head{0};
  std::atomic<size_t> tail{0};
  std::atomic<uint64_t> dropped_lines{0};  // written by the filler only; read by the printer at the end
  std::atomic<uint64_t> dropped_bytes{0};
};

// The lanes: error lines go out before any song text that waits, and only
// song text is dropped when the console cannot keep up.
enum { LANE_ERRORS = 0, LANE_TEXT = 1, LANE_COUNT = 2 };

// One console, from start_console to its end. Its fields are set before
// the printing thread starts and never changed or freed while that thread
// may read them: a printer left behind in a write keeps its console for
// the rest of the process.
//
// The printer's wait for work: the printer stores printer_idle = true, then
// loads both heads; the filler stores a head, then exchanges printer_idle
// for false and writes the work pipe if it was true. All four are
// sequentially consistent: with any weaker order, each thread's load could
// be satisfied before its own store is seen by the other (a store-load
// reordering), and the printer would sleep on a line that the filler
// thought it had seen.
struct ConsoleQueue {
  ConsoleLane lanes[LANE_COUNT];
  std::atomic<bool> ending{false};        // set by the main thread: no line follows those queued
  std::atomic<bool> printer_idle{false};  // set by the printer before it sleeps, cleared by the filler
  int work_pipe[2] = {-1, -1};            // readable when a line or the end came
  int done_pipe[2] = {-1, -1};            // readable once the printer has ended
  pthread_t printer;
};

// Copies count bytes out of a lane's ring from byte number at.
void ring_read(const ConsoleLane& lane, size_t at, void* out, size_t count);

// The printing thread's body, given its ConsoleQueue: writes the queued
// lines, error lines first, until both lanes are empty and ending is set,
// then writes one byte to done_pipe.
void* console_printer(void* queue);

// How long a stop leaves the console to take what is queued, and then how
// long the line that says what was dropped may wait for standard error.
constexpr int STOP_GRACE_MSEC = 300;
constexpr int DROP_REPORT_MSEC = 100;
