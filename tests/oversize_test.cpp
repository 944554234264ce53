// Whole runs of the built player with songs far beyond their usual sizes: a
// text event of megabytes between notes, and one tick of millions of events.
// Neither may hold the notes after it or a stop.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/port_files.h"
#include "support/sanitized.h"
#include "support/support.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// At this timebase and the starting tempo a tick lasts half a millisecond.
constexpr uint16_t TIMEBASE = 1000;
constexpr uint32_t TICKS_PER_MS = 2;

// The huge text comes TEXT_MS after the first note, the second note
// SECOND_NOTE_MS after the first.
constexpr int TEXT_MS = 200;
constexpr int SECOND_NOTE_MS = 500;

const Bytes FIRST_NOTE = {0x90, 0x3C, 0x40};
const Bytes SECOND_NOTE = {0x90, 0x3E, 0x40};

// Shift_JIS kanji (U+65E5) over and over: for an EUC-JP terminal the slowest
// text there is to convert.
std::string kanji(size_t bytes) {
  std::string text;
  text.reserve(bytes);
  while (text.size() + 2 <= bytes) text += "\x93\xFA";
  return text;
}

// The same kanji in EUC-JP, as the terminal gets them.
std::string kanji_in_euc_jp(size_t bytes) {
  std::string text;
  while (text.size() + 2 <= bytes) text += "\xC6\xFC";
  return text;
}

// A whole lyric sheet in one event: long, but shown.
constexpr size_t SHEET_BYTES = 30000;

// A note, a 20 MB lyric TEXT_MS later, the second note SECOND_NOTE_MS after
// the first with a lyric sheet, and both notes off a little later.
Bytes huge_text_song() {
  TrackBuilder track;
  track.event(0, {0x90, 0x3C, 0x40});
  track.text(TEXT_MS * TICKS_PER_MS, 0x05, kanji(20u << 20));
  track.event((SECOND_NOTE_MS - TEXT_MS) * TICKS_PER_MS, {0x90, 0x3E, 0x40});
  track.text(0, 0x05, kanji(SHEET_BYTES));
  track.event(200 * TICKS_PER_MS, {0x80, 0x3C, 0x00}).event(0, {0x80, 0x3E, 0x00}).end();
  return smf(0, TIMEBASE, {track});
}

// Starts the player on the song with its output in files of the port
// directory ("out", "err").
pid_t start(const PortFiles& ports, const std::vector<std::string>& options) {
  std::vector<std::string> argv = player_argv(options, ports, ports.dir.file("song.mid"));
  int out = open(ports.dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(ports.dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = start_process(SONGRELAY_BIN, argv, out, err);
  close(out);
  close(err);
  return pid;
}

// Milliseconds from one moment to a later one.
long long ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

// The text of 20 MB is dropped at once and counted, and the note after it
// comes on time: the player neither converts it nor waits for it.
TEST(HugeText, TheNotesAfterItKeepTheirTimeAndTheLyricSheetAfterItShows) {
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), huge_text_song());
  pid_t pid = start(ports, {"-r", "-t", "EUC-JP"});
  ASSERT_TRUE(wait_for_size(ports.dir.file("p0"), 3)) << "the first note never came";
  Clock::time_point first = Clock::now();
  ASSERT_TRUE(wait_for_size(ports.dir.file("p0"), 6)) << "the second note never came";
  long long gap = ms_between(first, Clock::now());
  int status = 0;
  ASSERT_TRUE(wait_or_kill(pid, status));
  EXPECT_EQ(shell_status(status), 0);
  // Generous, for a loaded machine; the size checks look every 5 ms.
  EXPECT_GT(gap, SECOND_NOTE_MS - 50) << "the second note came early";
  EXPECT_LT(gap, SECOND_NOTE_MS + 200) << "the huge text held the second note";
  EXPECT_EQ(hex(ports.received(0)), hex(FIRST_NOTE + SECOND_NOTE + Bytes{0x80, 0x3C, 0x00, 0x80, 0x3E, 0x00}));
  // Compared without printing them: a failure could hold megabytes.
  std::string out = read_text(ports.dir.file("out"));
  EXPECT_TRUE(out == "  [Lylic     ]: " + kanji_in_euc_jp(SHEET_BYTES) + "\n")
      << "standard output of " << out.size() << " bytes instead of the lyric sheet's line alone";
  std::string err = read_text(ports.dir.file("err"));
  EXPECT_NE(err.find("songrelay: a text of 20480 KB was not shown: texts over 64 KB are not converted.\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("of song text"), std::string::npos) << err;
  EXPECT_EQ(err.find("Error!!"), std::string::npos) << err;
}

// One SIGINT at the moment the huge text is due ends the run at once.
TEST(HugeText, OneStopWhenItIsDueEndsTheRunAtOnce) {
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), huge_text_song());
  pid_t pid = start(ports, {"-r", "-t", "EUC-JP"});
  ASSERT_TRUE(wait_for_size(ports.dir.file("p0"), 3)) << "the first note never came";
  std::this_thread::sleep_until(Clock::now() + milliseconds(TEXT_MS + 20));
  Clock::time_point sent = Clock::now();
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_TRUE(wait_or_kill(pid, status));
  EXPECT_LT(ms_between(sent, Clock::now()), 500) << "the stop waited for the text";
  EXPECT_EQ(shell_status(status), 128 + SIGINT);
  // The second note, due 300 ms after the text, is never sent.
  EXPECT_EQ(hex(ports.received(0)), hex(FIRST_NOTE + all_sound_off()));
  for (int p = 1; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), hex(all_sound_off())) << "port " << p;
}

