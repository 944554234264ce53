"""Tables for the terminal and the markdown report."""
import os

from common import fmt, median, ratio

LABELS = {"songrelay": "songrelay", "midish": "midish", "mido": "python3-mido loop", "floor": "C floor loop"}


def render(header, rows, markdown=False):
    """An aligned text table, or a markdown one."""
    cells = [[str(c) for c in header]] + [[fmt(c, 0) if not isinstance(c, str) else c for c in r] for r in rows]
    if markdown:
        lines = ["| " + " | ".join(cells[0]) + " |", "|" + "|".join("---" for _ in header) + "|"]
        lines += ["| " + " | ".join(r) + " |" for r in cells[1:]]
        return "\n".join(lines)
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    out = []
    for j, r in enumerate(cells):
        out.append("  ".join(c.rjust(widths[i]) if i else c.ljust(widths[i]) for i, c in enumerate(r)))
        if j == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


TIMING_HEADER = ["player", "msgs", "IOI p50", "p95", "p99", "max", "waited IOI p50", "p95", "max",
                 "sched p50", "p99", "max", "centred p50", "p99", "max", "drift ms", "CPU %", "pauses",
                 "lost ms", "cost/wait"]
GROUPS = [("ioi", ["p50", "p95", "p99", "max"]), ("waited", ["p50", "p95", "max"]), ("abs", ["p50", "p99", "max"]),
          ("centred", ["p50", "p99", "max"])]


def us(v):
    return fmt(v, 1 if v is not None and abs(v) < 100 else 0)


def timing_rows(name, f, peer_cost=False):
    """Two rows per player: all messages, and those clear of logged pauses."""
    msgs = str(f["messages"]) if not (f["missing"] or f["extra"]) else "%d (-%d +%d)" % (
        f["messages"], f["missing"], f["extra"])
    if "ioi" not in f:
        return [[LABELS.get(name, name), msgs] + ["-"] * (len(TIMING_HEADER) - 2)]
    cost = fmt(f["cost_per_wait_us"], 2) if name == "songrelay" or peer_cost else "-"
    row = [LABELS.get(name, name), msgs]
    clean = ["  clear of pauses", str(f["ioi_clean"]["n"] + 1)]
    for group, keys in GROUPS:
        row += [us(f[group][k]) for k in keys]
        clean += [us(f[group + "_clean"][k]) for k in keys]
    row += [fmt(f["drift_us"] / 1000.0, 2), fmt(f["cpu_pct"], 2), str(f["pauses"]),
            fmt(f["pause_lost_us"] / 1000.0, 1), cost]
    clean += [""] * 5
    return [row, clean]


QUIET = 0.15


def other_load(figures, players):
    """Other work on the machine before and during each playback."""
    parts = []
    for p in players:
        f = figures.get(p, {})
        if f.get("other_during") is None:
            continue
        before = " %.0f %% before," % (100 * f["other_busy"]) if f.get("other_busy") is not None else ""
        parts.append("%s%s %.0f %% during" % (LABELS[p], before, 100 * f["other_during"]))
    return "; other work on the machine: " + ", ".join(parts) if parts else ""


def quiet_runs(cond_results, players):
    """The indexes of the runs in which every playback had less than 15 %
    of the machine taken by other work."""
    n = max(len(v) for v in cond_results.values())
    out = []
    for i in range(n):
        figs = [cond_results[p][i] for p in players if len(cond_results.get(p, [])) > i]
        if figs and all(f.get("other_during") is not None and f["other_during"] < QUIET for f in figs):
            out.append(i)
    return out


def subset(cond_results, indexes):
    return {p: [runs[i] for i in indexes if i < len(runs)] for p, runs in cond_results.items()}


def run_table(title, figures, players, markdown=False):
    rows = []
    for p in players:
        if p in figures:
            rows += timing_rows(p, figures[p])
    head = "\n== Timing, %s (errors in microseconds) ==\n" % title if not markdown else ""
    return head + render(TIMING_HEADER, rows, markdown)


