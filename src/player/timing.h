// Playback, tick timing: the monotonic clock, how late an absolute sleep
// wakes on this machine, and the wait until a due time that sleeps while far
// from it, reads the clock for the last stretch and ends early on a stop.
#pragma once

#include <cstdint>

#include "base/clock.h"

// How long before a due time the wait stops sleeping and reads the clock
// instead; 1 ms until calibrated or learned.
extern int64_t wake_margin_ns;

// monotonic_ns, the clock every wait here reads, comes from base/clock.h.

// Asks for the finest timer slack the system gives this thread, so a sleep
// wakes when asked rather than when convenient; silently does nothing elsewhere.
void lower_timer_slack();

// Times fifty 1 ms sleeps to absolute deadlines and stores, as the margin, how
// late a sleep wakes in nine cases out of ten; returns it.
int64_t calibrate_sleep();

// Sets the margin to 1 ms and has the waits that follow measure it as
// calibrate_sleep does, from their own first fifty sleeps: the song starts
// at once, and its first waits spin a little longer until then.
void learn_wake_margin();

// The margin back to 1 ms and its ceiling, with no learning under way (between tests).
void reset_wake_margin();

// For a player at ordinary priority: the margin, now and as learned, is
// held to 100 µs, since spinning longer buys little where the scheduler
// preempts the spinning thread anyway.
void keep_wake_margin_short();

// What wait_until returns when a stop request ended the wait.
constexpr int64_t WAIT_STOPPED = -1;

// Waits until the monotonic clock reaches deadline_ns and returns the reading
// that found it reached; WAIT_STOPPED as soon as stop_requested() says so,
// however far the deadline still is.
int64_t wait_until(int64_t deadline_ns, bool (*stop_requested)());
