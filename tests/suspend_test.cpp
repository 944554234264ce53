// Whole runs of the built player suspended with the suspend key (SIGTSTP)
// and continued: no note sounds while it is stopped, and the song goes on
// from where it was, moved by the time it was stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/port_files.h"
#include "support/support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A note at once and its end a minute later: nothing of the song is due
// while a test presses its keys. Timebase 10, so a tick is 50 ms.
Bytes one_long_note() {
  TrackBuilder track;
  track.event(0, {0x90, 0x3C, 0x40}).event(1200, {0x80, 0x3C, 0x00}).end();
  return smf(0, 10, {track});
}

// Runs the player on the ports with its console into the files given.
pid_t start_player(const PortFiles& ports, const std::vector<std::string>& options, int out, int err) {
  return start_process(SONGRELAY_BIN, player_argv(options, ports, ports.dir.file("song.mid")), out, err);
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

// The suspend key while the run waits for a console that takes nothing,
// after the song's last note: the ports are silenced and the process stops
// at once, and once continued the run ends as a played song.
TEST(Suspend, AfterTheLastNoteWithAStalledConsole) {
  PortFiles ports;
  TrackBuilder track;
  for (int k = 0; k < 8; ++k) track.text(0, 0x05, std::string(50000, 'a' + k));
  track.event(0, {0x90, 0x3C, 0x40}).end();
  write_file(ports.dir.file("song.mid"), smf(0, 10, {track}));
  ChildProcess child;
  ASSERT_TRUE(start_child(child, SONGRELAY_BIN, player_argv({"-r"}, ports, ports.dir.file("song.mid"))));
  ASSERT_TRUE(wait_for_size(ports.dir.file("p0"), 3));
  std::this_thread::sleep_for(milliseconds(200));
  kill(child.pid, SIGTSTP);
  int status = 0;
  ASSERT_EQ(wait_stopped_or_ended(child.pid, status, 3000), SEEN_STOPPED) << "the suspend key did not stop the run";
  EXPECT_EQ(hex(ports.received(0)), hex(Bytes{0x90, 0x3C, 0x40} + all_sound_off()));
  for (int p = 1; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), hex(all_sound_off())) << "port " << p;
  kill(child.pid, SIGCONT);
  ASSERT_TRUE(wait_child(child));
  EXPECT_EQ(child.exit_status, 0) << child.err;
}

// The suspend key while the player waits for room in a device that stopped
// draining: the pause is seen at once, the stalled port's All Sound Off
// runs out its bound and is said, and the process stops.
TEST(Suspend, DuringAWaitForRoom) {
  PortFiles ports;
  HeldFifo full(ports.dir, "full", true);
  ports.use(0, ports.dir.from_dev("full"));
  write_file(ports.dir.file("song.mid"), one_long_note());
  int err = open(ports.dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_t pid = start_player(ports, {"-r", "-q"}, -1, err);
  close(err);
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(milliseconds(500));
  auto pressed = steady_clock::now();
  kill(pid, SIGTSTP);
  int status = 0;
  ASSERT_EQ(wait_stopped_or_ended(pid, status, 6000), SEEN_STOPPED) << "the pause was not seen during the wait";
  EXPECT_LT(steady_clock::now() - pressed, std::chrono::seconds(4));
  for (int p = 1; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), hex(all_sound_off())) << "port " << p;
  kill(pid, SIGCONT);
  kill(pid, SIGINT);
  ASSERT_TRUE(wait_or_kill(pid, status, 10000));
  EXPECT_EQ(shell_status(status), 128 + SIGINT);
  EXPECT_NE(read_text(ports.dir.file("err")).find("Error!!: All Sound Off Not Sent (Device=/dev/"), std::string::npos);
}

// Keys pressed while a pause's All Sound Off waits on a stalled port (port
// 1, which the song never writes): a second suspend key is the same pause,
// so the continued run does not stop again; a stop wins over the pause, so
// the process ends without ever stopping.
TEST(Suspend, KeysDuringASlowSilence) {
  struct Case {
    const char* what;
    int second;  // the key pressed 300 ms after the first suspend key
    bool stops;  // the process stops once
  };
  const Case cases[] = {
      {"a second suspend key", SIGTSTP, true},
      {"an interrupt key", SIGINT, false},
      {"a termination", SIGTERM, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PortFiles ports;
    HeldFifo stalled(ports.dir, "stalled", true);
    ports.use(1, ports.dir.from_dev("stalled"));
    write_file(ports.dir.file("song.mid"), one_long_note());
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = start_player(ports, {"-r", "-q"}, -1, quiet);
    close(quiet);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_size(ports.dir.file("p0"), 3));
    kill(pid, SIGTSTP);
    std::this_thread::sleep_for(milliseconds(300));
    kill(pid, c.second);
    int status = 0;
    Seen seen = wait_stopped_or_ended(pid, status, 6000);
    if (!c.stops) {
      EXPECT_EQ(seen, SEEN_ENDED) << "the process stopped after the stop was asked for";
      if (seen == SEEN_STOPPED) kill(pid, SIGCONT);
      if (seen != SEEN_ENDED) {
        ASSERT_TRUE(wait_or_kill(pid, status, 10000));
      }
      EXPECT_EQ(shell_status(status), 128 + c.second);
      continue;
    }
    ASSERT_EQ(seen, SEEN_STOPPED);
    kill(pid, SIGCONT);
    EXPECT_EQ(wait_stopped_or_ended(pid, status, 1500), SEEN_NOTHING) << "the continued run stopped again";
    kill(pid, SIGINT);
    ASSERT_TRUE(wait_or_kill(pid, status, 10000));
    EXPECT_EQ(shell_status(status), 128 + SIGINT);
  }
}

}  // namespace
