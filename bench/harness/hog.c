/*
 * hog - keeps one core busy until it is sent SIGTERM; the harness starts
 * one per core for the busy-machine runs.
 */
#include <signal.h>

static volatile sig_atomic_t stopping;

/* Ends the busy loop. */
static void on_stop(int sig) {
  (void)sig;
  stopping = 1;
}

int main(void) {
  signal(SIGTERM, on_stop);
  signal(SIGINT, on_stop);
  volatile unsigned long spin = 0;
  while (!stopping) spin++;
  return 0;
}
