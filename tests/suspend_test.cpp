// Whole runs of the built player suspended with the suspend key (SIGTSTP)
// and continued: no note sounds while it is stopped, and the song goes on
// from where it was, moved by the time it was stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/port_files.h"
#include "support/support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(Suspend, CtrlZSilencesEveryPortAndFgPlaysOnFromWhereItWas) {
  // Timebase 10 at tempo 500000: a tick is 50 ms. Note A at once, note B a second later.
  TrackBuilder track;
  track.event(0, {0x90, 0x3C, 0x40}).event(20, {0x90, 0x3E, 0x40}).end();
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), smf(0, 10, {track}));
  pid_t pid = start_process(SONGRELAY_BIN, player_argv({"-r", "-q"}, ports, ports.dir.file("song.mid")), -1, -1);
  ASSERT_GT(pid, 0);
  const std::string port0 = ports.dir.file("p0");
  ASSERT_TRUE(wait_for_size(port0, 3)) << "note A never came";
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
  ASSERT_TRUE(wait_for_size(port0, static_cast<off_t>(note_a.size() + all_sound_off().size() + 3)))
      << "note B never came";
  steady_clock::time_point note_b = steady_clock::now();
  // About 0.7 s of the song's second was left when it was stopped.
  EXPECT_GT(note_b - continued, milliseconds(400)) << "the rest of the song did not move";
  EXPECT_LT(note_b - continued, milliseconds(3000));
  ASSERT_TRUE(wait_or_kill(pid, status, 20000));
  EXPECT_EQ(shell_status(status), 0);
  EXPECT_EQ(hex(ports.received(0)), hex(note_a + all_sound_off() + Bytes{0x90, 0x3E, 0x40}));
}

}  // namespace
