"""Timing accuracy: plays the timing piece into a FIFO read by the monitor,
with the pause detectors beside it, and compares every message's arrival
with its ideal time."""
import glob
import json
import os
import shlex
import shutil
import subprocess
import time

from common import NO_RT_PREFIX, cpu_times, median, percentile, rt_prefix, run_measured, stop

# A message counts as caught in a pause when a logged pause touches the time
# it was being waited for, widened by this much on each side.
PAUSE_MARGIN_NS = 500_000
# A waited interval more than this much too long ended late.
LATE_US = 100.0
# A step up in lateness larger than this, still there once the delay it stands
# for has passed, is a move of the player's schedule. The player moves at about
# 20 ms behind; the step it leaves is at least that, so 15 ms misses none.
MOVE_US = 15_000.0
# Messages either side of a step that set the level before and after it.
MOVE_WINDOW = 8


class Tools:
    """Paths of everything a run needs, found in the build directory."""

    def __init__(self, build, repo, midish, python, midicsv):
        bench = os.path.join(build, "bench")
        self.songrelay = os.path.join(build, "songrelay")
        self.monitor = os.path.join(build, "songrelay-monitor")
        self.pausedet = os.path.join(bench, "pausedet")
        self.floorplay = os.path.join(bench, "floorplay")
        self.hog = os.path.join(bench, "hog")
        self.readbuf = os.path.join(bench, "readbuf")
        self.runstat = os.path.join(bench, "runstat")
        self.firstbyte = os.path.join(bench, "firstbyte")
        self.phaseshim = os.path.join(bench, "phaseshim.so")
        shim = os.path.join(bench, "alsa_shim.so")
        self.alsa_shim = shim if os.path.exists(shim) else ""
        self.parse_bench = os.path.join(bench, "parse_bench")
        self.mido_play = os.path.join(repo, "bench", "harness", "mido_play.py")
        self.midish = midish
        self.python = python
        self.midicsv = midicsv
        self.baseline = ""  # another commit's songrelay, played beside this one when given


def songrelay_argv(songrelay, node):
    # -r: no automatic reset, so that only the song's messages go out; ports
    # 1 to 3 are not used by the piece and go to /dev/null
    return [songrelay, "-q", "-r", "-0", node, "-1", "null", "-2", "null", "-3", "null"]


def player_command(name, tools, piece, node_abs, node_rel, floor_schedule):
    """argv, environment and standard input of one player on one node."""
    if name == "songrelay":
        return songrelay_argv(tools.songrelay, node_rel) + [piece], None, None
    if name == "songrelay-base":
        return songrelay_argv(tools.baseline, node_rel) + [piece], None, None
    if name == "songrelay-wav":
        # the same player; only its reader renders what it receives
        return songrelay_argv(tools.songrelay, node_rel) + [piece], None, None
    if name == "songrelay-nort":
        return NO_RT_PREFIX + songrelay_argv(tools.songrelay, node_rel) + [piece], None, None
    if name == "songrelay-null":
        # the same run into /dev/null: what the player itself adds
        return songrelay_argv(tools.songrelay, "null") + [piece], None, None
    if name == "midish":
        script = 'dnew 0 "%s" wo\nimport "%s"\np\n' % (node_abs, piece)
        return [tools.midish, "-b"], dict(os.environ, LD_PRELOAD=tools.alsa_shim), script.encode()
    if name == "mido":
        return [tools.python, tools.mido_play, piece, node_abs], None, None
    if name == "floor":
        return [tools.floorplay, floor_schedule, node_abs], None, None
    raise ValueError(name)


def read_ready_line(proc, timeout=10.0):
    """Waits for the monitor's ready line and returns it."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        if "ready:" in line:
            return line
    raise RuntimeError("the monitor did not report ready")


# The reader runs at real-time priority on the last core and the players on
# the others, so that the reader's wake-ups never preempt the player it
# measures, and a CPU hog cannot delay the reader's time stamps. One pause
# detector per core, also at real-time priority, sees a pause of any core.
def cpu_plan():
    n = os.cpu_count() or 1
    if n < 2:
        return [], []
    return [n - 1], list(range(n - 1))


def pinned(cpus, argv):
    return (["taskset", "-c", ",".join(str(c) for c in cpus)] if cpus else []) + argv


def process_cpu_s(pid):
    """User and system CPU seconds of a running process so far, or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def monitor_extra_for(name, work, tag):
    """The reader's own options for a player: songrelay-wav's reader renders
    a WAV file of what it receives."""
    return ["-w", os.path.join(work, "%s.wav" % tag)] if name == "songrelay-wav" else []


