// Playback, priority: first-in-first-out scheduling for the player thread,
// so a busy machine delays its wake-ups by microseconds rather than by a
// time slice of whatever else runs.
#include "player/priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

namespace {

// Above ordinary threads and below the system's own real-time work (which
// sits at 50 and up), so the player cannot starve interrupts or audio servers.
constexpr int PLAYER_PRIORITY = 10;

// Asks for the given priority; false when the system refuses.
bool set_fifo_priority(int priority) {
  sched_param param = {};
  param.sched_priority = priority;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

}  // namespace

// A user whose limit is below the player's priority gets the limit.
bool raise_to_real_time() {
  if (set_fifo_priority(PLAYER_PRIORITY)) return true;
#if defined(RLIMIT_RTPRIO)
  rlimit limit;
  if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > 0 &&
      limit.rlim_cur < static_cast<rlim_t>(PLAYER_PRIORITY)) {
    return set_fifo_priority(static_cast<int>(limit.rlim_cur));
  }
#endif
  return false;
}

void drop_real_time() {
  sched_param param = {};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}
