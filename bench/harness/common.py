"""Shared pieces of the harness: starting and reaping processes with their
resource usage, real-time priority for the instruments, and statistics."""
import os
import shutil
import signal
import subprocess
import time


def percentile(values, p):
    """The p-th percentile (0-100) by linear interpolation; None when empty."""
    if not values:
        return None
    s = sorted(values)
    if len(s) == 1:
        return s[0]
    pos = (len(s) - 1) * p / 100.0
    lo = int(pos)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (pos - lo)


def median(values):
    values = [v for v in values if v is not None]
    return percentile(values, 50) if values else None


_rt_prefix = None


def rt_prefix():
    """chrt -f 80 when this user may use real-time priority, else nothing:
    the reader and the pause detector must not be delayed by the CPU hog."""
    global _rt_prefix
    if _rt_prefix is None:
        chrt = shutil.which("chrt")
        ok = chrt and subprocess.run([chrt, "-f", "80", "true"], capture_output=True).returncode == 0
        _rt_prefix = [chrt, "-f", "80"] if ok else []
    return _rt_prefix


def run_measured(argv, stdout=None, stderr=None, stdin=None, env=None, timeout=None, input_bytes=None):
    """Runs argv to its end; returns a dict with wall seconds, user and sys
    CPU seconds, peak RSS in KiB, the exit status and the start time
    (CLOCK_MONOTONIC ns). A child past its timeout is killed by its pid."""
    start_ns = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    t0 = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=stdout, stderr=stderr,
                            stdin=subprocess.PIPE if input_bytes is not None else stdin, env=env)
    if input_bytes is not None:
        proc.stdin.write(input_bytes)
        proc.stdin.close()
    deadline = None if timeout is None else t0 + timeout
    killed = False
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG if deadline else 0)
        if pid == proc.pid:
            break
        if deadline and time.perf_counter() > deadline:
            os.kill(proc.pid, signal.SIGKILL)
            killed = True
            deadline = None
        time.sleep(0.002)
    wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    return {
        "wall": wall,
        "user": usage.ru_utime,
        "sys": usage.ru_stime,
        "maxrss_kib": usage.ru_maxrss,
        "status": proc.returncode,
        "killed": killed,
        "start_ns": start_ns,
    }


def stop(proc, sig=signal.SIGTERM, grace=5.0):
    """Ends a helper process that the harness started, by its pid."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(sig)
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def fmt(value, digits=0):
    """A figure for a table: '-' when missing."""
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    return ("%." + str(digits) + "f") % value


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def cpu_times():
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    return sum(fields), fields[3] + fields[4]


def machine_busy(interval=0.5):
    """The share of all cores' time that was not idle over interval seconds."""
    total0, idle0 = cpu_times()
    time.sleep(interval)
    total1, idle1 = cpu_times()
    return 1.0 - (idle1 - idle0) / max(1, total1 - total0)


class QuietWait:
    """Waits before an idle-machine run until other work leaves the machine
    (under 15 % of all cores busy), within one time budget for the whole
    command; returns the share measured last."""

    def __init__(self, budget_s):
        self.left = budget_s

    def wait(self):
        busy = machine_busy()
        told = False
        while busy > 0.15 and self.left > 0:
            if not told:
                print("waiting for the machine to quieten (%.0f %% busy; %d s of waiting left)" %
                      (100 * busy, self.left), flush=True)
                told = True
            time.sleep(2.0)
            self.left -= 2.5
            busy = machine_busy()
        return busy
