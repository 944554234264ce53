// Song loading, builder: the second walk, which merges every track into the
// time-ordered event table with the automatic reset at its head.
#pragma once

#include <cstdint>

#include "song/event_walk.h"
#include "song/prescan.h"
#include "song/song.h"

// Where the merge writes next, and what it may still write.
struct TableWriter {
  EventRecord* events;
  uint32_t event_count;
  uint8_t* data;
  uint32_t data_size;
  uint32_t next_record;
  uint32_t data_offset;
  uint32_t reset_delay;  // added to the song's first record: the wait after the automatic reset
};

// Merges all tracks into the event table and the data buffer: 0, -2 after
// its message when there is no memory for the merge queue, or -3 without one
// when a stop came. data_size is the
// room the pre-scan counted in the data buffer: together with the table's
// event count it bounds everything the merge writes.
int build_event_table(ResetFlags reset_flags, uint32_t data_size);

// A writer at the head of the song's tables, after the automatic reset's
// records when the song gets them.
TableWriter start_table(ResetFlags reset_flags, uint32_t data_size);

// Writes one event as the next record, delta ticks after the one before it,
// its sysex, escape or meta bytes copied into the data buffer; false, writing
// nothing, when the table or the buffer has no room left for it.
bool write_record(TableWriter* writer, const WalkedEvent& event, uint32_t delta);

// Writes the GM, GS or XG reset records at the table's head; returns how many.
uint32_t insert_reset_events(uint32_t* data_used, uint32_t* first_delay, ResetFlags reset_flags);

// The reference merge rule, which build_event_table does not call: the track
// whose event comes next after the record that `current` produced, by the
// lowest ticks_to_next of every live track. The builder takes its turns from
// the merge queue (pass_turn), which merge_test proves gives the same order.
int next_track(int current);
