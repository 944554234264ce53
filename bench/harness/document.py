"""The report (docs/performance.md): the facts of one run and its tables.
What the figures mean and how they are taken is written once, in
bench/README.md, which the report links to."""
import os

from common import us

import synthesis
import tables
import targets

GUIDE = "bench/README.md"


def facts(r):
    """The machine, the software and the run, as one table."""
    f = r["facts"]
    rows = [["date", f["date"]], ["command", "`%s`" % r["command"]], ["cores (nproc)", str(f["nproc"])],
            ["CPU model", f["cpu"]], ["kernel, clock source", "%s, %s" % (f["kernel"], f["clocksource"])],
            ["load average at start", " ".join(f["loadavg"])], ["songrelay commit", f["commit"]],
            ["peers (Debian)", ", ".join("%s %s" % kv for kv in f["peers"].items())],
            ["real-time priority for the instruments", "yes" if f["rt"] else "no (not permitted)"],
            ["run without real-time priority", r.get("no_rt_note", "-")],
            ["runs per player and machine state", "%d%s" % (r["runs"], " (--quick)" if r["quick"] else "")],
            ["whole command took", "%.0f s" % r["elapsed_s"]]]
    p = r.get("piece")
    if p:
        rows.append(["timing piece", "%d channel messages, %.1f s, timebase %d, tempos %s µs per quarter note, "
                     "%d waits" % (p["messages"], p["duration_us"] / 1e6, p["timebase"],
                                   ", ".join(str(t) for t in p["tempos"]), p["waits"])])
    return tables.render(["", ""], rows, markdown=True)


def section_targets(r):
    out = ["## Targets", "", tables.render(targets.HEADER, targets.all_rows(r), markdown=True), ""]
    quiet = targets.quiet_rows(r)
    if quiet:
        runs, rows = quiet
        out += ["Other work took 15 %% or more of the machine during some idle playbacks; the idle targets over "
                "the quiet run(s) only (%s):" % ", ".join(str(i) for i in runs), "",
                tables.render(targets.HEADER, rows, markdown=True), ""]
    return out


def section_first_byte(r):
    fb = r["first_byte"]
    return ["## Time to the first byte (%d runs of `%s`)" % (fb["runs"], fb["piece"]), "",
            tables.first_byte_table(fb, markdown=True), ""]


def section_timing(r, cond):
    res = r["timing"][cond]
    players = r["players"][cond]
    out = ["## Timing, %s machine (medians of %d runs)" % (cond, r["runs"]), "",
           tables.median_tables(tables.medians(res), players, markdown=True), ""]
    quiet = tables.quiet_runs(res)
    if cond == "idle" and quiet and len(quiet) < max(len(v) for v in res.values()):
        out += ["The same over the quiet run(s) (%s):" % ", ".join(str(i + 1) for i in quiet), "",
                tables.median_tables(tables.medians(tables.subset(res, quiet)), players, markdown=True), ""]
    ex = r.get("extras", {}).get(cond)
    if ex:
        out += ["### Extra runs on the 10 s piece (%s)" % cond, "", tables.extras_tables(cond, ex, markdown=True), ""]
    return out


def section_load(r):
    ld, g = r["load"], r.get("gbench")
    out = ["## Load throughput and memory (medians of %d runs)" % ld["cases"][0]["songrelay"]["runs"], "",
           tables.load_tables(ld, markdown=True), ""]
    prof = tables.profile_rows(ld)
    if prof:
        out += ["### Profile of the loading thread", "", tables.render(tables.PROFILE_HEADER, prof, markdown=True),
                ""]
    if g:
        out += ["### parse_midi_image alone on the same files", "", tables.parse_table(ld, g, markdown=True), ""]
        merge = tables.merge_cost_row(ld, g)
        if merge:
            out += [tables.render(tables.MERGE_HEADER, [merge], markdown=True), ""]
        out += ["### parse_bench output (its own generated songs and the load files)", "", "`%s`" % g["command"], "",
                "```", g["output"], "```", ""]
    return out


