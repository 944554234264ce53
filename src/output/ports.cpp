// Raw MIDI output: the port table, the unit search under /dev/, opening,
// writing and silencing the ports. Every descriptor is non-blocking: a
// device with no room is waited for in poll, together with the stop, so no
// device can hold the player beyond a stop. The player thread's lines go
// through the console's queue, so no console can hold it either.
#include "output/ports.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/console.h"
#include "base/life_cycle.h"
#include "base/stop_wait.h"
#include "output/open_reason.h"

PortTable port_table = {{nullptr, nullptr, nullptr, nullptr}, {-1, -1, -1, -1}};

namespace {

constexpr int PORT_COUNT = 4;
constexpr size_t NAME_SIZE = 256;  // 255 characters and the NUL
constexpr int LAST_UNIT_PROBED = 14;
constexpr int CANDIDATE_COUNT = 15;

// A block is given up after this many writes that took nothing of it (a
// failure, or a count of 0). A write that takes part of it is progress: on a
// non-blocking descriptor it only means that the device is full for now.
constexpr int FAILED_WRITES = 3;

// A port that takes no byte for this long while the song waits on it is
// reported as stalled. A USB MIDI interface with 4 KB queued drains it at
// wire speed (3,125 bytes a second) in 1.3 s, so only a device that has
// stopped draining, or a reader that has stopped reading, gets this far.
constexpr int64_t STALL_REPORT_MS = 3000;

// How long a stop waits, for all ports together, for them to take the All
// Sound Off block: a device's buffer draining at wire speed makes room in time.
constexpr int64_t SILENCE_BOUND_MS = 2000;

// What is left of a message whose wait for room a pause ended: it goes to
// the device ahead of the pause's All Sound Off, so that the device never
// gets half a message before it. Player thread only.
struct PendingBytes {
  const unsigned char* bytes;
  size_t count;
};
PendingBytes pending[PORT_COUNT];

// Names made up for unnamed ports; static because the table points at them
// after open_ports has returned.
char generated_names[PORT_COUNT][NAME_SIZE];

// The path each port was opened with, for the lines that report on it.
char opened_paths[PORT_COUNT][NAME_SIZE];

// What the run has said about each port, so that each thing is said once.
// A lost port's descriptor is -1 too, but -1 alone means a port that never
// opened, which is still written (each of its three attempts fails at once,
// without a word); lost is what stops every write to a port that went away.
struct PortReport {
  bool lost;     // the device went away: the port is written no more
  bool stalled;  // it took no byte for STALL_REPORT_MS while the song waited
  bool dropped;  // bytes of a message could not be written
};
PortReport port_reports[PORT_COUNT];

// True once a byte meant for an open port could not be written.
bool any_bytes_lost = false;

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

// Opens one port's node, reporting a failure; the descriptor or -1. A FIFO
// is opened for writing only, so that a FIFO nobody reads fails to open and
// a reader that goes away makes writes fail, as an unplugged device does;
// any other node read-write. Writes never block; a terminal node must not
// become the controlling terminal (its hangup would then stop the player),
// and no child process may inherit a port.
int open_port(const PortTable* table, int port) {
  char(&path)[NAME_SIZE] = opened_paths[port];
  port_path(table->names[port], path);
  struct stat node;
  bool fifo = stat(path, &node) == 0 && S_ISFIFO(node.st_mode);
  int fd = open(path, (fifo ? O_WRONLY : O_RDWR) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  int error = fd < 0 ? errno : 0;
  // A node replaced by a FIFO between the two looks would have the player as its own reader.
  if (fd >= 0 && !fifo && fstat(fd, &node) == 0 && S_ISFIFO(node.st_mode)) {
    close(fd);
    fd = -1;
    error = NODE_BECAME_FIFO;
  }
  note_port_open(port, path, error);
  if (fd < 0) {
    console_printf(STDERR_FILENO, "Error!!: Can't Open MidiDevice (Device=%s Port=%d)\n", table->names[port], port);
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
  console_printf(STDERR_FILENO, "Error!!: Lost MidiDevice (Device=%s Port=%d): %s. This port is no longer written.\n",
                 opened_paths[port], port, strerror(error));
  close(port_table.fds[port]);
  port_table.fds[port] = -1;
  port_reports[port].lost = true;
  any_bytes_lost = true;
}

// Says, the first time only, that a port dropped bytes for another reason
// (a full file system, a driver's error); the run then ends as a failure.
void report_dropped_bytes(int port, int error) {
  any_bytes_lost = true;
  if (port_reports[port].dropped) return;
  port_reports[port].dropped = true;
  console_printf(STDERR_FILENO, "Error!!: Can't Write MidiDevice (Device=%s Port=%d): %s. Bytes were dropped.\n",
                 opened_paths[port], port, error != 0 ? strerror(error) : "it took no byte");
}

// Says, the first time only, that a port has taken nothing for a long while.
void report_stall(int port) {
  if (port_reports[port].stalled) return;
  port_reports[port].stalled = true;
  console_printf(
      STDERR_FILENO,
      "Error!!: MidiDevice Stalled (Device=%s Port=%d): it has taken no byte for %d s. Still waiting; Ctrl-C "
      "stops.\n",
      opened_paths[port], port, static_cast<int>(STALL_REPORT_MS / 1000));
}

// The count as write_port reports it.
int unwritten(size_t remaining) { return remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining); }

// How a wait for room in a device ended.
enum RoomWait { ROOM, ROOM_STOPPED, ROOM_PAUSED };

// The poll timeout of a wait for room that began at since: until the stall
// is due to be reported, then none.
int room_wait_msec(int port, int64_t since) {
  if (port_reports[port].stalled) return -1;
  int64_t left = since + STALL_REPORT_MS - monotonic_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until the port can take bytes, or a stop or a pause comes, however
// long the device takes; a port that takes nothing for STALL_REPORT_MS is
// reported once. A descriptor that poll cannot watch counts as ready: the
// write that follows says what is wrong with it.
RoomWait wait_for_room(int port) {
  int64_t since = monotonic_ms();
  for (;;) {
    pollfd device = {port_table.fds[port], POLLOUT, 0};
    WaitEnd end = wait_beside_stop(&device, 1, room_wait_msec(port, since), ENDS_ON_STOP_OR_PAUSE);
    if (end == WAIT_STOP) return ROOM_STOPPED;
    if (end == WAIT_PAUSE) return ROOM_PAUSED;
    if (end == WAIT_READY) return ROOM;
    if (monotonic_ms() - since >= STALL_REPORT_MS) report_stall(port);
  }
}

// Writes a block until the device has taken all of it, waiting for room in
// between, and returns the bytes left. A write that takes part of the block
// moves on past it; FAILED_WRITES writes that take nothing give the rest up;
// a device that is gone loses the port. A stop that arrives during the write
// ends it after the attempt in hand, and any stop ends a wait for room: the
// device may be one that no longer drains. A pause ends a wait for room too,
// and what is left waits to go out ahead of its All Sound Off.
int write_block(int port, const unsigned char* position, size_t remaining) {
  bool stopped_before = stop_raised();
  int failed = 0;
  int error = 0;
  bool room_seen = false;  // the last wait found room, so a refusal now is a failure
  while (remaining > 0 && failed < FAILED_WRITES) {
    ssize_t written = write(port_table.fds[port], position, remaining);
    error = written < 0 ? errno : 0;
    if (written > 0) {
      position += written;
      remaining -= static_cast<size_t>(written);
      room_seen = false;
    } else if ((error == EAGAIN || error == EWOULDBLOCK) && !room_seen) {
      if (!stopped_before && stop_raised()) return unwritten(remaining);
      RoomWait room = wait_for_room(port);
      if (room == ROOM_STOPPED) return unwritten(remaining);
      if (room == ROOM_PAUSED) {
        pending[port] = {position, remaining};
        return 0;
      }
      room_seen = true;
      continue;
    } else if (port_table.fds[port] >= 0 && device_gone(error)) {
      lose_port(port, error);
      return unwritten(remaining);
    } else {
      ++failed;
    }
    if (!stopped_before && stop_raised()) return unwritten(remaining);
  }
  // A port that never opened is not written at all; its bytes go without a word.
  if (remaining > 0 && port_table.fds[port] >= 0) report_dropped_bytes(port, error);
  return unwritten(remaining);
}

// Control Change 120 with value 0 on each of the sixteen channels.
struct SoundOffBlock {
  unsigned char bytes[48];
  SoundOffBlock() {
    for (int channel = 0; channel < 16; ++channel) {
      bytes[channel * 3] = static_cast<unsigned char>(0xB0 + channel);
      bytes[channel * 3 + 1] = 0x78;
      bytes[channel * 3 + 2] = 0x00;
    }
  }
};

// How far one port has got with what a silence sends it: the rest of a
// message a pause cut short (pending), then the All Sound Off block.
struct SilenceProgress {
  size_t sent;     // of pending and block together
  size_t pending;  // bytes of the cut message ahead of the block
  int failed;
  bool done;  // all sent, or given up
};

// One non-blocking write of what is left for a port; a device that is gone
// loses the port, FAILED_WRITES refusals give up what is left.
void send_sound_off(int port, const SoundOffBlock& block, SilenceProgress* progress) {
  const unsigned char* from = progress->sent < progress->pending ? pending[port].bytes + progress->sent
                                                                 : block.bytes + (progress->sent - progress->pending);
  size_t left = progress->sent < progress->pending ? progress->pending - progress->sent
                                                   : sizeof block.bytes - (progress->sent - progress->pending);
  ssize_t written = write(port_table.fds[port], from, left);
  int error = written < 0 ? errno : 0;
  if (written > 0) {
    progress->sent += static_cast<size_t>(written);
    progress->done = progress->sent == progress->pending + sizeof block.bytes;
  } else if (written < 0 && device_gone(error)) {
    lose_port(port, error);
    progress->done = true;
  } else if (written == 0 || (error != EAGAIN && error != EWOULDBLOCK)) {
    progress->done = ++progress->failed >= FAILED_WRITES;
  }
}

// Waits until one of the ports still sending has room, or the deadline; the
// ports with room (or whose descriptor poll reports as broken) are marked.
// Neither a stop nor a pause ends it: it is what both wait for.
void wait_for_silence_room(const SilenceProgress (&progress)[PORT_COUNT], int64_t deadline_ms,
                           bool (&ready)[PORT_COUNT]) {
  pollfd watched[PORT_COUNT];
  int ports[PORT_COUNT];
  nfds_t count = 0;
  for (int p = 0; p < PORT_COUNT; ++p) {
    ready[p] = false;
    if (progress[p].done) continue;
    watched[count] = {port_table.fds[p], POLLOUT, 0};
    ports[count++] = p;
  }
  int64_t left = deadline_ms - monotonic_ms();
  if (count == 0 || left <= 0) return;
  if (poll(watched, count, static_cast<int>(left)) <= 0) return;
  for (nfds_t i = 0; i < count; ++i) ready[ports[i]] = watched[i].revents != 0;
}

}  // namespace

void reset_port_table() {
  port_table = PortTable{{nullptr, nullptr, nullptr, nullptr}, {-1, -1, -1, -1}};
  for (PendingBytes& rest : pending) rest = PendingBytes{};
  for (PortReport& report : port_reports) report = PortReport{};
  for (char(&path)[NAME_SIZE] : opened_paths) path[0] = '\0';
  any_bytes_lost = false;
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
    console_printf(STDERR_FILENO, "Error!!: Can't Open RawMidi Device Port=0 => Can't play MIDI-File. Exit.\n");
    return -1;
  }
  return 0;
}

// A port number outside 0 to 3 has no descriptor at all, so its bytes are
// dropped like those of a port that is not open; a lost port's bytes are
// dropped without a system call.
int write_port(int port, const void* data, size_t length) {
  if (length == 0) return 0;
  if (port < 0 || port >= PORT_COUNT || port_reports[port].lost) return unwritten(length);
  return write_block(port, static_cast<const unsigned char*>(data), length);
}

// Every open port is written at once and given what it takes as room
// appears, so one slow or stalled port neither delays the others nor loses
// its own block to them; the first writes go out in port order.
int silence_all_ports() {
  static const SoundOffBlock block;
  SilenceProgress progress[PORT_COUNT];
  for (int p = 0; p < PORT_COUNT; ++p)
    progress[p] = {0, port_table.fds[p] < 0 ? 0 : pending[p].count, 0, port_table.fds[p] < 0};
  int64_t deadline = monotonic_ms() + SILENCE_BOUND_MS;
  bool ready[PORT_COUNT] = {true, true, true, true};
  for (;;) {
    bool sending = false;
    for (int p = 0; p < PORT_COUNT; ++p) {
      if (!progress[p].done && ready[p]) send_sound_off(p, block, &progress[p]);
      sending = sending || !progress[p].done;
    }
    if (!sending || monotonic_ms() >= deadline) break;
    wait_for_silence_room(progress, deadline, ready);
  }
  for (int p = 0; p < PORT_COUNT; ++p) {
    pending[p] = PendingBytes{};
    if (progress[p].done && progress[p].sent == progress[p].pending + sizeof block.bytes) continue;
    if (port_table.fds[p] < 0) continue;
    any_bytes_lost = true;
    size_t taken = progress[p].sent > progress[p].pending ? progress[p].sent - progress[p].pending : 0;
    console_printf(STDERR_FILENO, "Error!!: All Sound Off Not Sent (Device=%s Port=%d): it took %zu of 48 bytes.\n",
                   opened_paths[p], p, taken);
  }
  return 0;
}

bool any_port_open() {
  for (int fd : port_table.fds) {
    if (fd >= 0) return true;
  }
  return false;
}

bool port_bytes_lost() { return any_bytes_lost; }

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
