// Whole runs of the built player against devices that misbehave: a FIFO
// nobody reads, a reader that goes away, devices that stop draining or
// drain at wire speed when the stop comes, a device that is full. None may
// hang the run, need a second signal, or lose a byte without a word.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/port_files.h"
#include "support/support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A song of a note every 100 ms for the given count, at timebase 10 (a tick is 50 ms).
Bytes notes_every_100ms(int count) {
  TrackBuilder track;
  for (int i = 0; i < count; ++i) track.event(i == 0 ? 0 : 2, {0x90, static_cast<uint8_t>(60 + i % 12), 0x40});
  track.end();
  return smf(0, 10, {track});
}

// Runs the player on the ports with standard error into a file; the pid.
pid_t start_player(const PortFiles& ports, const std::vector<std::string>& options, const std::string& err_path) {
  std::vector<std::string> argv = player_argv(options, ports, ports.dir.file("song.mid"));
  int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_t pid = start_process(SONGRELAY_BIN, argv, -1, err);
  close(err);
  return pid;
}

// How many times needle occurs in text.
size_t count_of(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// A FIFO port 0 that nobody reads is a port that cannot open; one whose
// reader goes away mid-song is a lost device: one line, status 2, no hang.
TEST(DeviceStall, AFifoWithoutAReaderFailsAndOneWhoseReaderDiesIsLost) {
  {
    SCOPED_TRACE("no reader");
    PortFiles ports;
    mkfifo(ports.dir.file("fifo").c_str(), 0600);
    ports.use(0, ports.dir.from_dev("fifo"));
    write_file(ports.dir.file("song.mid"), notes_every_100ms(3));
    ProcessResult result = run_process(SONGRELAY_BIN, player_argv({"-r"}, ports, ports.dir.file("song.mid")));
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.err.find("Error!!: Can't Open MidiDevice (Device=" + ports.dir.from_dev("fifo") + " Port=0)\n"),
              std::string::npos)
        << result.err;
  }
  {
    SCOPED_TRACE("the reader goes away");
    PortFiles ports;
    HeldFifo fifo(ports.dir, "fifo", false);
    ports.use(0, ports.dir.from_dev("fifo"));
    write_file(ports.dir.file("song.mid"), notes_every_100ms(30));
    pid_t pid = start_player(ports, {"-r", "-q"}, ports.dir.file("err"));
    pollfd first = {fifo.reader, POLLIN, 0};
    ASSERT_EQ(poll(&first, 1, 10000), 1) << "the song never began";
    close(fifo.reader);
    fifo.reader = -1;
    int status = 0;
    ASSERT_TRUE(wait_or_kill(pid, status, 20000)) << "the player hung on a FIFO whose reader died";
    EXPECT_EQ(shell_status(status), 2);
    std::string err = read_text(ports.dir.file("err"));
    EXPECT_EQ(count_of(err, "Error!!: Lost MidiDevice (Device=/dev/" + ports.dir.from_dev("fifo") + " Port=0): "), 1u)
        << err;
  }
}

// A stop while the player waits on a full device ends the run with the one
// signal, however long the device would take to drain.
TEST(DeviceStall, OneSignalEndsARunWaitingOnAFullDevice) {
  PortFiles ports;
  HeldFifo fifo(ports.dir, "full", true);
  ports.use(0, ports.dir.from_dev("full"));
  write_file(ports.dir.file("song.mid"), notes_every_100ms(30));
  pid_t pid = start_player(ports, {"-r", "-q"}, ports.dir.file("err"));
  std::this_thread::sleep_for(milliseconds(300));
  auto sent = steady_clock::now();
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_TRUE(wait_or_kill(pid, status, 20000)) << "one SIGINT did not end the run";
  // The stop gives All Sound Off two seconds to get into the full FIFO.
  EXPECT_LT(steady_clock::now() - sent, std::chrono::seconds(4));
  EXPECT_EQ(shell_status(status), 128 + SIGINT);
  std::string err = read_text(ports.dir.file("err"));
  EXPECT_NE(err.find("Error!!: All Sound Off Not Sent (Device=/dev/" + ports.dir.from_dev("full") + " Port=0)"),
            std::string::npos)
      << err;
  for (int p = 1; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), hex(all_sound_off())) << "port " << p;
}

