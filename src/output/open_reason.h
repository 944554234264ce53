// Raw MIDI output, why a node did not open: the open of each port notes how
// it ended, and a port's failure can then be explained in one line, after
// the error lines that the open printed, in the system's words and with
// what the user can do about it.
#pragma once

// Noted for a node that turned into a FIFO between the look at it and the
// open, so that it was not kept.
constexpr int NODE_BECAME_FIFO = -1;

// Noted for a regular file that holds data: it opened, but is not written.
constexpr int NODE_HOLDS_DATA = -2;

// Notes how the open of port's node at path ended: 0 when it opened, else
// the open's errno, NODE_BECAME_FIFO or NODE_HOLDS_DATA. The path is cut to 255 characters.
void note_port_open(int port, const char* path, int error);

// Writes one line on standard error saying why port's node did not open and
// what to do about it; nothing when it opened. True when naming another
// node could help (the node is missing or is no device), false when the
// node is the right one and something else stands in the way (no program
// reads the FIFO, the user may not open it, another program has it).
bool explain_port_open(int port);

// Writes the reason line of each of ports 1 to 3 that was refused as a
// regular file with data: the song plays on without it, and the user learns
// that the file was kept and why.
void explain_files_kept();

// Forgets every note (between tests).
void forget_port_opens();
