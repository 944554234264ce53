// Whole runs of the built player: the bytes each port receives, the console,
// the stop on SIGINT and the failure paths of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "player/player.h"
#include "song/song.h"
#include "support/port_files.h"
#include "support/support.h"

namespace {

const Bytes GM_ON = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
const Bytes GS_RESET = {0xF0, 0x41, 0x20, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
const Bytes XG_ON = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};

struct Played {
  ProcessResult process;
  std::array<Bytes, 4> ports;
  std::string song_path;
};

// Plays song through the built binary with the given options and returns what arrived.
Played play(const Bytes& song, const std::vector<std::string>& options, const std::vector<std::string>& env = {}) {
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), song);
  std::vector<std::string> argv = player_argv(options, ports, ports.dir.file("song.mid"));
  Played run;
  run.song_path = ports.dir.file("song.mid");
  run.process = run_process(SONGRELAY_BIN, argv, env);
  for (int p = 0; p < 4; ++p) run.ports[p] = ports.received(p);
  return run;
}

TEST(Play, ChannelSysexAndEscapeBytesReachPortZeroExactly) {
  TrackBuilder track;
  track.event(0, {0x90, 0x3C, 0x40})
      .event(2, {0x3E, 0x41})    // running status
      .text(0, 0x01, "between")  // meta keeps the running status
      .event(1, {0x40, 0x42})
      .event(0, {0xC1, 0x05})
      .event(0, {0x06})                    // running program change
      .sysex(1, {0x7D, 0x01, 0x02, 0xF7})  // maker 0x7D: a GM reset is added
      .event(0, {0xF7, 0x02, 0xF8, 0xFA})  // escape: the bare bytes
      .event(0, {0xE0, 0x00, 0x40})
      .end();
  Played run = play(smf(0, 96, {track}), {"-q"});
  EXPECT_EQ(run.process.exit_status, 0) << run.process.err;
  Bytes expected = GM_ON + Bytes{0x90, 0x3C, 0x40, 0x90, 0x3E, 0x41, 0x90, 0x40, 0x42, 0xC1, 0x05, 0xC1,
                                 0x06, 0xF0, 0x7D, 0x01, 0x02, 0xF7, 0xF8, 0xFA, 0xE0, 0x00, 0x40};
  EXPECT_EQ(hex(run.ports[0]), hex(expected));
  for (int p = 1; p < 4; ++p) EXPECT_TRUE(run.ports[p].empty()) << p;
}

struct ResetCase {
  const char* name;
  std::vector<Bytes> sysex_bodies;  // bodies after F0
  std::vector<std::string> options;
  Bytes head;  // what precedes the song's first note
};

TEST(Play, AutomaticResetFollowsTheMakersInTheFile) {
  const Bytes roland = {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x04, 0x7F, 0x3D, 0xF7};
  const Bytes yamaha = {0x43, 0x10, 0x4C, 0x00, 0x00, 0x04, 0x00, 0xF7};
  const std::vector<ResetCase> cases = {
      {"no sysex: GM", {}, {}, GM_ON},
      {"Roland only: GS", {roland}, {}, GS_RESET + Bytes{0xF0} + roland},
      {"Yamaha and Roland: GM then XG",
       {yamaha, roland},
       {},
       GM_ON + XG_ON + Bytes{0xF0} + yamaha + Bytes{0xF0} + roland},
      {"a GS reset in the file: nothing added",
       {{0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}},
       {},
       Bytes{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}},
      {"-r: nothing added", {roland}, {"-r"}, Bytes{0xF0} + roland},
  };
  for (const ResetCase& c : cases) {
    TrackBuilder track;
    for (const Bytes& body : c.sysex_bodies) track.sysex(0, body);
    track.event(0, {0x90, 0x3C, 0x40}).end(1);
    std::vector<std::string> options = c.options;
    options.push_back("-v");
    Played run = play(smf(1, 20, {track}), options);
    EXPECT_EQ(hex(run.ports[0]), hex(c.head + Bytes{0x90, 0x3C, 0x40})) << c.name;
  }
}

