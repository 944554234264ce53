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

// Writes a block to a port and returns the bytes not written. The device
// is given all the time it needs to take the block, waiting for room in
// poll; three writes that take nothing give the rest up. A device that is
// gone is reported once, closed and marked lost, and written no more; other
// lost bytes are reported once per port. A port that takes nothing for a
// few seconds is reported once as stalled; a stop ends any wait for room,
// and so does a pause, after which the rest of the block goes out ahead of
// the pause's All Sound Off (silence_all_ports) and 0 is returned.
int write_port(int port, const void* data, size_t length);

// True while at least one port is open and not lost: once it is false, no
// byte of the song can reach any device.
bool any_port_open();

// True once a byte meant for an open port was lost (a lost device, a write
// error, an All Sound Off block that did not fit in time): the run failed.
bool port_bytes_lost();

// Sends All Sound Off on all sixteen channels to every open port at once,
// each port taking the block as room appears, for two seconds at most in
// all; a port that has not taken the whole block by then is named. Always 0.
int silence_all_ports();

// Closes every open port; always 0.
int close_ports();

// Puts the table back to no names and no descriptors (between tests).
void reset_port_table();
