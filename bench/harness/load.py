"""Load throughput and memory: the whole player process on files whose every
delta is 0 (or nearly), beside midicsv's parse of the same file and a plain
read of it into one buffer; where the loading thread spends its time; and
parse_midi_image alone, timed by the parse_bench micro-benchmark."""
import json
import os
import shutil
import subprocess

import pieces
from common import median
from timing import read_phaseshim

RECORD_BYTES = 16

CASES = [("1,000,000 events / 16 tracks", 1_000_000, 16, False),
         ("200,000 events / 1,000 tracks", 200_000, 1000, False),
         ("200,000 events / 1,000 tracks, deltas 0-119", 200_000, 1000, True)]


def songrelay_argv(songrelay, path):
    return [songrelay, "-q", "-0", "null", "-1", "null", "-2", "null", "-3", "null", path]


def measured(runstat, argv, work, output=None):
    """wall, user, sys and peak RSS of argv, measured by runstat; with
    output, the program's standard output goes to that file."""
    stat_path = os.path.join(work, "runstat.out")
    with open(output or os.devnull, "w") as out:
        subprocess.run([runstat, stat_path] + argv, stdout=out, stderr=subprocess.DEVNULL, timeout=300, check=True)
    with open(stat_path) as f:
        values = {k: int(v) for k, v in (line.split() for line in f)}
    return {"wall": values["wall_ns"] / 1e9, "user": values["user_us"] / 1e6, "sys": values["sys_us"] / 1e6,
            "maxrss_kib": values["maxrss_kib"], "status": values["status"]}


def time_readbuf(tools, path, work, table_bytes=None):
    """The read floor: the whole process, and the read alone (read_ns); with
    table_bytes, readbuf also takes and touches a fresh table of that size
    after the read, timed apart (table_ns)."""
    out = os.path.join(work, "readbuf.out")
    extra = [str(table_bytes)] if table_bytes is not None else []
    usage = measured(tools.runstat, [tools.readbuf, path] + extra, work, output=out)
    with open(out) as f:
        words = f.read().split()
    usage["read_ns"] = int(words[1])
    if "table_ns" in words:
        usage["table_ns"] = int(words[words.index("table_ns") + 1])
    return usage


def summarise_runs(runs):
    out = {k: median([r[k] for r in runs]) for k in runs[0]} if runs else {}
    out["runs"] = len(runs)
    return out


def run_load(tools, work, runs):
    """Every load case: whole processes, the phases inside the player, a
    profile of its loading thread. Returns the results and the files."""
    out = []
    tiny = os.path.join(work, "tiny.mid")
    with open(tiny, "wb") as f:
        f.write(pieces.load_file(2, 1)[0])
    baseline = [measured(tools.runstat, songrelay_argv(tools.songrelay, tiny), work) for _ in range(runs)]
    for label, events, tracks, varied in CASES:
        name = "load-%d-%d%s" % (events, tracks, "-varied" if varied else "")
        path = os.path.join(work, name + ".mid")
        data, records = pieces.load_file(events, tracks, varied)
        with open(path, "wb") as f:
            f.write(data)
        # one read first, so that every timed run finds the file cached
        time_readbuf(tools, path, work)
        sr, mc, rb, tb = [], [], [], []
        for _ in range(runs):
            sr.append(measured(tools.runstat, songrelay_argv(tools.songrelay, path), work))
            if tools.midicsv:
                mc.append(measured(tools.runstat, [tools.midicsv, path], work))
            rb.append(time_readbuf(tools, path, work))
            tb.append(time_readbuf(tools, path, work, RECORD_BYTES * (records + 1)))
        out.append({
            "label": label, "path": path, "events": events, "tracks": tracks, "varied": varied,
            "records": records + 1,  # and the automatic reset the player adds
            "size": len(data),
            "data_bytes": 6,  # the GM System On body; End of Track metas carry no data
            "songrelay": summarise_runs(sr), "midicsv": summarise_runs(mc) if mc else None,
            "readbuf": summarise_runs(rb), "table": summarise_runs(tb),
            "phases": phases(tools, path, work, name, runs),
            "profile": perf_profile(tools, path, work, name),
        })
    return {"cases": out, "baseline": summarise_runs(baseline), "files": [c["path"] for c in out]}


