/*
 * floorplay - the floor of a playback harness: a plain loop that sleeps to
 * absolute deadlines on the monotonic clock and writes each message with one
 * write(). Whatever error it shows comes from the machine and the reader,
 * not from any scheduling scheme.
 *
 * Usage: floorplay SCHEDULE NODE
 * SCHEDULE lines: "MICROSECONDS HEXBYTES" in sending order, times counted
 * from the first message.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

struct message {
  long long due_us;
  unsigned char bytes[8];
  int count;
};

/* Reads the schedule into one array; returns the number of messages or -1. */
static long read_schedule(const char* path, struct message** out) {
  FILE* f = fopen(path, "r");
  if (!f) {
    perror(path);
    return -1;
  }
  long cap = 1024, n = 0;
  struct message* list = malloc(sizeof *list * (size_t)cap);
  char hex[64];
  long long due;
  while (list && fscanf(f, "%lld %63s", &due, hex) == 2) {
    if (n == cap) {
      cap *= 2;
      list = realloc(list, sizeof *list * (size_t)cap);
      if (!list) break;
    }
    struct message* m = &list[n++];
    m->due_us = due;
    m->count = 0;
    for (size_t i = 0; hex[i] && hex[i + 1] && m->count < 8; i += 2) {
      unsigned v;
      sscanf(hex + i, "%2x", &v);
      m->bytes[m->count++] = (unsigned char)v;
    }
  }
  fclose(f);
  *out = list;
  return list ? n : -1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: floorplay SCHEDULE NODE\n");
    return 2;
  }
  struct message* list;
  long n = read_schedule(argv[1], &list);
  if (n < 0) return 1;
  int fd = open(argv[2], O_WRONLY | O_NOCTTY);
  if (fd < 0) {
    perror(argv[2]);
    return 1;
  }
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long i = 0; i < n; i++) {
    long long ns = start.tv_nsec + list[i].due_us * 1000LL;
    struct timespec due = {start.tv_sec + (time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL) != 0) {
    }
    if (write(fd, list[i].bytes, (size_t)list[i].count) < 0) perror("write");
  }
  close(fd);
  free(list);
  return 0;
}
