// Damaged files through the built player: one small file per kind of damage,
// and every byte value after a delta time. Each run must end with status 0,
// print exactly its warning or error line, and send exactly what the file
// still holds that can be played: the automatic reset and the whole events,
// or nothing at all when the load fails.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "support/port_files.h"
#include "support/support.h"

namespace {

const Bytes GM_ON = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
const Bytes NOTE_ON = {0x90, 0x3C, 0x40};
const Bytes NOTE_OFF = {0x80, 0x3C, 0x00};
const Bytes END_OF_TRACK = {0x00, 0xFF, 0x2F, 0x00};

// At this timebase a tick lasts 15 microseconds, so the songs take no time.
constexpr uint16_t FAST = 0x7FFF;

// A track chunk holding exactly the bytes given.
TrackBuilder track_of(const Bytes& bytes) {
  TrackBuilder t;
  t.bytes = bytes;
  return t;
}

// A note on, a note off one tick later, End of Track.
const Bytes TWO_NOTES = Bytes{0x00} + NOTE_ON + Bytes{0x01} + NOTE_OFF + END_OF_TRACK;

// Writes a big-endian 16- or 32-bit field into an image.
void put16(Bytes& image, size_t at, uint16_t value) {
  image[at] = static_cast<uint8_t>(value >> 8);
  image[at + 1] = static_cast<uint8_t>(value);
}
void put32(Bytes& image, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// One file, the options it is played with, and what the run must leave.
struct Case {
  std::string name;
  Bytes file;
  std::vector<std::string> options;
  std::string err;  // standard error after the two banner lines
  std::string out;  // standard output
  Bytes port0;      // ports 1 to 3 must stay empty
};

// What one run of the player left behind.
struct Outcome {
  ProcessResult process;
  std::array<Bytes, 4> ports;
};

// Plays one case with four regular files as its ports.
Outcome play(const Case& c) {
  PortFiles ports;
  std::vector<std::string> options{"-t", "UTF-8"};
  options.insert(options.end(), c.options.begin(), c.options.end());
  write_file(ports.dir.file("song.mid"), c.file);
  Outcome outcome;
  outcome.process = run_process(SONGRELAY_BIN, player_argv(options, ports, ports.dir.file("song.mid")));
  for (int p = 0; p < 4; ++p) outcome.ports[p] = ports.received(p);
  return outcome;
}

// Runs every case, several at a time: the runs mostly sleep in the calibration.
std::vector<Outcome> play_all(const std::vector<Case>& cases) {
  std::vector<Outcome> outcomes(cases.size());
  constexpr size_t WORKERS = 8;
  std::vector<std::thread> workers;
  for (size_t w = 0; w < WORKERS; ++w) {
    workers.emplace_back([&, w] {
      for (size_t i = w; i < cases.size(); i += WORKERS) outcomes[i] = play(cases[i]);
    });
  }
  for (std::thread& worker : workers) worker.join();
  return outcomes;
}

// Standard error without the banner's two lines, which every run prints first.
std::string after_banner(const std::string& err) {
  if (err.rfind("songrelay: ", 0) != 0) return "(no banner) " + err;
  size_t first = err.find('\n');
  size_t second = first == std::string::npos ? first : err.find('\n', first + 1);
  return second == std::string::npos ? "(banner cut) " + err : err.substr(second + 1);
}

// Plays every case and compares status, console and ports with what it expects.
void check_all(const std::vector<Case>& cases) {
  std::vector<Outcome> outcomes = play_all(cases);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Outcome& o = outcomes[i];
    SCOPED_TRACE(c.name);
    // A file that cannot be loaded plays nothing, and the status says so.
    bool load_failed = c.err.find("Error") != std::string::npos && c.port0.empty();
    EXPECT_EQ(o.process.exit_status, load_failed ? 2 : 0);
    EXPECT_EQ(after_banner(o.process.err), c.err);
    EXPECT_EQ(o.process.out, c.out);
    EXPECT_EQ(hex(o.ports[0]), hex(c.port0));
    for (int p = 1; p < 4; ++p) EXPECT_EQ(hex(o.ports[p]), "") << "port " << p;
  }
}

const std::string NOT_MIDI = "Error! : File is not MIDI File\n";
const std::string HEADER_SHORT = "Error!!: MIDI File Header is Too Short!\n";
const std::string DIVISION_ZERO = "Error!!: Division (Delta) Value is 0!\n";
std::string no_chunk(int track) {
  return "WARNING! : [Trk " + std::to_string(track) + "] No Track Chunk before End of File!\n";
}
std::string past_file(int track) {
  return "WARNING! : [Trk " + std::to_string(track) + "] Track Data Runs Past End of File!\n";
}
std::string past_track(int track) {
  return "WARNING! : [Trk " + std::to_string(track) + "] Event Runs Past End of Track!\n";
}
std::string size_wrong(int track) {
  return "WARNING! : [Trk " + std::to_string(track) + "] Track DataSize is Wrong!\n";
}
std::string long_delta(int track) { return "Error!!: [Trk " + std::to_string(track) + "] DeltaTime Value is Wrong!"; }

TEST(Damaged, EachKindOfDamageEndsInItsLineAndPlaysWhatIsWhole) {
  const Bytes good = smf(1, FAST, {track_of(TWO_NOTES)});
  const Bytes played = GM_ON + NOTE_ON + NOTE_OFF;

  Bytes header_cut(good.begin(), good.begin() + 10);
  Bytes chunk_head_cut = smf(1, FAST, {track_of(TWO_NOTES)}) + Bytes{'M', 'T', 'r', 'k', 0x00, 0x00};
  put16(chunk_head_cut, 10, 2);
  Bytes length_past_end = good;
  put32(length_past_end, 18, 0x100);
  Bytes second_length_past_end = smf(1, FAST, {track_of(TWO_NOTES), track_of({0x00, 0x91, 0x3D, 0x40})});
  put32(second_length_past_end, 18 + 8 + TWO_NOTES.size(), 0x7FFFFFFF);
  Bytes vlq_to_end = smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + Bytes{0x81, 0x80})});
  put32(vlq_to_end, 18, 0x100);
  Bytes length_vlq_to_end = smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + Bytes{0x00, 0xFF, 0x01, 0x81, 0x80})});
  Bytes division_0 = good;
  put16(division_0, 12, 0);
  Bytes many_tracks = good;
  put16(many_tracks, 10, 0xFFFF);

  const std::vector<Case> cases = {
      {"empty file", {}, {}, NOT_MIDI, "", {}},
      {"shorter than MThd", {'M', 'T', 'h'}, {}, NOT_MIDI, "", {}},
      {"not MThd", Bytes{'R', 'I', 'F', 'F'} + Bytes(good.begin() + 4, good.end()), {}, NOT_MIDI, "", {}},
      {"header cut after its format field", header_cut, {}, HEADER_SHORT, "", {}},
      {"second chunk's head cut", chunk_head_cut, {}, no_chunk(1), "", played},
      {"chunk length past the end of the file", length_past_end, {}, past_file(0), "", played},
      {"second chunk's length past the end, its note whole",
       second_length_past_end,
       {},
       past_file(1),
       "",
       GM_ON + NOTE_ON + Bytes{0x91, 0x3D, 0x40} + NOTE_OFF},
      {"chunk length 0 beside a track", smf(1, FAST, {TrackBuilder(), track_of(TWO_NOTES)}), {}, "", "", played},
      {"only a chunk of length 0", smf(1, FAST, {TrackBuilder()}), {}, "", "", GM_ON},
      {"note off cut by its chunk, the next chunk intact",
       smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + Bytes{0x01, 0x80, 0x3C}), track_of({0x00, 0x91, 0x3D, 0x40})}),
       {},
       past_track(0),
       "",
       GM_ON + NOTE_ON + Bytes{0x91, 0x3D, 0x40}},
      {"delta time running to the end of the file", vlq_to_end, {}, past_file(0) + past_track(0), "", GM_ON + NOTE_ON},
      {"meta length running to the end of its chunk", length_vlq_to_end, {}, past_track(0), "", GM_ON + NOTE_ON},
      {"5-byte delta time",
       smf(1, FAST, {track_of(Bytes{0x80, 0x80, 0x80, 0x80, 0x00} + NOTE_ON + END_OF_TRACK)}),
       {},
       long_delta(0),
       "",
       {}},
      {"5-byte delta time in the second track",
       smf(1, FAST, {track_of(TWO_NOTES), track_of(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x7F} + NOTE_ON)}),
       {},
       long_delta(1),
       "",
       {}},
      {"4-byte delta time",
       smf(1, FAST, {track_of(Bytes{0x80, 0x80, 0x80, 0x00} + NOTE_ON + END_OF_TRACK)}),
       {},
       "",
       "",
       GM_ON + NOTE_ON},
      {"no End of Track", smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + Bytes{0x01} + NOTE_OFF)}), {}, "", "", played},
      {"events after End of Track",
       smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + END_OF_TRACK + Bytes{0x01} + NOTE_OFF)}),
       {},
       size_wrong(0),
       "",
       GM_ON + NOTE_ON},
      {"division 0", division_0, {}, DIVISION_ZERO, "", {}},
      {"65535 tracks declared, one chunk", many_tracks, {}, no_chunk(1), "", played},
      {"sysex length past the chunk",
       smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + Bytes{0x00, 0xF0, 0x7F, 0x43, 0x10, 0x4C})}),
       {},
       past_track(0),
       "",
       GM_ON + NOTE_ON},
      {"escape length past the chunk",
       smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + Bytes{0x00, 0xF7, 0x05, 0xF8})}),
       {},
       past_track(0),
       "",
       GM_ON + NOTE_ON},
      {"meta length past the chunk",
       smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + Bytes{0x00, 0xFF, 0x01, 0x7F, 'a', 'b'})}),
       {},
       past_track(0),
       "",
       GM_ON + NOTE_ON},
      {"meta type cut by the chunk",
       smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + Bytes{0x00, 0xFF})}),
       {},
       past_track(0),
       "",
       GM_ON + NOTE_ON},
      {"padded length field in a short meta event: one length byte assumed",
       smf(1, FAST, {track_of(Bytes{0x00, 0xFF, 0x01, 0x80, 0x03, 'a', 'b', 'c', 0x00} + NOTE_ON + END_OF_TRACK)}),
       {},
       "",
       "  [Text      ]: ^Cabc\n",
       GM_ON + NOTE_ON},
      {"padded length field in a long meta event: read whole",
       smf(1, FAST,
           {track_of(Bytes{0x00, 0xFF, 0x01, 0x80, 0x81, 0x00} + Bytes(128, 'x') + Bytes{0x00} + NOTE_ON +
                     END_OF_TRACK)}),
       {},
       "",
       "  [Text      ]: " + std::string(128, 'x') + "\n",
       GM_ON + NOTE_ON},
      // 3C and 40 are delta-only events, each then read as the next delta time.
      {"data bytes at the start of a track",
       smf(1, FAST, {track_of(Bytes{0x00, 0x3C, 0x40} + NOTE_ON + END_OF_TRACK)}),
       {},
       "",
       "",
       GM_ON + NOTE_ON},
      {"running status does not carry into the next track",
       smf(1, FAST, {track_of(Bytes{0x00} + NOTE_ON + END_OF_TRACK), track_of(Bytes{0x00, 0x3D, 0x41} + END_OF_TRACK)}),
       {},
       "",
       "",
       GM_ON + NOTE_ON},
  };
  check_all(cases);
}

