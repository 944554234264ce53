// File loading: the file read, the whole pipeline on damaged images, a
// realistic song checked record by record, the corpus and fuzz findings.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "song/loader.h"
#include "song/reset.h"
#include "support/sanitized.h"
#include "support/song_fixture.h"

namespace {

using Table = std::vector<EventRecord>;

class LoaderTest : public SongTest {};

// What one load printed and returned.
struct Outcome {
  int result;
  std::string err;
};

Outcome load_file(const std::string& path) {
  testing::internal::CaptureStderr();
  int result = load_midi_file(path.c_str());
  return {result, testing::internal::GetCapturedStderr()};
}

Outcome parse(const Bytes& image) {
  testing::internal::CaptureStderr();
  int result = parse_midi_image(image.data(), image.size());
  return {result, testing::internal::GetCapturedStderr()};
}

std::string with_errno(const std::string& text, int error) { return text + " (" + std::to_string(error) + ")\n"; }

// Lines of text, the last one kept even without its newline.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TrackBuilder two_notes(uint8_t channel = 0) {
  TrackBuilder t;
  t.event(0, {static_cast<uint8_t>(0x90 | channel), 0x3C, 0x40})
      .event(96, {static_cast<uint8_t>(0x80 | channel), 0x3C, 0})
      .end();
  return t;
}

TEST_F(LoaderTest, FailuresToReadTheFile) {
  TempDir dir;
  write_file(dir.file("not-midi.mid"), {'R', 'I', 'F', 'F', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  write_file(dir.file("empty.mid"), {});
  TrackBuilder long_delta;
  long_delta.raw({0x81, 0x80, 0x80, 0x80, 0x00, 0x90, 0x3C, 0x40}).end();
  write_file(dir.file("long-delta.mid"), smf(1, 96, {two_notes(), long_delta}));
  // A socket passes stat but cannot be opened, even by root: Linux says
  // ENXIO, the BSDs say EOPNOTSUPP, the error POSIX names for a socket.
#if defined(__linux__)
  const int socket_open_error = ENXIO;
#else
  const int socket_open_error = EOPNOTSUPP;
#endif
  std::string socket_path = dir.file("socket.mid");
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  struct Case {
    std::string name, path;
    int result;
    std::string err;
  };
  std::vector<Case> cases = {
      {"missing", dir.file("missing.mid"), -1, with_errno("Error!!: Can't get MIDI filesize", ENOENT)},
      {"socket", socket_path, -2, with_errno("Error!!: Can't open MIDI file", socket_open_error)},
      {"not MThd", dir.file("not-midi.mid"), -1, "Error! : File is not MIDI File\n"},
      {"empty file", dir.file("empty.mid"), -1, "Error! : File is not MIDI File\n"},
      {"5-byte delta in track 1", dir.file("long-delta.mid"), 1, "Error!!: [Trk 1] DeltaTime Value is Wrong!"},
  };
#ifdef __linux__
  cases.push_back({"directory", dir.path, -4, with_errno("Error!!: Can't read MIDI file", EISDIR)});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = load_file(c.path);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_TRUE(nothing_allocated());
  }
  close(sock);
}

TEST_F(LoaderTest, UnreadableFileCannotBeOpened) {
  if (geteuid() == 0) GTEST_SKIP() << "root opens a file without read permission";
  TempDir dir;
  write_file(dir.file("locked.mid"), smf(1, 96, {two_notes()}));
  ASSERT_EQ(chmod(dir.file("locked.mid").c_str(), 0), 0);
  Outcome outcome = load_file(dir.file("locked.mid"));
  EXPECT_EQ(outcome.result, -2);
  EXPECT_EQ(outcome.err, with_errno("Error!!: Can't open MIDI file", EACCES));
  EXPECT_TRUE(nothing_allocated());
}

TEST_F(LoaderTest, FileOfFourGibibytesIsRefusedBeforeAnyAllocation) {
  TempDir dir;
  std::string path = dir.file("huge.mid");
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  const off_t size = (off_t{1} << 32) + 14;
  bool sparse = ftruncate(fd, size) == 0;
  close(fd);
  if (!sparse) GTEST_SKIP() << "no sparse file of 4 GiB here";
  Outcome outcome = load_file(path);
  EXPECT_EQ(outcome.result, -1);
  EXPECT_EQ(outcome.err, "Error!!: MIDI file is too large (4294967310 bytes)!\n");
  EXPECT_TRUE(nothing_allocated());
}

TEST_F(LoaderTest, ReadsUntilTheWholeFileIsThere) {
  // Each message of a packet socket comes out of its own read, so the image
  // arrives in pieces, as from a file that a read cannot give whole.
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  ASSERT_EQ(write(fds[1], "MTh", 3), 3);
  ASSERT_EQ(write(fds[1], "d12345", 6), 6);
  ASSERT_EQ(write(fds[1], "6", 1), 1);
  char image[10] = {};
  EXPECT_EQ(read_midi_image(fds[0], reinterpret_cast<uint8_t*>(image), 10), 0);
  EXPECT_EQ(std::string(image, 10), "MThd123456");

  ASSERT_EQ(write(fds[1], "MThd1", 5), 5);
  close(fds[1]);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_midi_image(fds[0], reinterpret_cast<uint8_t*>(image), 10), -4);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error!!: MIDI file ended after 5 of 10 bytes!\n");
  close(fds[0]);

  testing::internal::CaptureStderr();
  EXPECT_EQ(read_midi_image(-1, reinterpret_cast<uint8_t*>(image), 10), -4);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), with_errno("Error!!: Can't read MIDI file", EBADF));
}