def median_figures(runs):
    """The median over runs of every figure of a player."""
    good = [r for r in runs if "ioi" in r]
    if not good:
        return runs[0] if runs else None
    out = {"messages": median([r["messages"] for r in good]), "missing": max(r["missing"] for r in good),
           "extra": max(r["extra"] for r in good)}
    for group in [g + c for g, _ in GROUPS for c in ("", "_clean")]:
        out[group] = {k: median([r[group][k] for r in good]) for k in ["p50", "p95", "p99", "max", "n"]}
    for k in ["drift_us", "cpu_pct", "cpu_s", "pauses", "pause_lost_us", "cost_per_wait_us", "offset_us",
              "start_latency_ms", "wall_s"]:
        out[k] = median([r[k] for r in good])
    out["messages"] = int(out["messages"])
    out["pauses"] = int(round(out["pauses"]))
    out["ioi_clean"]["n"] = int(out["ioi_clean"]["n"])
    return out


def medians(cond_results, players):
    return {p: median_figures(cond_results[p]) for p in players if cond_results.get(p)}


RATIO_HEADER = ["songrelay / peer", "IOI p50", "p95", "p99", "max", "waited IOI p50", "p95", "max",
                "sched p50", "p99", "max", "centred p50", "p99", "max", "|drift|", "CPU"]


def ratio_rows(med, players, clean=False):
    """songrelay's figure divided by each peer's: below 1 is better."""
    rows = []
    s = med.get("songrelay")
    if not s or "ioi" not in s:
        return rows
    suffix = "_clean" if clean else ""

    def r(a, b):
        v = ratio(a, b)
        return fmt(v, 3 if v is not None and v < 0.1 else 2)
    for p in players:
        if p == "songrelay" or p not in med or "ioi" not in med[p]:
            continue
        o = med[p]
        row = [LABELS[p] + (", clear of pauses" if clean else "")]
        for group, keys in GROUPS:
            row += [r(s[group + suffix][k], o[group + suffix][k]) for k in keys]
        row += ["", ""] if clean else [r(abs(s["drift_us"]), abs(o["drift_us"])), r(s["cpu_pct"], o["cpu_pct"])]
        rows.append(row)
    return rows


def median_table(cond, cond_results, players, markdown=False):
    med = medians(cond_results, players)
    rows = []
    for p in players:
        if med.get(p):
            rows += timing_rows(p, med[p])
    n = max(len(v) for v in cond_results.values())
    text = "" if markdown else "\n== Timing, %s machine: medians of %d runs ==\n" % (cond, n)
    text += render(TIMING_HEADER, rows, markdown)
    rr = ratio_rows(med, players) + ratio_rows(med, players, clean=True)
    if rr:
        text += "\n\n" + render(RATIO_HEADER, rr, markdown)
    return text


def spin_figures(inst):
    """What the instrumented run says about the clock-reading last stretch."""
    s = inst.get("shim") or {}
    if not s.get("writes"):
        return None
    play_cpu = s["play_cpu_ns"] / 1e9
    # a write that does not block costs as much CPU time as wall time
    write_cpu = s["write_wall_ns"] / 1e9
    sleep_cpu = s["wait_sleep_cpu_ns"] / 1e9
    spin = play_cpu - write_cpu - sleep_cpu
    calib = None
    if s.get("calib_sleeps"):
        mean_sleep_us = (s["calib_last_ns"] - s["calib_first_ns"]) / s["calib_sleeps"] / 1000.0
        calib = mean_sleep_us
    return {
        "proc_cpu_s": inst["proc_cpu_s"],
        "play_cpu_s": play_cpu,
        "write_cpu_s": write_cpu,
        "sleep_cpu_s": sleep_cpu,
        "spin_cpu_s": spin,
        "spin_share": spin / inst["proc_cpu_s"] if inst["proc_cpu_s"] else None,
        "spin_per_wait_us": spin * 1e6 / inst["waits"],
        "sleeps": s["wait_sleeps"],
        "clock_reads": s["clock_reads_after_first_write"],
        "writes": s["writes"],
        "write_wall_us": s["write_wall_ns"] / 1000.0 / s["writes"],
        "calib_mean_sleep_us": calib,
        "overhead_us": calib * 1.125 if calib else None,
        "duration_s": inst.get("duration_s"),
        "waits": inst["waits"],
        "cpu_pct": inst["cpu_pct"],
    }


