// Playback, schedule: due times in 64-bit nanoseconds. Every due time is the
// anchor plus the exact length of the ticks since it, so no remainder is
// dropped per tick and none accumulates over the song.
#include "player/schedule.h"

#include <cstdint>
#include <limits>

namespace {

constexpr int64_t LATEST_NS = std::numeric_limits<int64_t>::max();

// a + b, held at LATEST_NS instead of wrapping.
int64_t saturating_add(int64_t a, int64_t b) { return b > LATEST_NS - a ? LATEST_NS : a + b; }

}  // namespace

// Split at the denominator so that neither product can overflow for any
// tempo and division: the remainder times the numerator stays below 2^50.
int64_t ticks_to_ns(uint64_t ticks, TickLength tick) {
  uint64_t whole = ticks / tick.denominator;
  uint64_t rest = ticks % tick.denominator;
  if (whole != 0 && tick.numerator_ns > static_cast<uint64_t>(LATEST_NS) / whole) return LATEST_NS;
  uint64_t ns = whole * tick.numerator_ns;
  uint64_t part = rest * tick.numerator_ns / tick.denominator;
  if (ns > static_cast<uint64_t>(LATEST_NS) - part) return LATEST_NS;
  return static_cast<int64_t>(ns + part);
}

void start_schedule(Schedule* schedule, int64_t start_ns, TickLength tick) {
  *schedule = Schedule{start_ns, 0, tick, start_ns, 0};
}

int64_t advance_schedule(Schedule* schedule, uint32_t delta) {
  schedule->ticks += delta;
  schedule->due_ns = saturating_add(schedule->anchor_ns, ticks_to_ns(schedule->ticks, schedule->tick));
  return schedule->due_ns;
}

void change_tick_length(Schedule* schedule, TickLength tick) {
  schedule->anchor_ns = schedule->due_ns;
  schedule->ticks = 0;
  schedule->tick = tick;
}

void shift_schedule(Schedule* schedule, int64_t ns) {
  if (ns <= 0) return;
  schedule->anchor_ns = saturating_add(schedule->anchor_ns, ns);
  schedule->due_ns = saturating_add(schedule->due_ns, ns);
}

// Moving the anchor by the lateness moves every later due time with it.
void absorb_pause(Schedule* schedule, int64_t now_ns) {
  int64_t late = now_ns - schedule->due_ns;
  if (late <= LATE_BOUND_NS) return;
  schedule->anchor_ns = saturating_add(schedule->anchor_ns, late);
  schedule->due_ns = now_ns;
  ++schedule->moves;
}