TEST(Play, PortMetaEventsMoveLaterMessagesOfEveryTrack) {
  TrackBuilder steering, notes;
  steering.meta(1, 0x21, {0x02}).meta(2, 0x21, {0x01}).meta(2, 0x21, {0x07}).meta(2, 0x21, {0x03}).end();
  notes.event(0, {0x90, 0x01, 0x01})
      .event(2, {0x90, 0x02, 0x02})
      .event(2, {0x90, 0x03, 0x03})
      .event(2, {0x90, 0x04, 0x04})
      .event(2, {0x90, 0x05, 0x05})
      .end();
  Played run = play(smf(1, 20, {steering, notes}), {"-r"});
  EXPECT_EQ(hex(run.ports[0]), hex({0x90, 0x01, 0x01}));
  EXPECT_EQ(hex(run.ports[2]), hex({0x90, 0x02, 0x02}));
  EXPECT_EQ(hex(run.ports[1]), hex({0x90, 0x03, 0x03, 0x90, 0x04, 0x04})) << "port 7 is not a port";
  EXPECT_EQ(hex(run.ports[3]), hex({0x90, 0x05, 0x05}));
}

TEST(Play, DeltaOnlyAndTrailingZeroRecordsSendNothing) {
  // 00 05: a data byte before any status is delta-only, and 05 is then the next
  // delta; F4 is delta-only too, and F4 00 the next delta (14848 ticks, short
  // at this timebase); the note-on after End of Track is counted, never built.
  TrackBuilder track;
  track.raw({0x00, 0x05, 0xF4, 0x00, 0x80, 0x3C, 0x00}).end().event(0, {0x90, 0x3C, 0x40});
  Played run = play(smf(0, 0x7FFF, {track}), {"-r"});
  EXPECT_EQ(hex(run.ports[0]), hex({0x80, 0x3C, 0x00}));
  EXPECT_EQ(run.process.exit_status, 0);
}

TEST(Play, ConsoleShowsTextAndVerboseLines) {
  TrackBuilder track;
  track.text(0, 0x03, "Song")
      .meta(0, 0x51, {0x07, 0xA1, 0x20})
      .meta(0, 0x58, {0x06, 0x03, 0x18, 0x08})
      .meta(0, 0x59, {0xFD, 0x01})
      .meta(0, 0x20, {0x00})
      .text(0, 0x05, "\x82\xB3\x82\xAD\x82\xE7")  // sa ku ra in Shift_JIS
      .end();
  Played run = play(smf(0, 480, {track}), {"-v", "-t", "UTF-8"});
  EXPECT_EQ(run.process.out, "  [MIDI File ]: " + run.song_path + "\n" +
                                 "  [File Info ]: Format= 0, Tracks= 1, Delta= 480\n"
                                 "  [Title     ]: Song\n"
                                 "  [Tempo     ]: 120\n"
                                 "  [Rhythm    ]: 6/8 \n"
                                 "  [KeySign.  ]: C Minor\n"
                                 "  [Lylic     ]: (Channel:0) \xE3\x81\x95\xE3\x81\x8F\xE3\x82\x89\n");
  EXPECT_NE(run.process.err.find("  [songrelay ]: Auto Append GM-RESET Event before first MIDI Event.\n"),
            std::string::npos);
}

// The locale's encoding is taken without its modifier, and song text that
// would steer the terminal shows as caret notation instead.
TEST(Play, SongTextIsShownHarmlessInTheEncodingOfALocaleWithAModifier) {
  TrackBuilder track;
  track.text(0, 0x03, "\x1B[2J\x1B]0;owned\x07").text(0, 0x05, "\x82\xB3\x82\xAD\x82\xE7\r").end();
  for (const char* lang : {"LANG=de_DE.UTF-8@euro", "LANG=sr_RS.UTF-8@latin"}) {
    Played run = play(smf(0, 480, {track}), {"-r"}, {"LC_ALL", "LC_CTYPE", lang});
    EXPECT_EQ(run.process.exit_status, 0) << lang << ": " << run.process.err;
    EXPECT_EQ(run.process.out,
              "  [Title     ]: ^[[2J^[]0;owned^G\n"
              "  [Lylic     ]: \xE3\x81\x95\xE3\x81\x8F\xE3\x82\x89\n")
        << lang;
  }
}

