// Playback, tick timing: how late an absolute sleep wakes on this machine,
// learned from the player's own sleeps, and the wait until a due time that
// sleeps while far from it, reads the clock (base/clock.h) for the last
// stretch and ends early on a stop or a pause.
#pragma once

#include <cstdint>

#include "base/clock.h"

// How long before a due time the wait stops sleeping and reads the clock
// instead; 1 ms until learned.
extern int64_t wake_margin_ns;

// Asks for the finest timer slack the system gives this thread, so a sleep
// wakes when asked rather than when convenient; silently does nothing elsewhere.
void lower_timer_slack();

// Sets the margin to 1 ms and has the waits that follow learn it from their
// own sleeps, fifty at a time: the margin is how late a sleep wakes in nine
// cases out of ten (the 45th of fifty). The song starts at once, and its
// first waits spin a little longer until then.
void learn_wake_margin();

// The margin back to 1 ms and its ceiling, with no learning under way (between tests).
void reset_wake_margin();

// For a player at ordinary priority: the margin, now and as learned, is
// held to 100 µs, since spinning longer buys little where the scheduler
// preempts the spinning thread anyway.
void keep_wake_margin_short();

// What wait_until returns when ends_wait ended the wait.
constexpr int64_t WAIT_ENDED_EARLY = -1;

// Waits until the monotonic clock reaches deadline_ns and returns the reading
// that found it reached; WAIT_ENDED_EARLY as soon as ends_wait() says so
// (the player's: a stop or a pause was raised), however far the deadline
// still is.
int64_t wait_until(int64_t deadline_ns, bool (*ends_wait)());
