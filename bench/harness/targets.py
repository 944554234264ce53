"""The targets the benchmark checks, each against the medians of this run:
timing and CPU side by side with midish on the idle and the busy machine,
load throughput and memory against midicsv and the design's least."""
import synthesis
import tables
from common import fmt, ratio, us
from load import parse_ms


def verdict(ok):
    return "-" if ok is None else ("met" if ok else "**missed**")


def at_most(value, limit):
    return None if value is None or limit is None else value <= limit


def times(value):
    return fmt(value, 1) + "×" if value is not None else "-"


def idle_rows(s, m):
    """songrelay on the idle machine: absolute limits, then beside midish."""
    ic, sc = s["ioi_clean"], s["sched_clean"]
    kept = abs(s["drift_kept_us"])
    rows = [["|drift − moved| ≤ 1 ms, idle", fmt(kept / 1000, 2) + " ms", verdict(kept <= 1000)],
            ["schedule error p50 ≤ 50 µs, idle, clear of pauses", us(sc["p50"]) + " µs", verdict(sc["p50"] <= 50)],
            ["schedule error p99 ≤ 500 µs, idle, clear of pauses", us(sc["p99"]) + " µs", verdict(sc["p99"] <= 500)],
            ["IOI error p50 ≤ 20 µs, idle, clear of pauses", us(ic["p50"]) + " µs", verdict(ic["p50"] <= 20)],
            ["IOI error p95 ≤ 100 µs, idle, clear of pauses", us(ic["p95"]) + " µs", verdict(ic["p95"] <= 100)]]
    if m and "ioi" in m:
        f = ratio(m["ioi_clean"]["p95"], ic["p95"])
        rows += [["IOI p95 ≥ 5× tighter than midish, idle (midish / songrelay)", times(f),
                  verdict(f is not None and f >= 5)],
                 ["CPU ≤ midish's, idle (songrelay / midish)", "%s %% / %s %%" % (fmt(s["cpu_pct"], 2),
                                                                                  fmt(m["cpu_pct"], 2)),
                  verdict(at_most(s["cpu_pct"], m["cpu_pct"]))]]
    return rows


def busy_rows(name, s, m):
    """A subject on the busy machine beside midish in the same runs."""
    if not m or "ioi" not in m:
        return []
    label = tables.LABELS[name]
    return [["|drift − moved| ≤ midish's, busy: %s" % label,
             "%s ms / %s ms" % (fmt(abs(s["drift_kept_us"]) / 1000, 2), fmt(abs(m["drift_kept_us"]) / 1000, 2)),
             verdict(at_most(abs(s["drift_kept_us"]), abs(m["drift_kept_us"])))],
            ["IOI p95 at least as tight as midish's, busy, clear of pauses: %s" % label,
             "%s µs / %s µs" % (us(s["ioi_clean"]["p95"]), us(m["ioi_clean"]["p95"])),
             verdict(at_most(s["ioi_clean"]["p95"], m["ioi_clean"]["p95"]))],
            ["CPU ≤ midish's, busy: %s" % label, "%s %% / %s %%" % (fmt(s["cpu_pct"], 2), fmt(m["cpu_pct"], 2)),
             verdict(at_most(s["cpu_pct"], m["cpu_pct"]))]]


def timing_rows(timing):
    rows = []
    idle = tables.medians(timing["idle"]) if timing.get("idle") else {}
    if idle.get("songrelay") and "ioi" in idle["songrelay"]:
        rows += idle_rows(idle["songrelay"], idle.get("midish"))
    busy = tables.medians(timing["busy"]) if timing.get("busy") else {}
    for name in tables.SUBJECTS:
        if busy.get(name) and "ioi" in busy[name]:
            rows += busy_rows(name, busy[name], busy.get("midish"))
    return rows


def load_rows(ld, gbench):
    """parse_midi_image's targets, from the micro-benchmark on the load files,
    with the whole process's load phase beside them; and peak memory."""
    rows = []
    for c in ld["cases"]:
        ms = parse_ms(c, gbench)
        if ms is None or not c["midicsv"]:
            continue
        f = ratio(c["midicsv"]["wall"] * 1000, ms)
        rows.append(["parse_midi_image ≥ 10× faster than midicsv: %s" % c["label"], times(f),
                     verdict(f is not None and f >= 10)])
        if c["tracks"] == 16:
            f2 = ratio(ms, c["readbuf"]["wall"] * 1000)
            rows.append(["parse_midi_image within 4× of the read floor (whole read process): %s" % c["label"],
                         times(f2), verdict(f2 is not None and f2 <= 4)])
            f3 = ratio(ms * 1e6, c["readbuf"]["read_ns"])
            rows.append(["(the same against the read() call alone)", times(f3), verdict(f3 is not None and f3 <= 4)])
        lm = tables.load_ms(c)
        if lm:
            f4 = ratio(c["midicsv"]["wall"] * 1000, lm)
            rows.append(["(whole process: read, parse, fresh table, ports, thread; midicsv / that) %s" % c["label"],
                         times(f4), verdict(f4 is not None and f4 >= 10)])
    for c in ld["cases"]:
        f = c["songrelay"]["maxrss_kib"] * 1024 / tables.least_bytes(c)
        rows.append(["peak RSS ≤ 1.5× the least the design needs: %s" % c["label"], fmt(f, 2) + "×",
                     verdict(f <= 1.5)])
    return rows


