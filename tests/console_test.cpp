// Whole runs of the built player against a console that stops reading: the
// song's notes keep their times, the text that finds no room is dropped and
// said, one stop signal ends the run, and a console that reads again after
// the song gets every line that was kept.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/port_files.h"
#include "support/support.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// At this timebase and the starting tempo a tick lasts half a millisecond.
constexpr uint16_t TIMEBASE = 1000;
constexpr uint32_t TICKS_PER_MS = 2;
constexpr int NOTES = 10;
constexpr int STEP_MS = 200;
constexpr size_t LYRIC_BYTES = 50000;

// The lyric before note k: its number, then filler, so that a line shown
// can be told from the others and seen whole.
std::string lyric(int k) { return "lyric " + std::to_string(k) + " " + std::string(LYRIC_BYTES, 'a' + k); }

// Ten notes STEP_MS apart, each after a long lyric at the same moment; the
// last note is held for a minute.
Bytes karaoke_song() {
  TrackBuilder track;
  for (int k = 0; k < NOTES; ++k) {
    track.text(k == 0 ? 0 : STEP_MS * TICKS_PER_MS, 0x05, lyric(k));
    track.event(0, {0x90, static_cast<uint8_t>(0x3C + k), 0x40});
  }
  track.event(60000 * TICKS_PER_MS, {0x80, 0x3C, 0x00}).end();
  return smf(0, TIMEBASE, {track});
}

// Port 0 as a FIFO read by a thread that notes when each note-on arrived.
struct TimedPort {
  explicit TimedPort(PortFiles& ports) : path(ports.dir.file("timed")) {
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ports.use(0, ports.dir.from_dev("timed"));
    reader = std::thread([this] { read_until_closed(); });
  }
  ~TimedPort() {
    done = true;
    reader.join();
    close(fd);
  }
  void read_until_closed() {
    while (!done) {
      pollfd ready = {fd, POLLIN, 0};
      if (poll(&ready, 1, 20) <= 0) continue;
      uint8_t chunk[256];
      ssize_t count = read(fd, chunk, sizeof chunk);
      std::lock_guard<std::mutex> hold(lock);
      for (ssize_t i = 0; i < count; ++i) {
        bytes.push_back(chunk[i]);
        if (chunk[i] == 0x90) note_on_times.push_back(Clock::now());
      }
    }
  }
  // How many note-ons came so far, and what came, while the reader goes on.
  size_t notes_seen() {
    std::lock_guard<std::mutex> hold(lock);
    return note_on_times.size();
  }
  std::vector<Clock::time_point> times() {
    std::lock_guard<std::mutex> hold(lock);
    return note_on_times;
  }
  Bytes received() {
    std::lock_guard<std::mutex> hold(lock);
    return bytes;
  }
  std::string path;
  int fd = -1;
  std::mutex lock;
  std::atomic<bool> done{false};
  Bytes bytes;
  std::vector<Clock::time_point> note_on_times;
  std::thread reader;
};

// The lines that the dropped-text lines say were lost, in all: text lost at
// different moments is said where it was lost.
int dropped_lines(const std::string& err) {
  static const std::regex line(
      "songrelay: ([0-9]+) lines? of song text \\([0-9]+ (KB|bytes)\\) (was|were) not shown: the console did "
      "not keep up\\.\n");
  int total = 0;
  for (auto it = std::sregex_iterator(err.begin(), err.end(), line); it != std::sregex_iterator(); ++it) {
    total += std::stoi((*it)[1]);
  }
  return total;
}

// Every note-on came within half a second of its time, counted from the first.
void expect_notes_on_time(const std::vector<Clock::time_point>& times) {
  ASSERT_EQ(times.size(), static_cast<size_t>(NOTES)) << "the notes stopped while the console was stalled";
  for (int k = 1; k < NOTES; ++k) {
    auto late = std::chrono::duration_cast<milliseconds>(times[k] - times[0]) - milliseconds(k * STEP_MS);
    EXPECT_LT(std::abs(late.count()), 500) << "note " << k << " off its time by " << late.count() << " ms";
  }
}

