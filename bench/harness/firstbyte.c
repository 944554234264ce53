/*
 * firstbyte - how long a player takes from its start to its first byte.
 *
 * Holds a FIFO open for reading before the player starts, as a device's
 * reader is there before any player, takes the monotonic time, starts the
 * player with fork() and execvp(), and stamps the first read that brings
 * bytes. It stamps the first channel message too (a status byte 0x80-0xEF
 * outside a System Exclusive message), since a player may send system
 * messages first. Then it stops the player with SIGTERM and keeps reading
 * until the player has exited, so that the stop never waits on a full FIFO.
 *
 * The reader may run at real-time priority on a core of its own: the player
 * goes back to normal priority before its exec, and -c pins it elsewhere.
 *
 * Usage: firstbyte [-c CPU]... [-e NAME=VALUE]... OUTFILE FIFO COMMAND [ARG...]
 *   -c CPU          a core the player may run on (all the reader's by default)
 *   -e NAME=VALUE   an environment variable for the player alone (a preload)
 * OUTFILE gets "start_ns N\nfirst_ns N\nchannel_ns N\nstatus N\n", times on
 * CLOCK_MONOTONIC, -1 for what did not come within 10 s of the start.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clock.h"

#define GIVE_UP_NS 10000000000LL
#define STOP_BOUND_NS 5000000000LL
#define MAX_SETTINGS 16

struct arrivals {
  long long first_ns, channel_ns;
  int in_sysex;
};

/* Stamps the first bytes and the first channel message among them. */
static void note_bytes(struct arrivals* a, const unsigned char* buf, ssize_t n, long long now) {
  if (a->first_ns < 0) a->first_ns = now;
  for (ssize_t i = 0; i < n && a->channel_ns < 0; i++) {
    unsigned char b = buf[i];
    if (b < 0x80 || b >= 0xF8) continue; /* data, or a real-time byte that may sit inside a System Exclusive */
    if (b == 0xF0) a->in_sysex = 1;
    else if (b >= 0xF1) a->in_sysex = 0;
    else if (!a->in_sysex) a->channel_ns = now;
  }
}

/* In the child: the player's cores, normal priority and its own variables, then the player. */
static void start_player(const cpu_set_t* cpus, char** settings, int nsettings, char** argv) {
  struct sched_param normal = {0};
  sched_setscheduler(0, SCHED_OTHER, &normal);
  if (CPU_COUNT(cpus) > 0 && sched_setaffinity(0, sizeof *cpus, cpus) != 0) perror("sched_setaffinity");
  for (int i = 0; i < nsettings; i++) putenv(settings[i]);
  execvp(argv[0], argv);
  perror(argv[0]);
  _exit(127);
}

int main(int argc, char** argv) {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  char* settings[MAX_SETTINGS];
  int nsettings = 0, opt;
  while ((opt = getopt(argc, argv, "+c:e:")) != -1) {
    if (opt == 'c') CPU_SET(atoi(optarg), &cpus);
    else if (opt == 'e' && nsettings < MAX_SETTINGS && strchr(optarg, '=')) settings[nsettings++] = optarg;
    else optind = argc; /* falls to the usage line */
  }
  if (argc - optind < 3) {
    fprintf(stderr, "usage: firstbyte [-c CPU]... [-e NAME=VALUE]... OUTFILE FIFO COMMAND [ARG...]\n");
    return 2;
  }
  const char* out_path = argv[optind];
  /* non-blocking, so that the open does not wait for the player */
  int fd = open(argv[optind + 1], O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    perror(argv[optind + 1]);
    return 1;
  }
  struct arrivals a = {-1, -1, 0};
  long long start = now_ns();
  pid_t pid = fork();
  if (pid == 0) start_player(&cpus, settings, nsettings, argv + optind + 2);
  if (pid < 0) {
    perror("fork");
    return 1;
  }
  long long stop_sent = -1;
  int status = -1;
  unsigned char buf[4096];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, 10);
    long long now = now_ns();
    if (ready > 0) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) note_bytes(&a, buf, n, now);
      else if (n == 0) poll(NULL, 0, 1); /* the player closed its port: only its exit is left */
    }
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    if (stop_sent < 0 && (a.channel_ns >= 0 || now - start > GIVE_UP_NS)) {
      kill(pid, SIGTERM);
      stop_sent = now;
    } else if (stop_sent >= 0 && now - stop_sent > STOP_BOUND_NS) {
      kill(pid, SIGKILL);
    }
  }
  close(fd);
  FILE* out = fopen(out_path, "w");
  if (!out) {
    perror(out_path);
    return 1;
  }
  fprintf(out, "start_ns %lld\nfirst_ns %lld\nchannel_ns %lld\nstatus %d\n", start, a.first_ns, a.channel_ns,
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  fclose(out);
  return 0;
}
