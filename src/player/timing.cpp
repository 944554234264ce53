// Playback, tick timing: absolute sleeps on the monotonic clock, calibrated
// once per run, with a short stretch of clock reading before each due time.
#include "player/timing.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

int64_t wake_margin_ns = 1000000;

namespace {

constexpr int CALIBRATION_ROUNDS = 50;
constexpr int64_t CALIBRATION_SLEEP_NS = 1000000;

// The margin is the lateness of the 45th of 50 sleeps: a sleep now and then
// wakes later still, and the schedule absorbs that, but spinning for the
// worst would cost the processor on every wait; and on a virtual machine a
// few of the fifty sleeps may fall into the host's pauses, which must not
// set the margin for the whole song.
constexpr int MARGIN_RANK = 44;

// Bounds on the margin: a few microseconds for reading the clock, and no
// more than a millisecond of spinning per wait even where sleeps wake later
// (a busy machine without real-time priority), whose cost in processor time
// would then buy little.
constexpr int64_t MIN_MARGIN_NS = 20000;
constexpr int64_t MAX_MARGIN_NS = 1000000;

// A sleep never runs longer than this at once, so that a stop request
// arriving just before the sleep began is still seen within a few milliseconds.
constexpr int64_t LONGEST_SLEEP_NS = 20000000;

timespec to_timespec(int64_t ns) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  return ts;
}

// Sleeps until the monotonic clock reaches ns; a signal ends it early.
void sleep_until(int64_t ns) {
  timespec until = to_timespec(ns);
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

}  // namespace

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void lower_timer_slack() {
#if defined(__linux__)
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

int64_t calibrate_sleep() {
  std::array<int64_t, CALIBRATION_ROUNDS> late;
  for (int64_t& lateness : late) {
    int64_t deadline = monotonic_ns() + CALIBRATION_SLEEP_NS;
    sleep_until(deadline);
    lateness = monotonic_ns() - deadline;
  }
  std::nth_element(late.begin(), late.begin() + MARGIN_RANK, late.end());
  wake_margin_ns = std::clamp(late[MARGIN_RANK], MIN_MARGIN_NS, MAX_MARGIN_NS);
  return wake_margin_ns;
}

// A deadline that has passed costs one clock reading. Sleeps end a margin
// early; the rest is spent reading the clock, which looks at the stop
// request on every turn.
int64_t wait_until(int64_t deadline_ns, bool (*stop_requested)()) {
  for (;;) {
    if (stop_requested()) return WAIT_STOPPED;
    int64_t now = monotonic_ns();
    if (now >= deadline_ns) return now;
    if (deadline_ns - now > wake_margin_ns) {
      sleep_until(std::min(deadline_ns - wake_margin_ns, now + LONGEST_SLEEP_NS));
    }
  }
}