// No control reaches the terminal from the song or the file's name, whatever
// the terminal's encoding: C1 controls (CSI 0x9B, OSC 0x9D, DCS 0x90, ST
// 0x9C) and escape sequences show in caret notation, and what cannot be
// converted shows as U+FFFD or, where the encoding lacks it, '?'. LANG=C
// names no encoding, so the terminal's is the default EUC-JP.
TEST(Play, NoControlReachesTheTerminalFromSongTextOrFileName) {
  const std::string name = "evil\x1B]0;PWNED\x07\x1B[2J\x9B.mid";
  const std::string shown_name = "evil^[]0;PWNED^G^[[2J";
  const std::string sjis =
      "\x1B[2J\x9B"
      "2J\x82\xA0";  // ESC, a lead byte without its trail, a kana
  const std::string latin =
      "\x9B"
      "2J\x9D"
      "0;x\x9C\x90"
      "q\x9C";
  const std::string latin_shown = "M-^[2JM-^]0;xM-^\\M-^PqM-^\\";
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> env;
    std::string text;
    std::string text_shown;
    std::string name_end;  // what the name's 0x9B and ".mid" show as
  };
  const std::vector<Case> cases = {
      {{"-t", "UTF-8"},
       {},
       sjis,
       "^[[2J\xEF\xBF\xBD"
       "2J\xE3\x81\x82",
       "\xEF\xBF\xBD.mid"},
      {{"-t", "ISO-8859-1"}, {}, sjis, "^[[2J?2J?", "M-^[.mid"},
      {{"-t", "EUC-JP"}, {}, sjis, "^[[2J?2J\xA4\xA2", "M-^[.mid"},
      {{}, {"LANG=C"}, sjis, "^[[2J?2J\xA4\xA2", "M-^[.mid"},
      {{"-t", "US-ASCII"}, {}, sjis, "^[[2J?2J?", "?.mid"},
      {{"-l", "ISO-8859-1", "-t", "UTF-8"}, {}, latin, latin_shown, "\xEF\xBF\xBD.mid"},
      {{"-l", "ISO-8859-1", "-t", "ISO-8859-1"}, {}, latin, latin_shown, "M-^[.mid"},
      {{"-l", "ISO-8859-1", "-t", "EUC-JP"}, {}, latin, latin_shown, "M-^[.mid"},
      {{"-l", "ISO-8859-1"}, {"LANG=C"}, latin, latin_shown, "M-^[.mid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(hex(Bytes(c.text.begin(), c.text.end())) + " with " + testing::PrintToString(c.options) +
                 testing::PrintToString(c.env));
    TrackBuilder track;
    track.text(0, 0x03, c.text).end();
    PortFiles ports;
    write_file(ports.dir.file(name), smf(0, 480, {track}));
    std::vector<std::string> options = c.options;
    options.insert(options.end(), {"-r", "-v"});
    ProcessResult result = run_process(SONGRELAY_BIN, player_argv(options, ports, ports.dir.file(name)), c.env);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "  [MIDI File ]: " + ports.dir.path + "/" + shown_name + c.name_end + "\n" +
                              "  [File Info ]: Format= 0, Tracks= 1, Delta= 480\n"
                              "  [Title     ]: " +
                              c.text_shown + "\n");
  }
}

// A port named by its absolute path is opened there, not under /dev/.
TEST(Play, AbsolutePortPathsAreUsedAsTheyStand) {
  TrackBuilder track;
  track.event(0, {0x90, 0x3C, 0x40}).meta(0, 0x21, {0x03}).event(1, {0x80, 0x3C, 0x00}).end();
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), smf(0, 96, {track}));
  ports.absolute();
  std::vector<std::string> argv = player_argv({"-r"}, ports, ports.dir.file("song.mid"));
  ProcessResult result = run_process(SONGRELAY_BIN, argv);
  EXPECT_EQ(result.err.find("Error!!"), std::string::npos) << result.err;
  EXPECT_EQ(hex(ports.received(0)), hex({0x90, 0x3C, 0x40}));
  EXPECT_EQ(hex(ports.received(3)), hex({0x80, 0x3C, 0x00}));
}

