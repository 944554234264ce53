// The live stream's place on the monotonic clock.
#include "monitor/sound/stream_clock.h"

#include <algorithm>

#include "monitor/constants.h"

namespace {

// Notes where a callback placed frame 0; the earliest of the window since
// the stream last started.
int64_t earliest_seen(StreamClock& clock, int64_t seen) {
  clock.seen_ns[clock.seen_next] = seen;
  clock.seen_next = (clock.seen_next + 1) % STREAM_WINDOW;
  clock.seen_count = std::min(clock.seen_count + 1, STREAM_WINDOW);
  return *std::min_element(clock.seen_ns, clock.seen_ns + clock.seen_count);
}

}  // namespace

int64_t stream_period_start(StreamClock& clock, int64_t now_ns, int frames) {
  int64_t seen = now_ns - frames_to_ns(clock.frames);
  int64_t period = frames_to_ns(frames);
  if (!clock.started || seen - clock.origin_ns > period) {
    clock.origin_ns = seen;
    clock.seen_count = 0;
    clock.seen_next = 0;
  }
  int64_t earliest = earliest_seen(clock, seen);
  clock.origin_ns = std::min(seen, std::max(clock.origin_ns + period / STREAM_RISE_DIVISOR, earliest));
  clock.started = true;
  int64_t start = clock.origin_ns + frames_to_ns(clock.frames);
  clock.frames += frames;
  return start;
}