TEST_F(LoaderTest, WellFormedFileLeavesOnlyTheSongBlocks) {
  TempDir dir;
  write_file(dir.file("song.mid"), smf(1, 96, {two_notes(), two_notes(1)}));
  Outcome outcome = load_file(dir.file("song.mid"));
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(song_data.tracks, nullptr);
  ASSERT_NE(song_data.events, nullptr);
  ASSERT_NE(song_data.data, nullptr);
  // The GM reset and six song events, the last of them an End of Track.
  ASSERT_EQ(playback_info.event_count, 7u);
  EXPECT_EQ(song_data.events[6].status, 0xFF);
  EXPECT_EQ(song_data.events[6].data1, 0x2F);
}

// The player as a user runs it, with its address space limited (ulimit -v
// sets RLIMIT_AS), so that the load runs out of memory at one block or
// another: each says so in one line, and nothing is played.
TEST(LoadOutOfMemory, EachBlockThatCannotBeAllocatedHasItsLine) {
  if (SANITIZED_BUILD) GTEST_SKIP() << "sanitizer build: its shadow memory needs more address space than any limit";
  TempDir dir;
  // 4 MiB of zeros are as many delta-only events, 64 MiB of records; a sysex
  // of 24 MiB takes as much again in the event data buffer. The player itself
  // needs about 3 MiB before it loads.
  TrackBuilder zeros;
  zeros.bytes.assign(4 << 20, 0x00);
  write_file(dir.file("zeros.mid"), smf(0, 96, {zeros.end()}));
  write_file(dir.file("sysex.mid"), smf(0, 96, {TrackBuilder().sysex(0, Bytes(24 << 20, 0x7D)).end()}));
  struct Case {
    std::string name, song;
    int limit_mib;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"file image", "sysex.mid", 12, "Error!!: Not Engouh Memory!\n"},
      {"event table", "zeros.mid", 32, "Error!!: Not Enough Memory for the Event Table!\n"},
      {"event data buffer", "sysex.mid", 36, "Error!!: Not Enough Memory for the Event Data Buffer!\n"},
  };
  for (const char* port : {"p0", "p1", "p2", "p3"}) write_file(dir.file(port), {});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string limited = std::to_string(c.limit_mib * 1024);
    limited.insert(0, "ulimit -v ").append(" && exec \"$@\"");
    std::vector<std::string> argv = {"sh",
                                     "-c",
                                     limited,
                                     "sh",
                                     SONGRELAY_BIN,
                                     "-q",
                                     "-0",
                                     dir.from_dev("p0"),
                                     "-1",
                                     dir.from_dev("p1"),
                                     "-2",
                                     dir.from_dev("p2"),
                                     "-3",
                                     dir.from_dev("p3"),
                                     dir.file(c.song)};
    ProcessResult result = run_process("/bin/sh", argv);
    // After the banner, the one line and nothing else.
    size_t error = result.err.find("Error");
    EXPECT_EQ(error != std::string::npos ? result.err.substr(error) : result.err, c.err);
    EXPECT_LT(result.exit_status, 128) << "ended by a signal";
    EXPECT_EQ(read_file(dir.file("p0")), Bytes{});
  }
}

