// Shared state, the stop's wake-up pipe.
#include "song/stop_wake.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Read and write ends; -1 while closed. Written only by the main thread,
// before the threads that poll the read end start and after they end.
int wake_ends[2] = {-1, -1};

// Makes a descriptor non-blocking and closed on exec, so that the signal
// handler's write never waits and no child keeps the pipe.
bool set_wake_flags(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

bool open_stop_wake() {
  if (wake_ends[0] >= 0) return true;
  int ends[2];
  if (pipe(ends) != 0) return false;
  if (!set_wake_flags(ends[0]) || !set_wake_flags(ends[1])) {
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  wake_ends[0] = ends[0];
  wake_ends[1] = ends[1];
  return true;
}

// One byte is enough: nobody reads it, so the end stays readable. A full
// pipe (many stops) already wakes every poll, so a failed write is harmless.
void raise_stop_wake() {
  int fd = wake_ends[1];
  if (fd < 0) return;
  int saved_errno = errno;
  ssize_t ignored = write(fd, "s", 1);
  (void)ignored;
  errno = saved_errno;
}

int stop_wake_fd() { return wake_ends[0]; }

void close_stop_wake() {
  for (int& end : wake_ends) {
    if (end >= 0) close(end);
    end = -1;
  }
}