// On a stop, All Sound Off goes to every port at once: three stalled ports
// cost one bound between them, not one each, and a port draining at wire
// speed gets the whole block. The slow port is full when the song starts, so
// the stop finds the player waiting for room for the first note.
TEST(DeviceStall, AStopSilencesASlowPortWhileThreeStalledOnesRunOut) {
  PortFiles ports;
  HeldFifo slow(ports.dir, "slow", true);
  HeldFifo stalled1(ports.dir, "s1", true), stalled2(ports.dir, "s2", true), stalled3(ports.dir, "s3", true);
  ports.use(0, ports.dir.from_dev("slow"));
  ports.use(1, ports.dir.from_dev("s1"));
  ports.use(2, ports.dir.from_dev("s2"));
  ports.use(3, ports.dir.from_dev("s3"));
  TrackBuilder track;
  track.event(0, {0x90, 0x3C, 0x40}).event(1200, {0x80, 0x3C, 0x00}).end();
  write_file(ports.dir.file("song.mid"), smf(0, 10, {track}));
  std::atomic<bool> reading{true};
  // MIDI's wire speed is about three bytes a millisecond.
  std::thread reader([&] {
    while (reading) {
      slow.take(6);
      std::this_thread::sleep_for(milliseconds(2));
    }
  });
  pid_t pid = start_player(ports, {"-r", "-q"}, ports.dir.file("err"));
  std::this_thread::sleep_for(milliseconds(300));
  auto sent = steady_clock::now();
  kill(pid, SIGINT);
  int status = 0;
  bool ended = wait_or_kill(pid, status, 20000);
  auto took = steady_clock::now() - sent;
  reading = false;
  reader.join();
  while (slow.take(65536)) {
  }
  ASSERT_TRUE(ended) << "the stop hung";
  EXPECT_LT(took, std::chrono::seconds(4)) << "the stalled ports were waited for one after another";
  EXPECT_EQ(shell_status(status), 128 + SIGINT);
  // The note waited for room when the stop came, so it is not sent.
  EXPECT_EQ(hex(slow.from_player()), hex(all_sound_off()));
  std::string err = read_text(ports.dir.file("err"));
  EXPECT_EQ(err.find("Error!!: All Sound Off Not Sent (Device=/dev/" + ports.dir.from_dev("slow")), std::string::npos)
      << err;
  for (const char* name : {"s1", "s2", "s3"}) {
    EXPECT_EQ(count_of(err, "Error!!: All Sound Off Not Sent (Device=/dev/" + ports.dir.from_dev(name)), 1u)
        << name << "\n"
        << err;
  }
}

// A device that refuses bytes for another reason than going away (here a
// full file system) is said once and the run fails, though the song plays on.
TEST(DeviceStall, ADeviceThatIsFullIsSaidOnceAndFailsTheRun) {
  struct stat full;
  if (stat("/dev/full", &full) != 0 || !S_ISCHR(full.st_mode)) GTEST_SKIP() << "needs /dev/full (a Linux node)";
  PortFiles ports;
  ports.use(1, "/dev/full");
  TrackBuilder track;
  // Three notes to port 0, then three to port 1 after a port prefix.
  for (int i = 0; i < 3; ++i) track.event(0, {0x90, 0x3C, 0x40});
  track.meta(0, 0x21, {0x01});
  for (int i = 0; i < 3; ++i) track.event(1, {0x90, 0x3E, 0x40});
  track.end();
  write_file(ports.dir.file("song.mid"), smf(0, 96, {track}));
  ProcessResult result = run_process(SONGRELAY_BIN, player_argv({"-r", "-q"}, ports, ports.dir.file("song.mid")));
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(count_of(result.err, "Error!!: Can't Write MidiDevice (Device=/dev/full Port=1): " +
                                     std::string(strerror(ENOSPC)) + ". Bytes were dropped.\n"),
            1u)
      << result.err;
  Bytes three;
  for (int i = 0; i < 3; ++i) three = three + Bytes{0x90, 0x3C, 0x40};
  EXPECT_EQ(hex(ports.received(0)), hex(three)) << "the other ports play on";
}

}  // namespace
