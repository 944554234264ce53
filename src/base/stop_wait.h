// Base, waits beside the stop: the one poll that every thread uses to wait
// for its descriptors, a time, or what the run raises, whichever comes first.
#pragma once

#include <cstdint>
#include <poll.h>

// What may end a wait besides its descriptors and its time.
enum WaitEndsOn : unsigned {
  ENDS_ON_NEITHER = 0,  // only the descriptors and the time
  ENDS_ON_STOP = 1,
  ENDS_ON_PAUSE = 2,
  ENDS_ON_STOP_OR_PAUSE = 3,
};

// How a wait ended.
enum WaitEnd { WAIT_READY, WAIT_TIMED_OUT, WAIT_STOP, WAIT_PAUSE };

// Most descriptors one wait watches besides the stop's pipe.
constexpr unsigned MAX_WAIT_FDS = 8;

// Waits until one of the count descriptors is ready (their revents then
// say which; a negative fd is not watched), until timeout_ms milliseconds
// have passed (-1: no limit), or until what ends names is raised, looked at
// before the first poll and after every wake. A pause that does not end
// the wait is looked at again every 10 ms instead of waking on the pipe,
// which stays readable until the pause is taken; a stop that does not end
// it stops the pipe being watched.
WaitEnd wait_beside_stop(pollfd* fds, unsigned count, int timeout_ms, unsigned ends);
