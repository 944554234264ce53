// The shared song records: allocation, release and the snapshot.
#include <gtest/gtest.h>

#include <cstring>

#include "song/song.h"
#include "support/fresh_state.h"

namespace {

struct SongTables : FreshStateTest {};

TEST_F(SongTables, SnapshotBeforeAnyLoadIsEmpty) {
  SongView view;
  memset(&view, 0xAB, sizeof view);
  EXPECT_EQ(take_song_view(&view), 0);
  EXPECT_EQ(view.timebase, 0);
  EXPECT_EQ(view.event_count, 0u);
  EXPECT_EQ(view.longest_meta, 0u);
  EXPECT_EQ(view.events, nullptr);
  EXPECT_EQ(view.data, nullptr);
}

TEST_F(SongTables, BlocksAreZeroFilledAndCountsRecorded) {
  set_timebase(480);
  ASSERT_EQ(alloc_event_table(5), 0);
  ASSERT_EQ(alloc_data_buffer(33, 12), 0);
  SongView view;
  take_song_view(&view);
  EXPECT_EQ(view.timebase, 480);
  EXPECT_EQ(view.event_count, 5u);
  EXPECT_EQ(view.longest_meta, 12u);
  const uint8_t* record_bytes = reinterpret_cast<const uint8_t*>(view.events);
  for (size_t i = 0; i < 5 * sizeof(EventRecord); ++i) ASSERT_EQ(record_bytes[i], 0) << i;
  for (size_t i = 0; i < 33; ++i) ASSERT_EQ(view.data[i], 0) << i;
}

TEST_F(SongTables, SecondAllocationKeepsTheFirstBlockAndCount) {
  ASSERT_EQ(alloc_event_table(3), 0);
  ASSERT_EQ(alloc_data_buffer(10, 4), 0);
  EventRecord* events = song_data.events;
  uint8_t* data = song_data.data;
  testing::internal::CaptureStderr();
  EXPECT_EQ(alloc_event_table(9), -1);
  EXPECT_EQ(alloc_data_buffer(90, 40), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error!!: Event Table Exists Already!\nError!!: Event Data Buffer Exists Already!\n");
  EXPECT_EQ(song_data.events, events);
  EXPECT_EQ(song_data.data, data);
  EXPECT_EQ(playback_info.event_count, 3u);
  EXPECT_EQ(playback_info.longest_meta, 4u);
}

TEST_F(SongTables, ReleaseTwiceAndOnNullDoesNothing) {
  EXPECT_EQ(free_data_buffer(), 0);
  EXPECT_EQ(free_event_table(), 0);
  ASSERT_EQ(alloc_event_table(2), 0);
  ASSERT_EQ(alloc_data_buffer(1, 0), 0);
  EXPECT_EQ(free_data_buffer(), 0);
  EXPECT_EQ(free_event_table(), 0);
  EXPECT_EQ(song_data.events, nullptr);
  EXPECT_EQ(song_data.data, nullptr);
  EXPECT_EQ(free_data_buffer(), 0);
  EXPECT_EQ(free_event_table(), 0);
  EXPECT_EQ(playback_info.event_count, 2u) << "a release leaves the counts alone";
}

TEST_F(SongTables, EmptyTableIsStillAnAllocation) {
  ASSERT_EQ(alloc_event_table(0), 0);
  EXPECT_NE(song_data.events, nullptr);
  EXPECT_EQ(alloc_event_table(0), -1);
}

}  // namespace
