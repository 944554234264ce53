// Base, pipes: the one way the programs make the pipes their threads and
// signal handlers wake each other with.
#pragma once

// Makes a pipe whose ends never block and are closed on exec, both on
// descriptors at or above lowest_fd (3 keeps them off the standard
// descriptors, where a pipe would be written to as if it were the
// terminal). False, ends at -1 and errno telling why, when it cannot be made.
bool open_quiet_pipe(int ends[2], int lowest_fd = 3);

// Closes a pipe's ends that are open and marks them -1.
void close_quiet_pipe(int ends[2]);

// Writes one byte to a quiet pipe's write end, keeping errno (a signal
// handler calls it); a full pipe is already readable, so a failed write
// is harmless.
void poke_pipe(int write_end);

// Reads a quiet pipe's read end empty.
void drain_pipe(int read_end);
