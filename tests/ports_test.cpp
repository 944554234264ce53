// Raw MIDI ports: opening named nodes, the bounded write retry, All Sound Off
// and closing. Linked with --wrap=write, so every write the ports make can be
// seen and scripted here.
#include "output/ports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/life_cycle.h"
#include "output/open_reason.h"
#include "support/fresh_state.h"
#include "support/port_files.h"
#include "support/support.h"

extern "C" ssize_t __real_write(int fd, const void* data, size_t count);

namespace {

// One write call as the fake saw it.
struct WriteCall {
  int fd;
  size_t offered;  // bytes the caller asked to write
  Bytes taken;     // bytes the call reported as written
};

// The fake write: unarmed it is the real one; armed it records every call and
// either forwards it or answers from a script.
struct FakeWrite {
  bool armed = false;
  bool forward = false;         // pass each call on to the real write, recording it
  std::vector<ssize_t> script;  // answers of successive calls: -1 fails, n takes at most n bytes
  size_t next = 0;
  size_t per_call = SIZE_MAX;  // what a call takes once the script is used up
  int error = EINTR;           // the errno of a scripted failure
  int stop_at_call = -1;       // a stop request arrives during this call (0 = the first)
  std::vector<WriteCall> calls;
};

FakeWrite fake_write;

// A stop as a signal would raise it; the byte it writes to the wake-up pipe
// goes past the fake, so that the calls recorded are the ports' alone.
void raise_stop_unrecorded() {
  bool armed = fake_write.armed;
  fake_write.armed = false;
  raise_stop();
  fake_write.armed = armed;
}

// A port as the open leaves it: numbered, open on fd (a fake number or
// another test's descriptor), no name.
Port port_on(int number, int fd) {
  Port port;
  port.number = number;
  port.fd = fd;
  return port;
}

// The port table and the stop back to their start, between a table's cases.
void reset_ports_and_stop() {
  reset_port_table();
  reset_life_cycle();
}

}  // namespace

extern "C" ssize_t __wrap_write(int fd, const void* data, size_t count) {
  if (!fake_write.armed) return __real_write(fd, data, count);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (static_cast<int>(fake_write.calls.size()) == fake_write.stop_at_call) raise_stop_unrecorded();
  ssize_t result;
  if (fake_write.forward) {
    result = __real_write(fd, data, count);
  } else {
    ssize_t answer = fake_write.next < fake_write.script.size()
                         ? fake_write.script[fake_write.next++]
                         : static_cast<ssize_t>(std::min(count, fake_write.per_call));
    if (answer < 0) {
      errno = fake_write.error;
      result = -1;
    } else {
      result = static_cast<ssize_t>(std::min(count, static_cast<size_t>(answer)));
    }
  }
  fake_write.calls.push_back({fd, count, Bytes(bytes, bytes + std::max<ssize_t>(result, 0))});
  return result;
}

