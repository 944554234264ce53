/*
 * runstat - runs a command and prints what it cost: wall time, user and
 * system CPU time and peak resident set size, from wait4() of the child.
 *
 * A small launcher of its own is needed because Linux carries a process's
 * peak RSS across execve(): a child started by a big parent (the harness's
 * Python) would report at least the parent's size.
 *
 * Usage: runstat OUTFILE COMMAND [ARG...]
 * OUTFILE gets "wall_ns N\nuser_us N\nsys_us N\nmaxrss_kib N\nstatus N\n".
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "clock.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: runstat OUTFILE COMMAND [ARG...]\n");
    return 2;
  }
  long long start = now_ns();
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  if (pid < 0) {
    perror("fork");
    return 1;
  }
  int status;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) < 0) {
    perror("wait4");
    return 1;
  }
  long long wall = now_ns() - start;
  FILE* out = fopen(argv[1], "w");
  if (!out) {
    perror(argv[1]);
    return 1;
  }
  fprintf(out, "wall_ns %lld\nuser_us %lld\nsys_us %lld\nmaxrss_kib %ld\nstatus %d\n", wall,
          (long long)ru.ru_utime.tv_sec * 1000000 + ru.ru_utime.tv_usec,
          (long long)ru.ru_stime.tv_sec * 1000000 + ru.ru_stime.tv_usec, ru.ru_maxrss,
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  fclose(out);
  return 0;
}