TEST(Play, QuietHidesTextButKeepsTempoAndPort) {
  TrackBuilder track;
  track.text(0, 0x01, "hidden").meta(0, 0x21, {0x01}).event(0, {0x90, 0x3C, 0x40}).end();
  Played run = play(smf(0, 480, {track}), {"-q", "-r"});
  EXPECT_EQ(run.process.out, "");
  EXPECT_EQ(hex(run.ports[1]), hex({0x90, 0x3C, 0x40}));
}

TEST(Play, AStopSignalEndsARestAtOnceSilencesEveryPortAndEndsByThatSignal) {
  TrackBuilder track;
  // At tempo 500000 and timebase 10, 1,200 ticks are a minute's rest with a note held.
  track.event(0, {0x90, 0x3C, 0x40}).event(1200, {0x80, 0x3C, 0x00}).end();
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(stop));
    PortFiles ports;
    write_file(ports.dir.file("song.mid"), smf(0, 10, {track}));
    std::vector<std::string> argv = player_argv({"-r"}, ports, ports.dir.file("song.mid"));
    pid_t pid = start_process(SONGRELAY_BIN, argv, -1, -1);
    ASSERT_TRUE(wait_for_size(ports.dir.file("p0"), 3)) << "the first note never arrived";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto sent = std::chrono::steady_clock::now();
    kill(pid, stop);
    int status = 0;
    ASSERT_TRUE(wait_or_kill(pid, status, 20000)) << "the stop did not end the rest";
    // Generous, for a loaded machine: what matters is not waiting out the minute.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
    EXPECT_EQ(shell_status(status), 128 + stop);
    EXPECT_EQ(hex(ports.received(0)), hex(Bytes{0x90, 0x3C, 0x40} + all_sound_off()));
    for (int p = 1; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), hex(all_sound_off())) << p;
  }
}

// A stop during the load of a big file ends the load where it is, within
// moments, instead of after a load and a table of a gigabyte.
TEST(Play, AStopDuringTheLoadEndsItAtOnceAndSendsNothing) {
  // 64 million delta-only events take seconds to load and 1 GB of table.
  TrackBuilder big;
  big.bytes.assign(64u << 20, 0x00);
  big.end();
  TrackBuilder notes;
  notes.event(0, {0x90, 0x3C, 0x40}).event(10, {0x80, 0x3C, 0x00}).end();
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), smf(1, 10, {big, notes}));
  std::vector<std::string> argv = player_argv({"-v"}, ports, ports.dir.file("song.mid"));
  ChildProcess child;
  ASSERT_TRUE(start_child(child, SONGRELAY_BIN, argv));
  // The File Info line comes as the load begins; the stop follows at once.
  ASSERT_TRUE(read_child_until(child, "[File Info ]")) << child.out;
  auto sent = std::chrono::steady_clock::now();
  kill(child.pid, SIGINT);
  ASSERT_TRUE(wait_child(child));
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2)) << "the load ran on after the stop";
  EXPECT_EQ(child.exit_status, 128 + SIGINT);
  for (int p = 0; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), "") << "port " << p;
}

TEST(Play, AConsoleClosedEarlyLeavesNoNoteHanging) {
  // Lyrics on every note, with the reader of the console gone before the first.
  TrackBuilder track;
  for (int i = 0; i < 20; ++i) {
    track.text(0, 0x05, "la");
    track.event(0, {0x90, 0x3C, 0x40}).event(1, {0x80, 0x3C, 0x00});
  }
  track.end();
  PortFiles ports;
  write_file(ports.dir.file("song.mid"), smf(0, 96, {track}));
  std::vector<std::string> argv = player_argv({"-r", "-v", "-t", "UTF-8"}, ports, ports.dir.file("song.mid"));
  int console[2];
  ASSERT_EQ(pipe2(console, O_CLOEXEC), 0);
  close(console[0]);
  pid_t pid = start_process(SONGRELAY_BIN, argv, console[1], -1);
  close(console[1]);
  int status = 0;
  ASSERT_TRUE(wait_or_kill(pid, status, 20000));
  EXPECT_EQ(shell_status(status), 0);
  Bytes whole;
  for (int i = 0; i < 20; ++i) whole = whole + Bytes{0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00};
  EXPECT_EQ(hex(ports.received(0)), hex(whole));
}