namespace {

// Arms the fake for one scope and disarms it on every way out.
struct ArmedWrite {
  explicit ArmedWrite(std::vector<ssize_t> script = {}, size_t per_call = SIZE_MAX, bool forward = false) {
    fake_write = FakeWrite{true, forward, std::move(script), 0, per_call, EINTR, -1, {}};
  }
  ~ArmedWrite() { fake_write.armed = false; }
};

// The All Sound Off block, written out in full.
const Bytes ALL_SOUND_OFF = all_sound_off();

// Bytes 0, 1, 2, … so that a write from the wrong position shows.
Bytes counting_bytes(size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

// Everything waiting in a FIFO, read without blocking.
Bytes drain(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  Bytes bytes;
  uint8_t buffer[256];
  ssize_t n;
  while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  if (fd >= 0) close(fd);
  return bytes;
}

bool fd_is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

class PortsTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  // Descriptors planted by a test may be fake numbers: forget them, never close them.
  void TearDown() override {
    fake_write.armed = false;
    reset_process_state();
  }
};

// The write: every byte the device takes moves the block on, however few
// at a time; three writes that take nothing (failures or counts of 0) give
// the rest up, from the same place each time, and say so once.
TEST_F(PortsTest, WritePortGivesUpOnlyAfterThreeWritesThatTakeNothing) {
  struct Case {
    const char* what;
    size_t length;
    std::vector<ssize_t> script;
    size_t per_call;
    std::vector<size_t> offered;  // the remaining count at each attempt
    size_t delivered;
    int result;
  };
  const std::vector<Case> cases = {
      {"an empty block makes no call", 0, {}, SIZE_MAX, {}, 0, 0},
      {"a whole block in one write", 48, {}, SIZE_MAX, {48}, 48, 0},
      {"ten bytes per write: every byte arrives", 48, {}, 10, {48, 38, 28, 18, 8}, 48, 0},
      {"a failure retries from the same place", 8, {-1, 5, -1}, SIZE_MAX, {8, 8, 3, 3}, 8, 0},
      {"failures count across progress", 8, {-1, 3, -1, 2, -1}, SIZE_MAX, {8, 8, 5, 5, 3}, 5, 3},
      {"three failures drop the block", 8, {-1, -1, -1}, SIZE_MAX, {8, 8, 8}, 0, 8},
      {"writes of nothing use up the attempts", 8, {0, 0, 0}, SIZE_MAX, {8, 8, 8}, 0, 8},
      {"the third write may finish the block", 8, {3, -1}, SIZE_MAX, {8, 5, 5}, 8, 0},
      {"no write after the block is done", 8, {3}, SIZE_MAX, {8, 5}, 8, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reset_ports_and_stop();
    Port port = port_on(2, 42);
    Bytes data = counting_bytes(c.length);
    ArmedWrite armed(c.script, c.per_call);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_to_port(&port, data.data(), data.size()), c.result);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Error!!: Can't Write MidiDevice (Device= Port=2): ", 0) == 0, c.result != 0) << err;
    EXPECT_EQ(port.dropped, c.result != 0);
    EXPECT_FALSE(port.lost);
    std::vector<size_t> offered;
    Bytes delivered;
    for (const WriteCall& call : fake_write.calls) {
      EXPECT_EQ(call.fd, 42);
      offered.push_back(call.offered);
      delivered.insert(delivered.end(), call.taken.begin(), call.taken.end());
    }
    EXPECT_EQ(offered, c.offered);
    EXPECT_EQ(hex(delivered), hex(Bytes(data.begin(), data.begin() + static_cast<long>(c.delivered))));
  }
}

// Bytes lost on a port are said once for that port, not once per message.
TEST_F(PortsTest, DroppedBytesAreReportedOncePerPort) {
  Port one = port_on(1, 41), three = port_on(3, 43);
  const Bytes note = {0x90, 0x3C, 0x40};
  ArmedWrite armed({}, 0);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(write_to_port(&one, note.data(), note.size()), 3);
    EXPECT_EQ(write_to_port(&three, note.data(), note.size()), 3);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error!!: Can't Write MidiDevice (Device= Port=1): it took no byte. Bytes were dropped.\n"
            "Error!!: Can't Write MidiDevice (Device= Port=3): it took no byte. Bytes were dropped.\n");
}

// A port number outside 0 to 3 has no descriptor: its bytes are dropped
// without a write and without reading past the table.
TEST_F(PortsTest, WritePortDropsBytesForAPortOutsideTheTable) {
  Bytes data = counting_bytes(5);
  ArmedWrite armed;
  EXPECT_EQ(write_port(4, data.data(), data.size()), 5);
  EXPECT_EQ(write_port(-1, data.data(), data.size()), 5);
  EXPECT_TRUE(fake_write.calls.empty());
}

// A port that is not open is written all the same; the real write fails
// three times and the bytes are dropped without a message.
TEST_F(PortsTest, WritePortToAPortNotOpenDropsTheBytesSilently) {
  Bytes data = counting_bytes(7);
  Port port = port_on(1, -1);
  ArmedWrite armed({}, SIZE_MAX, true);
  testing::internal::CaptureStderr();
  int result = write_to_port(&port, data.data(), data.size());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(result, 7);
  ASSERT_EQ(fake_write.calls.size(), 3u);
  for (const WriteCall& call : fake_write.calls) EXPECT_EQ(call.fd, -1);
  EXPECT_FALSE(port.dropped) << "a port that never opened loses nothing of the run";
}

