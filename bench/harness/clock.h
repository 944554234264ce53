/* The harness programs' one clock: CLOCK_MONOTONIC, the clock the monitor's
 * log and the pause detector stamp with, so their times compare. */
#ifndef HARNESS_CLOCK_H
#define HARNESS_CLOCK_H

#include <time.h>

/* The monotonic clock in nanoseconds. */
static inline long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

#endif