def section_commands(r):
    """The exact command lines of this run, one of each kind."""
    seen = {}
    for p, line in r.get("first_byte", {}).get("commands", {}).items():
        seen["first byte: " + tables.LABELS[p]] = line
    for cond, res in r.get("timing", {}).items():
        for p, runs in res.items():
            for f in runs:
                seen.setdefault(tables.LABELS[p], f.get("command"))
                seen.setdefault("reader rendering --wav" if p == "songrelay-wav" else "reader",
                                f.get("monitor_command"))
        for k, f in r.get("extras", {}).get(cond, {}).items():
            seen.setdefault("extra run: " + k, f.get("command"))
    synth = r.get("synth", {})
    runs = [(k, synth.get(k)) for k in ("dense", "onset")]
    runs += [("live %s" % k, synth.get("live", {}).get(k)) for k in ("dense", "onset")]
    for k, f in runs:
        if not f:
            continue
        seen.setdefault("sound module, %s piece: player" % k, f.get("command"))
        seen.setdefault("sound module, %s piece: reader" % k, f.get("monitor_command"))
    peer = synth.get("live", {}).get("peer") or {}
    for k in ("dense", "onset"):
        if peer.get(k):
            seen.setdefault("FluidSynth's own player, live %s piece" % k, peer[k].get("command"))
    lines = ["# %s\n%s" % (k, shorten(v, r)) for k, v in seen.items() if v]
    return ["## Commands", "", "As run here (BUILD and WORK stand for the build and work directories):", "",
            "```sh"] + lines + ["```", ""]


def shorten(line, r):
    """A command line with the run's directories as short names."""
    for path, name in ((r.get("work"), "WORK"), (r.get("build"), "BUILD"), (r.get("repo"), ".")):
        if path:
            line = line.replace(".." + path, "../" + name).replace(path, name)
    return line


def section_runs(r):
    out = ["## Every run", ""]
    for cond, res in r.get("timing", {}).items():
        for i in range(max(len(v) for v in res.values())):
            figs = {p: runs[i] for p, runs in res.items() if len(runs) > i}
            loads = ", ".join("%s %.1f" % (tables.LABELS[p], f["loadavg"]) for p, f in figs.items()
                              if f.get("loadavg") is not None)
            out += ["### %s machine, run %d" % (cond, i + 1), "",
                    "Load average after each playback: %s; %s." % (loads, tables.other_load(figs, list(figs))), "",
                    tables.run_table(figs, r["players"][cond], markdown=True), ""]
    return out


def section_baseline(r):
    """This tree's player beside the baseline commit's, from the same runs."""
    rows = []
    for cond, res in r.get("timing", {}).items():
        med = tables.medians(res)
        this, base = med.get("songrelay"), med.get("songrelay-base")
        if not this or not base or "ioi" not in this or "ioi" not in base:
            continue
        rows.append([cond, "%.2f %% / %.2f %%" % (base["cpu_pct"], this["cpu_pct"]),
                     "%s / %s" % (us(base["ioi_clean"]["p95"]), us(this["ioi_clean"]["p95"])),
                     "%s / %s" % (us(base["sched_clean"]["p50"]), us(this["sched_clean"]["p50"]))])
    if not rows:
        return []
    header = ["machine", "CPU (baseline / this)", "IOI error p95 µs, clear of pauses",
              "schedule error p50 µs, clear of pauses"]
    return ["## Beside the baseline (%s)" % r["baseline"], "",
            "The player of commit %s, built from its files, played in the same runs as this tree's, in a rotating "
            "order; medians over the runs. Rerun with `bench/run.sh --baseline %s` (with `--quick --only timing` "
            "for the timing alone)." % (r["baseline"], r["baseline"]), "",
            tables.render(header, rows, markdown=True), ""]


def document(r):
    if r.get("baseline"):
        tables.LABELS["songrelay-base"] = "songrelay at %s (baseline)" % r["baseline"]
    out = ["# Performance", "",
           "Generated by `%s`; do not edit by hand. What is measured, how, and what every column means: "
           "[%s](../%s)." % (r["command"], GUIDE, GUIDE), "", "## Machine and run", "", facts(r), ""]
    out += section_targets(r)
    out += section_baseline(r)
    if r.get("first_byte"):
        out += section_first_byte(r)
    for cond in r.get("timing", {}):
        out += section_timing(r, cond)
    if r.get("synth") or synthesis.rows(r):
        out += ["## The monitor as a sound module", "", synthesis.table(r, markdown=True), ""]
    if r.get("load"):
        out += section_load(r)
    out += section_commands(r)
    if r.get("timing"):
        out += section_runs(r)
    return "\n".join(out)


def write(path, results):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        f.write(document(results))
