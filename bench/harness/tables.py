"""Every table of the benchmark, as aligned text for the terminal or as
markdown for the report; bench/README.md says what each column means."""
from common import fmt, median, ratio, us
from load import parse_ms

LABELS = {"songrelay": "songrelay", "songrelay-nort": "songrelay, no RT priority", "midish": "midish",
          "mido": "python3-mido loop", "floor": "C floor loop",
          "songrelay-wav": "songrelay, reader rendering --wav"}
# The players whose figures are set against the peers'.
SUBJECTS = ("songrelay", "songrelay-nort")
QUIET = 0.15


def render(header, rows, markdown=False):
    """An aligned text table, or a markdown one."""
    cells = [[str(c) for c in header]] + [[c if isinstance(c, str) else fmt(c) for c in r] for r in rows]
    if markdown:
        cells = [[c.replace("|", "\\|") for c in r] for r in cells]
        lines = ["| " + " | ".join(cells[0]) + " |", "|" + "|".join("---" for _ in header) + "|"]
        return "\n".join(lines + ["| " + " | ".join(r) + " |" for r in cells[1:]])
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    out = []
    for j, r in enumerate(cells):
        out.append("  ".join(c.rjust(widths[i]) if i else c.ljust(widths[i]) for i, c in enumerate(r)))
        if j == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def titled(title, text, markdown):
    """A table with its title on the terminal; the report gives headings."""
    return text if markdown else "\n== %s ==\n%s" % (title, text)


TIMING_HEADER = ["player", "msgs", "policy", "IOI p50", "p95", "p99", "max", "waited IOI p50", "p95", "max",
                 "sched p50", "p99", "max", "centred p50", "p99", "max", "drift ms", "lost ms", "drift-lost ms",
                 "moves", "moved ms", "CPU %", "pauses"]
GROUPS = [("ioi", ["p50", "p95", "p99", "max"]), ("waited", ["p50", "p95", "max"]), ("sched", ["p50", "p99", "max"]),
          ("centred", ["p50", "p99", "max"])]


def policy(f):
    """FIFO when any thread of the player ran at a real-time policy."""
    p = f.get("policies")
    if p is None:
        return "-"
    return "FIFO" if "FIFO" in p or "RR" in p else "/".join(p) or "-"


def timing_rows(name, f):
    """Two rows per player: all messages, and those clear of logged pauses."""
    msgs = str(f["messages"]) if not (f["missing"] or f["extra"]) else "%d (-%d +%d)" % (
        f["messages"], f["missing"], f["extra"])
    if "ioi" not in f:
        return [[LABELS.get(name, name), msgs] + ["-"] * (len(TIMING_HEADER) - 2)]
    row = [LABELS.get(name, name), msgs, policy(f)]
    clean = ["  clear of pauses", str(f["ioi_clean"]["n"] + 1), ""]
    for group, keys in GROUPS:
        row += [us(f[group][k]) for k in keys]
        clean += [us(f[group + "_clean"][k]) for k in keys]
    row += [fmt(f["drift_us"] / 1000, 2), fmt(f["pause_lost_us"] / 1000, 1), fmt(f["drift_net_us"] / 1000, 2),
            str(f["moves"]), fmt(f["moved_us"] / 1000, 1), fmt(f["cpu_pct"], 2), str(f["pauses"])]
    return [row, clean + [""] * 7]


def run_table(figures, players, markdown=False):
    return render(TIMING_HEADER, sum((timing_rows(p, figures[p]) for p in players if p in figures), []), markdown)


def other_load(figures, players):
    """Other work on the machine before and during each playback."""
    parts = []
    for p in players:
        f = figures.get(p, {})
        if f.get("other_during") is None:
            continue
        before = " %.0f %% before," % (100 * f["other_busy"]) if f.get("other_busy") is not None else ""
        parts.append("%s%s %.0f %% during" % (LABELS[p], before, 100 * f["other_during"]))
    return "other work on the machine: " + ", ".join(parts) if parts else ""


def quiet_runs(cond_results):
    """The indexes of the runs in which every playback had less than 15 %
    of the machine taken by other work."""
    n = max(len(v) for v in cond_results.values())
    out = []
    for i in range(n):
        figs = [runs[i] for runs in cond_results.values() if len(runs) > i]
        if figs and all(f.get("other_during") is not None and f["other_during"] < QUIET for f in figs):
            out.append(i)
    return out


def subset(cond_results, indexes):
    return {p: [runs[i] for i in indexes if i < len(runs)] for p, runs in cond_results.items()}


MEDIAN_KEYS = ["drift_us", "drift_net_us", "drift_kept_us", "cpu_pct", "cpu_s", "pauses", "pause_lost_us", "moves", "moved_us",
               "cost_per_wait_us", "offset_us", "start_latency_ms", "wall_s", "monitor_cpu_pct"]