// All Sound Off: the same 48-byte block, once to each port, port 0 first.
TEST_F(PortsTest, SilenceAllPortsSendsTheBlockToPortsZeroToThreeInOrder) {
  PortTable table = fresh_port_table();
  for (int p = 0; p < 4; ++p) table.ports[p].fd = 40 + p;
  ArmedWrite armed;
  EXPECT_EQ(silence_ports(&table), 0);
  ASSERT_EQ(fake_write.calls.size(), 4u);
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(fake_write.calls[p].fd, 40 + p);
    EXPECT_EQ(hex(fake_write.calls[p].taken), hex(ALL_SOUND_OFF));
  }
}

// Only a stop that arrives while a write is under way cuts that write short,
// after the attempt in hand; a stop that came before the write (one lost at
// the player's start, say) leaves it the full retry.
TEST_F(PortsTest, StopCutsShortOnlyTheWriteItArrivesDuring) {
  struct Case {
    const char* what;
    bool stop_before;
    int stop_at_call;  // -1: no stop while writing
    std::vector<ssize_t> script;
    std::vector<size_t> offered;
    int result;
  };
  const std::vector<Case> cases = {
      {"a stop during the first attempt", false, 0, {16, 16, 16}, {48}, 32},
      {"a stop during a failed attempt", false, 1, {16, -1, 16}, {48, 32}, 32},
      {"a stop before the write", true, -1, {16, 16, 16}, {48, 32, 16}, 0},
  };
  const Bytes data = counting_bytes(48);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reset_ports_and_stop();
    Port port = port_on(2, 42);
    if (c.stop_before) raise_stop_unrecorded();
    ArmedWrite armed(c.script);
    fake_write.stop_at_call = c.stop_at_call;
    EXPECT_EQ(write_to_port(&port, data.data(), data.size()), c.result);
    std::vector<size_t> offered;
    for (const WriteCall& call : fake_write.calls) offered.push_back(call.offered);
    EXPECT_EQ(offered, c.offered);
  }
}

// Four pipes whose write ends stand in for the open ports of a table, so
// that the wait for a stalled port after a stop finds each of them ready at once.
struct PipePorts {
  int ends[4][2];
  PortTable table = fresh_port_table();
  PipePorts() {
    for (int p = 0; p < 4; ++p) {
      if (pipe(ends[p]) != 0) ends[p][0] = ends[p][1] = -1;
      table.ports[p].fd = ends[p][1];
    }
  }
  ~PipePorts() {
    for (auto& end : ends) {
      close(end[0]);
      close(end[1]);
    }
  }
  PipePorts(const PipePorts&) = delete;
  PipePorts& operator=(const PipePorts&) = delete;
};

