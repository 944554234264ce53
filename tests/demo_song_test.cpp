// The demo song: the generator writes the committed file, whose header, text,
// lyrics and melody are checked, and which plays through the monitor.
#include <gtest/gtest.h>

#include <cstdint>
#include <iconv.h>
#include <map>
#include <string>
#include <vector>

#include "monitor/decoder.h"
#include "support/monitor_output.h"
#include "support/support.h"

namespace {

const std::string DEMO_SONG = std::string(SONGRELAY_SOURCE_DIR) + "/examples/sakura.mid";
constexpr uint32_t DEMO_END_TICK = 240 + 14 * 1920;

// One event of a track: its absolute tick and its bytes (meta events whole).
struct SongEvent {
  uint32_t tick;
  Bytes bytes;
};

// Reads a variable-length quantity at at, moving at past it.
uint32_t take_vlq(const Bytes& data, size_t& at) {
  uint32_t value = 0;
  for (int i = 0; i < 4 && at < data.size(); ++i) {
    uint8_t byte = data[at++];
    value = (value << 7) | (byte & 0x7F);
    if (byte < 0x80) break;
  }
  return value;
}

// The events of every track chunk of a Standard MIDI File image.
std::vector<std::vector<SongEvent>> song_tracks(const Bytes& image) {
  std::vector<std::vector<SongEvent>> tracks;
  size_t at = 14;
  while (at + 8 <= image.size()) {
    size_t length = (size_t{image[at + 4]} << 24) | (size_t{image[at + 5]} << 16) | (size_t{image[at + 6]} << 8) |
                    image[at + 7];
    Bytes body(image.begin() + static_cast<long>(at + 8), image.begin() + static_cast<long>(at + 8 + length));
    at += 8 + length;
    std::vector<SongEvent> events;
    uint32_t tick = 0;
    uint8_t running = 0;
    size_t i = 0;
    while (i < body.size()) {
      tick += take_vlq(body, i);
      size_t start = i;
      uint8_t status = body[i] >= 0x80 ? body[i++] : running;
      if (status == 0xFF) {
        ++i;
        uint32_t n = take_vlq(body, i);
        i += n;
        events.push_back({tick, Bytes(body.begin() + static_cast<long>(start), body.begin() + static_cast<long>(i))});
        continue;
      }
      running = status;
      size_t data_bytes = ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) ? 1 : 2;
      Bytes message{status};
      message.insert(message.end(), body.begin() + static_cast<long>(i),
                     body.begin() + static_cast<long>(i + data_bytes));
      i += data_bytes;
      events.push_back({tick, message});
    }
    tracks.push_back(events);
  }
  return tracks;
}

// The text of a meta event whose length fits one byte.
std::string meta_text(const Bytes& event) { return std::string(event.begin() + 3, event.end()); }

// Shift_JIS text as UTF-8.
std::string sjis_to_utf8(const std::string& text) {
  iconv_t converter = iconv_open("UTF-8", "SHIFT_JIS");
  if (converter == reinterpret_cast<iconv_t>(-1)) return "(no converter)";
  std::string in = text, out(text.size() * 3, '\0');
  char* in_at = in.data();
  char* out_at = out.data();
  size_t in_left = in.size(), out_left = out.size();
  size_t result = iconv(converter, &in_at, &in_left, &out_at, &out_left);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1)) return "(not Shift_JIS)";
  out.resize(out.size() - out_left);
  return out;
}

TEST(DemoSong, GeneratorWritesTheCommittedFile) {
  TempDir dir;
  ProcessResult result = run_process(SONGRELAY_MAKE_DEMO_BIN, {SONGRELAY_MAKE_DEMO_BIN, dir.file("out.mid")});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  Bytes committed = read_file(DEMO_SONG);
  ASSERT_FALSE(committed.empty());
  EXPECT_EQ(read_file(dir.file("out.mid")), committed);
}