// 16 million note-ons on tick 0 in running status: one track's turn at one
// tick writes them all, about a second's work on a small machine.
Bytes huge_tick_song() {
  TrackBuilder track;
  track.event(0, {0x90, 0x3C, 0x40});
  const Bytes repeat = {0x00, 0x3C, 0x40};
  track.bytes.reserve(track.bytes.size() + repeat.size() * (16u << 20) + 4);
  for (uint32_t i = 0; i < (16u << 20); ++i) track.bytes.insert(track.bytes.end(), repeat.begin(), repeat.end());
  track.end();
  return smf(0, TIMEBASE, {track});
}

// A stop while the table is written ends the load within moments, wherever
// in the tick it comes, and nothing reaches the ports.
TEST(HugeTick, AStopWhileItsEventsAreWrittenEndsTheLoadAtOnce) {
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), huge_tick_song());
  // The reset notice is printed as the table's writing begins.
  pid_t pid = start(ports, {"-v"});
  Clock::time_point give_up = Clock::now() + std::chrono::seconds(20);
  while (read_text(ports.dir.file("err")).find("Auto Append") == std::string::npos && Clock::now() < give_up) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  Clock::time_point sent = Clock::now();
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_TRUE(wait_or_kill(pid, status));
  ASSERT_LT(sent, give_up) << "the table's writing never began";
  // The load looks at the stop every few milliseconds; generous for a loaded machine.
  EXPECT_LT(ms_between(sent, Clock::now()), 500) << "the load ran on after the stop";
  EXPECT_EQ(shell_status(status), 128 + SIGINT);
  for (int p = 0; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), "") << "port " << p;
}

// The command line that runs argv in a shell with its address space limited
// to limit_mib (ulimit -v sets RLIMIT_AS), or empty, with why set, where
// this system's shell cannot set that limit.
std::vector<std::string> limited_to(int limit_mib, const std::vector<std::string>& argv, std::string& why) {
  const std::string limit = "ulimit -v " + std::to_string(limit_mib * 1024);
  if (run_process("/bin/sh", {"sh", "-c", limit}).exit_status != 0) {
    why = "the shell cannot limit the address space here (" + limit + " fails)";
    return {};
  }
  std::vector<std::string> line = {"sh", "-c", limit + " && exec \"$@\"", "sh"};
  line.insert(line.end(), argv.begin(), argv.end());
  return line;
}

// A sequencer-specific event of 100 MB between two notes is never shown, so
// it costs the player its own bytes (once read, once stored) and no room to
// convert it: the song plays within an address space of 500 MB, as the same
// bytes in events of 60 KB do.
TEST(HugeMeta, AnEventOf100MBPlaysWithin500MBOfAddressSpace) {
  if (SANITIZED_BUILD) GTEST_SKIP() << "sanitizer build: its shadow memory needs more address space than any limit";
  PortFiles ports;
  {
    TrackBuilder track;
    track.event(0, {0x90, 0x3C, 0x40});
    track.meta(0, 0x7F, Bytes(100u << 20, 0x7D));
    track.event(10, {0x80, 0x3C, 0x00}).end();
    write_file(ports.dir.file("song.mid"), smf(0, TIMEBASE, {track}));
  }
  std::string why;
  std::vector<std::string> argv = limited_to(500, player_argv({"-r", "-t", "UTF-8"}, ports, ports.dir.file("song.mid")),
                                             why);
  if (argv.empty()) GTEST_SKIP() << why;
  ProcessResult result = run_process("/bin/sh", argv);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err.find("Error"), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(hex(ports.received(0)), hex(FIRST_NOTE + Bytes{0x80, 0x3C, 0x00}));
}

}  // namespace
