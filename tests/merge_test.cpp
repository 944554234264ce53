// Merge order of the event table builder, checked against the plain rule: a
// reference builder that asks next_track for every record and brings every
// track's count to each record, run on the same songs: random multi-track
// ones and the corpus files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "song/builder.h"
#include "song/event_walk.h"
#include "song/prescan.h"
#include "support/song_fixture.h"

namespace {

// The reference: one pass over the tracks to choose, one to move every count
// on, with the same reading and the builder's own table writer, which puts
// the same reset ahead and guards the same room.
void reference_build(ResetFlags reset_flags, uint32_t data_size) {
  TableWriter writer = start_table(reset_flags, data_size);
  TrackState* tracks = song_data.tracks;
  int count = song_data.track_count;
  int ended = 0;
  auto end_track = [&ended](TrackState* t) {
    t->cursor = nullptr;
    t->ticks_to_next = 0xFFFFFFFF;
    ++ended;
  };
  auto load_delta = [&end_track](TrackState* t) {
    WalkedEvent e;
    if (walk_event(t->cursor, t->start + t->length, t->running_status, &e) == WALK_EVENT) {
      t->ticks_to_next = e.delta;
    } else {
      end_track(t);
    }
  };
  for (int i = 0; i < count; ++i) load_delta(&tracks[i]);
  int current = 0;
  while (ended < count) {
    current = next_track(current);
    TrackState* t = &tracks[current];
    WalkedEvent e;
    if (walk_event(t->cursor, t->start + t->length, t->running_status, &e) != WALK_EVENT) break;
    uint32_t d = t->ticks_to_next;
    if (!write_record(&writer, e, d)) break;
    t->running_status = running_after(e, t->running_status);
    t->cursor = e.next;
    if (is_end_of_track(e)) end_track(t);
    for (int i = 0; i < count; ++i) tracks[i].ticks_to_next -= d;
    if (t->cursor != nullptr) load_delta(t);
  }
}

// What one build left: the whole table, the whole buffer, and which tracks ended.
struct BuildResult {
  bool built = false;
  std::vector<EventRecord> table;
  Bytes data;
  std::vector<bool> ended;
};

// How a song is handed to the builder: options, and room cut short on purpose.
struct BuildSetup {
  OptionFlags options;
  uint32_t fewer_records;  // taken from the pre-scan's count
  uint32_t fewer_bytes;    // taken from the pre-scan's data size
};

// Indexes and pre-scans the image as the load does, then builds with build.
BuildResult build_song(const Bytes& image, const BuildSetup& setup, void (*build)(ResetFlags, uint32_t)) {
  BuildResult result;
  reset_song_state();
  option_flags = setup.options;
  testing::internal::CaptureStderr();
  ScannedSong song;
  bool scanned = index_and_prescan(image.data(), image.size(), &song);
  testing::internal::GetCapturedStderr();
  if (!scanned) {
    reset_song_state();
    return result;
  }
  uint32_t events = song.event_count - std::min(setup.fewer_records, song.event_count);
  uint32_t data_size = song.data_size - std::min(setup.fewer_bytes, song.data_size);
  EXPECT_EQ(alloc_event_table(events), 0);
  EXPECT_EQ(alloc_data_buffer(data_size + 1, song.longest_meta), 0);
  build(song.flags, data_size);
  result.built = true;
  result.table = event_table();
  result.data = data_head(data_size + 1);
  for (int i = 0; i < song_data.track_count; ++i) result.ended.push_back(song_data.tracks[i].cursor == nullptr);
  reset_song_state();
  return result;
}

void real_build(ResetFlags flags, uint32_t data_size) { EXPECT_EQ(build_event_table(flags, data_size), 0); }

// Random songs whose tracks meet often at one tick and hold every kind of event.
class SongMaker {
 public:
  explicit SongMaker(uint32_t seed) : rng_(seed) {}

  // A number from 0 to n - 1.
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

