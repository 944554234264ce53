/*
 * phaseshim - an LD_PRELOAD companion for one extra, instrumented run of the
 * player. It times what the player process does without changing it:
 *
 *  - the start-up sleep calibration: the 1 ms sleeps made before the first
 *    message is written;
 *  - the messages: every write() to a descriptor above 2, its wall time and
 *    the calling thread's CPU time inside it;
 *  - the waits: the sleeps made after the first message, with the thread's
 *    CPU time inside them, and the clock readings (gettimeofday calls).
 *
 * The player thread's CPU time from its first message to its last, less
 * what it spent inside write() and usleep(), is the time it spent reading
 * the clock in the last stretch of its waits (plus a few instructions of
 * bookkeeping per record).
 *
 * PHASESHIM_OUT names the file that receives "key value" lines at exit.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static ssize_t (*real_write)(int, const void *, size_t);
static int (*real_usleep)(useconds_t);
static int (*real_gettimeofday)(struct timeval *, void *);

static long long init_ns, calib_first_ns = -1, calib_last_ns = -1;
static long calib_sleeps;
static long long first_write_ns = -1, last_write_ns = -1;
static long long first_write_cpu = -1, last_write_cpu = -1;
static long writes;
static long long write_wall_ns, write_cpu_ns;
static long wait_sleeps;
static long long wait_sleep_cpu_ns, wait_sleep_wall_ns;
static long long clock_reads, clock_reads_after_first_write;

/* The monotonic clock in nanoseconds. */
static long long mono_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

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
	init_ns = mono_ns();
}

ssize_t write(int fd, const void *buf, size_t count)
{
	if (fd <= 2)
		return real_write(fd, buf, count);
	long long c0 = thread_cpu_ns(), t0 = mono_ns();
	ssize_t r = real_write(fd, buf, count);
	long long t1 = mono_ns(), c1 = thread_cpu_ns();
	if (first_write_ns < 0) {
		first_write_ns = t0;
		first_write_cpu = c0;
	}
	last_write_ns = t1;
	last_write_cpu = c1;
	writes++;
	write_wall_ns += t1 - t0;
	write_cpu_ns += c1 - c0;
	return r;
}

int usleep(useconds_t usec)
{
	if (first_write_ns < 0) {
		long long t0 = mono_ns();
		int r = real_usleep(usec);
		if (calib_first_ns < 0)
			calib_first_ns = t0;
		calib_last_ns = mono_ns();
		calib_sleeps++;
		return r;
	}
	long long c0 = thread_cpu_ns(), t0 = mono_ns();
	int r = real_usleep(usec);
	long long t1 = mono_ns(), c1 = thread_cpu_ns();
	wait_sleeps++;
	wait_sleep_cpu_ns += c1 - c0;
	wait_sleep_wall_ns += t1 - t0;
	return r;
}

int gettimeofday(struct timeval *tv, void *tz)
{
	clock_reads++;
	if (first_write_ns >= 0)
		clock_reads_after_first_write++;
	return real_gettimeofday(tv, tz);
}

__attribute__((destructor)) static void shim_report(void)
{
	const char *path = getenv("PHASESHIM_OUT");
	if (!path)
		return;
	FILE *f = fopen(path, "w");
	if (!f)
		return;
	long long end_ns = mono_ns();
	fprintf(f, "init_ns %lld\nend_ns %lld\n", init_ns, end_ns);
	fprintf(f, "calib_first_ns %lld\ncalib_last_ns %lld\ncalib_sleeps %ld\n", calib_first_ns, calib_last_ns,
		calib_sleeps);
	fprintf(f, "first_write_ns %lld\nlast_write_ns %lld\nwrites %ld\n", first_write_ns, last_write_ns, writes);
	fprintf(f, "write_wall_ns %lld\nwrite_cpu_ns %lld\n", write_wall_ns, write_cpu_ns);
	fprintf(f, "play_cpu_ns %lld\n", last_write_cpu - first_write_cpu);
	fprintf(f, "wait_sleeps %ld\nwait_sleep_cpu_ns %lld\nwait_sleep_wall_ns %lld\n", wait_sleeps,
		wait_sleep_cpu_ns, wait_sleep_wall_ns);
	fprintf(f, "clock_reads %lld\nclock_reads_after_first_write %lld\n", clock_reads,
		clock_reads_after_first_write);
	fclose(f);
}