// After a stop, every port gets the whole All Sound Off block, the one whose
// write the stop broke included, though each takes only 16 bytes a write.
TEST_F(PortsTest, SilenceGivesEveryPortTheWholeBlockAfterAStop) {
  const Bytes sysex = counting_bytes(48);
  for (int broken : {-1, 0, 2}) {
    SCOPED_TRACE(broken < 0 ? "stop during a wait" : "stop during a write to port " + std::to_string(broken));
    reset_ports_and_stop();
    PipePorts ports;
    ArmedWrite armed({}, 16);
    if (broken < 0) {
      raise_stop_unrecorded();
    } else {
      fake_write.stop_at_call = 0;
      EXPECT_EQ(write_to_port(&ports.table.ports[broken], sysex.data(), sysex.size()), 32);
    }
    fake_write.stop_at_call = -1;
    fake_write.calls.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(silence_ports(&ports.table), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    for (int p = 0; p < 4; ++p) {
      const Port& port = ports.table.ports[p];
      EXPECT_FALSE(port.dropped || port.sound_off_short || port.lost) << "port " << p;
      Bytes delivered;
      size_t calls = 0;
      for (const WriteCall& call : fake_write.calls) {
        if (call.fd != port.fd) continue;
        ++calls;
        delivered.insert(delivered.end(), call.taken.begin(), call.taken.end());
      }
      EXPECT_EQ(calls, 3u) << "port " << p;
      EXPECT_EQ(hex(delivered), hex(ALL_SOUND_OFF)) << "port " << p;
    }
  }
}

// The line that reports port's device as gone with this error.
std::string lost_line(const std::string& path, int port, int error) {
  return "Error!!: Lost MidiDevice (Device=" + path + " Port=" + std::to_string(port) + "): " + strerror(error) +
         ". This port is no longer written.\n";
}

// Nodes in a scratch directory named by hand, as -0 … -3 name them:
// relative to /dev/, or by their absolute paths. Each FIFO has a reader
// (held open for the test's length) unless told otherwise.
struct NamedPorts {
  TempDir dir;
  std::string names[4];
  int readers[4] = {-1, -1, -1, -1};
  // Makes a FIFO for every port marked present and names all four.
  explicit NamedPorts(const std::vector<bool>& present, bool absolute = false, bool read = true) {
    for (int p = 0; p < 4; ++p) {
      std::string node = "p" + std::to_string(p);
      if (present[p]) {
        mkfifo(dir.file(node).c_str(), 0600);
        if (read) readers[p] = open(dir.file(node).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      }
      names[p] = absolute ? dir.file(node) : dir.from_dev(node);
      port_table.names[p] = names[p].c_str();
    }
  }
  ~NamedPorts() {
    for (int fd : readers) {
      if (fd >= 0) close(fd);
    }
  }
  NamedPorts(const NamedPorts&) = delete;
  NamedPorts& operator=(const NamedPorts&) = delete;
  // The failure line for one port, as open_ports prints it.
  std::string missing_line(int p) const {
    return "Error!!: Can't Open MidiDevice (Device=" + names[p] + " Port=" + std::to_string(p) + ")\n";
  }
};

const std::string PORT0_LINE = "Error!!: Can't Open RawMidi Device Port=0 => Can't play MIDI-File. Exit.\n";

// Opening: every missing node gets its line (with the name as given), a
// missing port 0 also the closing line and -1; nodes that did open stay open
// either way. A name beginning with '/' is the whole path, not one under /dev/.
TEST_F(PortsTest, OpenPortsReportsEachPortThatCannotOpen) {
  struct Case {
    const char* what;
    std::vector<bool> present;
    std::vector<int> missing;
    bool port0_line;
    int result;
  };
  const std::vector<Case> cases = {
      {"all four nodes", {true, true, true, true}, {}, false, 0},
      {"a single-port device", {true, false, false, false}, {1, 2, 3}, false, 0},
      {"no node at all", {false, false, false, false}, {0, 1, 2, 3}, true, -1},
      {"no port 0, port 2 there", {false, false, true, false}, {0, 1, 3}, true, -1},
  };
  for (bool absolute : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (absolute ? ", absolute paths" : ", relative to /dev/"));
      reset_ports_and_stop();
      NamedPorts ports(c.present, absolute);
      const char* given[4] = {port_table.names[0], port_table.names[1], port_table.names[2], port_table.names[3]};
      testing::internal::CaptureStderr();
      int result = open_ports("unused", &port_table);
      std::string err = testing::internal::GetCapturedStderr();
      std::string expected;
      for (int p : c.missing) expected += ports.missing_line(p);
      if (c.port0_line) expected += PORT0_LINE;
      EXPECT_EQ(err, expected);
      EXPECT_EQ(result, c.result);
      for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(port_table.ports[p].name, given[p]) << "port " << p;
        EXPECT_EQ(port_table.ports[p].fd >= 0, static_cast<bool>(c.present[p])) << "port " << p;
        if (port_table.ports[p].fd >= 0) {
          // A FIFO for writing only, so that it has a reader other than the
          // player; no write may block the player.
          int flags = fcntl(port_table.ports[p].fd, F_GETFL);
          EXPECT_EQ(flags & O_ACCMODE, O_WRONLY) << "port " << p;
          EXPECT_NE(flags & O_NONBLOCK, 0) << "port " << p;
          // A program started while the player runs must not hold a port open.
          EXPECT_NE(fcntl(port_table.ports[p].fd, F_GETFD) & FD_CLOEXEC, 0) << "port " << p;
        }
      }
      close_ports();
    }
  }
}

