// Playback, tick timing: measures what a 1 ms sleep really costs and waits
// out delta times with sleeps and, for the last stretch, the clock.
#pragma once

#include <cstdint>

// Microseconds a 1 ms sleep really takes, plus a margin; 2050 until calibrated.
extern int64_t usleep_overhead;

// Times fifty 1 ms sleeps and stores their mean plus an eighth; returns it.
int64_t calibrate_sleep();

// Returns once at least usec microseconds have passed since its first clock reading.
int wait_usec(int64_t usec);
