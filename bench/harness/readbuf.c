/*
 * readbuf - the floor of every loader: reads a whole file into one buffer
 * with a single allocation and as few reads as the kernel allows, and prints
 * the time the read took in nanoseconds ("read_ns N bytes N"). Given a table
 * size, it then also takes that many zeroed bytes and writes into every page
 * of them, the least a loader pays for a fresh event table of that size, and
 * prints that time too ("table_ns N").
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "clock.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: readbuf FILE [TABLE_BYTES]\n");
    return 2;
  }
  long long start = now_ns();
  int fd = open(argv[1], O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    perror(argv[1]);
    return 1;
  }
  size_t size = (size_t)st.st_size;
  unsigned char* buf = malloc(size ? size : 1);
  size_t got = 0;
  while (buf && got < size) {
    ssize_t n = read(fd, buf + got, size - got);
    if (n <= 0) break;
    got += (size_t)n;
  }
  close(fd);
  long long took = now_ns() - start;
  /* touch the bytes so that the read cannot be thought away */
  unsigned sum = 0;
  for (size_t i = 0; buf && i < got; i += 4096) sum += buf[i];
  printf("read_ns %lld bytes %zu sum %u\n", took, got, sum);
  if (argc == 3) {
    size_t table_size = strtoull(argv[2], NULL, 10);
    long long table_start = now_ns();
    unsigned char* table = calloc(table_size ? table_size : 1, 1);
    for (size_t i = 0; table && i < table_size; i += 4096) table[i] = 1;
    long long table_took = now_ns() - table_start;
    printf("table_ns %lld\n", table_took);
    free(table);
  }
  free(buf);
  return got == size ? 0 : 1;
}
