"""Shared pieces of the harness: statistics, starting and reaping processes
with their resource use, real-time priority for the instruments, the
scheduling policy of a running player, and how figures are printed."""
import glob
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
    pos = (len(s) - 1) * p / 100.0
    lo = int(pos)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (pos - lo)


def median(values):
    return percentile([v for v in values if v is not None], 50)


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def fmt(value, digits=0):
    """A figure for a table: '-' when missing."""
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    return ("%." + str(digits) + "f") % value


def us(value):
    """Microseconds for a table: one decimal below 100."""
    return fmt(value, 1 if value is not None and abs(value) < 100 else 0)


_rt_prefix = None


def rt_prefix():
    """chrt -f 80 when this user may use real-time priority, else nothing:
    the reader and the pause detectors must not be delayed by the CPU hog."""
    global _rt_prefix
    if _rt_prefix is None:
        chrt = shutil.which("chrt")
        ok = chrt and subprocess.run([chrt, "-f", "80", "true"], capture_output=True).returncode == 0
        _rt_prefix = [chrt, "-f", "80"] if ok else []
    return _rt_prefix


# Starts a program with RLIMIT_RTPRIO at 0 and without CAP_SYS_NICE, as a
# user outside the audio group runs it: it cannot get real-time priority.
NO_RT_PREFIX = ["prlimit", "--rtprio=0", "setpriv", "--inh-caps=-sys_nice", "--bounding-set=-sys_nice", "--"]


def no_rt_check():
    """Whether NO_RT_PREFIX works here and really denies SCHED_FIFO, while
    real-time priority is allowed without it: (usable, reason)."""
    if not rt_prefix():
        return False, "real-time priority is not allowed here at all: every run is already without it"
    if not all(shutil.which(p) for p in ("prlimit", "setpriv", "chrt")):
        return False, "prlimit, setpriv or chrt missing"
    wrapped = subprocess.run(NO_RT_PREFIX + ["chrt", "-f", "1", "true"], capture_output=True, text=True)
    if wrapped.returncode == 0:
        return False, "chrt -f 1 still succeeds under the wrapper"
    if "Operation not permitted" not in wrapped.stderr and "failed to set pid" not in wrapped.stderr:
        return False, "the wrapper itself failed: " + wrapped.stderr.strip()[:200]
    return True, "chrt -f 1 fails under the wrapper: %s" % wrapped.stderr.strip().splitlines()[-1][:120]


POLICIES = {0: "other", 1: "FIFO", 2: "RR", 3: "batch", 5: "idle", 6: "deadline"}


def thread_policies(pid):
    """The scheduling policies of a process's threads, from /proc."""
    found = set()
    for path in glob.glob("/proc/%d/task/*/stat" % pid):
        try:
            with open(path) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        # fields from the state on: the policy is the stat file's 41st field
        if len(fields) > 38:
            found.add(POLICIES.get(int(fields[38]), fields[38]))
    return found


def run_measured(argv, stdout=None, stderr=None, env=None, timeout=None, input_bytes=None, probe_after=None):
    """Runs argv to its end; returns wall seconds, user and sys CPU seconds,
    peak RSS in KiB, the exit status and the start time (CLOCK_MONOTONIC ns).
    With probe_after, the threads' scheduling policies are read once that
    many seconds in. A child past its timeout is killed by its pid."""
    start_ns = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    t0 = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=stdout, stderr=stderr,
                            stdin=subprocess.PIPE if input_bytes is not None else None, env=env)
    if input_bytes is not None:
        proc.stdin.write(input_bytes)
        proc.stdin.close()
    deadline = None if timeout is None else t0 + timeout
    policies = None
    killed = False
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            break
        now = time.perf_counter()
        if probe_after is not None and policies is None and now - t0 >= probe_after:
            policies = thread_policies(proc.pid)
        if deadline and now > deadline:
            os.kill(proc.pid, signal.SIGKILL)
            killed = True
            deadline = None
        time.sleep(0.002)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return {
        "wall": time.perf_counter() - t0,
        "user": usage.ru_utime,
        "sys": usage.ru_stime,
        "maxrss_kib": usage.ru_maxrss,
        "status": proc.returncode,
        "killed": killed,
        "start_ns": start_ns,
        "policies": sorted(policies) if policies is not None else None,
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