TEST(StalledConsole, CostsTextNotNotesAndOneStopEndsTheRun) {
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), karaoke_song());
  TimedPort port(ports);
  ChildProcess child;
  ASSERT_TRUE(start_child(child, SONGRELAY_BIN, player_argv({"-r", "-t", "UTF-8"}, ports, ports.dir.file("song.mid"))));
  // Nobody reads the console: its pipe fills with the first lyric.
  auto give_up = Clock::now() + std::chrono::seconds(20);
  while (port.notes_seen() < NOTES && Clock::now() < give_up) std::this_thread::sleep_for(milliseconds(20));
  std::this_thread::sleep_for(milliseconds(300));
  expect_notes_on_time(port.times());

  auto sent = Clock::now();
  kill(child.pid, SIGINT);
  int status = 0;
  ASSERT_TRUE(wait_or_kill(child.pid, status, 10000)) << "one SIGINT did not end a run with a stalled console";
  child.pid = -1;
  EXPECT_LT(Clock::now() - sent, std::chrono::seconds(3));
  EXPECT_EQ(shell_status(status), 128 + SIGINT);
  ASSERT_TRUE(read_child_until(child, ""));
  EXPECT_GT(dropped_lines(child.err), 0) << child.err;
  std::this_thread::sleep_for(milliseconds(100));
  Bytes sent_to_port = port.received();
  Bytes tail(sent_to_port.end() - std::min(sent_to_port.size(), all_sound_off().size()), sent_to_port.end());
  EXPECT_EQ(hex(tail), hex(all_sound_off()));
}

TEST(StalledConsole, ReadingAgainAfterTheSongShowsEveryKeptLineWholeThenTheRunEnds) {
  PortFiles ports;
  TrackBuilder track;
  for (int k = 0; k < NOTES; ++k) {
    track.text(k == 0 ? 0 : 10 * TICKS_PER_MS, 0x05, lyric(k)).event(0, {0x90, 0x3C, 0x40});
  }
  track.end();
  write_file(ports.dir.file("song.mid"), smf(0, TIMEBASE, {track}));
  ChildProcess child;
  ASSERT_TRUE(start_child(child, SONGRELAY_BIN, player_argv({"-r", "-t", "UTF-8"}, ports, ports.dir.file("song.mid"))));
  // The song ends while the console is stalled; the run waits for it.
  Bytes notes;
  for (int k = 0; k < NOTES; ++k) notes = notes + Bytes{0x90, 0x3C, 0x40};
  wait_for_size(ports.dir.file("p0"), static_cast<off_t>(notes.size()));
  EXPECT_EQ(hex(ports.received(0)), hex(notes));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(waitpid(child.pid, nullptr, WNOHANG), 0) << "the run ended before its text was written";

  ASSERT_TRUE(wait_child(child));
  EXPECT_EQ(child.exit_status, 0);
  std::vector<int> shown;
  size_t at = 0;
  for (int k = 0; k < NOTES; ++k) {
    std::string line = "  [Lylic     ]: " + lyric(k) + "\n";
    if (child.out.compare(at, line.size(), line) != 0) continue;
    shown.push_back(k);
    at += line.size();
  }
  EXPECT_EQ(at, child.out.size()) << "a line was cut or mixed";
  EXPECT_FALSE(shown.empty());
  EXPECT_EQ(shown.size() + dropped_lines(child.err), static_cast<size_t>(NOTES)) << child.err;
}

// Lyrics enough to fill the console's pipe and its queue at once, then a
// note that lasts a minute: a run that waits on its console with a note held.
Bytes stalled_text_then_long_note() {
  TrackBuilder track;
  for (int k = 0; k < NOTES; ++k) track.text(0, 0x05, lyric(k));
  track.event(0, {0x90, 0x3C, 0x40}).event(60000 * TICKS_PER_MS, {0x80, 0x3C, 0x00}).end();
  return smf(0, TIMEBASE, {track});
}

