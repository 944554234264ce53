// Song loading, builder: the second walk, which merges every track into the
// time-ordered event table with the automatic reset at its head.
#pragma once

#include <cstdint>

#include "song/prescan.h"

// Merges all tracks into the event table and the data buffer; always 0.
// data_size is the room the pre-scan counted in the data buffer: together
// with the table's event count it bounds everything the merge writes.
int build_event_table(ResetFlags reset_flags, uint32_t data_size);

// Writes the GM, GS or XG reset records at the table's head; returns how many.
uint32_t insert_reset_events(uint32_t* data_used, uint32_t* first_delay, ResetFlags reset_flags);

// The track whose event comes next after the record that `current` produced.
int next_track(int current);