def play_once(name, tools, work, tag, piece, floor_schedule, duration_s, env_extra=None, monitor_extra=None):
    """One playback of the piece by one player; returns the raw material:
    log paths, the player's resource use, its threads' scheduling policies,
    its start time, and the reader's CPU time during the playback."""
    node_dir = os.path.join(work, "nodes-%s" % tag)
    shutil.rmtree(node_dir, ignore_errors=True)
    os.makedirs(node_dir)
    mon_log = os.path.join(work, "%s.monitor.log" % tag)
    pause_log = os.path.join(work, "%s.pauses" % tag)
    out_path = os.path.join(work, "%s.player.out" % tag)
    reader_cpus, player_cpus = cpu_plan()
    detectors = [subprocess.Popen(pinned([c], rt_prefix() + [tools.pausedet, "%s.cpu%d.log" % (pause_log, c)]))
                 for c in range(os.cpu_count() or 1)]
    monitor_argv = pinned(reader_cpus, rt_prefix() + [tools.monitor, "-q", "-n", "1", "-D", node_dir, "-l", mon_log,
                                                     "-i", "20", "-t", str(int(duration_s + 120))]
                                    + (monitor_extra if monitor_extra is not None else monitor_extra_for(name, work,
                                                                                                         tag)))
    monitor = subprocess.Popen(monitor_argv, stdout=subprocess.PIPE, stderr=open(mon_log + ".err", "w"), text=True)
    try:
        ready = read_ready_line(monitor)
        node_rel = ready.split("player options:")[1].split()[1]
        node_abs = os.path.join(node_dir, "umidi0.0")
        argv, env, stdin = player_command(name, tools, piece, node_abs, node_rel, floor_schedule)
        if env_extra:
            env = dict(env or os.environ, **env_extra)
        time.sleep(0.2)  # let the detectors settle before the song starts
        before = cpu_times()
        monitor_before = process_cpu_s(monitor.pid)
        with open(out_path, "wb") as out:
            usage = run_measured(pinned(player_cpus, argv), stdout=out, stderr=subprocess.STDOUT, env=env,
                                 input_bytes=stdin, timeout=duration_s + 60, probe_after=min(1.0, duration_s / 2))
        after = cpu_times()
        # all cores' busy time during the playback less the player's own: the
        # instruments take one or two per cent, the rest is other work
        busy_s = ((after[0] - after[1]) - (before[0] - before[1])) / os.sysconf("SC_CLK_TCK")
        usage["other_during"] = max(0.0, busy_s - usage["user"] - usage["sys"]) / (
            (os.cpu_count() or 1) * usage["wall"])
        time.sleep(0.2)  # the last messages reach the log
        monitor_after = process_cpu_s(monitor.pid)
        if monitor_before is not None and monitor_after is not None:
            usage["monitor_cpu_s"] = monitor_after - monitor_before
    finally:
        stop(monitor)
        for d in detectors:
            stop(d)
        shutil.rmtree(node_dir, ignore_errors=True)
    usage["argv"] = pinned(player_cpus, argv)
    usage["command"] = shown_command(usage["argv"], env, stdin)
    usage["monitor_argv"] = monitor_argv
    with open("/proc/loadavg") as f:
        usage["loadavg"] = float(f.read().split()[0])
    usage["monitor_log"] = mon_log
    usage["monitor_err"] = mon_log + ".err"
    usage["pause_log"] = pause_log
    return usage


def shown_command(argv, env, stdin):
    """The command line as a shell would run it: the preloaded library and
    the script on standard input included."""
    line = " ".join(shlex.quote(a) for a in argv)
    if env and env.get("LD_PRELOAD"):
        line = "LD_PRELOAD=%s %s" % (env["LD_PRELOAD"], line)
    if stdin:
        line = "printf '%s' | %s" % (stdin.decode().replace("\n", "\\n"), line)
    return line


