// Playback, schedule: the due time of every record, counted from the song's
// start in exact tick arithmetic and re-anchored where the tempo changes.
#pragma once

#include <cstdint>

#include "song/division.h"

// When the player is further behind than this, the machine has paused it:
// the rest of the song moves later instead of coming out in a burst.
constexpr int64_t LATE_BOUND_NS = 20000000;

// The running schedule of one playback.
struct Schedule {
  int64_t anchor_ns;  // due time of the start or of the last change of tick length
  uint64_t ticks;     // ticks from the anchor to the current record
  TickLength tick;    // the length of a tick since the anchor
  int64_t due_ns;     // due time of the current record
  uint32_t moves;     // how often a pause moved the schedule later
};

// Starts a schedule whose first record is due at start_ns.
void start_schedule(Schedule* schedule, int64_t start_ns, TickLength tick);

// Moves to the next record, delta ticks later; returns its due time.
int64_t advance_schedule(Schedule* schedule, uint32_t delta);

// Ticks after the current record last `tick`; it stays due when it was.
void change_tick_length(Schedule* schedule, TickLength tick);

// Called with the clock read at the current record's due time or after it:
// more than LATE_BOUND_NS behind moves that record and all after it to now.
void absorb_pause(Schedule* schedule, int64_t now_ns);

// Moves the current record and all after it later by ns: the time that the
// playback was suspended.
void shift_schedule(Schedule* schedule, int64_t ns);

// ticks × numerator / denominator without overflow on the way; the result
// saturates at the largest time the clock can hold.
int64_t ticks_to_ns(uint64_t ticks, TickLength tick);
