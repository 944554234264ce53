/*
 * phaseshim - an LD_PRELOAD companion for one extra, instrumented run of the
 * player. It times what the player process does without changing it:
 *
 *  - the start-up sleep calibration: the 1 ms sleeps made before the first
 *    message is written;
 *  - the messages: every write() to a descriptor above 2 and its wall time
 *    (read from the vDSO clock only, so that the run is barely slowed; a
 *    write that does not block costs as much CPU as wall time);
 *  - the waits: the sleeps made after the first message, with the thread's
 *    CPU time inside them, and the clock readings (gettimeofday calls).
 *
 * The player thread's CPU time from its first message to its last, less
 * what it spent inside write() and usleep(), is the time it spent reading
 * the clock in the last stretch of its waits (plus a few instructions of
 * bookkeeping per record).
 *
 * PHASESHIM_OUT names the file that receives "key value" lines at exit.
 * PHASESHIM_TIMES, when set, names a file that receives, at exit, one line
 * per message written ("0 NS HEX..." as the monitor logs them, NS the
 * CLOCK_MONOTONIC time at which write() was entered), so that a run into
 * /dev/null can be timed without any reader.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/resource.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "clock.h"

static ssize_t (*real_write)(int, const void *, size_t);
static int (*real_usleep)(useconds_t);
static int (*real_gettimeofday)(struct timeval *, void *);

static long long init_ns, calib_first_ns = -1, calib_last_ns = -1;
static long calib_sleeps;
static long long first_write_ns = -1, last_write_ns = -1;
static long long first_write_cpu = -1;
static long writes;
static long long write_wall_ns;
static long wait_sleeps;
static long long wait_sleep_cpu_ns, wait_sleep_wall_ns;
static long long clock_reads, clock_reads_after_first_write;
/* the calibration's sum as the player forms it, and the wait sleeps that
   ran past the margin it yields (those can end a wait late) */
static long long calib_sum_us;
static long long overhead_us = 2050;
static long long long_sleeps, long_sleep_excess_ns;
static long long sleep_hist[6]; /* <=1.1, <=1.25, <=1.5, <=2, <=5, >5 ms */

/* Messages noted for PHASESHIM_TIMES: entry time and up to 3 bytes. */
struct noted {
	long long ns;
	unsigned char bytes[3];
	unsigned char count;
};
#define MAX_NOTED (1 << 20)
static struct noted *noted;
static long noted_count;

/* The calling thread's CPU time in nanoseconds. */
static long long thread_cpu_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
	return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

__attribute__((constructor)) static void shim_init(void)
{
	real_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
	real_usleep = (int (*)(useconds_t))dlsym(RTLD_NEXT, "usleep");
	real_gettimeofday = (int (*)(struct timeval *, void *))dlsym(RTLD_NEXT, "gettimeofday");
	init_ns = now_ns();
	if (getenv("PHASESHIM_TIMES"))
		noted = calloc(MAX_NOTED, sizeof *noted);
}

ssize_t write(int fd, const void *buf, size_t count)
{
	if (fd <= 2)
		return real_write(fd, buf, count);
	long long t0 = now_ns();
	if (first_write_ns < 0) {
		first_write_cpu = thread_cpu_ns();
		first_write_ns = t0 = now_ns();
	}
	if (noted && noted_count < MAX_NOTED) {
		struct noted *n = &noted[noted_count++];
		n->ns = t0;
		n->count = count < 3 ? (unsigned char)count : 3;
		for (int i = 0; i < n->count; i++)
			n->bytes[i] = ((const unsigned char *)buf)[i];
	}
	ssize_t r = real_write(fd, buf, count);
	long long t1 = now_ns();
	last_write_ns = t1;
	writes++;
	write_wall_ns += t1 - t0;
	return r;
}