def message_key(data):
    """What identifies a channel message for matching: kind, channel and
    first data byte, a note-on of velocity 0 being a note-off."""
    status = data[0]
    kind = status & 0xF0
    if kind == 0x90 and len(data) > 2 and data[2] == 0:
        kind = 0x80
    return (kind, status & 0x0F, data[1] if len(data) > 1 else None)


def read_monitor_log(path):
    """(arrival ns, bytes) of every channel message in the log, port 0 only."""
    out = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 3 or parts[0] != "0":
                continue
            data = bytes(int(h, 16) for h in parts[2:])
            if 0x80 <= data[0] <= 0xEF:
                out.append((int(parts[1]), data))
    return out


def read_pauses(prefix):
    """Logged pauses of every core as (start ns, end ns, lost ns): the
    detector's sleep began at start and should have ended 1 ms later.
    Pauses seen on several cores at once are merged into one."""
    raw = []
    for path in glob.glob(prefix + ".cpu*.log"):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3 and parts[0].isdigit():
                    expected, woke, _ = (int(p) for p in parts)
                    raw.append((expected - 1_000_000, woke))
    merged = []
    for start, end in sorted(raw):
        if merged and start <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], end)
        else:
            merged.append([start, end])
    # the time lost is what the sleep overran by
    return [(s, e, max(0, e - s - 1_000_000)) for s, e in merged]


def match(expected, arrivals):
    """Pairs every expected message with an arrival: the k-th arrival of a
    key is the k-th expected message of that key. Returns (pairs of
    (ideal us, arrival ns)) sorted by ideal time then arrival, and the
    counts of missing and extra messages."""
    queues = {}
    for m in expected:
        queues.setdefault(message_key(bytes.fromhex(m["hex"])), []).append(m["us"])
    taken = {}
    pairs = []
    extra = 0
    for ns, data in arrivals:
        key = message_key(data)
        q = queues.get(key)
        i = taken.get(key, 0)
        if q is None or i >= len(q):
            extra += 1
            continue
        taken[key] = i + 1
        pairs.append((q[i], ns))
    pairs.sort()
    return pairs, len(expected) - len(pairs), extra


def schedule_moves(pairs, late):
    """Where the player moved its schedule later, inferred from the output:
    a step up in lateness of more than MOVE_US that is still there once the
    delay it stands for has passed (a player that catches up after a pause
    is back on time by then). Returns the moves as (index, size us) and, per
    message, the sum of the moves up to it."""
    moves, offsets = [], []
    offset = 0.0
    for i, value in enumerate(late):
        if i > 0:
            before = median([late[k] - offsets[k] for k in range(max(0, i - MOVE_WINDOW), i)])
            step = value - offset - before
            if step > MOVE_US:
                settled = pairs[i][0] + step
                after = [late[k] - offset for k in range(i, len(late)) if pairs[k][0] >= settled][:MOVE_WINDOW]
                if len(after) >= 3 and median(after) - before > MOVE_US:
                    moves.append((i, median(after) - before))
                    offset += moves[-1][1]
        offsets.append(offset)
    return moves, offsets


def overlaps(pauses, lo, hi):
    return any(start <= hi and end >= lo for start, end, _ in pauses)


def summarise(values):
    a = [abs(v) for v in values]
    return {"p50": percentile(a, 50), "p95": percentile(a, 95), "p99": percentile(a, 99),
            "max": max(a) if a else None, "n": len(a)}