// What each kind of node named as a port comes to, as port 0 (whose
// reason the run gives) and as port 1 (whose reason is given only when it
// is a file with data, since the song plays on without it): what opens,
// what is refused with which reason, and that a file with data keeps every
// byte, even through the writes and the silence meant for its port.
TEST_F(PortsTest, EachKindOfNodeIsOpenedOrRefusedWithItsReason) {
  TempDir dir;
  Pty pty;
  const std::string unread = dir.file("unread"), empty = dir.file("empty"), full = dir.file("full"),
                    folder = dir.file("folder"), good = dir.file("good");
  ASSERT_EQ(mkfifo(unread.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(good.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const int good_reader = open(good.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(good_reader, 0);
  const Bytes song = smf(0, 96, {TrackBuilder().event(0, {0x90, 0x3C, 0x40}).end()});
  struct Case {
    const char* what;
    std::string path;
    std::string reason;  // after the path; empty when the node opens
  };
  const std::vector<Case> cases = {
      {"a character device", pty.slave, ""},
      {"a FIFO with a reader", good, ""},
      {"a FIFO without a reader", unread, " is a FIFO that no program is reading: start songrelay-monitor first.\n"},
      {"an empty regular file", empty, ""},
      {"a regular file with data", full,
       " is a regular file with data, which songrelay will not overwrite: name the MIDI port's node, or an empty "
       "file to capture the bytes sent.\n"},
      {"a directory", folder,
       " is a directory, not a character device or FIFO (" + std::string(strerror(EISDIR)) +
           "): name the MIDI port's node itself.\n"},
  };
  const Bytes note = {0x90, 0x3C, 0x40};
  for (int port : {0, 1}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " as port " + std::to_string(port));
      reset_process_state();
      write_file(empty, {});
      write_file(full, song);
      for (const char*& name : port_table.names) name = good.c_str();
      port_table.names[port] = c.path.c_str();
      const bool opens = c.reason.empty();
      const bool data = c.path == full;
      testing::internal::CaptureStderr();
      int result = open_ports("unused", &port_table);
      std::string err = testing::internal::GetCapturedStderr();
      std::string open_line = "Error!!: Can't Open MidiDevice (Device=" + c.path + " Port=" + std::to_string(port) +
                              ")\n";
      std::string expected = opens ? "" : open_line;
      if (!opens && port == 0) expected += PORT0_LINE;
      if (data && port == 1) expected += "Reason: " + c.path + c.reason;
      EXPECT_EQ(err, expected);
      EXPECT_EQ(result, opens || port != 0 ? 0 : -1);
      EXPECT_EQ(port_table.ports[port].fd >= 0, opens);
      testing::internal::CaptureStderr();
      EXPECT_EQ(explain_port_open(port), !opens && c.path != unread);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), opens ? "" : "Reason: " + c.path + c.reason);
      testing::internal::CaptureStderr();
      EXPECT_EQ(write_port(port, note.data(), note.size()), opens ? 0 : 3);
      EXPECT_EQ(silence_all_ports(), 0);
      testing::internal::GetCapturedStderr();
      close_ports();
      EXPECT_EQ(hex(read_file(full)), hex(song)) << "the file with data was written";
      if (c.path == empty) {
        EXPECT_EQ(hex(read_file(empty)), hex(note + ALL_SOUND_OFF)) << "the capture";
      }
    }
  }
  close(good_reader);
}

// A FIFO is a port only while something reads it: without a reader it
// fails to open like a missing node, and a reader that goes away loses the
// port at its next write, as an unplugged device does.
TEST_F(PortsTest, AFifoWithoutAReaderIsNoPort) {
  NamedPorts ports({true, true, false, false}, true, false);
  const int reader0 = open(ports.dir.file("p0").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader0, 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(open_ports("unused", &port_table), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            ports.missing_line(1) + ports.missing_line(2) + ports.missing_line(3));
  EXPECT_EQ(port_table.ports[1].fd, -1);
  close(reader0);
  const Bytes note = {0x90, 0x3C, 0x40};
  // The player ignores SIGPIPE from its start, so that the write fails instead.
  void (*saved)(int) = signal(SIGPIPE, SIG_IGN);
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_port(0, note.data(), note.size()), 3);
  EXPECT_EQ(write_port(0, note.data(), note.size()), 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), lost_line(ports.names[0], 0, EPIPE));
  signal(SIGPIPE, saved);
  EXPECT_FALSE(any_port_open());
  EXPECT_TRUE(port_bytes_lost());
}

