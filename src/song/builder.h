// Song loading, builder: the second walk, which merges every track into the
// time-ordered event table with the automatic reset at its head.
#pragma once

#include <cstdint>

#include "song/prescan.h"

// Merges all tracks into the event table and the data buffer; always 0.
int build_event_table(ResetFlags reset_flags);

// Writes the GM, GS or XG reset records at the table's head; returns how many.
uint32_t insert_reset_events(uint32_t* data_used, uint32_t* first_delay, ResetFlags reset_flags);

// The track whose event comes next after the record that `current` produced.
int next_track(int current);
