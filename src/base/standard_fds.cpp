// Base, standard descriptors: /dev/null in place of a closed one.
#include "base/standard_fds.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// Descriptors are taken lowest first, so filling 0 to 2 in order leaves
// each /dev/null on the number it was opened for.
void fill_standard_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}
