// Event table builder: merge order, automatic resets, and the records and
// data bytes that each kind of event becomes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/life_cycle.h"
#include "song/builder.h"
#include "song/loader.h"
#include "song/merge_queue.h"
#include "song/reset.h"
#include "support/song_fixture.h"

namespace {

using Table = std::vector<EventRecord>;

class BuilderTest : public SongTest {
 protected:
  // Loads the image through the whole pipeline and returns what it printed.
  std::string load(const Bytes& image) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_midi_image(image.data(), image.size()), 0);
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(BuilderTest, TracksAtTickZeroComeInBlocks) {
  option_flags = OPT_NO_RESET;
  TrackBuilder t0, t1;
  t0.event(0, {0x90, 0x3C, 0x40}).event(0, {0x90, 0x40, 0x40}).event(10, {0x80, 0x3C, 0}).end(0);
  t1.event(0, {0x91, 0x30, 0x40}).event(0, {0x91, 0x34, 0x40}).event(5, {0x81, 0x30, 0}).end(20);
  load(smf(1, 480, {t0, t1}));
  const Table expected = {
      {0, 0, 3, 0x90, 0x3C, 0x40, 0}, {0, 0, 3, 0x90, 0x40, 0x40, 0}, {0, 0, 3, 0x91, 0x30, 0x40, 0},
      {0, 0, 3, 0x91, 0x34, 0x40, 0}, {5, 0, 3, 0x81, 0x30, 0x00, 0}, {5, 0, 3, 0x80, 0x3C, 0x00, 0},
      {0, 0, 3, 0xFF, 0x2F, 0, 0},    {15, 3, 3, 0xFF, 0x2F, 0, 0},
  };
  EXPECT_EQ(event_table(), expected);
  EXPECT_EQ(data_head(7), (Bytes{0xFF, 0x2F, 0x00, 0xFF, 0x2F, 0x00, 0x00}));
}

TEST_F(BuilderTest, EqualCountsGoCyclicallyAfterTheCurrentTrack) {
  // Track 0 plays at tick 0 and then 4 ticks later; tracks 1 and 2 are both due at 3.
  option_flags = OPT_NO_RESET;
  TrackBuilder t0, t1, t2;
  t0.event(0, {0x90, 0x3C, 0x40}).event(4, {0x80, 0x3C, 0}).end();
  t1.event(3, {0x91, 0x30, 0x40}).event(100, {0x81, 0x30, 0}).end();
  t2.event(3, {0x92, 0x24, 0x40}).event(100, {0x82, 0x24, 0}).end();
  load(smf(1, 96, {t0, t1, t2}));
  const Table expected = {
      {0, 0, 3, 0x90, 0x3C, 0x40, 0}, {3, 0, 3, 0x91, 0x30, 0x40, 0}, {0, 0, 3, 0x92, 0x24, 0x40, 0},
      {1, 0, 3, 0x80, 0x3C, 0x00, 0}, {0, 0, 3, 0xFF, 0x2F, 0, 0},    {99, 0, 3, 0x81, 0x30, 0x00, 0},
      {0, 3, 3, 0xFF, 0x2F, 0, 0},    {0, 0, 3, 0x82, 0x24, 0x00, 0}, {0, 6, 3, 0xFF, 0x2F, 0, 0},
  };
  EXPECT_EQ(event_table(), expected);
}

// The plain rule and the merge queue choose alike: the lowest count (the
// earliest tick), the current track on a tie, otherwise the first after it
// in cyclic order.
TEST_F(BuilderTest, NextTrackAndTheMergeQueueChooseByTheSameTieRules) {
  struct Case {
    std::string name;
    std::vector<uint32_t> ticks;
    std::vector<bool> ended;
    int current, expected;
  };
  const std::vector<Case> cases = {
      {"current at 0 keeps the turn", {5, 0, 0}, {false, false, false}, 1, 1},
      {"current keeps the turn on a tie", {3, 3, 9}, {false, false, false}, 0, 0},
      {"first after the current one wins a tie", {2, 5, 2}, {false, false, false}, 1, 2},
      {"wraps around past the last track", {2, 4, 9}, {false, false, false}, 2, 0},
      {"strictly lowest wins", {9, 4, 2}, {false, false, false}, 0, 2},
      {"ended tracks are skipped", {9, 1, 4}, {false, true, false}, 0, 2},
      {"a finished current track gives way", {0xFFFFFFFF, 7, 7}, {true, false, false}, 0, 1},
      {"one track", {5}, {false}, 0, 0},
      // Seven tracks: the nearest track after the current one lies in
      // another half of the queue's tree, or only before it.
      {"the first after it, across halves", {4, 2, 9, 9, 2, 9, 2}, std::vector<bool>(7), 2, 4},
      {"the nearest after it of several", {9, 5, 2, 9, 2, 9, 2}, std::vector<bool>(7), 0, 2},
      {"the next one up", {2, 9, 9, 2, 9, 2, 9}, std::vector<bool>(7), 4, 5},
      {"round to the lowest number", {2, 9, 2, 9, 9, 9, 9}, std::vector<bool>(7), 3, 0},
      {"round from the last track", {9, 9, 3, 9, 9, 3, 9}, std::vector<bool>(7), 6, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TrackState> tracks(c.ticks.size());
    static const uint8_t somewhere = 0;
    for (size_t i = 0; i < tracks.size(); ++i) {
      tracks[i].ticks_to_next = c.ticks[i];
      tracks[i].cursor = c.ended[i] ? nullptr : &somewhere;
    }
    song_data.tracks = tracks.data();
    song_data.track_count = static_cast<uint16_t>(tracks.size());
    EXPECT_EQ(next_track(c.current), c.expected);
    song_data.tracks = nullptr;

    MergeQueue queue;
    ASSERT_EQ(open_merge_queue(&queue, static_cast<int>(c.ticks.size())), 0);
    auto due = [&c](size_t i) { return c.ended[i] ? NEVER_DUE : c.ticks[i]; };
    for (size_t i = 0; i < c.ticks.size(); ++i) set_due(&queue, static_cast<int>(i), due(i));
    EXPECT_EQ(pass_turn(&queue, c.current, due(c.current)), c.expected);
  }
}

TEST_F(BuilderTest, MergeQueueEndsWhenEveryTrackHasEnded) {
  MergeQueue queue;
  ASSERT_EQ(open_merge_queue(&queue, 3), 0);
  set_due(&queue, 2, 40);
  EXPECT_EQ(pass_turn(&queue, 0, NEVER_DUE), 2);
  EXPECT_EQ(due_tick(queue, 2), 40u);
  EXPECT_EQ(pass_turn(&queue, 2, NEVER_DUE), -1);
}

TEST_F(BuilderTest, AutomaticResetGoesAheadOfTheSong) {
  const Bytes gm_on = {0x7E, 0x7F, 0x09, 0x01, 0xF7};
  const Bytes roland = {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x01, 0x41, 0xF7};
  const Bytes yamaha = {0x43, 0x10, 0x4C, 0x00, 0x00, 0x01, 0x00, 0xF7};
  const Bytes gm_bytes(std::begin(GM_SYSTEM_ON), std::end(GM_SYSTEM_ON));
  const Bytes gs_bytes = {0xF0, 0x41, 0x20, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
  const Bytes xg_bytes = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
  struct Case {
    std::string name;
    Bytes sysex;  // the song's one system exclusive body, if any
    OptionFlags options;
    Table resets;
    Bytes reset_bytes;
    std::string notice;
  };
  const std::vector<Case> cases = {
      {"GM",
       {},
       OPT_VERBOSE,
       {{0, 0, 6, 0xF0, 0, 0, 0}},
       gm_bytes,
       "  [songrelay ]: Auto Append GM-RESET Event before first MIDI Event.\n"},
      {"GS",
       roland,
       OPT_VERBOSE,
       {{0, 0, 11, 0xF0, 0, 0, 0}},
       gs_bytes,
       "  [songrelay ]: Auto Append GS-RESET Event before first MIDI Event.\n"},
      {"XG",
       yamaha,
       OPT_VERBOSE,
       {{0, 0, 6, 0xF0, 0, 0, 0}, {48, 6, 9, 0xF0, 0, 0, 0}},
       xg_bytes,
       "  [songrelay ]: Auto Append XG-RESET Event before first MIDI Event.\n"},
      {"XG, quietly", yamaha, 0, {{0, 0, 6, 0xF0, 0, 0, 0}, {48, 6, 9, 0xF0, 0, 0, 0}}, xg_bytes, ""},
      {"reset in the file", gm_on, OPT_VERBOSE, {}, {}, ""},
      {"-r", {}, OPT_VERBOSE | OPT_NO_RESET, {}, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_song_state();
    option_flags = c.options;
    TrackBuilder track;
    if (c.sysex.empty()) track.event(7, {0x90, 0x3C, 0x40});
    else track.sysex(7, c.sysex);
    track.text(0, 0x01, "hi").end();
    testing::internal::CaptureStdout();
    std::string err = load(smf(1, 480, {track}));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, c.notice);
    Table table = event_table();
    size_t n = c.resets.size();
    ASSERT_EQ(table.size(), n + 3);
    EXPECT_EQ(Table(table.begin(), table.begin() + n), c.resets);
    EXPECT_EQ(data_head(c.reset_bytes.size()), c.reset_bytes);
    // The song's first event comes a tenth of a quarter note after the reset.
    EXPECT_EQ(table[n].delta, 7u + (n != 0 ? 48 : 0));
    uint32_t song_offset = static_cast<uint32_t>(c.reset_bytes.size());
    if (!c.sysex.empty()) {
      EXPECT_EQ(table[n].data_offset, song_offset);
    }
    EXPECT_EQ(table[n + 1].data_offset, song_offset + (c.sysex.empty() ? 0 : c.sysex.size() + 1));
  }
}

TEST_F(BuilderTest, ResetDelayIsATenthOfTheTimebase) {
  struct Case {
    uint16_t timebase;
    ResetFlags flags;
    uint32_t records, data_used, first_delay;
  };
  const std::vector<Case> cases = {
      {480, 0, 1, 6, 48},
      {96, RF_VENDOR_43, 2, 15, 9},
      {5, RF_VENDOR_41, 1, 11, 0},
      {480, RF_GS_RESET_FOUND, 0, 0, 0},
      {480, RF_VENDOR_43 | RF_XG_RESET_FOUND, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timebase);
    reset_song_state();
    set_timebase(c.timebase);
    ASSERT_EQ(alloc_event_table(2), 0);
    ASSERT_EQ(alloc_data_buffer(16, 0), 0);
    uint32_t data_used = 99, first_delay = 99;
    EXPECT_EQ(insert_reset_events(&data_used, &first_delay, c.flags), c.records);
    EXPECT_EQ(data_used, c.data_used);
    EXPECT_EQ(first_delay, c.first_delay);
    if (c.records == 2) {
      EXPECT_EQ(song_data.events[1].delta, c.first_delay);
    }
    if (c.records == 0) {
      EXPECT_EQ(song_data.events[0].status, 0);
    }
  }
}

TEST_F(BuilderTest, EachKindOfEventBecomesItsRecord) {
  option_flags = OPT_NO_RESET;
  TrackBuilder track;
  track.sysex(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7})
      .event(0, {0xF7, 0x01, 0xF8})
      .event(0, {0xF7, 0x00})
      .meta(0, 0x03, Bytes(200, 'x'))
      .event(1, {0x90, 0x3C, 0x40})
      .text(0, 0x01, "ab")
      .event(2, {0x3E, 0x40})
      .event(0, {0xC0, 0x05})
      .event(3, {0x06})
      .event(4, {0xF4})
      .end(5);
  load(smf(0, 96, {track}));
  const Table expected = {
      {0, 0, 6, 0xF0, 0, 0, 0},       // sysex: F0 and the body
      {0, 6, 1, 0xF7, 0, 0, 0},       // escape: only the bytes after the length
      {0, 7, 0, 0xF7, 0, 0, 0},       // an empty escape still has its place
      {0, 7, 204, 0xFF, 0x03, 0, 0},  // meta: FF 03 81 48 and 200 bytes
      {1, 0, 3, 0x90, 0x3C, 0x40, 0},
      {0, 211, 5, 0xFF, 0x01, 0, 0},
      {2, 0, 3, 0x90, 0x3E, 0x40, 0x90},  // running status across the text
      {0, 0, 2, 0xC0, 0x05, 0, 0},
      {3, 0, 2, 0xC0, 0x06, 0, 0xC0},
      {4, 0, 0, 0, 0, 0, 0},                      // F4: delta only
      {0x74 << 7 | 5, 216, 3, 0xFF, 0x2F, 0, 0},  // F4 05 is read as the next delta

  };
  EXPECT_EQ(event_table(), expected);
  Bytes bytes = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0xF8, 0xFF, 0x03, 0x81, 0x48};
  bytes.insert(bytes.end(), 200, 'x');
  bytes.insert(bytes.end(), {0xFF, 0x01, 0x02, 'a', 'b', 0xFF, 0x2F, 0x00, 0x00});
  EXPECT_EQ(data_head(bytes.size()), bytes);
  EXPECT_EQ(playback_info.longest_meta, 200u);
}

TEST_F(BuilderTest, DataByteWithoutRunningStatusIsReadAsTheNextDelta) {
  // 05 3C: delta 5, then 3C has no status to use; 3C is the next delta and the
  // End of Track's own delta byte 00 is another delta-only event.
  option_flags = OPT_NO_RESET;
  load(smf(0, 96, {TrackBuilder().raw({0x05, 0x3C}).end()}));
  const Table expected = {{5, 0, 0, 0, 0, 0, 0}, {60, 0, 0, 0, 0, 0, 0}, {0, 0, 3, 0xFF, 0x2F, 0, 0}};
  EXPECT_EQ(event_table(), expected);
}

TEST_F(BuilderTest, EventsAfterEndOfTrackLeaveZeroRecords) {
  option_flags = OPT_NO_RESET;
  TrackBuilder t0, t1;
  t0.event(0, {0x90, 0x3C, 0x40}).end().event(0, {0x80, 0x3C, 0}).text(0, 0x01, "x");
  t1.event(10, {0x91, 0x3C, 0x40}).end();
  std::string err = load(smf(1, 96, {t0, t1}));
  EXPECT_EQ(err, "WARNING! : [Trk 0] Track DataSize is Wrong!\n");
  const Table expected = {{0, 0, 3, 0x90, 0x3C, 0x40, 0}, {0, 0, 3, 0xFF, 0x2F, 0, 0}, {10, 0, 3, 0x91, 0x3C, 0x40, 0},
                          {0, 3, 3, 0xFF, 0x2F, 0, 0},    {0, 0, 0, 0, 0, 0, 0},       {0, 0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(event_table(), expected);
  EXPECT_EQ(data_head(11), (Bytes{0xFF, 0x2F, 0x00, 0xFF, 0x2F, 0x00, 0, 0, 0, 0, 0}));
}

TEST_F(BuilderTest, StopsAtTheTableAndBufferItWasGiven) {
  // A table of two records and a buffer of 5 bytes: the sysex (3 bytes) fits,
  // the text (6 bytes) does not, and nothing is written past either block.
  option_flags = OPT_NO_RESET;
  Bytes image = smf(0, 96, {TrackBuilder().sysex(0, {0x7D, 0xF7}).text(0, 0x01, "abc").end()});
  index_image(image);
  ASSERT_EQ(alloc_event_table(2), 0);
  ASSERT_EQ(alloc_data_buffer(6, 0), 0);
  EXPECT_EQ(build_event_table(0, 5), 0);
  const Table expected = {{0, 0, 3, 0xF0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(event_table(), expected);
  EXPECT_EQ(data_head(6), (Bytes{0xF0, 0x7D, 0xF7, 0, 0, 0}));
}

// A stop ends the build at its next look, every LOAD_STOP_STRIDE records,
// even inside one track's turn at one tick: a tick may hold millions of
// events, and the turn is not ended for them.
TEST_F(BuilderTest, AStopEndsTheBuildInsideATicksTurn) {
  option_flags = OPT_NO_RESET;
  const uint32_t events = 3 * LOAD_STOP_STRIDE;
  TrackBuilder track;
  track.event(0, {0x90, 0x3C, 0x40});
  for (uint32_t i = 1; i < events; ++i) track.raw({0x00, 0x3C, 0x40});
  Bytes image = smf(0, 96, {track.end()});
  index_image(image);
  ASSERT_EQ(alloc_event_table(events + 1), 0);
  ASSERT_EQ(alloc_data_buffer(4, 0), 0);
  raise_stop();
  int result = build_event_table(0, 3);
  reset_life_cycle();
  EXPECT_EQ(result, -3);
  const EventRecord* table = get_event_table();
  EXPECT_EQ(table[LOAD_STOP_STRIDE - 1].status, 0x90) << "stopped before its first look";
  EXPECT_EQ(table[LOAD_STOP_STRIDE].status, 0) << "went on past its first look";
}

}  // namespace
