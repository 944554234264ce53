// Whole runs of the built player suspended with the suspend key (SIGTSTP)
// and continued: no note sounds while it is stopped, and the song goes on
// from where it was, moved by the time it was stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/port_files.h"
#include "support/support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The size of the file at path, or -1.
off_t size_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

// Waits until the file holds at least size bytes; the moment it saw them,
// or steady_clock's epoch after ten seconds without.
steady_clock::time_point when_size(const std::string& path, off_t size) {
  for (int i = 0; i < 2000; ++i) {
    if (size_of(path) >= size) return steady_clock::now();
    std::this_thread::sleep_for(milliseconds(5));
  }
  return steady_clock::time_point{};
}

TEST(Suspend, CtrlZSilencesEveryPortAndFgPlaysOnFromWhereItWas) {
  // Timebase 10 at tempo 500000: a tick is 50 ms. Note A at once, note B a second later.
  TrackBuilder track;
  track.event(0, {0x90, 0x3C, 0x40}).event(20, {0x90, 0x3E, 0x40}).end();
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), smf(0, 10, {track}));
  pid_t pid = start_process(SONGRELAY_BIN, player_argv({"-r", "-q"}, ports, ports.dir.file("song.mid")), -1, -1);
  ASSERT_GT(pid, 0);
  const std::string port0 = ports.dir.file("p0");
  ASSERT_NE(when_size(port0, 3), steady_clock::time_point{}) << "note A never came";
  std::this_thread::sleep_for(milliseconds(300));
  kill(pid, SIGTSTP);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status)) << "the suspend key did not stop the player";
  // All Sound Off went out before the process stopped.
  const Bytes note_a = {0x90, 0x3C, 0x40};
  EXPECT_EQ(hex(ports.received(0)), hex(note_a + all_sound_off()));
  for (int p = 1; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), hex(all_sound_off())) << "port " << p;
  // Stopped for a second: without the move, note B would be due already.
  std::this_thread::sleep_for(milliseconds(1000));
  steady_clock::time_point continued = steady_clock::now();
  kill(pid, SIGCONT);
  steady_clock::time_point note_b = when_size(port0, static_cast<off_t>(note_a.size() + all_sound_off().size() + 3));
  ASSERT_NE(note_b, steady_clock::time_point{}) << "note B never came";
  // About 0.7 s of the song's second was left when it was stopped.
  EXPECT_GT(note_b - continued, milliseconds(400)) << "the rest of the song did not move";
  EXPECT_LT(note_b - continued, milliseconds(3000));
  ASSERT_TRUE(wait_or_kill(pid, status, 20));
  EXPECT_EQ(shell_status(status), 0);
  EXPECT_EQ(hex(ports.received(0)), hex(note_a + all_sound_off() + Bytes{0x90, 0x3E, 0x40}));
}

}  // namespace
