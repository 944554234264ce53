/*
 * pausedet - the pause detector that runs beside every timed playback.
 *
 * Sleeps 1 ms at a time and logs every wake-up that comes more than the
 * threshold (2 ms by default) late: a stretch in which the whole machine, or
 * at least this process, did not run. The harness starts it at real-time
 * priority when it can, so that a CPU hog beside it cannot make it late and
 * only pauses of the machine itself are logged.
 *
 * Usage: pausedet LOGFILE [THRESHOLD_US]
 * Log lines: "EXPECTED_NS WOKE_NS LATE_NS" on CLOCK_MONOTONIC; the first
 * line, "start NS", marks when watching began. Ends on SIGTERM or SIGINT.
 */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "clock.h"

static volatile sig_atomic_t stopping;

/* Ends the loop at its next wake-up. */
static void on_stop(int sig) {
  (void)sig;
  stopping = 1;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: pausedet LOGFILE [THRESHOLD_US]\n");
    return 2;
  }
  long long threshold = (argc > 2 ? atoll(argv[2]) : 2000) * 1000LL;
  FILE* log = fopen(argv[1], "w");
  if (!log) {
    perror(argv[1]);
    return 1;
  }
  signal(SIGTERM, on_stop);
  signal(SIGINT, on_stop);
  const struct timespec step = {0, 1000000};
  long long before = now_ns();
  fprintf(log, "start %lld\n", before);
  fflush(log);
  while (!stopping) {
    nanosleep(&step, NULL);
    long long woke = now_ns();
    long long late = woke - before - 1000000;
    /* every pause is written at once so that a killed run keeps it */
    if (late > threshold) {
      fprintf(log, "%lld %lld %lld\n", before + 1000000, woke, late);
      fflush(log);
    }
    before = woke;
  }
  fprintf(log, "end %lld\n", now_ns());
  fclose(log);
  return 0;
}
