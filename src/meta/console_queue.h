// Meta-event display, console queue: the ring of whole lines shared by the
// player thread, which fills it, and the printing thread, which empties it.
// Private to console.cpp and console_printer.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <pthread.h>

// What goes in front of each line in the ring. The drop totals are the
// player's counts of lines dropped before this one, so that the printer
// says so where they were lost.
struct LineHeader {
  uint64_t length;  // bytes of the line after this header
  uint64_t fd;      // 1 or 2
  uint64_t dropped_lines;
  uint64_t dropped_bytes;
};

// The queue. head and tail count bytes ever written and ever freed, so that
// head - tail is what the ring holds; only the player moves head and only
// the printer moves tail, which makes the queue lock-free both ways.
struct ConsoleQueue {
  char* ring = nullptr;
  size_t capacity = 0;
  std::atomic<size_t> head{0};
  std::atomic<size_t> tail{0};
  std::atomic<bool> running{false};        // lines go to the ring, not to stdio
  std::atomic<bool> ending{false};         // no line will follow the ones queued
  std::atomic<bool> printer_idle{false};   // the printer waits for a line
  std::atomic<uint64_t> dropped_lines{0};  // by the player, from the start
  std::atomic<uint64_t> dropped_bytes{0};  // by the player, from the start
  int work_pipe[2] = {-1, -1};             // readable when a line or the end came
  int done_pipe[2] = {-1, -1};             // readable once the printer has ended
  pthread_t printer;
};

extern ConsoleQueue console_queue;

// Copies count bytes out of the ring from byte number at.
void ring_read(size_t at, void* out, size_t count);

// The printing thread's body: writes the queued lines until the queue is
// empty and ending is set, then writes one byte to done_pipe.
void* console_printer(void* unused);

// How long a stop leaves the console to take what is queued, and then how
// long the line that says what was dropped may wait for standard error.
constexpr int STOP_GRACE_MSEC = 300;
constexpr int DROP_REPORT_MSEC = 100;