// A console that reads again just as the stop's grace for it runs out: the
// printer is either done or left behind, never freed under it, and every
// run ends by its one SIGINT, whenever in the window the reading resumes.
TEST(StalledConsole, ReadingAgainAroundTheStopsBoundNeverCrashes) {
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), stalled_text_then_long_note());
  for (int delay_ms = 200; delay_ms <= 560; delay_ms += 20) {
    SCOPED_TRACE("reading again " + std::to_string(delay_ms) + " ms after the stop");
    ChildProcess child;
    ASSERT_TRUE(start_child(child, SONGRELAY_BIN, player_argv({"-r"}, ports, ports.dir.file("song.mid"))));
    ASSERT_TRUE(wait_for_size(ports.dir.file("p0"), 3));
    std::this_thread::sleep_for(milliseconds(50));
    kill(child.pid, SIGINT);
    std::this_thread::sleep_for(milliseconds(delay_ms));
    ASSERT_TRUE(wait_child(child, 10000));
    EXPECT_EQ(child.exit_status, 128 + SIGINT) << child.err;
    write_file(ports.dir.file("p0"), {});
  }
}

// A device lost while the console takes nothing: its line reaches standard
// error (another file) at once, is never counted as song text, and the run
// fails with it.
TEST(StalledConsole, ALostDeviceIsSaidAndNotCountedAsSongText) {
  PortFiles ports;
  Pty device;
  ports.use(0, ".." + device.slave);
  TrackBuilder track;
  for (int k = 0; k < NOTES; ++k) track.text(0, 0x05, lyric(k));
  track.event(0, {0x90, 0x3C, 0x40}).event(600 * TICKS_PER_MS, {0x80, 0x3C, 0x00}).end();
  write_file(ports.dir.file("song.mid"), smf(0, TIMEBASE, {track}));
  ChildProcess child;
  ASSERT_TRUE(start_child(child, SONGRELAY_BIN, player_argv({"-r"}, ports, ports.dir.file("song.mid"))));
  std::this_thread::sleep_for(milliseconds(300));
  device.unplug();
  // The error line comes while standard output is still stalled.
  std::this_thread::sleep_for(milliseconds(800));
  pollfd err = {child.fds[1], POLLIN, 0};
  EXPECT_EQ(poll(&err, 1, 2000), 1) << "the error line waited behind the stalled song text";
  ASSERT_TRUE(wait_child(child));
  EXPECT_EQ(child.exit_status, 2);
  EXPECT_NE(child.err.find("Error!!: Lost MidiDevice (Device=/dev/.." + device.slave + " Port=0)"), std::string::npos)
      << child.err;
  size_t shown = 0;
  for (int k = 0; k < NOTES; ++k) shown += child.out.find(lyric(k) + "\n") != std::string::npos;
  EXPECT_EQ(shown + dropped_lines(child.err), static_cast<size_t>(NOTES)) << child.err;
}

// A caller that closed standard output, or both, gets a run that plays to
// its end, neither hanging on a console that is not there nor spinning on
// a full port.
TEST(ClosedConsole, ARunWithStandardDescriptorsClosedPlaysAndEnds) {
  struct Case {
    const char* what;
    const char* redirections;
  };
  const Case cases[] = {{"standard output closed", ">&-"}, {"standard output and error closed", ">&- 2>&-"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PortFiles ports;
    TrackBuilder track;
    track.text(0, 0x03, "title").event(0, {0x90, 0x3C, 0x40}).event(200, {0x80, 0x3C, 0x00}).end();
    write_file(ports.dir.file("song.mid"), smf(0, TIMEBASE, {track}));
    std::string command = "exec";
    for (const std::string& arg : player_argv({"-r", "-v"}, ports, ports.dir.file("song.mid"))) {
      command += " '" + arg + "'";
    }
    command += std::string(" ") + c.redirections;
    auto started = Clock::now();
    ProcessResult result = run_process("/bin/sh", {"/bin/sh", "-c", command});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(hex(ports.received(0)), hex(Bytes{0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00}));
  }
}

}  // namespace
