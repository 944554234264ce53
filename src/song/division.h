// Song model, division: what one tick of the header's division lasts, in
// quarter-note time or in time code, and how many ticks make the reset's pause.
#pragma once

#include <cstdint>

// The length of one tick as an exact fraction of nanoseconds.
struct TickLength {
  uint64_t numerator_ns;  // nanoseconds per `denominator` ticks
  uint64_t denominator;   // never 0
};

// A division with its top bit set counts frames per second and ticks per frame.
bool is_time_code(uint16_t division);

// One tick at this division and tempo (microseconds per quarter note); a
// time-code tick does not depend on the tempo.
TickLength tick_length(uint16_t division, uint32_t tempo);

// The ticks between the reset and the song: a tenth of a quarter note, or
// 50 ms worth of ticks for a time-code division.
uint32_t reset_delay_ticks(uint16_t division);
