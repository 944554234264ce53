// Raw MIDI output: finds the device unit under /dev/, names and opens the
// four ports, writes byte blocks to them and silences them.
#pragma once

#include <cstddef>

// Four port names relative to /dev/ and four descriptors (-1 when not open).
struct PortTable {
  const char* names[4];
  int fds[4];
};

extern PortTable port_table;

// 1 when /dev/ holds an entry of exactly this name, 0 when not, -1 when /dev/ cannot be read.
int device_exists(const char* name);

// Finds the unit, names the unnamed ports and opens all four; 0 when port 0 is open, else -1.
int open_ports(const char* base, PortTable* table);

// Writes a block to a port in at most three attempts; returns the bytes not written.
int write_port(int port, const void* data, size_t length);

// Sends All Sound Off on all sixteen channels to ports 0, 1, 2 and 3; always 0.
int silence_all_ports();

// Called on a stop request, also from a signal handler: a write that the
// interrupt breaks is not tried again, and the silencing waits at most a
// moment for a port that no longer takes bytes.
void interrupt_port_writes();

// Lets writes retry again; the player calls it when a stop request is lost at its start.
void resume_port_writes();

// Closes every open port; always 0.
int close_ports();

// Puts the table back to no names and no descriptors (between tests).
void reset_port_table();
