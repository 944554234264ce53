// Raw MIDI output, writing and silencing: the run's port table, the writes
// of byte blocks to a port and the All Sound Off sent to every port. Every
// descriptor is non-blocking: a device with no room is waited for in poll,
// together with the stop, so no device can hold the player beyond a stop.
// The player thread's lines go through the console's queue, so no console
// can hold it either.
#include "output/ports.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/console.h"
#include "base/life_cycle.h"
#include "base/stop_wait.h"

PortTable port_table = fresh_port_table();

namespace {

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
void lose_port(Port* port, int error) {
  console_printf(STDERR_FILENO, "Error!!: Lost MidiDevice (Device=%s Port=%d): %s. This port is no longer written.\n",
                 port->path, port->number, strerror(error));
  close(port->fd);
  port->fd = -1;
  port->lost = true;
}

// Says, the first time only, that a port dropped bytes for another reason
// (a full file system, a driver's error); the run then ends as a failure.
void report_dropped_bytes(Port* port, int error) {
  if (port->dropped) return;
  port->dropped = true;
  console_printf(STDERR_FILENO, "Error!!: Can't Write MidiDevice (Device=%s Port=%d): %s. Bytes were dropped.\n",
                 port->path, port->number, error != 0 ? strerror(error) : "it took no byte");
}

// Says, the first time only, that a port has taken nothing for a long while.
void report_stall(Port* port) {
  if (port->stalled) return;
  port->stalled = true;
  console_printf(
      STDERR_FILENO,
      "Error!!: MidiDevice Stalled (Device=%s Port=%d): it has taken no byte for %d s. Still waiting; Ctrl-C "
      "stops.\n",
      port->path, port->number, static_cast<int>(STALL_REPORT_MS / 1000));
}

// The count as write_port reports it.
int unwritten(size_t remaining) { return remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining); }

// How a wait for room in a device ended.
enum RoomWait { ROOM, ROOM_STOPPED, ROOM_PAUSED };