def phases(tools, path, work, name, runs):
    """The medians of what phaseshim saw inside the player process."""
    shim_out = os.path.join(work, name + ".phaseshim.txt")
    seen = []
    for _ in range(runs):
        subprocess.run(["env", "LD_PRELOAD=" + tools.phaseshim, "PHASESHIM_OUT=" + shim_out] +
                       songrelay_argv(tools.songrelay, path), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)
        seen.append(read_phaseshim(shim_out))
    return {k: median([p.get(k) for p in seen]) for k in seen[0]} if seen and seen[0] else {}


def perf_profile(tools, path, work, tag):
    """Where the loading thread (the process's first thread: start-up,
    calibration, load, take-down) spends its CPU time, from perf's
    cpu-clock samples of one whole player process; the player thread's
    samples are left out, they are the writes. None when perf cannot run."""
    perf = shutil.which("perf")
    if not perf:
        return None
    data = os.path.join(work, tag + ".perf.data")
    rec = subprocess.run([perf, "record", "-q", "-F", "20000", "-e", "cpu-clock", "-o", data, "--"] +
                         songrelay_argv(tools.songrelay, path), capture_output=True, text=True)
    if rec.returncode != 0:
        return None
    script = subprocess.run([perf, "script", "-i", data, "-F", "tid,ip,sym"], capture_output=True, text=True)
    rows = [line.split() for line in script.stdout.splitlines() if line.strip()]
    if not rows:
        return None
    main_tid = min((r[0] for r in rows), key=int)
    counts = {}
    for r in rows:
        if r[0] == main_tid:
            sym = r[2] if len(r) > 2 else "[unknown]"
            counts[sym] = counts.get(sym, 0) + 1
    total = sum(counts.values())
    top = sorted(counts.items(), key=lambda kv: -kv[1])[:12]
    return {"samples": total, "player_samples": len(rows) - total,
            "top": [(sym, 100.0 * n / total) for sym, n in top]}


def run_gbench(tools, repo, work, files, quick):
    """The parse micro-benchmark, when the build has it: its own songs and
    the load files, the median of three repetitions of each."""
    exe = tools.parse_bench
    if not os.access(exe, os.X_OK):
        return None
    min_time = "0.05" if quick else "0.3"
    json_out = os.path.join(work, "parse_bench.json")
    fixed = ["--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
             "--benchmark_out=" + json_out, "--benchmark_out_format=json"]
    r = subprocess.run([exe, "--benchmark_min_time=" + min_time] + fixed + files, capture_output=True, text=True)
    if r.returncode != 0:
        # newer Google Benchmark wants a unit on the time
        min_time += "s"
        r = subprocess.run([exe, "--benchmark_min_time=" + min_time] + fixed + files, capture_output=True,
                           text=True)
    medians = {}
    if r.returncode == 0:
        with open(json_out) as f:
            for b in json.load(f)["benchmarks"]:
                if b.get("aggregate_name") == "median":
                    medians[b["run_name"]] = b["real_time"] * {"ms": 1.0, "us": 1e-3, "ns": 1e-6}[b["time_unit"]]
    shown = [os.path.relpath(exe, repo), "--benchmark_min_time=" + min_time] + fixed[:2] + \
        ["WORK/" + os.path.basename(f) for f in files]
    return {"command": " ".join(shown), "output": r.stdout.strip(), "median_ms": medians}


def parse_ms(case, gbench):
    """parse_midi_image's median time on the case's file, from the micro-benchmark."""
    if not gbench:
        return None
    return gbench.get("median_ms", {}).get("parse_file/" + os.path.basename(case["path"]))
