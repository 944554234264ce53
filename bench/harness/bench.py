"""The benchmark run: timing accuracy beside the peers on an idle and on a
busy machine, load throughput and memory, the parse micro-benchmark, and
the report. Started by bench/run.sh; bench/README.md explains it."""
import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import time

import document
import firstbyte
import load
import pieces
import synthesis
import tables
import targets
import timing
from common import NO_RT_PREFIX, QuietWait, no_rt_check, rt_prefix


def parse_args():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--repo", required=True)
    p.add_argument("--build", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--report", required=True, help="markdown file to write")
    p.add_argument("--quick", action="store_true")
    p.add_argument("--runs", type=int, default=None)
    p.add_argument("--seconds", type=float, default=None, help="length of the timing piece")
    p.add_argument("--only", choices=["first-byte", "timing", "load", "synth", "all"], default="all")
    p.add_argument("--conditions", default="idle,busy")
    p.add_argument("--command", default="bench/run.sh")
    p.add_argument("--from-json", default=None, help="only write the report from a saved results file")
    p.add_argument("--baseline-player", default="", help="another commit's songrelay, played beside this one")
    p.add_argument("--baseline-commit", default="", help="the commit that player was built from")
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
    try:
        with open("/sys/devices/system/clocksource/clocksource0/current_clocksource") as f:
            clocksource = f.read().strip()
    except OSError:
        clocksource = "unknown"
    commit = subprocess.run(["git", "-C", repo, "describe", "--always", "--dirty"], capture_output=True,
                            text=True).stdout.strip()
    peers = {}
    for pkg in ["midish", "python3-mido", "midicsv"]:
        q = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], capture_output=True, text=True)
        peers[pkg] = q.stdout.strip() if q.returncode == 0 else "not installed"
    with open("/proc/loadavg") as f:
        loadavg = f.read().split()[:3]
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(), "clocksource": clocksource,
            "loadavg": loadavg, "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "commit": commit, "peers": peers, "rt": bool(rt_prefix())}


def player_lists(tools, no_rt, synth):
    """Who plays in each machine state: songrelay (and beside it the
    baseline commit's, when given), the peers found, on the idle machine
    songrelay again with its reader rendering a WAV file when the monitor
    has synthesis, and on the busy machine songrelay without real-time
    priority when that can be arranged here."""
    players = ["songrelay"] + (["songrelay-base"] if tools.baseline else [])
    if tools.midish and tools.alsa_shim:
        players.append("midish")
    if tools.python:
        players.append("mido")
    own = 2 if tools.baseline else 1
    idle = players[:own] + (["songrelay-wav"] if synth else []) + players[own:]
    busy = players[:own] + (["songrelay-nort"] if no_rt else []) + players[own:]
    return {"idle": idle, "busy": busy}


def play_and_analyse(name, tools, work, tag, piece, floor_file, sched, env_extra=None):
    usage = timing.play_once(name, tools, work, tag, piece, floor_file, sched["duration_us"] / 1e6, env_extra)
    fig = timing.analyse(sched, usage)
    fig["command"] = usage["command"]
    fig["monitor_command"] = " ".join(usage["monitor_argv"])
    return fig


def quiet_wait(args):
    """The wait for a quiet machine before idle-machine runs, with its budget."""
    return QuietWait(args.wait_quiet if args.wait_quiet is not None else (60 if args.quick else 300))


def run_timing(args, tools, players, sched, piece, floor_file, short, runs):
    """Every timing run; prints one table per run and returns the results
    as {condition: {player: [figures per run]}} plus the extra runs."""
    quiet = quiet_wait(args)
    results, extras = {}, {}
    for cond in [c for c in args.conditions.split(",") if c]:
        hogs = timing.start_hogs(tools, os.cpu_count() or 2) if cond == "busy" else []
        try:
            if hogs:
                time.sleep(1.0)
            names = players[cond]
            results[cond] = {p: [] for p in names}
            for r in range(runs):
                # a rotating order, so that no player always comes first
                figures = {}
                for p in names[r % len(names):] + names[:r % len(names)]:
                    other = quiet.wait() if cond == "idle" else None
                    fig = play_and_analyse(p, tools, args.work, "%s-%d-%s" % (cond, r + 1, p), piece, floor_file,
                                           sched)
                    fig["other_busy"] = other
                    figures[p] = fig
                    results[cond][p].append(fig)
                print(tables.titled("Timing, %s machine, run %d of %d (errors in microseconds); %s" % (
                    cond, r + 1, runs, tables.other_load(figures, names)), tables.run_table(figures, names), False),
                    flush=True)
            extras[cond] = run_extras(args, tools, cond, short, quiet)
            print(tables.titled("%s machine: extra runs on the 10 s piece" % cond,
                                tables.extras_tables(cond, extras[cond]), False), flush=True)
        finally:
            timing.stop_hogs(hogs)
    return results, extras