def analyse(sched, usage):
    """The figures of one playback: inter-onset interval errors, errors
    against the schedule (as the player moved it) from the first message,
    drift, schedule moves, CPU, pauses; each error figure over all messages
    and over those clear of pauses."""
    pairs, missing, extra = match(sched["messages"], read_monitor_log(usage["monitor_log"]))
    pauses = read_pauses(usage["pause_log"])
    cpu = usage["user"] + usage["sys"]
    result = {"missing": missing, "extra": extra, "messages": len(pairs), "cpu_s": cpu,
              "cpu_pct": 100.0 * cpu / (sched["duration_us"] / 1e6), "wall_s": usage["wall"],
              "loadavg": usage.get("loadavg"), "other_during": usage.get("other_during"),
              "monitor_cpu_pct": (100.0 * usage["monitor_cpu_s"] / (sched["duration_us"] / 1e6)
                                  if usage.get("monitor_cpu_s") is not None else None),
              "policies": usage.get("policies")}
    if len(pairs) < 2:
        return result
    ideal0, t0 = pairs[0]
    late = [((ns - t0) / 1000.0) - (us - ideal0) for us, ns in pairs]
    moves, offsets = schedule_moves(pairs, late)
    err = [v - o for v, o in zip(late, offsets)]
    ioi, clean_ioi, waited, clean_waited = [], [], [], []
    clean_idx = [0]
    # where the drift comes from: the interval errors add up to it exactly
    parts = {"zero_sum_us": 0.0, "steady_sum_us": 0.0, "late_sum_us": 0.0, "late_n": 0, "paused_sum_us": 0.0}
    for i in range(1, len(pairs)):
        (us_a, ns_a), (us_b, ns_b) = pairs[i - 1], pairs[i]
        e = (ns_b - ns_a) / 1000.0 - (us_b - us_a)
        ioi.append(e)
        if us_b > us_a:
            waited.append(e)
        due_ns = t0 + (us_b - ideal0 + offsets[i]) * 1000
        if overlaps(pauses, min(ns_a, due_ns) - PAUSE_MARGIN_NS, max(ns_b, due_ns) + PAUSE_MARGIN_NS):
            parts["paused_sum_us"] += e
            continue
        clean_ioi.append(e)
        clean_idx.append(i)
        if us_b == us_a:
            parts["zero_sum_us"] += e
            continue
        clean_waited.append(e)
        if e > LATE_US:
            parts["late_sum_us"] += e
            parts["late_n"] += 1
        else:
            parts["steady_sum_us"] += e
    # a constant late start is taken out by the median error
    offset = percentile(err, 50)
    centred = [e - offset for e in err]
    result.update({
        "ioi": summarise(ioi), "ioi_clean": summarise(clean_ioi),
        "waited": summarise(waited), "waited_clean": summarise(clean_waited),
        "sched": summarise(err), "sched_clean": summarise([err[i] for i in clean_idx]),
        "centred": summarise(centred), "centred_clean": summarise([centred[i] for i in clean_idx]),
        "unmoved": summarise(late), "offset_us": offset, "drift_us": late[-1],
        "moves": len(moves), "moved_us": sum(size for _, size in moves),
        "start_latency_ms": (pairs[0][1] - usage["start_ns"]) / 1e6,
        "parts": parts, "waits": sched["waits"],
    })
    in_run = [p for p in pauses if p[0] <= pairs[-1][1] and p[1] >= pairs[0][1]]
    result["pauses"] = len(in_run)
    result["pause_lost_us"] = sum(p[2] for p in in_run) / 1000.0
    result["drift_net_us"] = result["drift_us"] - result["pause_lost_us"]
    # what is left of the drift once the schedule's own moves after pauses
    # are taken out: the player's error at the end of the song
    result["drift_kept_us"] = result["drift_us"] - result["moved_us"]
    result["cost_per_wait_us"] = result["drift_net_us"] / sched["waits"]
    return result


def reader_latency(write_log, monitor_log):
    """How long after the player entered write() the reader stamped each
    message: the instrument's own delay, message by message in order."""
    if not os.path.exists(write_log):
        return None
    sent = read_monitor_log(write_log)
    got = read_monitor_log(monitor_log)
    if not sent or len(sent) != len(got):
        return None
    return summarise([(g[0] - w[0]) / 1000.0 for w, g in zip(sent, got)])


def read_phaseshim(path):
    values = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                k, v = line.split()
                values[k] = int(v)
    return values


def start_hogs(tools, count):
    return [subprocess.Popen([tools.hog]) for _ in range(count)]


def stop_hogs(hogs):
    for h in hogs:
        stop(h)


def load_schedule(path):
    with open(path) as f:
        return json.load(f)
