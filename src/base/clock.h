// Base, clock: the monotonic clock that every room times itself by.
#pragma once

#include <cstdint>

// Nanoseconds on the monotonic clock, which no change of the date moves.
int64_t monotonic_ns();

// The same clock in milliseconds, for bounds on waits in poll.
inline int64_t monotonic_ms() { return monotonic_ns() / 1000000; }