// A pipe whose buffer is full, standing in for a device that has stopped
// draining; its read end drains it on demand.
struct FullPipe {
  int ends[2] = {-1, -1};
  FullPipe() {
    if (pipe(ends) != 0) return;
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const Bytes filler(4096, 0x55);
    while (write(ends[1], filler.data(), filler.size()) > 0) {
    }
  }
  ~FullPipe() {
    close(ends[0]);
    close(ends[1]);
  }
  FullPipe(const FullPipe&) = delete;
  FullPipe& operator=(const FullPipe&) = delete;
  // Reads everything queued; what came after the filler.
  Bytes drain() const {
    Bytes all, chunk(65536);
    int flags = fcntl(ends[0], F_GETFL);
    fcntl(ends[0], F_SETFL, flags | O_NONBLOCK);
    ssize_t n;
    while ((n = read(ends[0], chunk.data(), chunk.size())) > 0) all.insert(all.end(), chunk.begin(), chunk.begin() + n);
    fcntl(ends[0], F_SETFL, flags);
    while (!all.empty() && all.front() == 0x55) all.erase(all.begin());
    return all;
  }
};

// A full device is waited for, not given up on: the block arrives whole once
// the device drains, and a stop ends the wait at once, with the bytes left.
TEST_F(PortsTest, AFullDeviceIsWaitedForUntilItDrainsOrAStopComes) {
  const Bytes sysex = counting_bytes(100);
  {
    FullPipe device;
    Port port = port_on(0, device.ends[1]);
    std::thread reader([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      char page[8192];
      ssize_t ignored = read(device.ends[0], page, sizeof page);
      (void)ignored;
    });
    EXPECT_EQ(write_to_port(&port, sysex.data(), sysex.size()), 0);
    reader.join();
    EXPECT_EQ(hex(device.drain()), hex(sysex));
    EXPECT_FALSE(port.dropped || port.stalled);
  }
  {
    reset_ports_and_stop();
    FullPipe device;
    Port port = port_on(0, device.ends[1]);
    auto started = std::chrono::steady_clock::now();
    std::thread stopper([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      raise_stop();
    });
    EXPECT_EQ(write_to_port(&port, sysex.data(), sysex.size()), 100);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  }
}

// A device that takes nothing for three seconds is said to be stalled, once,
// while the song waits on it; the wait goes on until the stop.
TEST_F(PortsTest, AStalledDeviceIsReportedOnceAndStaysStoppable) {
  FullPipe device;
  Port port = port_on(3, device.ends[1]);
  const Bytes note = {0x90, 0x3C, 0x40};
  testing::internal::CaptureStderr();
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(3600));
    raise_stop();
  });
  EXPECT_EQ(write_to_port(&port, note.data(), note.size()), 3);
  stopper.join();
  EXPECT_TRUE(port.stalled);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error!!: MidiDevice Stalled (Device= Port=3): it has taken no byte for 3 s. Still waiting; Ctrl-C "
            "stops.\n");
}

