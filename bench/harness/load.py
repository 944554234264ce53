"""Load throughput and memory: the whole player process on files whose every
delta is 0, beside midicsv's parse of the same file and a plain read of it
into one buffer."""
import os
import subprocess

from common import median, run_measured

RECORD_BYTES = 16


def songrelay_argv(songrelay, path):
    return [songrelay, "-q", "-0", "null", "-1", "null", "-2", "null", "-3", "null", path]


def time_songrelay(songrelay, path, env=None):
    return run_measured(songrelay_argv(songrelay, path), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                        env=env, timeout=300)


def time_midicsv(midicsv, path):
    return run_measured([midicsv, path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)


def time_readbuf(readbuf, path, work):
    out = os.path.join(work, "readbuf.out")
    with open(out, "w") as f:
        usage = run_measured([readbuf, path], stdout=f, timeout=60)
    with open(out) as f:
        usage["read_ns"] = int(f.read().split()[1])
    return usage


def design_least_bytes(file_size, records, data_bytes):
    """What the design must hold at its peak: the file image, the event
    table of 16-byte records, and the event data buffer."""
    return file_size + RECORD_BYTES * records + data_bytes


def summarise_runs(runs):
    keys = ["wall", "user", "sys", "maxrss_kib"]
    out = {k: median([r[k] for r in runs]) for k in keys}
    if runs and "read_ns" in runs[0]:
        out["read_ns"] = median([r["read_ns"] for r in runs])
    out["runs"] = len(runs)
    return out