  // Deltas that make ties likely: mostly 0 or a few small values shared by
  // every track, now and then a few thousand ticks (so that tracks drift far
  // apart and meet again later); in songs with long deltas, often one of
  // nearly 28 bits (from a few values, so those tie too), and the song's
  // clock passes 2^32.
  uint32_t delta(bool long_deltas) {
    uint32_t pick = below(100);
    if (long_deltas && pick < 75) return (1u << 28) - 1 - below(3);
    if (pick < 40) return 0;
    if (pick < 80) return 1 + below(3);
    if (pick < 95) return below(200);
    return 3000 + below(10000);
  }

  // A track of random events. A track with long deltas holds only events
  // that cannot be misread, since a byte read as the start of a delta time
  // would make a long one longer than the pre-scan accepts.
  Bytes track(bool long_deltas) {
    static const uint32_t CLEAN_KINDS[] = {0, 1, 6, 7, 8, 9, 10, 11};
    TrackBuilder t;
    int events = static_cast<int>(long_deltas ? 20 + below(20) : below(30));
    uint8_t channel = static_cast<uint8_t>(below(16));
    for (int e = 0; e < events; ++e) {
      uint32_t d = delta(long_deltas);
      uint8_t data = static_cast<uint8_t>(below(128));
      uint32_t kind = long_deltas ? CLEAN_KINDS[below(8)] : below(12);
      switch (kind) {
        case 0: t.event(d, {static_cast<uint8_t>(0x90 | channel), data, 0x40}); break;
        case 1: t.event(d, {static_cast<uint8_t>(0xC0 | channel), data}); break;
        case 2: t.event(d, {data, 0x40}); break;  // running status, or none yet
        case 3: t.event(d, {data}); break;        // one data byte: a two-byte status, or a delta
        case 4: t.event(d, {static_cast<uint8_t>(0xF1 + below(6))}); break;  // delta only
        case 5: t.event(d, {static_cast<uint8_t>(0xF8 + below(7))}); break;  // delta only
        case 6: t.sysex(d, Bytes(below(4), 0x43)); break;
        case 7: t.event(d, {0xF7, 0x01, 0xF8}); break;
        case 8: t.text(d, 0x01, std::string(below(5), 't')); break;
        case 9: t.meta(d, 0x51, {0x07, 0xA1, 0x20}); break;
        case 10: t.end(d); break;  // events after it stay unread
        default: t.event(d, {static_cast<uint8_t>(0xE0 | channel), 0, data}); break;
      }
    }
    uint32_t ending = below(10);
    if (ending < 7) t.end(delta(false));
    if (ending == 7) t.raw({0x00, 0xF0, 0x05, 0x01});  // a sysex cut by the chunk's end
    // Otherwise the track just stops, without End of Track.
    return t.bytes;
  }

  Bytes song(int track_count) {
    std::vector<TrackBuilder> tracks(track_count);
    // In a quarter of the songs about half the tracks have long deltas.
    bool long_deltas = below(4) == 0;
    for (TrackBuilder& t : tracks) {
      if (below(20) != 0) t.bytes = track(long_deltas && below(2) == 0);  // else an empty chunk
    }
    uint16_t timebase = static_cast<uint16_t>(below(4) == 0 ? 1 + below(9) : 96 + below(900));
    return smf(1, timebase, tracks);
  }

  // Few notes per track, thousands of ticks apart: most ticks hold one
  // event, the others, on multiples of 500 ticks, tie.
  Bytes sparse_song(int track_count) {
    std::vector<TrackBuilder> tracks(track_count);
    for (TrackBuilder& t : tracks) {
      int notes = 1 + static_cast<int>(below(8));
      for (int n = 0; n < notes; ++n) {
        uint32_t d = below(3) == 0 ? 500 * below(18) : below(9000);
        t.event(d, {0x90, static_cast<uint8_t>(below(128)), 0x40});
      }
      t.end(0);
    }
    return smf(1, 480, tracks);
  }

  BuildSetup setup() {
    OptionFlags options = below(2) == 0 ? OPT_NO_RESET : 0;
    bool short_room = below(10) == 0;
    return {options, short_room ? below(8) : 0, short_room ? below(20) : 0};
  }