// The stop's All Sound Off goes to every port at once: a port that drains
// slowly gets the whole block as room appears, a stalled one is named after
// the stop's bound, and the two do not wait one after the other.
TEST_F(PortsTest, SilenceReachesASlowPortWhileAStalledOneRunsOut) {
  FullPipe slow, stalled;
  PortTable table = fresh_port_table();
  table.ports[0].fd = slow.ends[1];
  table.ports[2].fd = stalled.ends[1];
  std::atomic<bool> done{false};
  std::thread reader([&] {
    // Wire speed: three bytes a millisecond, read a few at a time.
    char bytes[8];
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ssize_t ignored = read(slow.ends[0], bytes, 6);
      (void)ignored;
    }
  });
  auto started = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  EXPECT_EQ(silence_ports(&table), 0);
  std::string err = testing::internal::GetCapturedStderr();
  auto took = std::chrono::steady_clock::now() - started;
  done = true;
  reader.join();
  EXPECT_EQ(err, "Error!!: All Sound Off Not Sent (Device= Port=2): it took 0 of 48 bytes.\n");
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_GE(took, std::chrono::milliseconds(1900)) << "the stalled port was not given its time";
  Bytes tail = slow.drain();
  EXPECT_EQ(hex(tail), hex(ALL_SOUND_OFF));
  EXPECT_FALSE(table.ports[0].sound_off_short);
  EXPECT_TRUE(table.ports[2].sound_off_short);
}

// Errors that mean the device is gone lose the port at once, with one line
// naming its node; its later blocks are dropped without a write. Other
// failures keep the three attempts and the port, and are said once.
TEST_F(PortsTest, WriteErrorsThatMeanTheDeviceIsGoneLoseThePort) {
  struct Case {
    int error;
    bool gone;
  };
  const std::vector<Case> cases = {{EIO, true},   {ENXIO, true},  {ENODEV, true}, {EPIPE, true},
                                   {EBADF, true}, {EINTR, false}, {ENOSPC, false}};
  const Bytes note = {0x90, 0x3C, 0x40};
  for (const Case& c : cases) {
    SCOPED_TRACE(strerror(c.error));
    reset_ports_and_stop();
    NamedPorts ports({true, true, false, false}, true);
    testing::internal::CaptureStderr();
    ASSERT_EQ(open_ports("unused", &port_table), 0);
    testing::internal::GetCapturedStderr();
    {
      ArmedWrite armed({-1, -1, -1, -1, -1, -1});
      fake_write.error = c.error;
      testing::internal::CaptureStderr();
      EXPECT_EQ(write_port(1, note.data(), note.size()), 3);
      EXPECT_EQ(write_port(1, note.data(), note.size()), 3);
      EXPECT_EQ(testing::internal::GetCapturedStderr(),
                c.gone ? lost_line(ports.names[1], 1, c.error)
                       : "Error!!: Can't Write MidiDevice (Device=" + ports.names[1] +
                             " Port=1): " + strerror(c.error) + ". Bytes were dropped.\n");
      EXPECT_EQ(fake_write.calls.size(), c.gone ? 1u : 6u);
    }
    EXPECT_EQ(port_table.ports[1].fd < 0, c.gone);
    EXPECT_TRUE(any_port_open()) << "port 0 is still there";
    close_ports();
  }
}

