"""The monitor as a sound module: the reader's CPU while it renders a WAV
file of a dense piece, whether its synthesizer keeps up, and the onset
error of the rendered file against the reader's own arrival stamps; and the
live path through a private PulseAudio server: the reader's CPU idle and
on the dense piece, the latency from arrival to sound, its spread, and the
periods the output did not deliver. Beside it, through the same server,
FluidSynth's own program plays the same pieces with its own file player,
the same SoundFont and the same period: the library's real-time path as
its authors ship it. The fluidsynth program is a peer of this bench alone;
where it is missing, its rows say so and the rest goes on."""
import array
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import wave

import live
import tables
import timing
from common import fmt, median, percentile, rt_prefix, stop
from pieces import TIMEBASE, smf, tempo_event

# 1 ms per tick at the timebase of 480.
TEMPO = 480000
DENSE_SECONDS = 10
DENSE_NOTES_PER_S = 2000
ONSET_NOTES = 60
ONSET_KEY = 81
IDLE_SECONDS = 10
# The live output's period at the default settings (-z 512 at 44.1 kHz).
PERIOD_MS = 512 * 1000.0 / 44100
LIVE = ["--play", "-a", "pulseaudio"]
# FluidSynth's own program as the peer: no MIDI input, its PulseAudio
# driver, the monitor's rate, period and gain (the library's default), its
# own file player.
PEER = ["-n", "-a", "pulseaudio", "-r", "44100", "-z", "512", "-g", "0.2"]


def soundfont(tools):
    """The SoundFont the monitor built here renders with (the library and a
    SoundFont found), from its header; None when it does not render."""
    scratch = tempfile.mkdtemp(prefix="bench-synth-")
    try:
        done = subprocess.run([tools.monitor, "-q", "-D", scratch, "-t", "0.05", "-w",
                               os.path.join(scratch, "probe.wav")], capture_output=True, timeout=30, text=True)
        found = re.search(r"SoundFont (\S+)", done.stdout)
        return found.group(1) if done.returncode == 0 and found else None
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def available(tools):
    """Whether the monitor built here renders (the library and a SoundFont)."""
    return soundfont(tools) is not None


