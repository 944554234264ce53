// Where the live output's stream stands on the monotonic clock: from the
// times at which the audio driver calls back for each period, the time at
// which the period's first frame is due, smoothed so that a callback the
// machine held up does not move the messages placed in it.
#pragma once

#include <cstdint>

// How many callbacks the estimate looks back over: 1.5 s at 512 frames.
constexpr int STREAM_WINDOW = 128;

// The estimate of one stream; advanced by the audio callback alone.
struct StreamClock {
  bool started = false;
  int64_t frames = 0;     // frames of the stream before the period now called for
  int64_t origin_ns = 0;  // the estimated time of the stream's frame 0
  // Where the last callbacks placed frame 0 (their time less the frames
  // before them), oldest overwritten first.
  int64_t seen_ns[STREAM_WINDOW] = {};
  int seen_count = 0;
  int seen_next = 0;
};

// Without a callback that shows it, the estimate rises at most a period
// divided by this a callback (250 parts per million): a driver's clock
// that runs slow against the monotonic one (a sound card's crystal, within
// 100 ppm as sold) is followed, callbacks that come late are not. Any
// faster, and the estimate climbs between the callbacks that touch the
// stream's line, placing notes early by as much: at 1,000 ppm the spread of
// the onsets through PulseAudio was 2.5 to 6 ms at p95 instead of 1.
constexpr int64_t STREAM_RISE_DIVISOR = 4000;

// Called at the start of each callback with the time now and the frames
// it asks for; returns the estimated time of the period's first frame, at
// most now. The estimate is the lower envelope of the callbacks' times less
// the stream's frames before them: a callback is never early for its
// period, only late by what the machine held it up. A callback more than a
// period late finds the output's buffer run dry (PulseAudio keeps about a
// period), so the stream has moved and the estimate starts again from it;
// where the buffer was deeper, the callbacks that catch up right after
// bring the estimate back down. When every callback of the window has come
// later than the estimate, the stream itself has moved later (the server
// took a deeper buffer, or a restart's first callbacks came while it
// filled one), and the estimate moves up to the earliest of them.
int64_t stream_period_start(StreamClock& clock, int64_t now_ns, int frames);
