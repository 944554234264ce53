"""The benchmark run: timing accuracy beside the peers on an idle and on a
busy machine, load throughput and memory, the parse micro-benchmark, and
the report in docs/performance.md. Started by bench/run.sh."""
import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import time

import load
import pieces
import report
import timing
from common import QuietWait, median, rt_prefix

PEERS = ["midish", "mido"]


def parse_args():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--repo", required=True)
    p.add_argument("--build", required=True)
    p.add_argument("--tools", required=True, help="directory of the harness's own programs")
    p.add_argument("--work", required=True)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--runs", type=int, default=None)
    p.add_argument("--seconds", type=float, default=None, help="length of the timing piece")
    p.add_argument("--only", choices=["timing", "load", "all"], default="all")
    p.add_argument("--conditions", default="idle,busy")
    p.add_argument("--report", default=None, help="markdown file to write (default docs/performance.md)")
    p.add_argument("--alsa-shim", default="")
    p.add_argument("--command", default="bench/run.sh")
    p.add_argument("--from-json", default=None, help="only write the report from a saved results file")
    p.add_argument("--wait-quiet", type=float, default=None,
                   help="seconds in all to wait for other work to leave the machine before idle runs")
    return p.parse_args()


def machine_facts(repo):
    """The facts the report opens with."""
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    clocksource = "unknown"
    try:
        with open("/sys/devices/system/clocksource/clocksource0/current_clocksource") as f:
            clocksource = f.read().strip()
    except OSError:
        pass
    commit = subprocess.run(["git", "-C", repo, "describe", "--always", "--dirty"], capture_output=True,
                            text=True).stdout.strip()
    return {
        "nproc": os.cpu_count(),
        "cpu": model,
        "kernel": platform.release(),
        "clocksource": clocksource,
        "loadavg": open("/proc/loadavg").read().split()[:3],
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": commit,
        "peers": peer_versions(),
        "rt": bool(rt_prefix()),
    }


def peer_versions():
    out = {}
    for pkg in ["midish", "python3-mido", "midicsv"]:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], capture_output=True, text=True)
        out[pkg] = r.stdout.strip() if r.returncode == 0 else "not installed"
    return out


def available_players(tools):
    players = ["songrelay"]
    if tools.midish and tools.alsa_shim:
        players.append("midish")
    if tools.python:
        players.append("mido")
    return players


def run_timing(args, tools, players, sched, piece, floor_file, short, conditions, runs):
    """Every timing run; prints one table per run and returns the results
    as {condition: {player: [figures per run]}} plus the extra runs."""
    quiet = QuietWait(args.wait_quiet if args.wait_quiet is not None else (60 if args.quick else 300))
    args.quiet = quiet
    results = {}
    extras = {}
    nhogs = os.cpu_count() or 2
    for cond in conditions:
        hogs = timing.start_hogs(tools, nhogs) if cond == "busy" else []
        try:
            if hogs:
                time.sleep(1.0)
            results[cond] = {p: [] for p in players}
            for r in range(runs):
                order = players[r % len(players):] + players[:r % len(players)]
                figures = {}
                for p in order:
                    tag = "%s-%d-%s" % (cond, r + 1, p)
                    other = quiet.wait() if cond == "idle" else None
                    usage = timing.play_once(p, tools, args.work, tag, piece, floor_file,
                                             sched["duration_us"] / 1e6)
                    fig = timing.analyse(sched, usage)
                    fig["argv"] = usage["argv"]
                    fig["other_busy"] = other
                    figures[p] = fig
                    results[cond][p].append(fig)
                print(report.run_table("%s machine, run %d of %d%s" % (cond, r + 1, runs, report.other_load(
                    figures, players)), figures, players), flush=True)
            extras[cond] = run_extras(args, tools, cond, short)
        finally:
            timing.stop_hogs(hogs)
    return results, extras