def dense_piece(path):
    """DENSE_NOTES_PER_S notes a second for DENSE_SECONDS: two notes every
    millisecond on channels in turn (drums left out), each 20 ms long."""
    events = [(0, 0, tempo_event(TEMPO))]
    for tick in range(DENSE_SECONDS * 1000):
        for k in range(DENSE_NOTES_PER_S // 1000):
            n = tick * 2 + k
            channel = [0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15][n % 15]
            key = 36 + (n * 7) % 60
            events.append((tick, 1, bytes([0x90 | channel, key, 90])))
            events.append((tick + 20, 0, bytes([0x80 | channel, key, 0])))
    events.sort(key=lambda e: (e[0], e[1]))
    with open(path, "wb") as f:
        f.write(smf([[(t, d) for t, _, d in events]]))
    return sorted(t for t, kind, _ in events if kind == 1)


def onset_piece(path):
    """ONSET_NOTES notes alone, each cut by All Sound Off 60 ms after it,
    at uneven distances, so that each onset stands clear in the file."""
    gaps = [130, 170, 110, 190, 150, 120, 180, 140, 160, 115, 175, 135]
    events, tick, notes = [(0, tempo_event(TEMPO)), (0, bytes([0xC0, 0]))], 100, []
    for i in range(ONSET_NOTES):
        events += [(tick, bytes([0x90, ONSET_KEY, 100])), (tick + 60, bytes([0xB0, 0x78, 0x00]))]
        notes.append(tick)
        tick += 60 + gaps[i % len(gaps)]
    with open(path, "wb") as f:
        f.write(smf([events], TIMEBASE))
    return notes


def read_wav_left(path):
    """The left channel of a 16-bit stereo file, and its rate."""
    with wave.open(path) as w:
        frames = array.array("h", w.readframes(w.getnframes()))
        return frames[0::2], w.getframerate()


def onset_errors(wav_path, log_path):
    """Each note's onset in the file less its arrival stamp, less the median
    of those (the SoundFont's constant attack), in ms; and the attack."""
    samples, rate = read_wav_left(wav_path)
    stamps = []
    origin = None
    with open(log_path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 3:
                continue
            origin = int(parts[1]) if origin is None else origin
            if parts[2:] == ["90", "%02X" % ONSET_KEY, "64"]:
                stamps.append((int(parts[1]) - origin) / 1e9)
    delays = []
    for t in stamps:
        lo, hi = max(0, int((t - 0.005) * rate)), min(len(samples), int((t + 0.06) * rate))
        window = [abs(x) for x in samples[lo:hi]]
        if not window or max(window) == 0:
            continue
        threshold = 0.1 * max(window)
        first = next(i for i, x in enumerate(window) if x > threshold)
        delays.append((lo + first) / rate - t)
    attack = median(delays)
    return [abs(d - attack) * 1000 for d in delays], attack * 1000, len(stamps)


def monitor_report(err_path):
    """(ms behind at most, messages not rendered) from the monitor's lines."""
    with open(err_path) as f:
        text = f.read()
    behind = re.search(r"at most ([0-9.]+) ms behind", text)
    dropped = re.search(r"([0-9]+) messages not rendered", text)
    return (float(behind.group(1)) if behind else None), (int(dropped.group(1)) if dropped else 0)


def play(tools, work, tag, piece, seconds, extra=None):
    """songrelay plays piece into a reader that renders tag.wav, or that
    plays with the options extra."""
    wav = os.path.join(work, "%s.wav" % tag)
    usage = timing.play_once("songrelay", tools, work, tag, piece, None, seconds,
                             monitor_extra=extra if extra is not None else ["-w", wav])
    behind, dropped = monitor_report(usage["monitor_err"])
    return {"wav": wav, "log": usage["monitor_log"], "behind_ms": behind, "dropped": dropped,
            "monitor_cpu_pct": 100.0 * usage["monitor_cpu_s"] / seconds if usage.get("monitor_cpu_s") else None,
            "player_cpu_pct": 100.0 * (usage["user"] + usage["sys"]) / seconds, "command": usage["command"],
            "pause_log": usage["pause_log"],
            "monitor_command": " ".join(usage["monitor_argv"])}


def idle_cpu(tools, work, extra):
    """The reader's CPU, in % of a core, over IDLE_SECONDS with its nodes
    open and nothing played, with the options extra."""
    node_dir = os.path.join(work, "nodes-idle")
    shutil.rmtree(node_dir, ignore_errors=True)
    monitor = subprocess.Popen([tools.monitor, "-q", "-n", "4", "-D", node_dir] + extra, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    try:
        timing.read_ready_line(monitor)
        time.sleep(1.0)
        before, t0 = timing.process_cpu_s(monitor.pid), time.monotonic()
        time.sleep(IDLE_SECONDS)
        after, t1 = timing.process_cpu_s(monitor.pid), time.monotonic()
    finally:
        stop(monitor)
    return 100.0 * (after - before) / (t1 - t0)


def log_stamps(log_path, hex_prefix):
    """Arrival stamps (monotonic s) of the logged messages whose bytes start so."""
    stamps = []
    with open(log_path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and " ".join(parts[2:]).startswith(hex_prefix):
                stamps.append(int(parts[1]) / 1e9)
    return stamps


def peer_play(tools, work, tag, piece, font, seconds):
    """FluidSynth's own program plays piece through the server, pinned and
    prioritised as the reader is, recorded, with the pause detectors beside
    it as beside the monitor; the recording, its start on the monotonic
    clock, the program's CPU in % of a core, its command and the machine's
    pauses."""
    cpus = timing.cpu_plan()[0]
    argv = timing.pinned(cpus, rt_prefix() + ["fluidsynth", "-i", "-q"] + PEER + [font, piece])
    pause_log = os.path.join(work, "%s.pauses" % tag)
    detectors = [subprocess.Popen(timing.pinned([c], rt_prefix() + [tools.pausedet, "%s.cpu%d.log" % (pause_log, c)]))
                 for c in range(os.cpu_count() or 1)]
    try:
        recorder = live.Recorder(live_server)
        time.sleep(0.5)
        with open(os.path.join(work, "%s.err" % tag), "w") as err:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=err, stderr=err)
            try:
                _, status, usage = os.wait4(proc.pid, 0)
                proc.returncode = status
            except BaseException:
                stop(proc)
                raise
        time.sleep(0.5)
        samples, start = recorder.stop()
    finally:
        for d in detectors:
            stop(d)
    return (samples, start, recorder.rate, 100.0 * (usage.ru_utime + usage.ru_stime) / seconds, " ".join(argv),
            timing.read_pauses(pause_log))


def peer_stamps(samples, start, rate, ticks):
    """The absolute times at which the piece's notes are due, placed by the
    first sound of the recording (the first note, at tick ticks[0])."""
    first = next((i for i, x in enumerate(samples) if abs(x) > 100), None)
    if first is None or start is None:
        return []
    origin = start + first / rate - ticks[0] / 1000.0
    return [origin + t / 1000.0 for t in ticks]


def run_peer(tools, work, dense_path, dense_ticks, onset_path, onset_ticks, font):
    """FluidSynth's own player on the dense and onset pieces, and idle: its
    dropouts, onset spread against the piece's own schedule, and CPU."""
    proc = subprocess.Popen(timing.pinned(timing.cpu_plan()[0], rt_prefix() + ["fluidsynth", "-q"] + PEER + [font]),
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.0)
        before, t0 = timing.process_cpu_s(proc.pid), time.monotonic()
        time.sleep(IDLE_SECONDS)
        after, t1 = timing.process_cpu_s(proc.pid), time.monotonic()
    finally:
        stop(proc)
    idle = 100.0 * (after - before) / (t1 - t0) if before is not None and after is not None else None
    samples, start, rate, cpu, command, _ = peer_play(tools, work, "peer-onset", onset_path, font, 12.0)
    # Placed by the first onset, each note is measured from 5 ms before its due time.
    stamps = [t - 0.005 for t in peer_stamps(samples, start, rate, onset_ticks)]
    delays = [d for d in live.onset_delays(samples, start, stamps, rate=rate) if d is not None]
    middle = median(delays)
    spread = [abs(d - middle) * 1000 for d in delays]
    onset = {"spread_p50_ms": percentile(spread, 50), "spread_p95_ms": percentile(spread, 95),
             "heard": len(delays), "notes": len(onset_ticks), "command": command}
    samples, start, rate, cpu, command, pauses = peer_play(tools, work, "peer-dense", dense_path, font, DENSE_SECONDS)
    stamps = peer_stamps(samples, start, rate, dense_ticks)
    gaps = live.dropout_gaps(samples, start, stamps, 0.0, rate=rate) if stamps else None
    dense = {"dropouts": len(gaps) if gaps is not None else None, "cpu_pct": cpu, "command": command,
             "dropouts_clear": len(live.gaps_clear_of(gaps, pauses)) if gaps is not None else None}
    return {"idle_cpu_pct": idle, "dense": dense, "onset": onset}


live_server = None


def run_live(tools, work, dense_path, dense_ticks, onset_path, onset_ticks, font):
    """The live path through a private server, recorded: idle CPU, the dense
    piece's CPU and dropouts, the onset piece's latency and spread."""
    global live_server
    server = live_server = live.Server()
    saved = {k: os.environ.get(k) for k in server.env}
    os.environ.update(server.env)
    try:
        idle = idle_cpu(tools, work, LIVE)
        recorder = live.Recorder(server)
        time.sleep(0.5)
        onset = play(tools, work, "live-onset", onset_path, 12.0, LIVE)
        samples, start = recorder.stop()
        delays = [d for d in live.onset_delays(samples, start, log_stamps(onset["log"], "90 %02X 64" % ONSET_KEY),
                                               rate=recorder.rate) if d is not None]
        latency = median(delays)
        spread = [abs(d - latency) * 1000 for d in delays]
        # Notes no logged pause touched, from two periods before the arrival
        # (the callback that places it) to 40 ms after (its sound).
        pauses = timing.read_pauses(onset["pause_log"])
        stamps = log_stamps(onset["log"], "90 %02X 64" % ONSET_KEY)
        placed = live.onset_delays(samples, start, stamps, rate=recorder.rate)
        clear = [abs(d - latency) * 1000 for d, t in zip(placed, stamps) if d is not None and not timing.overlaps(
            pauses, int((t - 2 * PERIOD_MS / 1000) * 1e9), int((t + 0.04) * 1e9))]
        onset.update({"clear_p50_ms": percentile(clear, 50), "clear_p95_ms": percentile(clear, 95),
                      "clear": len(clear)})
        onset["recording_ppm"] = (recorder.rate / live.RATE - 1) * 1e6
        onset.update({"latency_ms": latency * 1000 if latency is not None else None,
                      "spread_p50_ms": percentile(spread, 50), "spread_p95_ms": percentile(spread, 95),
                      "heard": len(delays), "notes": ONSET_NOTES})
        recorder = live.Recorder(server)
        time.sleep(0.5)
        dense = play(tools, work, "live-dense", dense_path, DENSE_SECONDS, LIVE)
        samples, start = recorder.stop()
        notes = log_stamps(dense["log"], "9")
        gaps = live.dropout_gaps(samples, start, notes, latency, rate=recorder.rate) if latency is not None else None
        dense["dropouts"] = len(gaps) if gaps is not None else None
        dense["dropouts_clear"] = (len(live.gaps_clear_of(gaps, timing.read_pauses(dense["pause_log"])))
                                   if gaps is not None else None)
        peer = None
        if shutil.which("fluidsynth") and font:
            peer = run_peer(tools, work, dense_path, dense_ticks, onset_path, onset_ticks, font)
        else:
            print("synthesis: the fluidsynth program is not installed; FluidSynth's own player is not measured",
                  flush=True)
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        server.close()
    return {"idle_cpu_pct": idle, "dense": dense, "onset": onset, "peer": peer}


def run(tools, work):
    dense_path = os.path.join(work, "dense-piece.mid")
    dense_ticks = dense_piece(dense_path)
    dense = play(tools, work, "synth-dense", dense_path, DENSE_SECONDS)
    onset_path = os.path.join(work, "onset-piece.mid")
    onset_ticks = onset_piece(onset_path)
    onset = play(tools, work, "synth-onset", onset_path, 12.0)
    errors, attack, count = onset_errors(onset["wav"], onset["log"])
    onset.update({"p50_ms": percentile(errors, 50), "max_ms": max(errors), "attack_ms": attack,
                  "notes": count, "measured": len(errors)})
    results = {"dense": dense, "onset": onset,
               "idle_wav_cpu_pct": idle_cpu(tools, work, ["-w", os.path.join(work, "synth-idle.wav")])}
    if live.available():
        results["live"] = run_live(tools, work, dense_path, dense_ticks, onset_path, onset_ticks, soundfont(tools))
    else:
        print("synthesis: pulseaudio, pactl or parec not found; the live path is not measured", flush=True)
    return results


HEADER = ["figure", "value"]


def rows(results):
    """The reader's CPU on the timing piece with and without rendering, on
    the dense piece, how far behind its synthesizer fell, and the onset
    error."""
    out = []
    idle = tables.medians(results["timing"]["idle"]) if results.get("timing", {}).get("idle") else {}
    plain, wav = idle.get("songrelay", {}), idle.get("songrelay-wav", {})
    if wav.get("monitor_cpu_pct") is not None:
        out.append(["reader CPU, timing piece, idle: without synthesis / rendering --wav",
                    "%s %% / %s %%" % (fmt(plain.get("monitor_cpu_pct"), 2), fmt(wav["monitor_cpu_pct"], 2))])
    s = results.get("synth")
    if s:
        d, o = s["dense"], s["onset"]
        out += [["reader CPU rendering --wav, dense piece (%d notes/s for %d s)" % (DENSE_NOTES_PER_S,
                                                                                  DENSE_SECONDS),
                 "%s %%" % fmt(d["monitor_cpu_pct"], 1)],
                ["the synthesizer at most behind the arrivals, dense piece",
                 "%s ms, %d messages not rendered" % (fmt(d["behind_ms"], 1), d["dropped"])],
                ["onset error of the file against the arrival stamps, p50 / max (%d of %d notes)" % (
                    o["measured"], o["notes"]), "%s ms / %s ms" % (fmt(o["p50_ms"], 2), fmt(o["max_ms"], 2))],
                ["the SoundFont's constant attack taken out", "%s ms" % fmt(o["attack_ms"], 2)]]
        if s.get("idle_wav_cpu_pct") is not None:
            out.append(["reader CPU rendering --wav, four ports open, nothing played for %d s" % IDLE_SECONDS,
                         "%s %%" % fmt(s["idle_wav_cpu_pct"], 2)])
        lv = s.get("live")
        if lv:
            ld, lo = lv["dense"], lv["onset"]
            out += [["live --play (private PulseAudio, null sink): reader CPU, four ports open, nothing played "
                     "for %d s" % IDLE_SECONDS, "%s %%" % fmt(lv["idle_cpu_pct"], 2)],
                    ["live --play: reader CPU, dense piece", "%s %%" % fmt(ld["monitor_cpu_pct"], 1)],
                    ["live --play: periods not delivered (64 silent frames while a note must sound), dense piece; "
                     "of them clear of the machine's own pauses", "%s; %s" % (fmt(ld.get("dropouts")),
                                                                              fmt(ld.get("dropouts_clear")))],
                    ["live --play: latency from arrival to sound (median, %d of %d notes found in the recording)" % (
                        lo["heard"], lo["notes"]), "%s ms" % fmt(lo["latency_ms"], 1)],
                    ["live --play: the same less the SoundFont's attack (as measured in the file above)",
                     "%s ms" % fmt(lo["latency_ms"] - o["attack_ms"] if lo["latency_ms"] is not None else None, 1)],
                    ["live --play: spread of the onsets after that latency, p50 / p95 (period %.1f ms)" % PERIOD_MS,
                     "%s ms / %s ms" % (fmt(lo["spread_p50_ms"], 2), fmt(lo["spread_p95_ms"], 2))],
                    ["live --play: the same over the notes clear of pauses, p50 / p95 (%s notes)" % lo.get("clear"),
                     "%s ms / %s ms" % (fmt(lo.get("clear_p50_ms"), 2), fmt(lo.get("clear_p95_ms"), 2))],
                    ["live --play: the server's clock against the monotonic one, from the recording",
                     "%s ppm" % fmt(lo.get("recording_ppm"), 0)]]
            pe = lv.get("peer")
            if pe:
                pd, po = pe["dense"], pe["onset"]
                out += [["FluidSynth's own player (fluidsynth %s): CPU, running, nothing played for %d s" % (
                             " ".join(PEER), IDLE_SECONDS), "%s %%" % fmt(pe["idle_cpu_pct"], 2)],
                        ["FluidSynth's own player: CPU, dense piece", "%s %%" % fmt(pd["cpu_pct"], 1)],
                        ["FluidSynth's own player: periods not delivered, dense piece; of them clear of the "
                         "machine's own pauses", "%s; %s" % (fmt(pd.get("dropouts")), fmt(pd.get("dropouts_clear")))],
                        ["FluidSynth's own player: spread of the onsets against the piece's schedule, p50 / p95 "
                         "(%d of %d notes found)" % (po["heard"], po["notes"]),
                         "%s ms / %s ms" % (fmt(po["spread_p50_ms"], 2), fmt(po["spread_p95_ms"], 2))]]
            else:
                out.append(["FluidSynth's own player", "not measured (no fluidsynth program)"])
    return out


def table(results, markdown=False):
    return tables.render(HEADER, rows(results), markdown)
