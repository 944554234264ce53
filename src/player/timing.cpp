// Playback, tick timing: the measured cost of a 1 ms sleep and the wait built on it.
#include "player/timing.h"

#include <sys/time.h>
#include <unistd.h>

int64_t usleep_overhead = 2050;

namespace {

constexpr int CALIBRATION_ROUNDS = 50;
constexpr useconds_t SLEEP_STEP_USEC = 1000;

// Reads the clock as one signed 64-bit count of microseconds.
int64_t clock_usec() {
  timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + static_cast<int64_t>(now.tv_usec);
}

}  // namespace

// Seconds and microseconds are folded into one count before subtracting, so
// a measurement that runs across a change of second keeps its true length.
int64_t calibrate_sleep() {
  int64_t sum = 0;
  for (int round = 0; round < CALIBRATION_ROUNDS; ++round) {
    int64_t before = clock_usec();
    usleep(SLEEP_STEP_USEC);
    sum += clock_usec() - before;
  }
  usleep_overhead = sum / CALIBRATION_ROUNDS + sum / (CALIBRATION_ROUNDS * 8);
  return usleep_overhead;
}

// Sleeps only while more than a sleep's real cost remains, so no sleep can
// overshoot the target; the last stretch is spent reading the clock.
int wait_usec(int64_t usec) {
  int64_t start = clock_usec();
  int64_t elapsed = 0;
  do {
    if (usleep_overhead < usec - elapsed) usleep(SLEEP_STEP_USEC);
    elapsed = clock_usec() - start;
  } while (elapsed < usec);
  return 0;
}