def run_extras(args, tools, cond, short):
    """The two extra runs on the short piece: the plain absolute-deadline
    loop (the floor of the instrument) and the instrumented player run."""
    out = {}
    piece, sched_path, floor_file = short
    if cond == "idle":
        args.quiet.wait()
    sched = timing.load_schedule(sched_path)
    usage = timing.play_once("floor", tools, args.work, "%s-floor" % cond, piece, floor_file,
                             sched["duration_us"] / 1e6)
    out["floor"] = timing.analyse(sched, usage)
    out["floor"]["argv"] = usage["argv"]
    shim_out = os.path.join(args.work, "%s-phaseshim.txt" % cond)
    if os.path.exists(shim_out):
        os.remove(shim_out)
    if cond == "idle":
        args.quiet.wait()
    inst_times = os.path.join(args.work, "%s-instrumented-times.log" % cond)
    usage = timing.play_once("songrelay", tools, args.work, "%s-instrumented" % cond, piece, floor_file,
                             sched["duration_us"] / 1e6,
                             env_extra={"LD_PRELOAD": tools.phaseshim, "PHASESHIM_OUT": shim_out,
                                        "PHASESHIM_TIMES": inst_times})
    fig = timing.analyse(sched, usage)
    fig["reader_latency"] = timing.reader_latency(inst_times, usage["monitor_log"])
    fig["shim"] = timing.read_phaseshim(shim_out)
    fig["waits"] = sched["waits"]
    fig["proc_cpu_s"] = usage["user"] + usage["sys"]
    out["instrumented"] = fig
    null_out = os.path.join(args.work, "%s-null-phaseshim.txt" % cond)
    null_times = os.path.join(args.work, "%s-null-times.log" % cond)
    if cond == "idle":
        args.quiet.wait()
    usage = timing.play_once("songrelay-null", tools, args.work, "%s-null" % cond, piece, floor_file,
                             sched["duration_us"] / 1e6,
                             env_extra={"LD_PRELOAD": tools.phaseshim, "PHASESHIM_OUT": null_out,
                                        "PHASESHIM_TIMES": null_times})
    # timed at the player's own write() calls: no reader at all
    usage["monitor_log"] = null_times
    fig = timing.analyse(sched, usage)
    fig["shim"] = timing.read_phaseshim(null_out)
    out["null"] = fig
    print(report.extras_table(cond, out), flush=True)
    return out


def run_load(args, tools, runs):
    """Load throughput and memory on the two all-zero-delta files."""
    cases = [("1,000,000 events / 16 tracks", 1_000_000, 16, False),
             ("200,000 events / 1,000 tracks", 200_000, 1000, False),
             ("200,000 events / 1,000 tracks, deltas 0-119", 200_000, 1000, True)]
    out = []
    tiny_path = os.path.join(args.work, "tiny.mid")
    data, _ = pieces.load_file(2, 1)
    with open(tiny_path, "wb") as f:
        f.write(data)
    load.RUNSTAT = tools.runstat
    baseline = [load.time_songrelay(tools.songrelay, tiny_path, args.work) for _ in range(runs)]
    for label, events, tracks, varied in cases:
        name = "load-%d-%d%s" % (events, tracks, "-varied" if varied else "")
        path = os.path.join(args.work, name + ".mid")
        data, records = pieces.load_file(events, tracks, varied)
        with open(path, "wb") as f:
            f.write(data)
        size = len(data)
        # one run of each first, so that every timed run finds the file cached
        load.time_readbuf(tools.readbuf, path, args.work)
        sr, mc, rb, tb = [], [], [], []
        for _ in range(runs):
            sr.append(load.time_songrelay(tools.songrelay, path, args.work))
            if tools.midicsv:
                mc.append(load.time_midicsv(tools.midicsv, path, args.work))
            rb.append(load.time_readbuf(tools.readbuf, path, args.work))
            tb.append(load.time_readbuf(tools.readbuf, path, args.work, load.RECORD_BYTES * (records + 1)))
        shim_out = os.path.join(args.work, name + ".phaseshim.txt")
        phases = []
        for _ in range(runs):
            load.time_songrelay(tools.songrelay, path, args.work, preload=(tools.phaseshim, shim_out))
            phases.append(timing.read_phaseshim(shim_out))
        profile = perf_profile(args, tools, path, name)
        out.append({
            "label": label,
            "path": path,
            "events": events,
            "tracks": tracks,
            "varied": varied,
            "records": records + 1,  # and the automatic reset the player adds
            "size": size,
            "data_bytes": 6,  # the GM System On body; End of Track metas carry no data
            "songrelay": load.summarise_runs(sr),
            "midicsv": load.summarise_runs(mc) if mc else None,
            "readbuf": load.summarise_runs(rb),
            "table": load.summarise_runs(tb),
            "phases": {k: median([p.get(k) for p in phases]) for k in phases[0]} if phases and phases[0] else {},
            "profile": profile,
            "argv": load.songrelay_argv(tools.songrelay, path),
        })
    result = {"cases": out, "baseline": load.summarise_runs(baseline), "files": [c["path"] for c in out]}
    print(report.load_table(result), flush=True)
    return result


