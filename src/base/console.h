// Base, console: every line the program prints while a song plays. The
// thread that prints (the player, while it plays) queues whole lines and a
// printing thread writes them, so that a console that stops reading (a
// pager, a terminal paused with Ctrl-S) costs song text, never a note.
// Lines for standard error (error lines) go in a lane of their own: they
// are never dropped for song text and go out before any that waits. While
// no printing thread runs (at start-up, after playback, in unit tests)
// every call below writes straight to stdio.
#pragma once

#include <cstddef>

// Flushes stdio, allocates the two lanes (the song text's big enough for
// the longest line the run will print, its label included) and starts the
// printing thread. False when memory, a pipe or the thread could not be
// had; the lines then go straight to stdio as before.
bool start_console(size_t longest_line);

// How end_console ended.
enum ConsoleEnd {
  CONSOLE_ENDED,    // the printing thread ended, or was left behind after a stop
  CONSOLE_PAUSED,   // a pause ended the wait; call again once it is taken
  CONSOLE_STOPPED,  // a stop ended the wait; call again once the ports are silent
};

// Ends the printing thread. Without a stop, everything queued is written,
// however long the console takes; a stop (before or during that wait)
// leaves the console a few hundred milliseconds, drops the rest and says
// how much. A thread stuck in a write past that bound is left behind, not
// joined, with its queue. What ends (WaitEndsOn of base/stop_wait.h) names
// ends the wait early, the printer still running.
ConsoleEnd end_console(unsigned ends);

// Begins a line for fd (standard output or standard error). While the
// printing thread runs, only one thread at a time may build lines.
void console_begin(int fd);

// Reserves room for bytes more of the line begun; false (the line is then
// dropped whole and counted at console_end) when its lane cannot hold them
// now. Always true while no printing thread runs.
bool console_reserve(size_t bytes);

// Adds bytes to the line begun; a line that no longer fits in its lane is
// dropped whole and counted.
void console_append(const char* bytes, size_t count);

// Adds formatted text to the line begun.
void console_appendf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the line begun and hands it to the printing thread.
void console_end();

// Queues one formatted line for fd (its text ends with its own newline).
void console_printf(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));
