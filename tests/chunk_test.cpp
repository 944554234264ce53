// Chunk layer: quantities, the header check and the indexing of track chunks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/song_fixture.h"

namespace {

class ChunkTest : public SongTest {};

TEST(ReadVlq, ReadsQuantitiesAndStopsAtTheEnd) {
  struct Case {
    Bytes bytes;
    uint32_t value;
    int taken;  // 0: runs on to the end, value untouched
  };
  const std::vector<Case> cases = {
      {{0x00}, 0, 1},
      {{0x81, 0x00}, 128, 2},
      {{0x83, 0x60}, 480, 2},
      {{0xFF, 0x7F}, 0x3FFF, 2},
      {{0xFF, 0xFF, 0xFF, 0x7F}, 0x0FFFFFFF, 4},
      {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, 0xFFFFFFFF, 5},
      {{0x81, 0x80, 0x80, 0x80, 0x80, 0x00}, 0, 6},  // bits past bit 31 are lost
      {{0x81, 0x00, 0x55}, 128, 2},                  // stops at the last byte
      {{}, 0xDEAD, 0},
      {{0x81}, 0xDEAD, 0},
      {{0xFF, 0xFF, 0xFF}, 0xDEAD, 0},
      {{0x8F, 0xFF, 0xFF, 0xFF, 0xFF}, 0xDEAD, 0},
  };
  for (const Case& c : cases) {
    uint32_t value = 0xDEAD;
    EXPECT_EQ(read_vlq(&value, c.bytes.data(), c.bytes.data() + c.bytes.size()), c.taken) << hex(c.bytes);
    EXPECT_EQ(value, c.value) << hex(c.bytes);
  }
}

TEST_F(ChunkTest, HeaderCheck) {
  struct Case {
    std::string name;
    Bytes image;
    bool verbose;
    int result;
    std::string out, err;
    uint16_t track_count, timebase;  // as stored; 0 when nothing is stored
  };
  Bytes format2 = smf(2, 480, {TrackBuilder().end(), TrackBuilder().end(), TrackBuilder().end()});
  Bytes long_header = smf(1, 96, {});
  long_header[7] = 16;  // the length field is not consulted
  Bytes time_code = smf(0, 0xE728, {});
  Bytes zero_division = smf(1, 0, {TrackBuilder().end()});
  Bytes not_midi = smf(1, 96, {});
  not_midi[3] = 'x';
  const std::string not_midi_line = "Error! : File is not MIDI File\n";
  const std::string short_line = "Error!!: MIDI File Header is Too Short!\n";
  const std::vector<Case> cases = {
      {"format 2", format2, false, 14, "", "", 3, 480},
      {"verbose line", format2, true, 14, "  [File Info ]: Format= 2, Tracks= 3, Delta= 480\n", "", 3, 480},
      {"header length 16", long_header, false, 14, "", "", 0, 96},
      {"time-code division taken as ticks", time_code, true, 14, "  [File Info ]: Format= 0, Tracks= 0, Delta= 59176\n",
       "", 0, 59176},
      {"MThx", not_midi, true, -1, "", not_midi_line, 0, 0},
      {"empty", {}, false, -1, "", not_midi_line, 0, 0},
      {"three bytes", {'M', 'T', 'h'}, false, -1, "", not_midi_line, 0, 0},
      {"MThd alone", {'M', 'T', 'h', 'd'}, false, -1, "", short_line, 0, 0},
      {"13 bytes", Bytes(format2.begin(), format2.begin() + 13), true, -1, "", short_line, 0, 0},
      {"division 0", zero_division, true, -1, "  [File Info ]: Format= 1, Tracks= 1, Delta= 0\n",
       "Error!!: Division (Delta) Value is 0!\n", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_song_state();
    option_flags = c.verbose ? OPT_VERBOSE : 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_header(c.image.data(), c.image.size()), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(song_data.track_count, c.track_count);
    EXPECT_EQ(playback_info.timebase, c.timebase);
  }
}

TEST_F(ChunkTest, IndexesEveryDeclaredChunkInPlace) {
  Bytes image = smf(1, 480,
                    {TrackBuilder().event(480, {0x90, 60, 64}).end(), TrackBuilder().event(200, {0xC0, 5}).end()});
  // The second chunk (at 22 + 9) is of another kind: it still counts as a track.
  image[31] = 'X';
  image[32] = 'F';
  index_image(image);
  ASSERT_EQ(song_data.track_count, 2);
  struct Expected {
    uint32_t length;
    size_t data_offset;
    uint32_t first_delta;
  };
  const Expected expected[] = {{9, 22, 480}, {8, 39, 200}};
  for (int i = 0; i < 2; ++i) {
    const TrackState& track = song_data.tracks[i];
    EXPECT_EQ(track.length, expected[i].length);
    EXPECT_EQ(track.start, image.data() + expected[i].data_offset);
    EXPECT_EQ(track.cursor, track.start);
    EXPECT_EQ(track.ticks_to_next, expected[i].first_delta);
    EXPECT_EQ(track.running_status, 0);
  }
}

TEST_F(ChunkTest, IndexingStaysInsideTheImage) {
  struct Case {
    std::string name;
    Bytes image;
    uint16_t track_count;
    std::vector<uint32_t> lengths;
    std::string err;
  };
  TrackBuilder track;
  track.event(0, {0x90, 60, 64}).end(10);  // 8 data bytes
  Bytes two = smf(1, 96, {track, track});
  Bytes extra = two;
  extra[11] = 1;  // one declared, two present: the second is never looked at
  Bytes missing = two;
  missing[11] = 4;                                           // four declared, two present
  Bytes half_head = Bytes(two.begin(), two.end() - 16 + 4);  // second head cut after its type
  half_head[11] = 2;
  Bytes cut_data = Bytes(two.begin(), two.end() - 3);
  Bytes huge_length = smf(1, 96, {track});
  huge_length[18] = 0xFF;  // data length 0xFF000008
  Bytes empty_chunk = smf(1, 96, {TrackBuilder(), track});
  const std::vector<Case> cases = {
      {"two chunks", two, 2, {8, 8}, ""},
      {"chunks after the count", extra, 1, {8}, ""},
      {"two of four", missing, 2, {8, 8}, "WARNING! : [Trk 2] No Track Chunk before End of File!\n"},
      {"head cut", half_head, 1, {8}, "WARNING! : [Trk 1] No Track Chunk before End of File!\n"},
      {"data cut", cut_data, 2, {8, 5}, "WARNING! : [Trk 1] Track Data Runs Past End of File!\n"},
      {"length past the image", huge_length, 1, {8}, "WARNING! : [Trk 0] Track Data Runs Past End of File!\n"},
      {"empty chunk", empty_chunk, 2, {0, 8}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_song_state();
    testing::internal::CaptureStderr();
    index_image(c.image);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    ASSERT_EQ(song_data.track_count, c.track_count);
    for (size_t i = 0; i < c.lengths.size(); ++i) EXPECT_EQ(song_data.tracks[i].length, c.lengths[i]);
  }
}

}  // namespace