def synth_rows(results):
    """The monitor rendering a WAV file: the player's timing beside the run
    without synthesis (held to the same idle targets), a dense piece that the
    synthesizer keeps up with, and the onset error of the file."""
    rows = []
    idle = tables.medians(results["timing"]["idle"]) if results.get("timing", {}).get("idle") else {}
    s, w = idle.get("songrelay"), idle.get("songrelay-wav")
    if s and w and "ioi" in s and "ioi" in w:
        pairs = [("|drift − moved|", abs(s["drift_kept_us"]) / 1000, abs(w["drift_kept_us"]) / 1000, 1.0, " ms", 2),
                 ("schedule error p50", s["sched_clean"]["p50"], w["sched_clean"]["p50"], 50, " µs", 0),
                 ("schedule error p99", s["sched_clean"]["p99"], w["sched_clean"]["p99"], 500, " µs", 0),
                 ("IOI error p95", s["ioi_clean"]["p95"], w["ioi_clean"]["p95"], 100, " µs", 0)]
        for name, plain, rendering, limit, unit, digits in pairs:
            rows.append(["%s with the reader rendering --wav, idle, within the idle target (without / with)" % name,
                         "%s%s / %s%s" % (fmt(plain, digits), unit, fmt(rendering, digits), unit),
                         verdict(at_most(rendering, limit))])
    synth = results.get("synth")
    if synth:
        d, o = synth["dense"], synth["onset"]
        rows.append(["dense piece: the synthesizer keeps up (at most 100 ms behind, nothing dropped)",
                     "%s ms, %d dropped" % (fmt(d["behind_ms"], 1), d["dropped"]),
                     verdict(d["behind_ms"] is not None and d["behind_ms"] <= 100 and d["dropped"] == 0)])
        rows.append(["onset error of the file against the arrival stamps: p50 and max ≤ 1.5 ms",
                     "%s ms / %s ms" % (fmt(o["p50_ms"], 2), fmt(o["max_ms"], 2)),
                     verdict(o["max_ms"] is not None and o["max_ms"] <= 1.5)])
        lv = synth.get("live")
        if lv:
            lo, ld = lv["onset"], lv["dense"]
            rows.append(["live --play: latency ≤ 20 ms, spread p95 ≤ 1.5 ms (one library block)",
                         "%s ms, %s ms" % (fmt(lo["latency_ms"], 1), fmt(lo["spread_p95_ms"], 2)),
                         verdict(lo["latency_ms"] is not None and lo["latency_ms"] <= 20 and
                                 lo["spread_p95_ms"] is not None and lo["spread_p95_ms"] <= 1.5)])
            rows.append(["live --play: no period undelivered on the dense piece clear of the machine's own pauses "
                         "(all / clear)", "%s / %s" % (fmt(ld.get("dropouts")), fmt(ld.get("dropouts_clear"))),
                         verdict(ld.get("dropouts_clear") == 0)])
            rows.append(["live --play idle: reader CPU ≤ 3 % of a core", "%s %%" % fmt(lv["idle_cpu_pct"], 2),
                         verdict(at_most(lv["idle_cpu_pct"], 3.0))])
            peer = lv.get("peer")
            pd = peer["dense"] if peer else {}
            if pd.get("dropouts_clear") is not None and ld.get("dropouts_clear") is not None:
                rows.append(["live --play: periods undelivered on the dense piece clear of the machine's pauses ≤ "
                             "FluidSynth's own player's (monitor / fluidsynth; all of them in brackets)",
                             "%d / %d (%d / %d)" % (ld["dropouts_clear"], pd["dropouts_clear"], ld["dropouts"],
                                                    pd["dropouts"]),
                             verdict(ld["dropouts_clear"] <= pd["dropouts_clear"])])
    return rows


def first_byte_rows(fb):
    """songrelay's first byte within 5 ms of its start, midish's beside it."""
    figs = fb["figures"]
    s = figs["songrelay"]["first"]["p50"]
    m = figs["midish"]["first"]["p50"] if "midish" in figs else None
    figure = fmt(s, 1) + " ms" + (" / %s ms" % fmt(m, 1) if "midish" in figs else "")
    return [["time to the first byte ≤ 5 ms, median of %d runs (songrelay%s)" % (
        fb["runs"], " / midish" if "midish" in figs else ""), figure, verdict(at_most(s, 5.0))]]


HEADER = ["target", "figure", "verdict"]


def all_rows(results):
    rows = first_byte_rows(results["first_byte"]) if results.get("first_byte") else []
    rows += timing_rows(results["timing"]) if results.get("timing") else []
    rows += synth_rows(results)
    if results.get("load"):
        rows += load_rows(results["load"], results.get("gbench"))
    return rows


def quiet_rows(results):
    """The timing targets again over the idle runs in which other work took
    less than 15 % of the machine, when some runs were not that quiet:
    (run numbers, rows), or None."""
    idle = results.get("timing", {}).get("idle")
    if not idle:
        return None
    quiet = tables.quiet_runs(idle)
    if not quiet or len(quiet) == max(len(v) for v in idle.values()):
        return None
    med = tables.medians(tables.subset(idle, quiet))
    if not med.get("songrelay") or "ioi" not in med["songrelay"]:
        return None
    return [i + 1 for i in quiet], idle_rows(med["songrelay"], med.get("midish"))