SPIN_HEADER = ["condition", "CPU %", "player thread s", "in write s", "in usleep s", "clock loop s",
               "clock loop share", "per wait us", "clock reads", "1 ms sleep us", "write us"]


def spin_row(cond, sf):
    return [cond, fmt(sf["cpu_pct"], 2), fmt(sf["play_cpu_s"], 3), fmt(sf["write_cpu_s"], 3),
            fmt(sf["sleep_cpu_s"], 3), fmt(sf["spin_cpu_s"], 3), fmt(100 * sf["spin_share"], 0) + " %",
            fmt(sf["spin_per_wait_us"], 0), str(sf["clock_reads"]), fmt(sf["calib_mean_sleep_us"], 0),
            fmt(sf["write_wall_us"], 1)]


def extras_table(cond, extras, markdown=False):
    text = "" if markdown else "\n== %s machine: extra runs on the 10 s piece ==\n" % cond
    rows = []
    for name in ["floor"]:
        if name in extras:
            rows += timing_rows(name, extras[name])
    for k, label in (("instrumented", "songrelay, instrumented"), ("null", "songrelay into /dev/null")):
        if k in extras:
            rows += [[label] + r[1:] for r in timing_rows("songrelay", extras[k])[:1]]
    text += render(TIMING_HEADER, rows, markdown)
    sf = spin_figures(extras.get("instrumented", {})) if "instrumented" in extras else None
    if sf:
        text += "\n\n" + render(SPIN_HEADER, [spin_row(cond, sf)], markdown)
    lat = extras.get("instrumented", {}).get("reader_latency")
    if lat:
        text += "\n\n" + render(["reader's delay after write() entry, us", "p50", "p95", "p99", "max"],
                                 [[cond, us(lat["p50"]), us(lat["p95"]), us(lat["p99"]), us(lat["max"])]], markdown)
    decomp = [decomp_row(label, extras[k]) for k, label in
              (("instrumented", "into the FIFO"), ("null", "into /dev/null, timed at write()")) if k in extras]
    decomp = [d for d in decomp if d]
    if decomp:
        text += "\n\n" + render(DECOMP_HEADER, decomp, markdown)
    return text


DECOMP_HEADER = ["songrelay, 10 s piece", "drift ms", "lost ms", "cost/wait", "per wait: simultaneous sends",
                 "steady", "late ends", "late n", "in pauses", "write us"]


def decomp_row(label, f):
    """Where the drift of one run comes from, per waited record: the sends
    of simultaneous messages, the steady cost of a wait, waits that ended
    more than 100 us late, and intervals touched by a logged pause."""
    if "parts" not in f:
        return None
    p, w = f["parts"], f["waits"]
    s = f.get("shim") or {}
    write_us = s["write_wall_ns"] / 1000.0 / s["writes"] if s.get("writes") else None
    return [label, fmt(f["drift_us"] / 1000.0, 2), fmt(f["pause_lost_us"] / 1000.0, 1),
            fmt(f["cost_per_wait_us"], 2), fmt(p["zero_sum_us"] / w, 2), fmt(p["steady_sum_us"] / w, 2),
            fmt(p["late_sum_us"] / w, 2), str(p["late_n"]), fmt(p["paused_sum_us"] / w, 2), fmt(write_us, 2)]


LOAD_HEADER = ["file", "size MB", "songrelay ms", "RSS MiB", "least MiB", "RSS / least", "midicsv ms",
               "midicsv RSS MiB", "read proc ms", "read ms", "midicsv / songrelay", "songrelay / read"]
PHASE_HEADER = ["file", "calibration ms", "load+open ms", "writes", "write span ms", "in write ms",
                "ns per write", "load MB/s", "midicsv / load", "load / read"]


