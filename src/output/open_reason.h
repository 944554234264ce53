// Raw MIDI output, why a node did not open: each port's record keeps how
// its open ended, and a port's failure can then be explained in one line,
// after the error lines that the open printed, in the system's words and
// with what the user can do about it.
#pragma once

#include "output/ports.h"

// Writes one line on standard error saying why the port's node did not open
// and what to do about it; nothing when it opened. True when naming another
// node could help (the node is missing, is no device, or is a file with
// data), false when the node is the right one and something else stands in
// the way (no program reads the FIFO, the user may not open it, another
// program has it).
bool explain_open(const Port* port);

// explain_open for a port of the run's table (0 to 3); false for any other number.
bool explain_port_open(int port);

// Writes the reason line of each of ports 1 to 3 that was refused as a
// regular file with data: the song plays on without it, and the user learns
// that the file was kept and why.
void explain_files_kept(const PortTable* table);
