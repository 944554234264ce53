/*
 * phaseshim - an LD_PRELOAD companion for one extra, instrumented run of the
 * player. It times what the player process does without changing it:
 *
 *  - the calibration: the sleeps made before the first message is written;
 *  - the messages: every write() to a descriptor above 2 and its wall time
 *    (a write that does not block costs as much CPU as wall time);
 *  - the waits: the sleeps the player thread (the thread of the first
 *    message) makes after its first message, with its CPU time inside them
 *    and how late each one woke, and its clock readings.
 *
 * Sleeps are usleep(), nanosleep() and clock_nanosleep(), relative or to an
 * absolute deadline; clock readings are clock_gettime(CLOCK_MONOTONIC) and
 * gettimeofday() calls of the player thread. The player thread's CPU time
 * from its first message to its last, less what it spent inside write() and
 * inside its sleeps, is the time its clock loop took: the readings of the
 * last stretch of each wait, plus a few instructions per record.
 *
 * The shim reads the clock through the C library's own clock_gettime, so its
 * readings are never counted as the player's.
 *
 * PHASESHIM_OUT names the file that receives "key value" lines at exit.
 * PHASESHIM_TIMES, when set, names a file that receives, at exit, one line
 * per message written ("0 NS HEX..." as the monitor logs them, NS the
 * CLOCK_MONOTONIC time at which write() was entered), so that a run into
 * /dev/null can be timed without any reader.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static ssize_t (*real_write)(int, const void*, size_t);
static int (*real_usleep)(useconds_t);
static int (*real_nanosleep)(const struct timespec*, struct timespec*);
static int (*real_clock_nanosleep)(clockid_t, int, const struct timespec*, struct timespec*);
static int (*real_clock_gettime)(clockid_t, struct timespec*);
static int (*real_gettimeofday)(struct timeval*, void*);

static long long init_ns;
static long long calib_first_ns = -1, calib_last_ns = -1, calib_wall_ns;
static long calib_sleeps;
/* Set on the thread that writes the first message: a thread-local flag, as
   cheap to test as a clock reading is to make, where gettid() is a call
   into the kernel that would slow the clock loop it measures. */
static __thread int on_player_thread __attribute__((tls_model("initial-exec")));
static int player_is_main;
static long long first_write_ns = -1, last_write_ns = -1, first_write_cpu = -1;
static long writes;
static long long write_wall_ns;
static long wait_sleeps;
static long long wait_sleep_cpu_ns, wait_sleep_wall_ns;
static long long clock_reads, clock_reads_all;
/* How late the wait sleeps woke past the time they asked for. */
#define LATE_BINS 6
static const long long late_edges_ns[LATE_BINS - 1] = {10000, 50000, 100000, 250000, 1000000};
static long long late_hist[LATE_BINS];

/* Messages noted for PHASESHIM_TIMES: entry time and up to 3 bytes. */
struct noted {
  long long ns;
  unsigned char bytes[3];
  unsigned char count;
};
#define MAX_NOTED (1 << 20)
static struct noted* noted;
static long noted_count;

/* Finds the C library's clock_gettime, also when called before the constructor. */
static int libc_clock_gettime(clockid_t clock, struct timespec* ts) {
  if (!real_clock_gettime) real_clock_gettime = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  return real_clock_gettime(clock, ts);
}

static long long ts_ns(const struct timespec* ts) { return (long long)ts->tv_sec * 1000000000LL + ts->tv_nsec; }

/* The monotonic clock in nanoseconds, read without being counted. */
static long long now_ns(void) {
  struct timespec ts;
  libc_clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts_ns(&ts);
}

/* The calling thread's CPU time in nanoseconds. */
static long long thread_cpu_ns(void) {
  struct timespec ts;
  libc_clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts_ns(&ts);
}

