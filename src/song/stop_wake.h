// Shared state, the stop's wake-up: a pipe whose read end becomes readable
// at the first stop request, so that a thread waiting in poll for a device
// or for the console sees the stop as soon as the player state does.
#pragma once

// Makes the pipe (both ends non-blocking and closed on exec); false when the
// system has no descriptor left, and the stop is then seen only by the
// threads that read the player state.
bool open_stop_wake();

// Makes the read end readable; async-signal-safe, and harmless before
// open_stop_wake or after close_stop_wake.
void raise_stop_wake();

// The read end to poll for POLLIN, or -1 while there is no pipe. Nobody
// reads it: once raised it stays readable until the pipe is closed.
int stop_wake_fd();

// Closes both ends; a second call does nothing.
void close_stop_wake();
