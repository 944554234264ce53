// Raw MIDI output: one record per port holding everything about it; the
// unit search under /dev/, naming, opening and closing (port_open.cpp);
// writing byte blocks to a port and silencing every port (ports.cpp).
#pragma once

#include <cstddef>

constexpr int PORT_COUNT = 4;

// Every name and path here holds 255 characters and the NUL, and is cut there.
constexpr size_t PORT_NAME_SIZE = 256;

// How the open of a node that did open ended when the node is still no
// port (else the open's errno, or 0): it turned into a FIFO between the look
// at it and the open, so it was not kept.
constexpr int NODE_BECAME_FIFO = -1;

// The node is a regular file that holds data: opened, but never written.
constexpr int NODE_HOLDS_DATA = -2;

// Everything about one port. A port is written from the player thread only,
// and opened and closed on the main thread while no player thread exists, so
// no field needs a lock. A test builds one as it needs it: only a descriptor
// it sets is ever written.
struct Port {
  int number = 0;                       // 0 to 3, for the lines that name the port
  const char* name = nullptr;           // as -0 … -3 gave it, or generated; '/' first: a whole path, else under /dev/
  char generated[PORT_NAME_SIZE] = {};  // the name made up for a port given none
  char path[PORT_NAME_SIZE] = {};       // the node's path as opened, for every line about the port
  int fd = -1;                          // -1: never opened, refused, closed, or lost
  int open_error = 0;                   // how the open ended: 0, the open's errno, NODE_BECAME_FIFO or NODE_HOLDS_DATA
  // Sticky, so that each thing is said once. A lost port's descriptor is -1
  // too, but -1 alone means a port that never opened, which is still written
  // (each of its three attempts fails at once, without a word); lost is what
  // stops every write to a port that went away.
  bool lost = false;             // the device went away: the port is written no more
  bool stalled = false;          // it took no byte for a while as the song waited on it
  bool dropped = false;          // bytes of a message could not be written
  bool sound_off_short = false;  // an All Sound Off did not reach it whole
  // What is left of a message whose wait for room a pause ended: it goes to
  // the device ahead of the pause's All Sound Off, so that the device never
  // gets half a message before it.
  const unsigned char* cut_message = nullptr;
  size_t cut_count = 0;
};

// The run's four ports, indexed by port number. names are what -0 … -3
// gave (null for a port not named), filled in by the run before open_ports,
// which takes them into the records; nothing reads them after.
struct PortTable {
  const char* names[PORT_COUNT] = {};
  Port ports[PORT_COUNT];
};

extern PortTable port_table;

// A table of four ports numbered 0 to 3, none named or open.
PortTable fresh_port_table();

// 1 when /dev/ holds an entry of exactly this name, 0 when not, -1 when /dev/ cannot be read.
int device_exists(const char* name);

// Finds the unit, names the ports not given a name and opens all four; 0
// when port 0 is open, else -1.
int open_ports(const char* base, PortTable* table);

// Writes a block to a port of the run's table and returns the bytes not
// written (all of them for a port number outside 0 to 3); see write_to_port.
int write_port(int port, const void* data, size_t length);

// Writes a block to the port and returns the bytes not written. The device
// is given all the time it needs to take the block, waiting for room in
// poll; three writes that take nothing give the rest up. A device that is
// gone is reported once, closed and marked lost, and written no more; other
// lost bytes are reported once per port. A port that takes nothing for a
// few seconds is reported once as stalled; a stop ends any wait for room,
// and so does a pause, after which the rest of the block goes out ahead of
// the pause's All Sound Off (silence_ports) and 0 is returned.
int write_to_port(Port* port, const void* data, size_t length);

// True while at least one port of the run is open and not lost: once it is
// false, no byte of the song can reach any device.
bool any_port_open();

// True once a byte meant for an open port of the run was lost (a lost
// device, a write error, an All Sound Off block that did not fit in time):
// the run failed.
bool port_bytes_lost();

// Silences the run's ports (silence_ports); always 0.
int silence_all_ports();

// Sends All Sound Off on all sixteen channels to every open port of the
// table at once, each port taking the block as room appears, for two
// seconds at most in all; a port that has not taken the whole block by then
// is named. Always 0.
int silence_ports(PortTable* table);

// Closes every open port of the run; always 0.
int close_ports();

// Puts the run's table back to no names and no descriptors (between tests);
// a descriptor is forgotten, not closed, since a test may have planted one.
void reset_port_table();