def perf_profile(args, tools, path, tag):
    """Where the loading thread (the process's first thread: start-up,
    calibration, load, take-down) spends its CPU time, from perf's
    cpu-clock samples of one whole player process; the player thread's
    samples are left out, they are the writes. Empty when perf cannot run."""
    perf = shutil.which("perf")
    if not perf:
        return None
    data = os.path.join(args.work, tag + ".perf.data")
    rec = subprocess.run([perf, "record", "-q", "-F", "20000", "-e", "cpu-clock", "-o", data, "--"] +
                         load.songrelay_argv(tools.songrelay, path), capture_output=True, text=True)
    if rec.returncode != 0:
        return None
    script = subprocess.run([perf, "script", "-i", data, "-F", "tid,ip,sym"], capture_output=True, text=True)
    rows = [l.split() for l in script.stdout.splitlines() if l.strip()]
    if not rows:
        return None
    tids = {}
    for r in rows:
        tids[r[0]] = tids.get(r[0], 0) + 1
    main_tid = min(tids, key=int)
    counts = {}
    for r in rows:
        if r[0] == main_tid:
            sym = r[2] if len(r) > 2 else "[unknown]"
            counts[sym] = counts.get(sym, 0) + 1
    total = sum(counts.values())
    top = sorted(counts.items(), key=lambda kv: -kv[1])[:12]
    return {"samples": total, "player_samples": len(rows) - total,
            "top": [(sym, 100.0 * n / total) for sym, n in top]}


def run_gbench(args, files):
    """The parse micro-benchmark, when the build has it: its own songs and
    the load files, the median of three repetitions of each."""
    exe = os.path.join(args.build, "bench", "parse_bench")
    if not os.access(exe, os.X_OK):
        return None
    min_time = "0.05" if args.quick else "0.3"
    json_out = os.path.join(args.work, "parse_bench.json")
    fixed = ["--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
             "--benchmark_out=" + json_out, "--benchmark_out_format=json"]
    r = subprocess.run([exe, "--benchmark_min_time=" + min_time] + fixed + files, capture_output=True, text=True)
    if r.returncode != 0:
        min_time += "s"
        r = subprocess.run([exe, "--benchmark_min_time=" + min_time] + fixed + files, capture_output=True,
                           text=True)
    text = r.stdout.strip()
    print(text, flush=True)
    medians = {}
    if r.returncode == 0:
        with open(json_out) as f:
            for b in json.load(f)["benchmarks"]:
                if b.get("aggregate_name") == "median":
                    medians[b["run_name"]] = b["real_time"] * {"ms": 1.0, "us": 1e-3, "ns": 1e-6}[b["time_unit"]]
    shown = [os.path.relpath(exe, args.repo), "--benchmark_min_time=" + min_time] + fixed[:2] + \
        ["WORK/" + os.path.basename(f) for f in files]
    return {"command": " ".join(shown), "output": text, "median_ms": medians}