TEST(Play, InterruptEndsARunWhoseDeviceStoppedDraining) {
  PortFiles ports;
  std::string fifo = ports.dir.file("stalled");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Nobody drains the FIFO: the player blocks once its buffer is full.
  int watcher = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(watcher, 0);
  TrackBuilder track;
  for (int i = 0; i < 8; ++i) track.sysex(0, Bytes(20000, 0x11) + Bytes{0xF7});
  track.end();
  write_file(ports.dir.file("song.mid"), smf(0, 96, {track}));
  ports.use(0, ports.dir.from_dev("stalled"));
  std::vector<std::string> argv = player_argv({"-r"}, ports, ports.dir.file("song.mid"));
  pid_t pid = start_process(SONGRELAY_BIN, argv, -1, -1);
  int queued = 0;
  for (int i = 0; i < 1000 && queued < 20000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ioctl(watcher, FIONREAD, &queued);
  }
  ASSERT_GE(queued, 20000) << "the player never filled the FIFO";
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(pid, SIGINT);
  int status = 0;
  EXPECT_TRUE(wait_or_kill(pid, status, 20000)) << "Ctrl-C did not end a run blocked on a stalled device";
  EXPECT_EQ(shell_status(status), 128 + SIGINT);
  for (int p = 1; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), hex(all_sound_off())) << p;
  close(watcher);
}

