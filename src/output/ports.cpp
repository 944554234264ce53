// Raw MIDI output: the port table, the unit search under /dev/, opening,
// writing and silencing the ports.
#include "output/ports.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

PortTable port_table = {{nullptr, nullptr, nullptr, nullptr}, {-1, -1, -1, -1}};

namespace {

constexpr int PORT_COUNT = 4;
constexpr size_t NAME_SIZE = 256;  // 255 characters and the NUL
constexpr int LAST_UNIT_PROBED = 14;
constexpr int CANDIDATE_COUNT = 15;
constexpr int WRITE_ATTEMPTS = 3;

// How long the stop waits for a port to take the All Sound Off block before
// it counts the device as stalled.
constexpr int STALLED_PORT_MSEC = 500;

// Set by a stop request; read by the writes that the stop may have broken.
std::atomic<bool> writes_interrupted;
static_assert(std::atomic<bool>::is_always_lock_free, "stored from a signal handler");

// Names made up for unnamed ports; static because the table points at them
// after open_ports has returned.
char generated_names[PORT_COUNT][NAME_SIZE];

// The device unit whose port 0 node is the first to exist, or one past the last unit probed.
int find_device_unit(const char* base) {
  char probe[NAME_SIZE];
  for (int unit = 0; unit <= LAST_UNIT_PROBED; ++unit) {
    snprintf(probe, sizeof probe, "%s%d.%d", base, unit, 0);
    if (device_exists(probe) > 0) return unit;
  }
  return LAST_UNIT_PROBED + 1;
}

// True when some named port of the table already carries this name.
bool name_taken(const PortTable* table, const char* name) {
  for (int p = 0; p < PORT_COUNT; ++p) {
    if (table->names[p] != nullptr && strncmp(table->names[p], name, NAME_SIZE) == 0) return true;
  }
  return false;
}

// Gives every unnamed port the first port name of the unit that no other port
// uses. A base so long that the cut makes every candidate alike would leave
// a port without any name; it keeps the last candidate instead, so that the
// open below always has a name to try and to report.
void name_free_ports(const char* base, int unit, PortTable* table) {
  for (int p = 0; p < PORT_COUNT; ++p) {
    if (table->names[p] != nullptr) continue;
    for (int candidate = 0; candidate < CANDIDATE_COUNT; ++candidate) {
      snprintf(generated_names[p], NAME_SIZE, "%s%d.%d", base, unit, candidate);
      if (!name_taken(table, generated_names[p])) break;
    }
    table->names[p] = generated_names[p];
  }
}

// Opens one port's node read-write, reporting a failure; the descriptor or -1.
int open_port(const PortTable* table, int port) {
  char path[NAME_SIZE];
  snprintf(path, sizeof path, "/dev/%s", table->names[port]);
  int fd = open(path, O_RDWR);
  if (fd < 0) {
    fprintf(stderr, "Error!!: Can't Open MidiDevice (Device=%s Port=%d)\n", table->names[port], port);
    return -1;
  }
  return fd;
}

}  // namespace

void reset_port_table() {
  port_table = PortTable{{nullptr, nullptr, nullptr, nullptr}, {-1, -1, -1, -1}};
  writes_interrupted.store(false);
}

// Only the top level of /dev/ is looked at, and only a whole-name match
// counts, so a name that is a prefix of an entry (or the reverse) is absent.
int device_exists(const char* name) {
  size_t length = strnlen(name, NAME_SIZE);
  DIR* dev = opendir("/dev/");
  if (dev == nullptr) return -1;
  while (const dirent* entry = readdir(dev)) {
    if (strlen(entry->d_name) == length && strncmp(entry->d_name, name, length) == 0) {
      closedir(dev);
      return 1;
    }
  }
  closedir(dev);
  return 0;
}

// The unit search runs even when every port was named, as the generated
// names depend on it only for the ports left unnamed.
int open_ports(const char* base, PortTable* table) {
  for (int p = 0; p < PORT_COUNT; ++p) table->fds[p] = -1;
  int unit = find_device_unit(base);
  name_free_ports(base, unit, table);
  for (int p = 0; p < PORT_COUNT; ++p) table->fds[p] = open_port(table, p);
  if (table->fds[0] < 0) {
    fprintf(stderr, "Error!!: Can't Open RawMidi Device Port=0 => Can't play MIDI-File. Exit.\n");
    return -1;
  }
  return 0;
}

// A failed attempt (EINTR included) moves nothing forward; a short one moves
// past what was taken. A port number outside 0 to 3 has no descriptor at
// all, so its bytes are dropped like those of a port that is not open.
int write_port(int port, const void* data, size_t length) {
  if (length == 0) return 0;
  if (port < 0 || port >= PORT_COUNT) return length > INT_MAX ? INT_MAX : static_cast<int>(length);
  const unsigned char* position = static_cast<const unsigned char*>(data);
  size_t remaining = length;
  for (int attempt = 0; attempt < WRITE_ATTEMPTS; ++attempt) {
    ssize_t written = write(port_table.fds[port], position, remaining);
    if (written < 0) {
      // A write the stop request broke is blocked on a device that does not drain.
      if (errno == EINTR && writes_interrupted.load()) break;
      continue;
    }
    if (static_cast<size_t>(written) >= remaining) return 0;
    position += written;
    remaining -= static_cast<size_t>(written);
    // A blocked write that the stop request broke returns what it had written.
    if (writes_interrupted.load()) break;
  }
  return remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining);
}

// False for an open port whose device has taken no byte for a while after a
// stop, so that Ctrl-C cannot hang on it; ports that are not open are
// written (and dropped) as usual.
static bool port_takes_bytes(int port) {
  if (!writes_interrupted.load() || port_table.fds[port] < 0) return true;
  pollfd ready = {port_table.fds[port], POLLOUT, 0};
  return poll(&ready, 1, STALLED_PORT_MSEC) > 0 && (ready.revents & POLLOUT) != 0;
}

// Control Change 120 with value 0 on each of the sixteen channels, port by port.
int silence_all_ports() {
  unsigned char block[48];
  for (int channel = 0; channel < 16; ++channel) {
    block[channel * 3] = static_cast<unsigned char>(0xB0 + channel);
    block[channel * 3 + 1] = 0x78;
    block[channel * 3 + 2] = 0x00;
  }
  for (int p = 0; p < PORT_COUNT; ++p) {
    if (!port_takes_bytes(p)) continue;
    write_port(p, block, sizeof block);
  }
  return 0;
}

void interrupt_port_writes() { writes_interrupted.store(true); }

void resume_port_writes() { writes_interrupted.store(false); }

// Forgetting each descriptor as it is closed makes a second call harmless.
int close_ports() {
  for (int p = 0; p < PORT_COUNT; ++p) {
    if (port_table.fds[p] >= 0) {
      close(port_table.fds[p]);
      port_table.fds[p] = -1;
    }
  }
  return 0;
}
