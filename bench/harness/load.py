"""Load throughput and memory: the whole player process on files whose every
delta is 0, beside midicsv's parse of the same file and a plain read of it
into one buffer."""
import os
import subprocess

from common import median

RECORD_BYTES = 16


def songrelay_argv(songrelay, path):
    return [songrelay, "-q", "-0", "null", "-1", "null", "-2", "null", "-3", "null", path]


# Set by the harness: the launcher that reports a child's own peak RSS.
RUNSTAT = None


def measured(argv, work, stdout=subprocess.DEVNULL):
    """wall, user, sys and peak RSS of argv, measured by runstat."""
    stat_path = os.path.join(work, "runstat.out")
    subprocess.run([RUNSTAT, stat_path] + argv, stdout=stdout, stderr=subprocess.DEVNULL, timeout=300,
                   check=True)
    values = {}
    with open(stat_path) as f:
        for line in f:
            k, v = line.split()
            values[k] = int(v)
    return {"wall": values["wall_ns"] / 1e9, "user": values["user_us"] / 1e6, "sys": values["sys_us"] / 1e6,
            "maxrss_kib": values["maxrss_kib"], "status": values["status"]}


def time_songrelay(songrelay, path, work, preload=None):
    """The whole process; with preload, the shim goes to the player alone
    (through env), not to the launcher."""
    prefix = ["env", "LD_PRELOAD=" + preload[0], "PHASESHIM_OUT=" + preload[1]] if preload else []
    return measured(prefix + songrelay_argv(songrelay, path), work)


def time_midicsv(midicsv, path, work):
    return measured([midicsv, path], work)


def time_readbuf(readbuf, path, work, table_bytes=None):
    """The read floor; with table_bytes, readbuf also takes and touches a
    fresh table of that size after the read, timed apart (table_ns)."""
    out = os.path.join(work, "readbuf.out")
    extra = [str(table_bytes)] if table_bytes is not None else []
    with open(out, "w") as f:
        usage = measured([readbuf, path] + extra, work, stdout=f)
    with open(out) as f:
        words = f.read().split()
    usage["read_ns"] = int(words[1])
    if "table_ns" in words:
        usage["table_ns"] = int(words[words.index("table_ns") + 1])
    return usage


def design_least_bytes(file_size, records, data_bytes):
    """What the design must hold at its peak: the file image, the event
    table of 16-byte records, and the event data buffer."""
    return file_size + RECORD_BYTES * records + data_bytes


def summarise_runs(runs):
    keys = ["wall", "user", "sys", "maxrss_kib"]
    out = {k: median([r[k] for r in runs]) for k in keys}
    for key in ("read_ns", "table_ns"):
        if runs and key in runs[0]:
            out[key] = median([r[key] for r in runs])
    out["runs"] = len(runs)
    return out
