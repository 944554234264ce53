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

// Counts stop requests. A write compares it before and after each attempt,
// so only a stop that arrives while that write is under way can cut it
// short; a stop that came earlier (even one lost at the player's start)
// never shortens a later write.
std::atomic<unsigned> stop_requests;
static_assert(std::atomic<unsigned>::is_always_lock_free, "raised from a signal handler");

// The port whose write a stop cut short, or -1. Every write forgets the
// previous one's mark, so it cannot outlive the write that set it; the
// silencing reads it before its own writes. Player thread only.
int broken_write_port = -1;

// Names made up for unnamed ports; static because the table points at them
// after open_ports has returned.
char generated_names[PORT_COUNT][NAME_SIZE];

// The path each port was opened with, for the line that reports its loss.
char opened_paths[PORT_COUNT][NAME_SIZE];

// Ports whose device went away during the run; they are written no more.
bool port_lost[PORT_COUNT];

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

// The node's path: a name that begins with '/' is already one, any other
// name lies under /dev/. Cut to 255 characters like every name here.
void port_path(const char* name, char (&path)[NAME_SIZE]) {
  if (name[0] == '/') {
    snprintf(path, sizeof path, "%s", name);
  } else {
    snprintf(path, sizeof path, "/dev/%s", name);
  }
}

// Opens one port's node read-write, reporting a failure; the descriptor or -1.
// A terminal node must not become the controlling terminal (its hangup would
// then stop the player), and no child process may inherit a port.
int open_port(const PortTable* table, int port) {
  char(&path)[NAME_SIZE] = opened_paths[port];
  port_path(table->names[port], path);
  int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "Error!!: Can't Open MidiDevice (Device=%s Port=%d)\n", table->names[port], port);
    return -1;
  }
  return fd;
}

// Whether a failed write means that the device behind the node is gone for
// good (unplugged, its driver or the other end closed), rather than a
// moment's trouble that another attempt may get past.
bool device_gone(int error) {
  switch (error) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
    case EBADF:
#ifdef ESHUTDOWN
    case ESHUTDOWN:
#endif
      return true;
    default: return false;
  }
}

// Says once that the port's device is gone, closes the port and marks it
// lost, so that nothing is written to it again.
void lose_port(int port, int error) {
  fprintf(stderr, "Error!!: Lost MidiDevice (Device=%s Port=%d): %s. This port is no longer written.\n",
          opened_paths[port], port, strerror(error));
  close(port_table.fds[port]);
  port_table.fds[port] = -1;
  port_lost[port] = true;
}

// The count as write_port reports it.
int unwritten(size_t remaining) { return remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining); }

// Writes a block in at most the given number of attempts; the bytes left.
// A failed attempt moves nothing forward, a short one moves past what was
// taken. A stop that arrives during the write ends it after the attempt in
// hand: the device may be one that no longer drains.
int write_block(int port, const unsigned char* position, size_t remaining, int attempts) {
  unsigned stops_before = stop_requests.load();
  broken_write_port = -1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    ssize_t written = write(port_table.fds[port], position, remaining);
    if (written < 0) {
      int error = errno;
      // A port that never opened fails with EBADF too, and is dropped silently.
      if (port_table.fds[port] >= 0 && device_gone(error)) {
        lose_port(port, error);
        break;
      }
    } else if (static_cast<size_t>(written) >= remaining) {
      return 0;
    } else {
      position += written;
      remaining -= static_cast<size_t>(written);
    }
    if (stop_requests.load() != stops_before) {
      broken_write_port = port;
      break;
    }
  }
  return unwritten(remaining);
}

}  // namespace

void reset_port_table() {
  port_table = PortTable{{nullptr, nullptr, nullptr, nullptr}, {-1, -1, -1, -1}};
  stop_requests.store(0);
  broken_write_port = -1;
  for (bool& lost : port_lost) lost = false;
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

// A port number outside 0 to 3 has no descriptor at all, so its bytes are
// dropped like those of a port that is not open; a lost port's bytes are
// dropped without a system call.
int write_port(int port, const void* data, size_t length) {
  if (length == 0) return 0;
  if (port < 0 || port >= PORT_COUNT || port_lost[port]) return unwritten(length);
  return write_block(port, static_cast<const unsigned char*>(data), length, WRITE_ATTEMPTS);
}

// False for an open port whose device has taken no byte for a while after a
// stop, so that Ctrl-C cannot hang on it; ports that are not open are
// written (and dropped) as usual.
static bool port_takes_bytes(int port) {
  if (stop_requests.load() == 0 || port_table.fds[port] < 0) return true;
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
  // Only the port whose write the stop broke is suspected of not draining;
  // every other port gets the full retry for the block.
  int broken = broken_write_port;
  for (int p = 0; p < PORT_COUNT; ++p) {
    if (port_lost[p] || !port_takes_bytes(p)) continue;
    write_block(p, block, sizeof block, p == broken ? 1 : WRITE_ATTEMPTS);
  }
  return 0;
}

// One lock-free increment: safe inside a signal handler.
void interrupt_port_writes() { stop_requests.fetch_add(1); }

bool any_port_open() {
  for (int fd : port_table.fds) {
    if (fd >= 0) return true;
  }
  return false;
}

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
