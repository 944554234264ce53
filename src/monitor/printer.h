// The monitor's console output: decoded lines handed to a printing thread
// through a bounded buffer, so that a console that stops reading (a pager, a
// terminal paused with Ctrl-S) can never hold up the reader of the nodes or
// its stop.
//
// It is kept apart from the player's console (base/console.h) on purpose:
// that console's lanes are sized for a song's text, it says its drops in
// the player's words, and its end follows the player's life cycle (a
// stop's grace, a pause taken around it). The monitor has one lane of
// decoded lines, drops the oldest beyond a fixed limit, and ends when the
// console has made no progress for a while; it needs neither the two lanes
// nor the pause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Text waiting beyond this many bytes is dropped, line by line, and counted.
constexpr size_t PRINTER_LIMIT = 1 << 20;

// Starts the printing thread that writes to fd. Returns 0, or -1 after
// saying why it could not start. One printer per process.
int printer_start(int fd);

// Hands text (whole lines) to the printer without ever waiting on the
// console; text that does not fit is dropped and counted.
void printer_put(const std::string& text);

// Waits until the printer has written everything handed to it, or until it
// has made no progress for idle_ms; false when text was left unwritten.
// The printing thread is left to the process's end: it may sit in a write
// that never returns.
bool printer_finish(int idle_ms);

// Lines dropped so far because the console did not keep up, or left
// unwritten at the end.
uint64_t printer_dropped_lines();