def median_figures(runs):
    """The median over runs of every figure of a player."""
    good = [r for r in runs if "ioi" in r]
    if not good:
        return runs[0] if runs else None
    out = {"messages": int(median([r["messages"] for r in good])), "missing": max(r["missing"] for r in good),
           "extra": max(r["extra"] for r in good)}
    for group in [g + c for g, _ in GROUPS for c in ("", "_clean")]:
        out[group] = {k: median([r[group][k] for r in good]) for k in ["p50", "p95", "p99", "max", "n"]}
    for k in MEDIAN_KEYS:
        out[k] = median([r.get(k) for r in good])
    out["pauses"] = int(round(out["pauses"]))
    out["moves"] = int(round(out["moves"]))
    out["ioi_clean"]["n"] = int(out["ioi_clean"]["n"])
    seen = {p for r in good for p in (r.get("policies") or [])}
    out["policies"] = sorted(seen) if any(r.get("policies") is not None for r in good) else None
    return out


def medians(cond_results):
    return {p: median_figures(runs) for p, runs in cond_results.items() if runs}


RATIO_HEADER = ["subject / peer", "IOI p50", "p95", "p99", "max", "waited IOI p50", "p95", "max", "sched p50", "p99",
                "max", "centred p50", "p99", "max", "|drift-lost|", "CPU"]


def ratio_rows(med, clean=False):
    """Each subject's figure divided by each peer's: below 1 is better."""
    suffix = "_clean" if clean else ""

    def r(a, b):
        v = ratio(a, b)
        return fmt(v, 3 if v is not None and v < 0.1 else 2)
    rows = []
    for s_name in SUBJECTS:
        s = med.get(s_name)
        if not s or "ioi" not in s:
            continue
        for p, o in med.items():
            if p in SUBJECTS or "ioi" not in o:
                continue
            row = ["%s / %s%s" % (LABELS[s_name], LABELS[p], ", clear of pauses" if clean else "")]
            for group, keys in GROUPS:
                row += [r(s[group + suffix][k], o[group + suffix][k]) for k in keys]
            row += ["", ""] if clean else [r(abs(s["drift_net_us"]), abs(o["drift_net_us"])),
                                           r(s["cpu_pct"], o["cpu_pct"])]
            rows.append(row)
    return rows


def median_tables(med, players, markdown=False):
    """The medians of every player, then the ratios between them."""
    text = render(TIMING_HEADER, sum((timing_rows(p, med[p]) for p in players if med.get(p)), []), markdown)
    rr = ratio_rows(med) + ratio_rows(med, clean=True)
    return text + ("\n\n" + render(RATIO_HEADER, rr, markdown) if rr else "")


def clock_figures(inst):
    """What the instrumented run says about the player thread's time."""
    s = inst.get("shim") or {}
    if not s.get("writes"):
        return None
    play_cpu = s["play_cpu_ns"] / 1e9
    # a write that does not block costs as much CPU time as wall time
    write_cpu = s["write_wall_ns"] / 1e9
    sleep_cpu = s["wait_sleep_cpu_ns"] / 1e9
    loop = play_cpu - write_cpu - sleep_cpu
    late = [s.get("late_hist%d" % b, 0) for b in range(6)]
    return {
        "cpu_pct": inst["cpu_pct"], "proc_cpu_s": inst["cpu_s"], "play_cpu_s": play_cpu, "write_cpu_s": write_cpu,
        "sleep_cpu_s": sleep_cpu, "loop_cpu_s": loop, "loop_share": ratio(loop, inst["cpu_s"]),
        "loop_per_wait_us": loop * 1e6 / inst["waits"], "sleeps": s["wait_sleeps"], "clock_reads": s["clock_reads"],
        "calib_sleeps": s.get("calib_sleeps", 0),
        "calib_sleep_us": s["calib_wall_ns"] / 1000.0 / s["calib_sleeps"] if s.get("calib_sleeps") else None,
        "late_100us": sum(late[3:]), "late_1ms": late[5], "write_us": s["write_wall_ns"] / 1000.0 / s["writes"],
    }


CLOCK_HEADER = ["condition", "CPU %", "player thread s", "in write s", "in sleeps s", "clock loop s",
                "clock loop share", "per wait us", "clock reads", "sleeps", "woke >100 us late", ">1 ms late",
                "calibration sleeps", "mean us", "write us"]


def clock_row(cond, c):
    return [cond, fmt(c["cpu_pct"], 2), fmt(c["play_cpu_s"], 3), fmt(c["write_cpu_s"], 3), fmt(c["sleep_cpu_s"], 3),
            fmt(c["loop_cpu_s"], 3), fmt(c["loop_share"] and 100 * c["loop_share"], 0) + " %",
            fmt(c["loop_per_wait_us"], 0), str(c["clock_reads"]), str(c["sleeps"]), str(c["late_100us"]),
            str(c["late_1ms"]), str(c["calib_sleeps"]), fmt(c["calib_sleep_us"], 0), fmt(c["write_us"], 1)]


