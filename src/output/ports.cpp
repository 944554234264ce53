// Raw MIDI output: the unit search, the port names, opening, writing,
// silencing and closing the four ports.
#include "output/ports.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

PortTable port_table = {{nullptr, nullptr, nullptr, nullptr}, {-1, -1, -1, -1}};

namespace {

const size_t name_size = 256;
const int last_unit = 14;
const int port_count = 4;

// The names that open_ports makes itself, one buffer per port; they must live
// as long as the table points at them.
char generated_names[port_count][name_size];

// Formats "<base><unit>.<port>" into a 256-byte buffer, cut to 255 characters.
void format_node_name(char* buffer, const char* base, int unit, int port) {
  snprintf(buffer, name_size, "%s%d.%d", base, unit, port);
}

// The first unit 0 … 14 whose port-0 node exists under /dev/, else 15.
int find_unit(const char* base) {
  char probe[name_size];
  for (int unit = 0; unit <= last_unit; ++unit) {
    format_node_name(probe, base, unit, 0);
    if (device_exists(probe) > 0) return unit;
  }
  return last_unit + 1;
}

// True when candidate equals one of the names already in the table.
bool name_taken(const PortTable* table, const char* candidate) {
  for (const char* name : table->names)
    if (name != nullptr && strncmp(name, candidate, name_size) == 0) return true;
  return false;
}

// Gives every unnamed port the first "<base><unit>.<i>" that no port has yet;
// with at most three other names in the way, one of the first four is free.
void name_unnamed_ports(const char* base, int unit, PortTable* table) {
  for (int port = 0; port < port_count; ++port) {
    if (table->names[port] != nullptr) continue;
    for (int candidate = 0; candidate <= last_unit; ++candidate) {
      format_node_name(generated_names[port], base, unit, candidate);
      if (!name_taken(table, generated_names[port])) {
        table->names[port] = generated_names[port];
        break;
      }
    }
  }
}

// Opens one port's node read-write and blocking; prints its line on failure.
void open_port(PortTable* table, int port) {
  char path[name_size];
  snprintf(path, sizeof path, "/dev/%s", table->names[port]);
  table->fds[port] = open(path, O_RDWR);
  if (table->fds[port] < 0)
    fprintf(stderr, "Error!!: Can't Open MidiDevice (Device=%s Port=%d)\n", table->names[port], port);
}

}  // namespace

int device_exists(const char* name) {
  size_t length = strnlen(name, name_size);
  DIR* dev = opendir("/dev/");
  if (dev == nullptr) return -1;
  int found = 0;
  while (const dirent* entry = readdir(dev)) {
    if (strlen(entry->d_name) == length && strncmp(entry->d_name, name, length) == 0) {
      found = 1;
      break;
    }
  }
  closedir(dev);
  return found;
}

int open_ports(const char* base, PortTable* table) {
  for (int& fd : table->fds) fd = -1;
  int unit = find_unit(base);
  name_unnamed_ports(base, unit, table);
  for (int port = 0; port < port_count; ++port) open_port(table, port);
  if (table->fds[0] < 0) {
    fputs("Error!!: Can't Open RawMidi Device Port=0 => Can't play MIDI-File. Exit.\n", stderr);
    return -1;
  }
  return 0;
}

// Three attempts at most: a short write advances, a failed one is tried again
// from the same place; what is left after the third is dropped.
int write_port(int port, const void* data, size_t length) {
  if (length == 0) return 0;
  const uint8_t* position = static_cast<const uint8_t*>(data);
  size_t remaining = length;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ssize_t written = write(port_table.fds[port], position, remaining);
    if (written < 0) continue;
    if (static_cast<size_t>(written) >= remaining) return 0;
    position += written;
    remaining -= static_cast<size_t>(written);
  }
  return static_cast<int>(remaining);
}

int silence_all_ports() {
  uint8_t block[48];
  for (int channel = 0; channel < 16; ++channel) {
    block[channel * 3] = static_cast<uint8_t>(0xB0 + channel);
    block[channel * 3 + 1] = 0x78;
    block[channel * 3 + 2] = 0x00;
  }
  for (int port = 0; port < port_count; ++port) write_port(port, block, sizeof block);
  return 0;
}

int close_ports() {
  for (int& fd : port_table.fds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  return 0;
}

void reset_port_table() { port_table = PortTable{{nullptr, nullptr, nullptr, nullptr}, {-1, -1, -1, -1}}; }
