// Raw MIDI output, naming and opening: the unit search under /dev/, the
// names made up for the ports not given one, the opens, and the closes.
// Every descriptor is non-blocking: a device with no room is waited for in
// poll (ports.cpp), together with the stop.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/console.h"
#include "output/open_reason.h"
#include "output/ports.h"

namespace {

constexpr int LAST_UNIT_PROBED = 14;
constexpr int CANDIDATE_COUNT = 15;

// The device unit whose port 0 node is the first to exist, or one past the last unit probed.
int find_device_unit(const char* base) {
  char probe[PORT_NAME_SIZE];
  for (int unit = 0; unit <= LAST_UNIT_PROBED; ++unit) {
    snprintf(probe, sizeof probe, "%s%d.%d", base, unit, 0);
    if (device_exists(probe) > 0) return unit;
  }
  return LAST_UNIT_PROBED + 1;
}

// True when some named port of the table already carries this name.
bool name_taken(const PortTable* table, const char* name) {
  for (const Port& port : table->ports) {
    if (port.name != nullptr && strncmp(port.name, name, PORT_NAME_SIZE) == 0) return true;
  }
  return false;
}

// Gives every unnamed port the first port name of the unit that no other port
// uses. A base so long that the cut makes every candidate alike would leave
// a port without any name; it keeps the last candidate instead, so that the
// open below always has a name to try and to report.
void name_free_ports(const char* base, int unit, PortTable* table) {
  for (Port& port : table->ports) {
    if (port.name != nullptr) continue;
    for (int candidate = 0; candidate < CANDIDATE_COUNT; ++candidate) {
      snprintf(port.generated, sizeof port.generated, "%s%d.%d", base, unit, candidate);
      if (!name_taken(table, port.generated)) break;
    }
    port.name = port.generated;
  }
}

// The node's path: a name that begins with '/' is already one, any other
// name lies under /dev/. Cut to 255 characters like every name here.
void port_path(const char* name, char (&path)[PORT_NAME_SIZE]) {
  if (name[0] == '/') {
    snprintf(path, sizeof path, "%s", name);
  } else {
    snprintf(path, sizeof path, "/dev/%s", name);
  }
}

// Why a node that opened is no port, from what the open descriptor is: 0
// when it is one. A node replaced by a FIFO between the look and the open
// would have the player as its own reader. A regular file with data is most
// likely a song or another file named by mistake, and its first bytes would
// be written over; an empty one only captures the bytes sent. The open does
// not truncate, so a file refused here is left as it was.
int refusal_of_opened(int fd, bool opened_as_fifo) {
  struct stat node;
  if (fstat(fd, &node) != 0) return 0;
  if (!opened_as_fifo && S_ISFIFO(node.st_mode)) return NODE_BECAME_FIFO;
  if (S_ISREG(node.st_mode) && node.st_size > 0) return NODE_HOLDS_DATA;
  return 0;
}

// Opens the port's node, noting how the open ended and reporting a failure.
// A FIFO is opened for writing only, so that a FIFO nobody reads fails to
// open and a reader that goes away makes writes fail, as an unplugged device
// does; any other node read-write. Writes never block; a terminal node must
// not become the controlling terminal (its hangup would then stop the
// player), and no child process may inherit a port.
void open_port(Port* port) {
  port_path(port->name, port->path);
  struct stat node;
  bool fifo = stat(port->path, &node) == 0 && S_ISFIFO(node.st_mode);
  int fd = open(port->path, (fifo ? O_WRONLY : O_RDWR) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  port->open_error = fd < 0 ? errno : refusal_of_opened(fd, fifo);
  if (fd >= 0 && port->open_error != 0) {
    close(fd);
    fd = -1;
  }
  port->fd = fd;
  if (fd < 0) {
    console_printf(STDERR_FILENO, "Error!!: Can't Open MidiDevice (Device=%s Port=%d)\n", port->name, port->number);
  }
}

}  // namespace

// Only the top level of /dev/ is looked at, and only a whole-name match
// counts, so a name that is a prefix of an entry (or the reverse) is absent.
int device_exists(const char* name) {
  size_t length = strnlen(name, PORT_NAME_SIZE);
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

// Each port starts afresh with the name it was given. The unit search runs
// even when every port was named, as the generated names depend on it only
// for the ports left unnamed.
int open_ports(const char* base, PortTable* table) {
  for (int p = 0; p < PORT_COUNT; ++p) {
    table->ports[p] = Port{};
    table->ports[p].number = p;
    table->ports[p].name = table->names[p];
  }
  int unit = find_device_unit(base);
  name_free_ports(base, unit, table);
  for (Port& port : table->ports) open_port(&port);
  if (table->ports[0].fd < 0) {
    console_printf(STDERR_FILENO, "Error!!: Can't Open RawMidi Device Port=0 => Can't play MIDI-File. Exit.\n");
    return -1;
  }
  explain_files_kept(table);
  return 0;
}

// Forgetting each descriptor as it is closed makes a second call harmless.
int close_ports() {
  for (Port& port : port_table.ports) {
    if (port.fd >= 0) {
      close(port.fd);
      port.fd = -1;
    }
  }
  return 0;
}
