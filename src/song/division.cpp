// Song model, division: the duration of a tick as a fraction, so that a
// schedule built on it never drops a remainder per tick.
#include "song/division.h"

namespace {

constexpr uint64_t NSEC_PER_USEC = 1000;
constexpr uint64_t NSEC_PER_SEC = 1000000000;

// The one frame rate that is not whole: -29 means 30000/1001 (29.97) frames per second.
constexpr int DROP_FRAME_RATE = 29;

// Frames per second of a time-code division: the two's complement of its high byte.
uint32_t frames_per_second(uint16_t division) { return 256u - (division >> 8); }

// Ticks per frame; a file that claims 0 is taken as 1 so that a tick stays finite.
uint32_t ticks_per_frame(uint16_t division) {
  uint32_t ticks = division & 0xFF;
  return ticks != 0 ? ticks : 1;
}

}  // namespace

bool is_time_code(uint16_t division) { return (division & 0x8000) != 0; }

// Quarter-note time: tempo microseconds per `division` ticks. Time code: one
// second per fps × ticks-per-frame ticks, with 29.97 fps as 30000/1001.
TickLength tick_length(uint16_t division, uint32_t tempo) {
  if (!is_time_code(division)) {
    return {static_cast<uint64_t>(tempo) * NSEC_PER_USEC, division != 0 ? division : 1u};
  }
  uint32_t fps = frames_per_second(division);
  uint64_t ticks = ticks_per_frame(division);
  if (fps == DROP_FRAME_RATE) return {1001 * NSEC_PER_SEC, 30000 * ticks};
  return {NSEC_PER_SEC, fps * ticks};
}

uint32_t reset_delay_ticks(uint16_t division) {
  if (!is_time_code(division)) return division / 10;
  constexpr uint64_t PAUSE_NS = 50000000;
  TickLength tick = tick_length(division, 0);
  return static_cast<uint32_t>(PAUSE_NS * tick.denominator / tick.numerator_ns);
}
