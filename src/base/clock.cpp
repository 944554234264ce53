// Base, clock: one reading of the monotonic clock for the whole system.
#include "base/clock.h"

#include <ctime>

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