DECOMP_HEADER = ["songrelay, 10 s piece", "drift ms", "lost ms", "per wait: drift-lost", "simultaneous sends",
                 "steady", "late ends", "late n", "in pauses", "write us"]


def decomp_row(label, f):
    """Where the drift of one run comes from, per waited record: the sends
    of simultaneous messages, waits that ended on time, waits that ended
    more than 100 us late, and intervals touched by a logged pause."""
    if "parts" not in f:
        return None
    p, w = f["parts"], f["waits"]
    s = f.get("shim") or {}
    write_us = s["write_wall_ns"] / 1000.0 / s["writes"] if s.get("writes") else None
    return [label, fmt(f["drift_us"] / 1000, 2), fmt(f["pause_lost_us"] / 1000, 1), fmt(f["cost_per_wait_us"], 2),
            fmt(p["zero_sum_us"] / w, 2), fmt(p["steady_sum_us"] / w, 2), fmt(p["late_sum_us"] / w, 2),
            str(p["late_n"]), fmt(p["paused_sum_us"] / w, 2), fmt(write_us, 2)]


LATENCY_HEADER = ["reader's delay after write() entry, us", "p50", "p95", "p99", "max"]


def extras_tables(cond, extras, markdown=False):
    """The floor, the instrumented and the /dev/null runs on the short piece."""
    rows = timing_rows("floor", extras["floor"]) if "floor" in extras else []
    for k, label in (("instrumented", "songrelay, instrumented"), ("null", "songrelay into /dev/null")):
        if k in extras:
            rows += [[label] + r[1:] for r in timing_rows("songrelay", extras[k])[:1]]
    parts = [render(TIMING_HEADER, rows, markdown)]
    c = clock_figures(extras["instrumented"]) if "instrumented" in extras else None
    if c:
        parts.append(render(CLOCK_HEADER, [clock_row(cond, c)], markdown))
    lat = extras.get("instrumented", {}).get("reader_latency")
    if lat:
        parts.append(render(LATENCY_HEADER, [[cond] + [us(lat[k]) for k in ("p50", "p95", "p99", "max")]], markdown))
    decomp = [decomp_row(label, extras[k]) for k, label in
              (("instrumented", "into the FIFO"), ("null", "into /dev/null, timed at write()")) if k in extras]
    if any(decomp):
        parts.append(render(DECOMP_HEADER, [d for d in decomp if d], markdown))
    return "\n\n".join(parts)


FIRST_BYTE_HEADER = ["player", "first byte p50 ms", "max ms", "(first channel message p50 ms)", "(max ms)",
                     "runs with none"]


def first_byte_table(fb, markdown=False):
    """Each player's time from its start to its first byte on port 0, then
    songrelay's figures divided by the peer's (below 1 is better); the
    floor is for information."""
    figs = fb["figures"]
    rows = []
    for p in fb["players"]:
        f, c = figs[p]["first"], figs[p]["channel"]
        rows.append([LABELS[p], fmt(f["p50"], 1), fmt(f["max"], 1), fmt(c["p50"], 1), fmt(c["max"], 1),
                     str(f["missing"])])
    s = figs["songrelay"]
    for p in fb["players"]:
        if p in ("songrelay", "floor"):
            continue
        o = figs[p]

        def r(kind, key):
            v = ratio(s[kind][key], o[kind][key])
            return fmt(v, 3 if v is not None and v < 0.1 else 2)
        rows.append(["songrelay / %s" % LABELS[p], r("first", "p50"), r("first", "max"), r("channel", "p50"),
                     r("channel", "max"), ""])
    return render(FIRST_BYTE_HEADER, rows, markdown)


LOAD_HEADER = ["file", "size MB", "songrelay ms", "RSS MiB", "least MiB", "RSS / least", "midicsv ms",
               "midicsv RSS MiB", "read proc ms", "read ms", "midicsv / songrelay", "songrelay / read"]
PHASE_HEADER = ["file", "calibration ms", "load+open ms", "writes", "write span ms", "in write ms", "ns per write",
                "reset delay ms", "load MB/s", "midicsv / load", "load / read"]


def least_bytes(case):
    """What the design must hold at its peak: the file image, the event
    table of 16-byte records, and the event data."""
    return case["size"] + 16 * case["records"] + case["data_bytes"]


def load_start_ns(p):
    """Where the load begins: the end of the sleeps made before the first
    message, or the start of the process when there were none."""
    return p["calib_last_ns"] if p.get("calib_last_ns", -1) >= 0 else p.get("init_ns")


