// Base, pipes: non-blocking, close-on-exec pipes above the standard descriptors.
#include "base/pipe.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Moves a descriptor to lowest_fd or above, non-blocking and closed on
// exec; the new descriptor, or -1 with errno set. The old one is closed.
int settle(int fd, int lowest_fd) {
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, lowest_fd);
  int error = errno;
  close(fd);
  if (moved < 0) {
    errno = error;
    return -1;
  }
  int flags = fcntl(moved, F_GETFL);
  if (flags == -1 || fcntl(moved, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = errno;
    close(moved);
    errno = error;
    return -1;
  }
  return moved;
}

}  // namespace

bool open_quiet_pipe(int ends[2], int lowest_fd) {
  int made[2];
  ends[0] = ends[1] = -1;
  if (pipe(made) != 0) return false;
  int reading = settle(made[0], lowest_fd);
  int error = errno;
  int writing = settle(made[1], lowest_fd);
  if (writing < 0) error = errno;
  if (reading < 0 || writing < 0) {
    if (reading >= 0) close(reading);
    if (writing >= 0) close(writing);
    errno = error;
    return false;
  }
  ends[0] = reading;
  ends[1] = writing;
  return true;
}

void close_quiet_pipe(int ends[2]) {
  for (int i = 0; i < 2; ++i) {
    if (ends[i] >= 0) close(ends[i]);
    ends[i] = -1;
  }
}

void poke_pipe(int write_end) {
  if (write_end < 0) return;
  int saved_errno = errno;
  ssize_t ignored = write(write_end, "w", 1);
  (void)ignored;
  errno = saved_errno;
}

void drain_pipe(int read_end) {
  if (read_end < 0) return;
  char bytes[64];
  while (read(read_end, bytes, sizeof bytes) > 0) {
  }
}