def main():
    args = parse_args()
    if args.from_json:
        with open(args.from_json) as f:
            results = json.load(f)
        out = args.report or os.path.join(args.repo, "docs", "performance.md")
        report.write_markdown(out, results, args)
        print("report written to %s" % out)
        return 0
    runs = args.runs or (1 if args.quick else 3)
    seconds = args.seconds or (10.0 if args.quick else 30.0)
    os.makedirs(args.work, exist_ok=True)
    t_begin = time.time()
    python = "/usr/bin/python3" if subprocess.run(["/usr/bin/python3", "-c", "import mido"],
                                                  capture_output=True).returncode == 0 else ""
    tools = timing.Tools(
        songrelay=os.path.join(args.build, "songrelay"),
        monitor=os.path.join(args.build, "songrelay-monitor"),
        pausedet=os.path.join(args.tools, "pausedet"),
        floorplay=os.path.join(args.tools, "floorplay"),
        hog=os.path.join(args.tools, "hog"),
        alsa_shim=args.alsa_shim if args.alsa_shim and os.path.exists(args.alsa_shim) else "",
        midish=shutil.which("midish") or "",
        python=python,
        mido_play=os.path.join(os.path.dirname(os.path.abspath(__file__)), "mido_play.py"),
        phaseshim=os.path.join(args.tools, "phaseshim.so"),
    )
    tools.readbuf = os.path.join(args.tools, "readbuf")
    tools.runstat = os.path.join(args.tools, "runstat")
    tools.midicsv = shutil.which("midicsv") or ""
    facts = machine_facts(args.repo)
    players = available_players(tools)
    results = {"facts": facts, "players": players, "runs": runs, "quick": args.quick}
    if args.only in ("timing", "all"):
        piece = os.path.join(args.work, "timing-piece.mid")
        sched_path = os.path.join(args.work, "timing-piece.json")
        floor_file = os.path.join(args.work, "timing-piece.floor")
        sched = pieces.write_timing_piece(piece, sched_path, floor_file, seconds)
        short_piece = os.path.join(args.work, "short-piece.mid")
        short_sched = os.path.join(args.work, "short-piece.json")
        short_floor = os.path.join(args.work, "short-piece.floor")
        pieces.write_timing_piece(short_piece, short_sched, short_floor, 10.0)
        print("timing piece: %d messages, %.1f s, %d waits; players: %s" %
              (len(sched["messages"]), sched["duration_us"] / 1e6, sched["waits"], ", ".join(players)), flush=True)
        conditions = [c for c in args.conditions.split(",") if c]
        timing_results, extras = run_timing(args, tools, players, sched, piece, floor_file,
                                            (short_piece, short_sched, short_floor), conditions, runs)
        results["timing"] = timing_results
        results["extras"] = extras
        results["piece"] = {"messages": len(sched["messages"]), "duration_us": sched["duration_us"],
                            "waits": sched["waits"], "tempos": sched["tempos"], "timebase": sched["timebase"]}
        for cond in conditions:
            print(report.median_table(cond, timing_results[cond], players), flush=True)
    if args.only in ("load", "all"):
        results["load"] = run_load(args, tools, 3)
        results["gbench"] = run_gbench(args, results["load"]["files"])
        print(report.parse_table(results["load"], results["gbench"]), flush=True)
    results["elapsed_s"] = time.time() - t_begin
    # kept so that the report can be written again without running anything
    with open(os.path.join(args.work, "results.json"), "w") as f:
        json.dump(results, f)
    out = args.report or os.path.join(args.repo, "docs", "performance.md")
    report.write_markdown(out, results, args)
    print("report written to %s (%.0f s in all)" % (os.path.relpath(out, args.repo), results["elapsed_s"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