TEST(DemoSong, HeaderTracksMetaEventsAndMelody) {
  Bytes image = read_file(DEMO_SONG);
  ASSERT_GE(image.size(), 14u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 14), (Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 3, 0x01, 0xE0}));
  std::vector<std::vector<SongEvent>> tracks = song_tracks(image);
  ASSERT_EQ(tracks.size(), 3u);
  for (const std::vector<SongEvent>& track : tracks) {
    ASSERT_FALSE(track.empty());
    EXPECT_EQ(track.back().bytes, (Bytes{0xFF, 0x2F, 0x00}));
    EXPECT_EQ(track.back().tick, DEMO_END_TICK);
  }
  std::map<uint8_t, std::string> texts;  // first text of each type in track 0
  std::string lyrics, melody;
  int note_ons[3] = {};
  for (size_t t = 0; t < 3; ++t)
    for (const SongEvent& event : tracks[t]) {
      const Bytes& b = event.bytes;
      if (b[0] == 0xFF && t == 0 && b[1] >= 0x01 && b[1] <= 0x04 && !texts.count(b[1])) texts[b[1]] = meta_text(b);
      if (b[0] == 0xFF && b[1] == 0x05) lyrics += meta_text(b);
      if (b[0] == 0xFF && (b[1] == 0x58 || b[1] == 0x59)) texts[b[1]] = hex(Bytes(b.begin() + 3, b.end()));
      if ((b[0] & 0xF0) == 0xC0) {
        EXPECT_EQ(b[0] & 0x0F, static_cast<int>(t));
      }
      if ((b[0] & 0xF0) == 0x90 && b[2] > 0) {
        EXPECT_EQ(b[0] & 0x0F, static_cast<int>(t)) << "track " << t << " plays on its own channel";
        ++note_ons[t];
        if (t == 0) melody += (melody.empty() ? "" : " ") + note_name(b[1]);
      }
    }
  EXPECT_EQ(texts[0x03], "Sakura Sakura");
  EXPECT_NE(texts[0x02].find("Public domain"), std::string::npos);
  EXPECT_EQ(sjis_to_utf8(texts[0x01]), "さくら さくら 日本古謡");
  EXPECT_EQ(texts[0x58], "04 02 18 08");
  EXPECT_EQ(texts[0x59], "00 01");
  EXPECT_EQ(sjis_to_utf8(lyrics),
            "さくらさくら"
            "やよいのそらは"
            "みわたすかぎり"
            "かすみかくもか"
            "においぞいずる"
            "いざやいざや"
            "みにゆかん");
  EXPECT_EQ(melody,
            "A4 A4 B4 A4 A4 B4 "
            "A4 B4 C5 B4 A4 B4 A4 F4 E4 C4 E4 F4 E4 E4 C4 B3 "
            "A4 B4 C5 B4 A4 B4 A4 F4 E4 C4 E4 F4 E4 E4 C4 B3 "
            "A4 A4 B4 A4 A4 B4 "
            "E4 F4 B4 A4 F4 E4");
  EXPECT_GT(note_ons[1], 0);
  EXPECT_GT(note_ons[2], 0);
}

TEST(DemoSong, PlaysThroughTheMonitorMessageByMessage) {
  // As the demo plays it: one command, the monitor running the player on
  // its nodes and ending with it.
  TempDir dir;
  std::string log = dir.file("monitor.log");
  ProcessResult run = run_process(SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", dir.file("ports"), "--quiet",
                                                          "--log", log, "--", SONGRELAY_BIN, "-t", "UTF-8", DEMO_SONG});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_FALSE(path_exists(dir.file("ports")));
  EXPECT_NE(run.out.find("[Title     ]: Sakura Sakura"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.out.find("さ"), std::string::npos) << "lyrics shown in the terminal's encoding";
  std::string log_text(reinterpret_cast<const char*>(read_file(log).data()), read_file(log).size());
  std::vector<std::string> arrived = log_bytes(log_text, 0);
  for (int port = 1; port < 4; ++port) EXPECT_EQ(log_bytes(log_text, port), std::vector<std::string>{});
  ASSERT_FALSE(arrived.empty());
  EXPECT_EQ(arrived[0], "F0 7E 7F 09 01 F7") << "the automatic GM System On comes first";
  // Each track plays on its own channel, so every channel's messages must
  // arrive complete and in the order of their track.
  std::map<int, std::vector<std::string>> expected, received;
  std::vector<std::vector<SongEvent>> tracks = song_tracks(read_file(DEMO_SONG));
  for (const std::vector<SongEvent>& track : tracks)
    for (const SongEvent& event : track)
      if (event.bytes[0] < 0xF0) expected[event.bytes[0] & 0x0F].push_back(hex(event.bytes));
  for (size_t i = 1; i < arrived.size(); ++i)
    received[std::stoi(arrived[i].substr(1, 1), nullptr, 16)].push_back(arrived[i]);
  EXPECT_EQ(received, expected);
  EXPECT_EQ(arrived.size(), 1 + expected[0].size() + expected[1].size() + expected[2].size());
}

}  // namespace
