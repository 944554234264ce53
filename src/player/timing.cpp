// Playback, tick timing: 1 ms sleep steps while there is room for them, then
// the clock alone for the last stretch.
#include "player/timing.h"

#include <sys/time.h>
#include <unistd.h>

int64_t usleep_overhead = 2050;

namespace {

const int calibration_rounds = 50;

// Microseconds from a to b, exact across any number of second boundaries.
int64_t elapsed_usec(const timeval& a, const timeval& b) {
  return (static_cast<int64_t>(b.tv_sec) - a.tv_sec) * 1000000 +
         (static_cast<int64_t>(b.tv_usec) - a.tv_usec);
}

}  // namespace

// The mean length of a 1 ms sleep plus an eighth of it as a margin.
int64_t calibrate_sleep() {
  int64_t sum = 0;
  for (int round = 0; round < calibration_rounds; ++round) {
    timeval before, after;
    gettimeofday(&before, nullptr);
    usleep(1000);
    gettimeofday(&after, nullptr);
    sum += elapsed_usec(before, after);
  }
  usleep_overhead = sum / calibration_rounds + sum / (calibration_rounds * 8);
  return usleep_overhead;
}

// An interrupted sleep only shortens that step; the wait goes on until its time.
int wait_usec(int64_t usec) {
  timeval start, now;
  gettimeofday(&start, nullptr);
  int64_t elapsed = 0;
  for (;;) {
    if (usleep_overhead < usec - elapsed) usleep(1000);
    gettimeofday(&now, nullptr);
    elapsed = elapsed_usec(start, now);
    if (elapsed >= usec) return 0;
  }
}
