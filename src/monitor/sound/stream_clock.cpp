// The live stream's place on the monotonic clock.
#include "monitor/sound/stream_clock.h"

#include <algorithm>

#include "monitor/constants.h"

int64_t stream_period_start(StreamClock& clock, int64_t now_ns, int frames) {
  int64_t seen = now_ns - frames_to_ns(clock.frames);
  int64_t period = frames_to_ns(frames);
  if (!clock.started || seen - clock.origin_ns > period) clock.origin_ns = seen;
  else clock.origin_ns = std::min(seen, clock.origin_ns + period / STREAM_RISE_DIVISOR);
  clock.started = true;
  int64_t start = clock.origin_ns + frames_to_ns(clock.frames);
  clock.frames += frames;
  return start;
}