// The shortest whole event that begins with byte b after a delta time, then a
// note and End of Track, and what port 0 receives from it (no automatic reset).
Case event_after_delta(uint8_t b) {
  // Tempo 1: every later wait is 0 microseconds, even the long delta times below.
  const Bytes tempo = {0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x01};
  char name[64];
  snprintf(name, sizeof name, "byte %02X after a delta time", b);
  Case c{name, {}, {"-r"}, "", "", {}};
  Bytes event;
  if (b < 0x80) {
    // No running status yet: a delta-only event, and b is the next delta time.
    event = Bytes{b} + NOTE_ON;
    c.port0 = NOTE_ON;
  } else if (b < 0xC0 || (b >= 0xE0 && b < 0xF0)) {
    event = {b, 0x3C, 0x40};
    c.port0 = event;
  } else if (b < 0xE0) {
    event = {b, 0x3C};
    c.port0 = event;
  } else if (b == 0xF0) {
    event = {0xF0, 0x03, 0x7D, 0x01, 0xF7};
    c.port0 = {0xF0, 0x7D, 0x01, 0xF7};
  } else if (b == 0xF7) {
    event = {0xF7, 0x02, 0xF8, 0xFA};
    c.port0 = {0xF8, 0xFA};
  } else if (b == 0xFF) {
    event = {0xFF, 0x01, 0x01, 'A'};
    c.out = "  [Text      ]: A\n";
  } else {
    // Another system byte: delta-only, and b begins the next delta time (b 00).
    event = Bytes{b, 0x00} + NOTE_ON;
    c.port0 = NOTE_ON;
  }
  c.file = smf(1, FAST, {track_of(tempo + Bytes{0x00} + event + END_OF_TRACK)});
  return c;
}

TEST(Damaged, EveryByteValueAfterADeltaTime) {
  std::vector<Case> cases;
  for (int b = 0; b < 256; ++b) cases.push_back(event_after_delta(static_cast<uint8_t>(b)));
  check_all(cases);
}

}  // namespace
