// Raw MIDI output: finds the device unit under /dev/, names and opens the
// four ports, writes byte blocks to them and silences them.
#pragma once

#include <cstddef>

// Four port names and four descriptors (-1 when not open). A name that
// begins with '/' is the node's whole path; any other lies under /dev/.
struct PortTable {
  const char* names[4];
  int fds[4];
};

extern PortTable port_table;

// 1 when /dev/ holds an entry of exactly this name, 0 when not, -1 when /dev/ cannot be read.
int device_exists(const char* name);

// Finds the unit, names the unnamed ports and opens all four; 0 when port 0 is open, else -1.
int open_ports(const char* base, PortTable* table);

// Writes a block to a port in at most three attempts; returns the bytes not
// written. A write that fails because the device is gone reports it once,
// closes the port and marks it lost; a lost port is written no more.
int write_port(int port, const void* data, size_t length);

// True while at least one port is open and not lost: once it is false, no
// byte of the song can reach any device.
bool any_port_open();

// Sends All Sound Off on all sixteen channels to ports 0, 1, 2 and 3; always
// 0. After a stop, a port that takes no byte for a moment is passed over, and
// the port whose write the stop broke gets a single attempt.
int silence_all_ports();

// Called on a stop request, also from a signal handler (async-signal-safe):
// a write under way when it comes is not tried again. A write that starts
// after it keeps the full retry.
void interrupt_port_writes();

// Closes every open port; always 0.
int close_ports();

// Puts the table back to no names and no descriptors (between tests).
void reset_port_table();