int usleep(useconds_t usec)
{
	if (first_write_ns < 0) {
		long long t0 = now_ns();
		int r = real_usleep(usec);
		long long t1 = now_ns();
		if (calib_first_ns < 0)
			calib_first_ns = t0;
		calib_last_ns = t1;
		calib_sleeps++;
		calib_sum_us += (t1 - t0) / 1000;
		if (calib_sleeps == 50)
			overhead_us = calib_sum_us / 50 + calib_sum_us / 400;
		return r;
	}
	long long c0 = thread_cpu_ns(), t0 = now_ns();
	int r = real_usleep(usec);
	long long t1 = now_ns(), c1 = thread_cpu_ns();
	wait_sleeps++;
	wait_sleep_cpu_ns += c1 - c0;
	wait_sleep_wall_ns += t1 - t0;
	long long len = t1 - t0;
	static const long long edges[5] = {1100000, 1250000, 1500000, 2000000, 5000000};
	int b = 0;
	while (b < 5 && len > edges[b])
		b++;
	sleep_hist[b]++;
	if (len > overhead_us * 1000) {
		long_sleeps++;
		long_sleep_excess_ns += len - overhead_us * 1000;
	}
	return r;
}

int gettimeofday(struct timeval *tv, void *tz)
{
	clock_reads++;
	if (first_write_ns >= 0)
		clock_reads_after_first_write++;
	return real_gettimeofday(tv, tz);
}

/* Writes the noted messages in the monitor's log format. */
static void write_times(const char *path)
{
	FILE *f = fopen(path, "w");
	if (!f)
		return;
	for (long i = 0; i < noted_count; i++) {
		fprintf(f, "0 %lld", noted[i].ns);
		for (int b = 0; b < noted[i].count; b++)
			fprintf(f, " %02X", noted[i].bytes[b]);
		fputc('\n', f);
	}
	fclose(f);
}

__attribute__((destructor)) static void shim_report(void)
{
	const char *times = getenv("PHASESHIM_TIMES");
	if (times && noted)
		write_times(times);
	const char *path = getenv("PHASESHIM_OUT");
	if (!path)
		return;
	FILE *f = fopen(path, "w");
	if (!f)
		return;
	long long end_ns = now_ns();
	fprintf(f, "init_ns %lld\nend_ns %lld\n", init_ns, end_ns);
	fprintf(f, "calib_first_ns %lld\ncalib_last_ns %lld\ncalib_sleeps %ld\n", calib_first_ns, calib_last_ns,
		calib_sleeps);
	fprintf(f, "first_write_ns %lld\nlast_write_ns %lld\nwrites %ld\n", first_write_ns, last_write_ns, writes);
	/* the writer has ended by now: its CPU time is the process's less this
	   (main) thread's, and from its first message on less what it used before */
	struct rusage self;
	getrusage(RUSAGE_SELF, &self);
	long long process_ns = ((long long)self.ru_utime.tv_sec + self.ru_stime.tv_sec) * 1000000000LL +
			       ((long long)self.ru_utime.tv_usec + self.ru_stime.tv_usec) * 1000LL;
	long long main_ns = thread_cpu_ns();
	fprintf(f, "write_wall_ns %lld\n", write_wall_ns);
	fprintf(f, "process_cpu_ns %lld\nmain_cpu_ns %lld\n", process_ns, main_ns);
	fprintf(f, "play_cpu_ns %lld\n", process_ns - main_ns - first_write_cpu);
	fprintf(f, "wait_sleeps %ld\nwait_sleep_cpu_ns %lld\nwait_sleep_wall_ns %lld\n", wait_sleeps,
		wait_sleep_cpu_ns, wait_sleep_wall_ns);
	fprintf(f, "clock_reads %lld\nclock_reads_after_first_write %lld\n", clock_reads,
		clock_reads_after_first_write);
	fprintf(f, "overhead_us %lld\nlong_sleeps %lld\nlong_sleep_excess_ns %lld\n", overhead_us, long_sleeps,
		long_sleep_excess_ns);
	for (int b = 0; b < 6; b++)
		fprintf(f, "sleep_hist%d %lld\n", b, sleep_hist[b]);
	fclose(f);
}