__attribute__((constructor)) static void shim_init(void) {
  real_write = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  real_usleep = (int (*)(useconds_t))dlsym(RTLD_NEXT, "usleep");
  real_nanosleep = (int (*)(const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "nanosleep");
  real_clock_nanosleep = (int (*)(clockid_t, int, const struct timespec*, struct timespec*))dlsym(RTLD_NEXT,
                                                                                                  "clock_nanosleep");
  real_gettimeofday = (int (*)(struct timeval*, void*))dlsym(RTLD_NEXT, "gettimeofday");
  init_ns = now_ns();
  if (getenv("PHASESHIM_TIMES")) noted = calloc(MAX_NOTED, sizeof *noted);
}

/* True on the player thread once it has written its first message. */
static int in_playback(void) { return on_player_thread; }

ssize_t write(int fd, const void* buf, size_t count) {
  if (fd <= 2) return real_write(fd, buf, count);
  long long t0 = now_ns();
  if (first_write_ns < 0) {
    on_player_thread = 1;
    player_is_main = gettid() == getpid();
    first_write_cpu = thread_cpu_ns();
    first_write_ns = t0 = now_ns();
  }
  if (noted && noted_count < MAX_NOTED) {
    struct noted* n = &noted[noted_count++];
    n->ns = t0;
    n->count = count < 3 ? (unsigned char)count : 3;
    for (int i = 0; i < n->count; i++) n->bytes[i] = ((const unsigned char*)buf)[i];
  }
  ssize_t r = real_write(fd, buf, count);
  long long t1 = now_ns();
  last_write_ns = t1;
  writes++;
  write_wall_ns += t1 - t0;
  return r;
}

/* Files one sleep that began at t0, ended at t1 and was asked to end at due. */
static void note_sleep(long long t0, long long t1, long long due, long long cpu) {
  if (first_write_ns < 0) {
    if (calib_first_ns < 0) calib_first_ns = t0;
    calib_last_ns = t1;
    calib_sleeps++;
    calib_wall_ns += t1 - t0;
    return;
  }
  if (!in_playback()) return;
  wait_sleeps++;
  wait_sleep_cpu_ns += cpu;
  wait_sleep_wall_ns += t1 - t0;
  int b = 0;
  while (b < LATE_BINS - 1 && t1 - due > late_edges_ns[b]) b++;
  late_hist[b]++;
}

int usleep(useconds_t usec) {
  long long c0 = thread_cpu_ns(), t0 = now_ns();
  int r = real_usleep(usec);
  long long t1 = now_ns();
  note_sleep(t0, t1, t0 + usec * 1000LL, thread_cpu_ns() - c0);
  return r;
}

int nanosleep(const struct timespec* req, struct timespec* rem) {
  long long c0 = thread_cpu_ns(), t0 = now_ns();
  int r = real_nanosleep(req, rem);
  long long t1 = now_ns();
  note_sleep(t0, t1, t0 + ts_ns(req), thread_cpu_ns() - c0);
  return r;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req, struct timespec* rem) {
  long long c0 = thread_cpu_ns(), t0 = now_ns();
  long long due = t0 + ts_ns(req);
  if (flags & TIMER_ABSTIME) {
    /* a deadline on another clock is moved onto the monotonic one */
    struct timespec on_clock;
    libc_clock_gettime(clock, &on_clock);
    due = t0 + ts_ns(req) - ts_ns(&on_clock);
  }
  int r = real_clock_nanosleep(clock, flags, req, rem);
  long long t1 = now_ns();
  note_sleep(t0, t1, due, thread_cpu_ns() - c0);
  return r;
}

int clock_gettime(clockid_t clock, struct timespec* ts) {
  if (clock == CLOCK_MONOTONIC) {
    clock_reads_all++;
    if (in_playback()) clock_reads++;
  }
  return libc_clock_gettime(clock, ts);
}

int gettimeofday(struct timeval* tv, void* tz) {
  clock_reads_all++;
  if (in_playback()) clock_reads++;
  return real_gettimeofday(tv, tz);
}

/* Writes the noted messages in the monitor's log format. */
static void write_times(const char* path) {
  FILE* f = fopen(path, "w");
  if (!f) return;
  for (long i = 0; i < noted_count; i++) {
    fprintf(f, "0 %lld", noted[i].ns);
    for (int b = 0; b < noted[i].count; b++) fprintf(f, " %02X", noted[i].bytes[b]);
    fputc('\n', f);
  }
  fclose(f);
}

/* The player thread's CPU time from its first message on. It has ended by
   now: unless it is this (main) thread, its time is the process's less this
   thread's. */
static long long play_cpu_ns(void) {
  if (first_write_ns < 0) return 0;
  if (player_is_main) return thread_cpu_ns() - first_write_cpu;
  struct rusage self;
  getrusage(RUSAGE_SELF, &self);
  long long process_ns = ((long long)self.ru_utime.tv_sec + self.ru_stime.tv_sec) * 1000000000LL +
                         ((long long)self.ru_utime.tv_usec + self.ru_stime.tv_usec) * 1000LL;
  return process_ns - thread_cpu_ns() - first_write_cpu;
}

__attribute__((destructor)) static void shim_report(void) {
  const char* times = getenv("PHASESHIM_TIMES");
  if (times && noted) write_times(times);
  const char* path = getenv("PHASESHIM_OUT");
  if (!path) return;
  FILE* f = fopen(path, "w");
  if (!f) return;
  fprintf(f, "init_ns %lld\nend_ns %lld\n", init_ns, now_ns());
  fprintf(f, "calib_first_ns %lld\ncalib_last_ns %lld\ncalib_sleeps %ld\ncalib_wall_ns %lld\n", calib_first_ns,
          calib_last_ns, calib_sleeps, calib_wall_ns);
  fprintf(f, "first_write_ns %lld\nlast_write_ns %lld\nwrites %ld\nwrite_wall_ns %lld\n", first_write_ns, last_write_ns,
          writes, write_wall_ns);
  fprintf(f, "play_cpu_ns %lld\n", play_cpu_ns());
  fprintf(f, "wait_sleeps %ld\nwait_sleep_cpu_ns %lld\nwait_sleep_wall_ns %lld\n", wait_sleeps, wait_sleep_cpu_ns,
          wait_sleep_wall_ns);
  fprintf(f, "clock_reads %lld\nclock_reads_all %lld\n", clock_reads, clock_reads_all);
  for (int b = 0; b < LATE_BINS; b++) fprintf(f, "late_hist%d %lld\n", b, late_hist[b]);
  fclose(f);
}