 private:
  std::mt19937 rng_;
};

// What the compared songs held, so that a change to the maker that loses a
// case shows.
struct Coverage {
  int compared = 0;
  int clock_past_32_bits = 0;
  int delta_only_records = 0;
  int thousands_of_ticks_apart = 0;
};

// Builds the song both ways and compares everything the builds left.
void expect_same_build(const Bytes& image, const BuildSetup& setup, Coverage* coverage) {
  BuildResult expected = build_song(image, setup, reference_build);
  BuildResult actual = build_song(image, setup, real_build);
  ASSERT_EQ(actual.built, expected.built);
  if (!expected.built) return;
  ASSERT_EQ(actual.table.size(), expected.table.size());
  for (size_t i = 0; i < expected.table.size(); ++i) {
    ASSERT_EQ(actual.table[i], expected.table[i]) << "record " << i;
  }
  ASSERT_EQ(actual.data, expected.data);
  ASSERT_EQ(actual.ended, expected.ended);
  ++coverage->compared;
  uint64_t clock = 0;
  for (const EventRecord& r : expected.table) {
    clock += r.delta;
    if (r.status == 0 && r.delta != 0) ++coverage->delta_only_records;
    if (r.delta >= 3000 && r.delta < (1u << 20)) ++coverage->thousands_of_ticks_apart;
  }
  if (clock > UINT32_MAX) ++coverage->clock_past_32_bits;
}

class MergeTest : public SongTest {};

// Makes count songs with make, each with the number of tracks pick_tracks
// chooses, and builds each both ways; stops at the first difference.
template <typename PickTracks>
Coverage compare_made_songs(uint32_t seed, int count, PickTracks pick_tracks, Bytes (SongMaker::*make)(int)) {
  SongMaker maker(seed);
  Coverage coverage;
  for (int song = 0; song < count; ++song) {
    int tracks = pick_tracks(maker, song);
    Bytes image = (maker.*make)(tracks);
    SCOPED_TRACE("song " + std::to_string(song) + ", " + std::to_string(tracks) + " tracks");
    expect_same_build(image, maker.setup(), &coverage);
    if (::testing::Test::HasFatalFailure()) break;
  }
  return coverage;
}

TEST_F(MergeTest, RandomSongsMergeAsThePlainRuleDoes) {
  auto up_to_40_some_empty = [](SongMaker& maker, int song) {
    int tracks = 1 + static_cast<int>(maker.below(40));
    return song % 100 == 0 ? 0 : tracks;
  };
  Coverage coverage = compare_made_songs(20240611, 2000, up_to_40_some_empty, &SongMaker::song);
  if (HasFatalFailure()) return;
  // Only songs whose pre-scan refused them go uncompared.
  EXPECT_GT(coverage.compared, 1900);
  EXPECT_GT(coverage.clock_past_32_bits, 100);
  EXPECT_GT(coverage.delta_only_records, 1000);
  EXPECT_GT(coverage.thousands_of_ticks_apart, 1000);
}

TEST_F(MergeTest, SparseSongsMergeAsThePlainRuleDoes) {
  auto from_16_to_55 = [](SongMaker& maker, int) { return 16 + static_cast<int>(maker.below(40)); };
  Coverage coverage = compare_made_songs(4096, 300, from_16_to_55, &SongMaker::sparse_song);
  if (HasFatalFailure()) return;
  EXPECT_GT(coverage.compared, 290);
}

TEST_F(MergeTest, ManyTracksMergeAsThePlainRuleDoes) {
  auto from_100_to_999 = [](SongMaker& maker, int) { return 100 + static_cast<int>(maker.below(900)); };
  Coverage coverage = compare_made_songs(77, 12, from_100_to_999, &SongMaker::song);
  if (HasFatalFailure()) return;
  EXPECT_EQ(coverage.compared, 12);
}

TEST_F(MergeTest, CorpusFilesMergeAsThePlainRuleDoes) {
  std::vector<std::string> files = files_in(SONGRELAY_CORPUS_DIR, ".mid");
  ASSERT_FALSE(files.empty()) << "no corpus at " << SONGRELAY_CORPUS_DIR;
  Coverage coverage;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    Bytes image = read_file(file);
    for (OptionFlags options : {OptionFlags{0}, OptionFlags{OPT_NO_RESET}}) {
      expect_same_build(image, {options, 0, 0}, &coverage);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(coverage.compared, 0);
}

}  // namespace