// A pseudo-terminal whose master side is closed fails every write as an
// unplugged interface does: each port is reported once and written no
// more, and when the last open port goes no port is open.
TEST_F(PortsTest, UnpluggedDevicesAreReportedOncePerPortAndWrittenNoMore) {
  Pty first, second;
  TempDir dir;
  const std::string missing = dir.file("missing");
  port_table.names[0] = first.slave.c_str();
  port_table.names[1] = second.slave.c_str();
  port_table.names[2] = port_table.names[3] = missing.c_str();
  testing::internal::CaptureStderr();
  ASSERT_EQ(open_ports("unused", &port_table), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(any_port_open());
  const int port0_fd = port_table.ports[0].fd;
  const Bytes note = {0x90, 0x3C, 0x40};
  // An unplugged terminal answers EIO on Linux; ENXIO is as good a word for it.
  auto is_lost_line = [](const std::string& err, const std::string& path, int port) {
    return err == lost_line(path, port, EIO) || err == lost_line(path, port, ENXIO);
  };
  ArmedWrite armed({}, SIZE_MAX, true);

  first.unplug();
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_port(0, note.data(), note.size()), 3);
  EXPECT_EQ(write_port(0, note.data(), note.size()), 3);
  EXPECT_EQ(write_port(1, note.data(), note.size()), 0);
  EXPECT_EQ(silence_all_ports(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(is_lost_line(err, first.slave, 0)) << err;
  EXPECT_EQ(std::count_if(fake_write.calls.begin(), fake_write.calls.end(),
                          [&](const WriteCall& call) { return call.fd == port0_fd; }),
            1);
  EXPECT_TRUE(any_port_open());

  second.unplug();
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_port(1, note.data(), note.size()), 3);
  EXPECT_EQ(write_port(1, note.data(), note.size()), 3);
  err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(is_lost_line(err, second.slave, 1)) << err;
  EXPECT_FALSE(any_port_open());
  EXPECT_EQ(close_ports(), 0);
}

// A terminal node opened as a port never becomes the controlling terminal,
// not even of a session leader that has none; its hangup would end the player.
TEST_F(PortsTest, ATerminalPortDoesNotBecomeTheControllingTerminal) {
  Pty pty;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    for (const char*& name : port_table.names) name = pty.slave.c_str();
    if (open_ports("unused", &port_table) != 0) _exit(2);
    // /dev/tty opens only for a process that has a controlling terminal.
    _exit(open("/dev/tty", O_RDWR) < 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << (WEXITSTATUS(status) == 1 ? "the port became the controlling terminal"
                                                                 : "the port did not open");
}

// A single-port device plays on: the bytes for port 0 reach its node, and
// All Sound Off to the three ports that failed is dropped without a word.
TEST_F(PortsTest, SinglePortDeviceTakesBytesAndDropsTheRest) {
  NamedPorts ports({true, false, false, false});
  testing::internal::CaptureStderr();
  ASSERT_EQ(open_ports("unused", &port_table), 0);
  testing::internal::GetCapturedStderr();
  const Bytes note_on = {0x90, 0x3C, 0x64};
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_port(0, note_on.data(), note_on.size()), 0);
  EXPECT_EQ(silence_all_ports(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(hex(drain(ports.dir.file("p0"))), hex(note_on + ALL_SOUND_OFF));
  close_ports();
}

// A name longer than a node name can be is cut, so every generated name of
// an overlong base comes out alike; each port still gets one and the opens
// fail with their lines instead of formatting a missing name.
TEST_F(PortsTest, OverlongBaseStillNamesEveryPort) {
  const std::string base(300, 'x');
  const std::string cut = (base + "15.0").substr(0, 255);
  testing::internal::CaptureStderr();
  int result = open_ports(base.c_str(), &port_table);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, -1);
  std::string expected;
  for (int p = 0; p < 4; ++p) {
    ASSERT_NE(port_table.ports[p].name, nullptr) << "port " << p;
    EXPECT_EQ(port_table.ports[p].name, cut) << "port " << p;
    expected += "Error!!: Can't Open MidiDevice (Device=" + cut + " Port=" + std::to_string(p) + ")\n";
  }
  EXPECT_EQ(err, expected + PORT0_LINE);
}

// Closing forgets each descriptor, so a second call cannot close a
// descriptor that has since been given to something else.
TEST_F(PortsTest, ClosePortsTwiceClosesEachDescriptorOnce) {
  NamedPorts ports({true, true, true, true});
  ASSERT_EQ(open_ports("unused", &port_table), 0);
  int opened[4];
  for (int p = 0; p < 4; ++p) opened[p] = port_table.ports[p].fd;
  EXPECT_EQ(close_ports(), 0);
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(port_table.ports[p].fd, -1);
    EXPECT_FALSE(fd_is_open(opened[p])) << "port " << p;
  }
  // The lowest free numbers come back first: these take the ports' old numbers.
  int reused[4];
  for (int& fd : reused) fd = open("/dev/null", O_RDONLY);
  EXPECT_EQ(close_ports(), 0);
  for (int fd : reused) {
    EXPECT_TRUE(fd_is_open(fd)) << "descriptor " << fd;
    close(fd);
  }
}

// Descriptor 0 is a descriptor like any other: a port that got it is closed.
TEST_F(PortsTest, ClosePortsClosesDescriptorZero) {
  int saved_stdin = dup(0);
  ASSERT_GE(saved_stdin, 0);
  port_table.ports[0].fd = 0;
  close_ports();
  bool zero_open = fd_is_open(0);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  EXPECT_FALSE(zero_open);
  EXPECT_EQ(port_table.ports[0].fd, -1);
}

}  // namespace