def calibration_ms(p):
    """The sleeps made before the first message, from the first to the end of the last; 0 without any."""
    return (p["calib_last_ns"] - p["calib_first_ns"]) / 1e6 if p.get("calib_last_ns", -1) >= 0 else 0.0


def load_ms(case):
    """From the end of the calibration (or the process's start) to the first
    message: read, parse, table, ports, thread."""
    p = case["phases"]
    start = load_start_ns(p)
    if not p.get("first_write_ns") or start is None or p["first_write_ns"] < 0:
        return None
    return (p["first_write_ns"] - start) / 1e6


def load_tables(result, markdown=False):
    rows, phase_rows = [], []
    for c in result["cases"]:
        s, m, rb = c["songrelay"], c["midicsv"], c["readbuf"]
        mwall = m["wall"] if m else None
        rows.append([c["label"], fmt(c["size"] / 1e6, 2), fmt(s["wall"] * 1000), fmt(s["maxrss_kib"] / 1024, 1),
                     fmt(least_bytes(c) / 2**20, 1), fmt(s["maxrss_kib"] * 1024 / least_bytes(c), 2),
                     fmt(mwall and mwall * 1000), fmt(m and m["maxrss_kib"] / 1024, 1), fmt(rb["wall"] * 1000, 1),
                     fmt(rb["read_ns"] / 1e6, 2), fmt(ratio(mwall, s["wall"]), 2),
                     fmt(ratio(s["wall"] * 1e9, rb["read_ns"]))])
        p, lm = c["phases"], load_ms(c)
        if lm:
            phase_rows.append([c["label"], fmt(calibration_ms(p), 1), fmt(lm, 1),
                               str(int(p["writes"])), fmt((p["last_write_ns"] - p["first_write_ns"]) / 1e6),
                               fmt(p["write_wall_ns"] / 1e6), fmt(p["write_wall_ns"] / p["writes"]),
                               fmt(p["wait_sleep_wall_ns"] / 1e6), fmt(c["size"] / 1e3 / lm),
                               fmt(ratio(mwall and mwall * 1000, lm), 1), fmt(ratio(lm * 1e6, rb["read_ns"]), 1)])
    b = result["baseline"]
    return "\n\n".join([render(LOAD_HEADER, rows, markdown), render(PHASE_HEADER, phase_rows, markdown),
                        render(["baseline: songrelay on a 2-event file", "wall ms", "peak RSS MiB"],
                               [["", fmt(b["wall"] * 1000), fmt(b["maxrss_kib"] / 1024, 1)]], markdown)])


PARSE_HEADER = ["file", "parse ms", "parse MB/s", "midicsv / parse", "read proc ms", "parse / read proc", "read ms",
                "parse / read", "fresh table ms"]


def parse_table(result, gbench, markdown=False):
    """parse_midi_image alone on the load files beside midicsv and the read floor."""
    rows = []
    for c in result["cases"]:
        ms = parse_ms(c, gbench)
        if ms is None:
            continue
        m, rb, tb = c["midicsv"], c["readbuf"], c.get("table") or {}
        rows.append([c["label"], fmt(ms, 2), fmt(c["size"] / 1e3 / ms), fmt(ratio(m and m["wall"] * 1000, ms), 1),
                     fmt(rb["wall"] * 1000, 1), fmt(ratio(ms, rb["wall"] * 1000), 1), fmt(rb["read_ns"] / 1e6, 2),
                     fmt(ratio(ms * 1e6, rb["read_ns"]), 1),
                     fmt(tb["table_ns"] / 1e6 if "table_ns" in tb else None, 2)])
    return render(PARSE_HEADER, rows, markdown) if rows else ""


def merge_cost_row(ld, g):
    """What ordering the events costs: the two 1,000-track files differ only
    in their deltas, all zero (every track keeps the turn to its end) or 0 to 119."""
    flat = [c for c in ld["cases"] if c["tracks"] == 1000 and not c["varied"]]
    varied = [c for c in ld["cases"] if c["tracks"] == 1000 and c["varied"]]
    if not flat or not varied:
        return None
    a, b = parse_ms(flat[0], g), parse_ms(varied[0], g)
    if a is None or b is None:
        return None
    return [fmt(b - a, 2), str(varied[0]["events"]), fmt((b - a) * 1e6 / varied[0]["events"])]


MERGE_HEADER = ["merge's own cost: ms more with deltas 0-119", "events ordered", "ns per event"]


def profile_rows(ld):
    rows = []
    for c in ld["cases"]:
        prof = c.get("profile")
        if prof:
            rows.append([c["label"], str(prof["samples"]), str(prof["player_samples"]),
                         ", ".join("`%s` %.1f %%" % (sym, pct) for sym, pct in prof["top"][:8])])
    return rows


PROFILE_HEADER = ["file", "loading thread samples", "player thread samples (left out)", "top symbols"]