def load_rows(result):
    rows, phase_rows = [], []
    for c in result["cases"]:
        s, m, rb = c["songrelay"], c["midicsv"], c["readbuf"]
        least = c["size"] + 16 * c["records"] + c["data_bytes"]
        mwall = m["wall"] if m else None
        rows.append([c["label"], fmt(c["size"] / 1e6, 2), fmt(s["wall"] * 1000, 0), fmt(s["maxrss_kib"] / 1024, 1),
                     fmt(least / 2**20, 1), fmt(s["maxrss_kib"] * 1024 / least, 2), fmt(mwall and mwall * 1000, 0),
                     fmt(m and m["maxrss_kib"] / 1024, 1), fmt(rb["wall"] * 1000, 1), fmt(rb["read_ns"] / 1e6, 2),
                     fmt(ratio(mwall, s["wall"]), 2), fmt(ratio(s["wall"] * 1e9, rb["read_ns"]), 0)])
        p = c["phases"]
        if p.get("first_write_ns") and p.get("calib_last_ns"):
            calib = (p["calib_last_ns"] - p["calib_first_ns"]) / 1e6
            loadms = (p["first_write_ns"] - p["calib_last_ns"]) / 1e6
            span = (p["last_write_ns"] - p["first_write_ns"]) / 1e6
            inwrite = p["write_wall_ns"] / 1e6
            phase_rows.append([c["label"], fmt(calib, 1), fmt(loadms, 1), str(int(p["writes"])), fmt(span, 0),
                               fmt(inwrite, 0), fmt(p["write_wall_ns"] / p["writes"], 0),
                               fmt(c["size"] / 1e3 / loadms, 0), fmt(ratio(mwall and mwall * 1000, loadms), 1),
                               fmt(ratio(loadms * 1e6, rb["read_ns"]), 1)])
    return rows, phase_rows


PARSE_HEADER = ["file", "parse ms", "parse MB/s", "midicsv / parse", "read proc ms", "parse / read proc",
                "read ms", "parse / read", "fresh table ms"]


def parse_ms(case, gbench):
    """parse_midi_image's median time on the case's file, from the micro-benchmark."""
    if not gbench:
        return None
    return gbench.get("median_ms", {}).get("parse_file/" + os.path.basename(case["path"]))


def parse_rows(result, gbench):
    rows = []
    for c in result["cases"]:
        ms = parse_ms(c, gbench)
        if ms is None:
            continue
        m, rb, tb = c["midicsv"], c["readbuf"], c.get("table") or {}
        rows.append([c["label"], fmt(ms, 2), fmt(c["size"] / 1e3 / ms, 0),
                     fmt(ratio(m and m["wall"] * 1000, ms), 1), fmt(rb["wall"] * 1000, 1),
                     fmt(ratio(ms, rb["wall"] * 1000), 1), fmt(rb["read_ns"] / 1e6, 2),
                     fmt(ratio(ms * 1e6, rb["read_ns"]), 1),
                     fmt(tb["table_ns"] / 1e6 if "table_ns" in tb else None, 2)])
    return rows


def parse_table(result, gbench, markdown=False):
    """parse_midi_image alone on the load files beside midicsv and the read floor."""
    rows = parse_rows(result, gbench)
    if not rows:
        return ""
    head = "" if markdown else "\n== parse_midi_image on the same files (medians of 3 repetitions) ==\n"
    return head + render(PARSE_HEADER, rows, markdown)


def load_table(result, markdown=False):
    rows, phase_rows = load_rows(result)
    b = result["baseline"]
    text = "" if markdown else "\n== Load: whole processes, medians of %d runs ==\n" % result["cases"][0][
        "songrelay"]["runs"]
    text += render(LOAD_HEADER, rows, markdown)
    text += "\n\n" + ("" if markdown else "Inside the player process (instrumented runs):\n")
    text += render(PHASE_HEADER, phase_rows, markdown)
    text += "\n\n%sBaseline: songrelay on a 2-event file: %.0f ms wall, peak RSS %.1f MiB\n" % (
        "" if not markdown else "", b["wall"] * 1000, b["maxrss_kib"] / 1024)
    return text


def write_markdown(path, results, args):
    """docs/performance.md from the figures of this run."""
    import markdown_report
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(markdown_report.document(results, args))