TEST_F(LoaderTest, BlocksThatExistAlreadyFailTheLoadCleanly) {
  Bytes image = smf(1, 96, {two_notes()});
  ASSERT_EQ(alloc_event_table(1), 0);
  EventRecord* old_table = song_data.events;
  Outcome outcome = parse(image);
  EXPECT_EQ(outcome.result, -1);
  EXPECT_EQ(outcome.err, "Error!!: Event Table Exists Already!\n");
  EXPECT_EQ(song_data.events, old_table);
  EXPECT_EQ(song_data.tracks, nullptr);
  EXPECT_EQ(song_data.data, nullptr);

  reset_song_state();
  ASSERT_EQ(alloc_data_buffer(1, 0), 0);
  uint8_t* old_buffer = song_data.data;
  outcome = parse(image);
  EXPECT_EQ(outcome.result, -1);
  EXPECT_EQ(outcome.err, "Error!!: Event Data Buffer Exists Already!\n");
  EXPECT_EQ(song_data.data, old_buffer);
  EXPECT_EQ(song_data.events, nullptr);
  EXPECT_EQ(song_data.tracks, nullptr);
}

TEST_F(LoaderTest, DamagedImagesFailWithOneLineOrPlayWhatIsThere) {
  const Table notes = {{0, 0, 3, 0x90, 0x3C, 0x40, 0}, {96, 0, 3, 0x80, 0x3C, 0, 0}, {0, 0, 3, 0xFF, 0x2F, 0, 0}};
  const EventRecord gm = {0, 0, 6, 0xF0, 0, 0, 0};
  Bytes one_track = smf(1, 96, {two_notes()});
  Bytes two_declared = one_track;
  two_declared[11] = 2;
  Bytes head_cut = two_declared;
  head_cut.insert(head_cut.end(), {'M', 'T', 'r', 'k'});
  TrackBuilder cut_note;
  cut_note.event(0, {0x91, 0x3C, 0x40}).raw({0x00, 0x91, 0x3C});
  TrackBuilder no_end;
  no_end.event(0, {0x91, 0x3C, 0x40}).event(96, {0x81, 0x3C, 0});
  const std::string not_midi = "Error! : File is not MIDI File\n";
  const std::string past_file = "WARNING! : [Trk 0] Track Data Runs Past End of File!\n";
  const std::string past_track_0 = "WARNING! : [Trk 0] Event Runs Past End of Track!\n";
  const std::string past_track_1 = "WARNING! : [Trk 1] Event Runs Past End of Track!\n";
  struct Case {
    std::string name;
    Bytes image;
    OptionFlags options;
    int result;
    std::string err;
    Table table;
  };
  const std::vector<Case> cases = {
      {"zero bytes", {}, OPT_NO_RESET, -1, not_midi, {}},
      {"MThd alone", {'M', 'T', 'h', 'd'}, OPT_NO_RESET, -1, "Error!!: MIDI File Header is Too Short!\n", {}},
      {"division 0", smf(1, 0, {two_notes()}), OPT_NO_RESET, -1, "Error!!: Division (Delta) Value is 0!\n", {}},
      {"no tracks", smf(1, 96, {}), OPT_NO_RESET, 0, "", {}},
      {"no tracks, with reset", smf(1, 96, {}), 0, 0, "", {gm}},
      {"second chunk missing", two_declared, OPT_NO_RESET, 0, "WARNING! : [Trk 1] No Track Chunk before End of File!\n",
       notes},
      {"second chunk head cut", head_cut, OPT_NO_RESET, 0, "WARNING! : [Trk 1] No Track Chunk before End of File!\n",
       notes},
      {"file cut inside the End of Track", Bytes(one_track.begin(), one_track.end() - 2), OPT_NO_RESET, 0,
       past_file + past_track_0, Table(notes.begin(), notes.end() - 1)},
      {"file cut between events", Bytes(one_track.begin(), one_track.end() - 4), OPT_NO_RESET, 0, past_file,
       Table(notes.begin(), notes.end() - 1)},
      {"event runs past its chunk",
       smf(1, 96, {cut_note, two_notes()}),
       OPT_NO_RESET,
       0,
       past_track_0,
       {{0, 0, 3, 0x91, 0x3C, 0x40, 0}, notes[0], notes[1], notes[2]}},
      {"sysex length runs past its chunk", smf(1, 96, {two_notes(), TrackBuilder().raw({0, 0xF0, 0x81})}), OPT_NO_RESET,
       0, past_track_1, notes},
      {"meta length beyond 32 bits",
       smf(1, 96, {two_notes(), TrackBuilder().raw({0, 0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 'a'})}), OPT_NO_RESET,
       0, past_track_1, notes},
      {"three continuation bytes at the chunk's end", smf(1, 96, {two_notes(), TrackBuilder().raw({0x80, 0x80, 0x80})}),
       OPT_NO_RESET, 0, past_track_1, notes},
      {"four continuation bytes at the chunk's end",
       smf(1, 96, {two_notes(), TrackBuilder().raw({0x80, 0x80, 0x80, 0x80})}),
       OPT_NO_RESET,
       1,
       "Error!!: [Trk 1] DeltaTime Value is Wrong!",
       {}},
      {"no End of Track",
       smf(1, 96, {no_end, two_notes()}),
       OPT_NO_RESET,
       0,
       "",
       {{0, 0, 3, 0x91, 0x3C, 0x40, 0}, notes[0], notes[1], notes[2], {0, 0, 3, 0x81, 0x3C, 0, 0}}},
      {"empty chunk beside a track", smf(1, 96, {TrackBuilder(), two_notes()}), OPT_NO_RESET, 0, "", notes},
      {"only empty chunks", smf(1, 96, {TrackBuilder(), TrackBuilder()}), 0, 0, "", {gm}},
      {"5-byte delta",
       smf(1, 96, {TrackBuilder().raw({0x80, 0x80, 0x80, 0x80, 0x00, 0xF4}).end()}),
       0,
       1,
       "Error!!: [Trk 0] DeltaTime Value is Wrong!",
       {}},
      {"empty sysex body",
       smf(1, 96, {TrackBuilder().raw({0x00, 0xF0, 0x00}).end()}),
       0,
       0,
       "",
       {gm, {9, 6, 1, 0xF0, 0, 0, 0}, {0, 7, 3, 0xFF, 0x2F, 0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_song_state();
    option_flags = c.options;
    Outcome outcome = parse(c.image);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(song_data.tracks, nullptr);
    if (c.result != 0) {
      EXPECT_TRUE(nothing_allocated());
      continue;
    }
    EXPECT_EQ(event_table(), c.table);
  }
}

TEST_F(LoaderTest, RealisticSongGivesItsTableRecordByRecord) {
  TrackBuilder conductor, piano, drums;
  conductor.text(0, 0x03, "Song")
      .meta(0, 0x51, {0x07, 0xA1, 0x20})
      .meta(0, 0x58, {0x04, 0x02, 0x18, 0x08})
      .meta(1920, 0x51, {0x06, 0x1A, 0x80})
      .end(0);
  piano.text(0, 0x03, "Piano")
      .sysex(0, {0x43, 0x10, 0x4C, 0x08, 0x00, 0x07, 0x00, 0xF7})
      .event(0, {0xC0, 0x00})
      .event(0, {0x90, 0x3C, 0x64})
      .event(480, {0x3C, 0x00})
      .event(0, {0x3E, 0x64})
      .event(480, {0x80, 0x3E, 0x40})
      .event(0, {0xE0, 0x00, 0x48})
      .end(960);
  drums.event(0, {0x99, 0x24, 0x70})
      .event(240, {0x2A, 0x50})
      .event(240, {0x24, 0x00})
      .event(0, {0x2A, 0x00})
      .text(0, 0x05, "la")
      .event(480, {0xB9, 0x07, 0x64})
      .end(0);
  TempDir dir;
  write_file(dir.file("song.mid"), smf(1, 480, {conductor, piano, drums}));
  Outcome outcome = load_file(dir.file("song.mid"));
  ASSERT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.err, "");
  // The Yamaha message asks for the XG reset; the song starts 48 ticks after it.
  const Table expected = {
      {0, 0, 6, 0xF0, 0, 0, 0},       // GM System On
      {48, 6, 9, 0xF0, 0, 0, 0},      // XG System On
      {48, 15, 7, 0xFF, 0x03, 0, 0},  // tick 0: conductor's name, tempo, time signature
      {0, 22, 6, 0xFF, 0x51, 0, 0},
      {0, 28, 7, 0xFF, 0x58, 0, 0},
      {0, 35, 8, 0xFF, 0x03, 0, 0},  // piano's name, sysex, program, note
      {0, 43, 9, 0xF0, 0, 0, 0},
      {0, 0, 2, 0xC0, 0x00, 0, 0},
      {0, 0, 3, 0x90, 0x3C, 0x64, 0},
      {0, 0, 3, 0x99, 0x24, 0x70, 0},       // drums at tick 0
      {240, 0, 3, 0x99, 0x2A, 0x50, 0x99},  // tick 240
      {240, 0, 3, 0x99, 0x24, 0x00, 0x99},  // tick 480: drums keep the turn
      {0, 0, 3, 0x99, 0x2A, 0x00, 0x99},
      {0, 52, 5, 0xFF, 0x05, 0, 0},
      {0, 0, 3, 0x90, 0x3C, 0x00, 0x90},  // then the piano at 480
      {0, 0, 3, 0x90, 0x3E, 0x64, 0x90},
      {480, 0, 3, 0x80, 0x3E, 0x40, 0},  // tick 960: piano first, it played last
      {0, 0, 3, 0xE0, 0x00, 0x48, 0},
      {0, 0, 3, 0xB9, 0x07, 0x64, 0},
      {0, 57, 3, 0xFF, 0x2F, 0, 0},    // drums end
      {960, 60, 6, 0xFF, 0x51, 0, 0},  // tick 1920: conductor, then piano
      {0, 66, 3, 0xFF, 0x2F, 0, 0},
      {0, 69, 3, 0xFF, 0x2F, 0, 0},
  };
  EXPECT_EQ(event_table(), expected);
  Bytes data(std::begin(GM_SYSTEM_ON), std::end(GM_SYSTEM_ON));
  data.insert(data.end(), std::begin(XG_SYSTEM_ON), std::end(XG_SYSTEM_ON));
  data.insert(data.end(), {0xFF, 0x03, 0x04, 'S',  'o',  'n',  'g',  0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0xFF, 0x58,
                           0x04, 0x04, 0x02, 0x18, 0x08, 0xFF, 0x03, 0x05, 'P',  'i',  'a',  'n',  'o',  0xF0, 0x43,
                           0x10, 0x4C, 0x08, 0x00, 0x07, 0x00, 0xF7, 0xFF, 0x05, 0x02, 'l',  'a',  0xFF, 0x2F, 0x00,
                           0xFF, 0x51, 0x03, 0x06, 0x1A, 0x80, 0xFF, 0x2F, 0x00, 0xFF, 0x2F, 0x00, 0x00});
  EXPECT_EQ(data_head(data.size()), data);
  EXPECT_EQ(playback_info.longest_meta, 5u);
  EXPECT_EQ(playback_info.timebase, 480);
}

TEST_F(LoaderTest, EveryCorpusFileLoadsOrFailsWithItsLine) {
  std::vector<std::string> files = files_in(SONGRELAY_CORPUS_DIR, ".mid");
  ASSERT_FALSE(files.empty()) << "no corpus at " << SONGRELAY_CORPUS_DIR;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    reset_song_state();
    Outcome outcome = load_file(file);
    std::vector<std::string> lines = lines_of(outcome.err);
    size_t warnings = outcome.result == 0 ? lines.size() : lines.size() - 1;
    for (size_t i = 0; i < warnings; ++i) EXPECT_EQ(lines[i].rfind("WARNING! : ", 0), 0u) << lines[i];
    EXPECT_EQ(song_data.tracks, nullptr);
    if (outcome.result == 0) {
      EXPECT_NE(song_data.events, nullptr);
      EXPECT_EQ(table_fault(), "");
    } else {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back().rfind("Error", 0), 0u) << lines.back();
      EXPECT_TRUE(nothing_allocated());
    }
  }
}

TEST_F(LoaderTest, FuzzFindingsStayFixed) {
  for (const std::string& file : files_in(SONGRELAY_SOURCE_DIR "/fuzz/regressions")) {
    SCOPED_TRACE(file);
    Bytes image = read_file(file);
    for (OptionFlags options : {OptionFlags{0}, OptionFlags(OPT_NO_RESET | OPT_VERBOSE)}) {
      reset_song_state();
      option_flags = options;
      testing::internal::CaptureStdout();
      Outcome outcome = parse(image);
      testing::internal::GetCapturedStdout();
      EXPECT_TRUE(outcome.result == 0 || outcome.result == -1 || outcome.result == 1) << outcome.result;
      if (outcome.result == 0) {
        EXPECT_EQ(table_fault(), "");
      }
    }
  }
}

}  // namespace