// The poll timeout of a wait for room that began at since: until the stall
// is due to be reported, then none.
int room_wait_msec(const Port* port, int64_t since) {
  if (port->stalled) return -1;
  int64_t left = since + STALL_REPORT_MS - monotonic_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until the port can take bytes, or a stop or a pause comes, however
// long the device takes; a port that takes nothing for STALL_REPORT_MS is
// reported once. A descriptor that poll cannot watch counts as ready: the
// write that follows says what is wrong with it.
RoomWait wait_for_room(Port* port) {
  int64_t since = monotonic_ms();
  for (;;) {
    pollfd device = {port->fd, POLLOUT, 0};
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
int write_block(Port* port, const unsigned char* position, size_t remaining) {
  bool stopped_before = stop_raised();
  int failed = 0;
  int error = 0;
  bool room_seen = false;  // the last wait found room, so a refusal now is a failure
  while (remaining > 0 && failed < FAILED_WRITES) {
    ssize_t written = write(port->fd, position, remaining);
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
        port->cut_message = position;
        port->cut_count = remaining;
        return 0;
      }
      room_seen = true;
      continue;
    } else if (port->fd >= 0 && device_gone(error)) {
      lose_port(port, error);
      return unwritten(remaining);
    } else {
      ++failed;
    }
    if (!stopped_before && stop_raised()) return unwritten(remaining);
  }
  // A port that never opened is not written at all; its bytes go without a word.
  if (remaining > 0 && port->fd >= 0) report_dropped_bytes(port, error);
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
// message a pause cut short, then the All Sound Off block.
struct SilenceProgress {
  size_t sent;     // of the cut message and block together
  size_t pending;  // bytes of the cut message ahead of the block
  int failed;
  bool done;  // all sent, or given up
};

// One non-blocking write of what is left for a port; a device that is gone
// loses the port, FAILED_WRITES refusals give up what is left.
void send_sound_off(Port* port, const SoundOffBlock& block, SilenceProgress* progress) {
  const unsigned char* from = progress->sent < progress->pending ? port->cut_message + progress->sent
                                                                 : block.bytes + (progress->sent - progress->pending);
  size_t left = progress->sent < progress->pending ? progress->pending - progress->sent
                                                   : sizeof block.bytes - (progress->sent - progress->pending);
  ssize_t written = write(port->fd, from, left);
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
void wait_for_silence_room(const PortTable* table, const SilenceProgress (&progress)[PORT_COUNT], int64_t deadline_ms,
                           bool (&ready)[PORT_COUNT]) {
  pollfd watched[PORT_COUNT];
  int ports[PORT_COUNT];
  nfds_t count = 0;
  for (int p = 0; p < PORT_COUNT; ++p) {
    ready[p] = false;
    if (progress[p].done) continue;
    watched[count] = {table->ports[p].fd, POLLOUT, 0};
    ports[count++] = p;
  }
  int64_t left = deadline_ms - monotonic_ms();
  if (count == 0 || left <= 0) return;
  if (poll(watched, count, static_cast<int>(left)) <= 0) return;
  for (nfds_t i = 0; i < count; ++i) ready[ports[i]] = watched[i].revents != 0;
}

}  // namespace

PortTable fresh_port_table() {
  PortTable table;
  for (int p = 0; p < PORT_COUNT; ++p) table.ports[p].number = p;
  return table;
}

void reset_port_table() { port_table = fresh_port_table(); }

// A port number outside 0 to 3 has no record at all, so its bytes are
// dropped like those of a port that is not open.
int write_port(int port, const void* data, size_t length) {
  if (port < 0 || port >= PORT_COUNT) return unwritten(length);
  return write_to_port(&port_table.ports[port], data, length);
}

// A lost port's bytes are dropped without a system call.
int write_to_port(Port* port, const void* data, size_t length) {
  if (length == 0) return 0;
  if (port->lost) return unwritten(length);
  return write_block(port, static_cast<const unsigned char*>(data), length);
}

int silence_all_ports() { return silence_ports(&port_table); }

// Every open port is written at once and given what it takes as room
// appears, so one slow or stalled port neither delays the others nor loses
// its own block to them; the first writes go out in port order.
int silence_ports(PortTable* table) {
  static const SoundOffBlock block;
  SilenceProgress progress[PORT_COUNT];
  for (int p = 0; p < PORT_COUNT; ++p) {
    const Port& port = table->ports[p];
    progress[p] = {0, port.fd < 0 ? 0 : port.cut_count, 0, port.fd < 0};
  }
  int64_t deadline = monotonic_ms() + SILENCE_BOUND_MS;
  bool ready[PORT_COUNT] = {true, true, true, true};
  for (;;) {
    bool sending = false;
    for (int p = 0; p < PORT_COUNT; ++p) {
      if (!progress[p].done && ready[p]) send_sound_off(&table->ports[p], block, &progress[p]);
      sending = sending || !progress[p].done;
    }
    if (!sending || monotonic_ms() >= deadline) break;
    wait_for_silence_room(table, progress, deadline, ready);
  }
  for (int p = 0; p < PORT_COUNT; ++p) {
    Port& port = table->ports[p];
    port.cut_message = nullptr;
    port.cut_count = 0;
    if (progress[p].done && progress[p].sent == progress[p].pending + sizeof block.bytes) continue;
    if (port.fd < 0) continue;
    port.sound_off_short = true;
    size_t taken = progress[p].sent > progress[p].pending ? progress[p].sent - progress[p].pending : 0;
    console_printf(STDERR_FILENO, "Error!!: All Sound Off Not Sent (Device=%s Port=%d): it took %zu of 48 bytes.\n",
                   port.path, port.number, taken);
  }
  return 0;
}

bool any_port_open() {
  for (const Port& port : port_table.ports) {
    if (port.fd >= 0) return true;
  }
  return false;
}

// A port that was lost, dropped bytes or missed an All Sound Off lost bytes of the song.
bool port_bytes_lost() {
  for (const Port& port : port_table.ports) {
    if (port.lost || port.dropped || port.sound_off_short) return true;
  }
  return false;
}
