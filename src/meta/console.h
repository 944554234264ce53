// Meta-event display, console: the song's text on its way to the terminal.
// The player thread queues whole lines and a printing thread writes them, so
// that a console that stops reading (a pager, a terminal paused with Ctrl-S)
// costs text, never a note. While no printing thread runs (before and after
// playback, in unit tests) every call below writes straight to stdio.
#pragma once

#include <cstddef>

// Flushes stdio, allocates a queue that the loaded song's longest text line
// fits in, and starts the printing thread. False when memory, a pipe or the
// thread could not be had; the text then goes straight to stdio as before.
bool start_console();

// Ends the printing thread. Without a stop, everything queued is written,
// however long the console takes; a stop (before or during that wait) leaves
// the console a few hundred milliseconds, drops the rest and says how much.
// A thread stuck in a write past that bound is left behind, not joined.
void stop_console();

// Begins a line for fd (standard output or standard error). While the
// printing thread runs, only the player thread may build lines.
void console_begin(int fd);

// Adds bytes to the line begun; a line that no longer fits in the queue is
// dropped whole and counted.
void console_append(const char* bytes, size_t count);

// Reserves room for bytes more of the line begun; false (the line then
// dropped whole and counted at console_end) when the queue cannot hold them
// now. Always true while no printing thread runs.
bool console_reserve(size_t bytes);

// Adds formatted text to the line begun.
void console_appendf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the line begun and hands it to the printing thread.
void console_end();

// Queues one formatted line for fd (its text ends with its own newline).
void console_printf(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));