def run_extras(args, tools, cond, short, quiet):
    """The extra runs on the short piece: the plain absolute-deadline loop
    (the floor of the instrument), the instrumented player into the FIFO,
    and the instrumented player into /dev/null timed at its own writes."""
    piece, sched_path, floor_file = short
    sched = timing.load_schedule(sched_path)
    out = {}
    if cond == "idle":
        quiet.wait()
    out["floor"] = play_and_analyse("floor", tools, args.work, "%s-floor" % cond, piece, floor_file, sched)
    for key, player in (("instrumented", "songrelay"), ("null", "songrelay-null")):
        shim_out = os.path.join(args.work, "%s-%s-phaseshim.txt" % (cond, key))
        times = os.path.join(args.work, "%s-%s-times.log" % (cond, key))
        if cond == "idle":
            quiet.wait()
        usage = timing.play_once(player, tools, args.work, "%s-%s" % (cond, key), piece, floor_file,
                                 sched["duration_us"] / 1e6, {"LD_PRELOAD": tools.phaseshim,
                                                              "PHASESHIM_OUT": shim_out, "PHASESHIM_TIMES": times})
        if key == "null":
            # no reader at all: timed at the player's own write() calls
            usage["monitor_log"] = times
        fig = timing.analyse(sched, usage)
        fig["command"] = usage["command"]
        fig["shim"] = timing.read_phaseshim(shim_out)
        if key == "instrumented":
            fig["reader_latency"] = timing.reader_latency(times, usage["monitor_log"])
        out[key] = fig
    return out


def timing_part(args, tools, results, runs, seconds):
    piece, sched_path, floor_file = (os.path.join(args.work, "timing-piece" + ext) for ext in (".mid", ".json",
                                                                                                ".floor"))
    sched = pieces.write_timing_piece(piece, sched_path, floor_file, seconds)
    short = tuple(os.path.join(args.work, "short-piece" + ext) for ext in (".mid", ".json", ".floor"))
    pieces.write_timing_piece(*short, 10.0)
    no_rt, why = no_rt_check()
    results["no_rt_note"] = ("`%s songrelay ...`: %s" % (" ".join(NO_RT_PREFIX), why)) if no_rt else \
        "not run: " + why
    players = player_lists(tools, no_rt, synthesis.available(tools))
    print("timing piece: %d messages, %.1f s, %d waits; players: %s; without real-time priority: %s" %
          (len(sched["messages"]), sched["duration_us"] / 1e6, sched["waits"], ", ".join(players["busy"]),
           results["no_rt_note"]), flush=True)
    results["players"] = players
    results["timing"], results["extras"] = run_timing(args, tools, players, sched, piece, floor_file, short, runs)
    results["piece"] = {"messages": len(sched["messages"]), "duration_us": sched["duration_us"],
                        "waits": sched["waits"], "tempos": sched["tempos"], "timebase": sched["timebase"]}
    for cond, res in results["timing"].items():
        print(tables.titled("Timing, %s machine: medians of %d runs" % (cond, runs),
                            tables.median_tables(tables.medians(res), players[cond]), False), flush=True)


def first_byte_part(args, tools, results):
    """The time from a player's start to its first byte, on the idle machine."""
    quiet = quiet_wait(args)
    fb = firstbyte.run(tools, args.repo, args.work, quiet)
    results["first_byte"] = fb
    print(tables.titled("Time to the first byte of %s: ms from the start to the reader's stamp, %d runs" % (
        fb["piece"], fb["runs"]), tables.first_byte_table(fb), False), flush=True)


def synth_part(args, tools, results):
    """The monitor as a sound module: its CPU on a dense piece, and the onset
    error of the file it renders against its own arrival stamps."""
    if not synthesis.available(tools):
        print("synthesis: the monitor has none here (no libfluidsynth or no SoundFont); skipped", flush=True)
        return
    results["synth"] = synthesis.run(tools, args.work)
    print(tables.titled("The monitor rendering a WAV file", synthesis.table(results), False), flush=True)


def load_part(args, tools, results):
    results["load"] = load.run_load(tools, args.work, 3)
    print(tables.titled("Load: whole processes, medians of 3 runs", tables.load_tables(results["load"]), False),
          flush=True)
    results["gbench"] = load.run_gbench(tools, args.repo, args.work, results["load"]["files"], args.quick)
    if results["gbench"]:
        print(results["gbench"]["output"], flush=True)
        print(tables.titled("parse_midi_image on the load files (medians of 3 repetitions)",
                            tables.parse_table(results["load"], results["gbench"]), False), flush=True)


def main():
    args = parse_args()
    if args.from_json:
        with open(args.from_json) as f:
            document.write(args.report, json.load(f))
        print("report written to %s" % args.report)
        return 0
    os.makedirs(args.work, exist_ok=True)
    t_begin = time.time()
    python = "/usr/bin/python3" if subprocess.run(["/usr/bin/python3", "-c", "import mido"],
                                                  capture_output=True).returncode == 0 else ""
    tools = timing.Tools(args.build, args.repo, shutil.which("midish") or "", python, shutil.which("midicsv") or "")
    tools.baseline = args.baseline_player
    if tools.baseline:
        tables.LABELS["songrelay-base"] = "songrelay at %s (baseline)" % args.baseline_commit
    runs = args.runs or (1 if args.quick else 3)
    results = {"facts": machine_facts(args.repo), "runs": runs, "quick": args.quick, "command": args.command,
               "work": args.work, "build": args.build, "repo": args.repo, "players": {},
               "baseline": args.baseline_commit}
    if args.only in ("first-byte", "all"):
        first_byte_part(args, tools, results)
    if args.only in ("timing", "all"):
        timing_part(args, tools, results, runs, args.seconds or (10.0 if args.quick else 30.0))
    if args.only in ("synth", "all"):
        synth_part(args, tools, results)
    if args.only in ("load", "all"):
        load_part(args, tools, results)
    print(tables.titled("Targets", tables.render(targets.HEADER, targets.all_rows(results)), False), flush=True)
    results["elapsed_s"] = time.time() - t_begin
    # kept so that the report can be written again without running anything
    with open(os.path.join(args.work, "results.json"), "w") as f:
        json.dump(results, f)
    document.write(args.report, results)
    print("report written to %s (%.0f s in all)" % (args.report, results["elapsed_s"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
