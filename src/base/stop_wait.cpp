// Base, waits beside the stop.
#include "base/stop_wait.h"

#include <algorithm>
#include <cerrno>

#include "base/clock.h"
#include "base/life_cycle.h"

namespace {

// How often a wait that a raised pause does not end looks again.
constexpr int PAUSE_LOOK_MSEC = 10;

// Whether what is raised now ends a wait that ends on ends, and how.
bool ended_by_raised(unsigned ends, WaitEnd* end) {
  Raised now = raised();
  if (now == RAISED_STOP && (ends & ENDS_ON_STOP) != 0) *end = WAIT_STOP;
  else if (now == RAISED_PAUSE && (ends & ENDS_ON_PAUSE) != 0) *end = WAIT_PAUSE;
  else return false;
  return true;
}

}  // namespace

WaitEnd wait_beside_stop(pollfd* fds, unsigned count, int timeout_ms, unsigned ends) {
  count = std::min(count, MAX_WAIT_FDS);
  int64_t deadline = timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms;
  for (;;) {
    WaitEnd end;
    if (ended_by_raised(ends, &end)) return end;
    int left = -1;
    if (deadline >= 0) left = static_cast<int>(std::max<int64_t>(0, deadline - monotonic_ms()));
    // The pipe is worth watching only while nothing is raised: a raised
    // stop or pause keeps it readable.
    Raised now = raised();
    if (now == RAISED_PAUSE) left = left < 0 ? PAUSE_LOOK_MSEC : std::min(left, PAUSE_LOOK_MSEC);
    pollfd watched[MAX_WAIT_FDS + 1];
    for (unsigned i = 0; i < count; ++i) watched[i] = {fds[i].fd, fds[i].events, 0};
    watched[count] = {now == RAISED_NOTHING ? stop_pipe_fd() : -1, POLLIN, 0};
    int ready = poll(watched, count + 1, left);
    bool any = false;
    for (unsigned i = 0; i < count; ++i) {
      fds[i].revents = watched[i].revents;
      any = any || watched[i].revents != 0;
    }
    if (ready > 0 && any) return WAIT_READY;
    if (ready < 0 && errno != EINTR) {
      // A poll that fails (no memory) counts every descriptor as ready: the
      // caller's read or write then says what is wrong, instead of a spin here.
      for (unsigned i = 0; i < count; ++i) fds[i].revents = fds[i].fd >= 0 ? POLLERR : 0;
      return WAIT_READY;
    }
    if (deadline >= 0 && monotonic_ms() >= deadline) return WAIT_TIMED_OUT;
  }
}