// A device unplugged in the middle of a song: port 0 is a pseudo-terminal
// whose master side is closed half a second in, so that every later write
// fails as it does on an unplugged interface. The loss is reported once,
// naming the node, and with no other port open the run ends there instead
// of playing an eight-second song to no device.
TEST(Play, ADeviceLostMidSongIsReportedOnceAndEndsTheRun) {
  using std::chrono::steady_clock;
  Pty pty;
  TempDir dir;
  TrackBuilder track;
  // At tempo 500000 and timebase 10 a tick is 50 ms: a note every 100 ms for 8 seconds.
  for (int i = 0; i < 80; ++i) track.event(i == 0 ? 0 : 2, {0x90, static_cast<uint8_t>(i), 0x40});
  track.end();
  write_file(dir.file("song.mid"), smf(0, 10, {track}));
  write_file(dir.file("err"), {});
  PortFiles ports;
  ports.use(0, pty.slave);
  for (int p = 1; p < 4; ++p) ports.use(p, dir.file("missing" + std::to_string(p)));
  std::vector<std::string> argv = player_argv({"-r", "-q"}, ports, dir.file("song.mid"));
  int err_fd = open(dir.file("err").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(err_fd, 0);
  pid_t pid = start_process(SONGRELAY_BIN, argv, -1, err_fd);
  close(err_fd);
  ASSERT_GT(pid, 0);
  pollfd first_note = {pty.master, POLLIN, 0};
  ASSERT_EQ(poll(&first_note, 1, 10000), 1) << "the song never began";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  pty.unplug();
  steady_clock::time_point unplugged = steady_clock::now();
  int status = 0;
  ASSERT_TRUE(wait_or_kill(pid, status, 20000)) << "the run hung";
  // The song had more than seven seconds left to play.
  EXPECT_LT(steady_clock::now() - unplugged, std::chrono::seconds(3)) << "the run played on to no device";
  EXPECT_EQ(shell_status(status), 2) << "a run that lost every device failed";
  Bytes err = read_file(dir.file("err"));
  std::string text(err.begin(), err.end());
  const std::string lost = "Error!!: Lost MidiDevice (Device=" + pty.slave + " Port=0): ";
  size_t first = text.find(lost);
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_EQ(text.find(lost, first + 1), std::string::npos) << "reported more than once:\n" << text;
}

// Without port 0 nothing is read; the reason follows the error lines, and
// when no -0 named the missing node, a last line tells how to name one or
// where virtual ports come from.
TEST(Play, WithoutPortZeroTheFileIsNeverOpened) {
  const std::string port0_line = "Error!!: Can't Open RawMidi Device Port=0 => Can't play MIDI-File. Exit.\n";
  const std::string hint =
      "Hint: name port 0's node with -0 (for instance -0 snd/midiC1D0), "
      "or play to virtual ports made by songrelay-monitor.\n";
  TempDir dir;
  const std::string base = "srnone" + std::to_string(getpid()) + "x";
  struct Case {
    std::vector<std::string> options;
    std::string node;  // port 0's path
    bool hinted;
  };
  const std::vector<Case> cases = {
      {{"-0", dir.from_dev("missing"), "-1", dir.from_dev("m1"), "-2", dir.from_dev("m2"), "-3", dir.from_dev("m3")},
       "/dev/" + dir.from_dev("missing"),
       false},
      {{"-v", "-d", base}, "/dev/" + base + "15.0", true},
      {{"-d", base, "-1", dir.from_dev("m1")}, "/dev/" + base + "15.0", true},
  };
  for (const auto& [options, node, hinted] : cases) {
    std::vector<std::string> argv{SONGRELAY_BIN};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(dir.file("no-such.mid"));
    ProcessResult result = run_process(SONGRELAY_BIN, argv);
    SCOPED_TRACE(hinted ? "unit search" : "-0 given");
    EXPECT_EQ(result.exit_status, 2);
    const std::string reason = "Reason: there is no node " + node + " (" + strerror(ENOENT) +
                               "): plug the interface in, or check the name.\n";
    const std::string ending = port0_line + reason + (hinted ? hint : "");
    EXPECT_EQ(result.err.substr(result.err.size() - std::min(result.err.size(), ending.size())), ending) << result.err;
    EXPECT_EQ(result.err.find("MIDI file"), std::string::npos) << result.err;
  }
}

// Whole runs, each with four fresh ports: the exit status tells a script
// whether the song was played.
TEST(Play, ExitStatusTellsWhetherTheSongPlayed) {
  struct Case {
    const char* what;
    std::vector<std::string> options;  // before the ports
    Bytes file;                        // written as the song, unless empty
    int status;
    const char* line;  // on standard error
  };
  TrackBuilder one_note;
  one_note.event(0, {0x90, 0x3C, 0x40}).event(1, {0x80, 0x3C, 0x00}).end();
  const Bytes song = smf(0, 96, {one_note});
  const std::vector<Case> cases = {
      {"played to its end", {}, song, 0, ""},
      {"-h", {"-h"}, song, 0, "usage: songrelay"},
      {"an unknown option", {"-x"}, song, 1, "usage: songrelay"},
      {"a converter that cannot be opened", {"-t", "NO-SUCH-CODE"}, song, 1, "Error!!: Can't Initialize libiconv"},
      {"a file that is not there", {}, {}, 2, "Error!!: Can't get MIDI filesize (2)\n"},
      {"a file that is not MIDI", {}, Bytes{'R', 'I', 'F', 'F', 0, 0}, 2, "Error! : File is not MIDI File\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PortFiles ports;
    if (!c.file.empty()) write_file(ports.dir.file("song.mid"), c.file);
    std::vector<std::string> argv = player_argv(c.options, ports, ports.dir.file("song.mid"));
    ProcessResult result = run_process(SONGRELAY_BIN, argv);
    EXPECT_EQ(result.exit_status, c.status);
    EXPECT_NE(result.err.find(c.line), std::string::npos) << result.err;
    if (c.status != 0) {
      for (int p = 0; p < 4; ++p) EXPECT_EQ(hex(ports.received(p)), "") << "port " << p;
    }
  }
}

}  // namespace
