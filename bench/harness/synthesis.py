"""The monitor as a sound module: the reader's CPU while it renders a WAV
file of a dense piece, whether its synthesizer keeps up, and the onset
error of the rendered file against the reader's own arrival stamps."""
import array
import os
import re
import shutil
import struct
import subprocess
import tempfile
import wave

import tables
import timing
from common import fmt, median, percentile
from pieces import TIMEBASE, smf, tempo_event

# 1 ms per tick at the timebase of 480.
TEMPO = 480000
DENSE_SECONDS = 10
DENSE_NOTES_PER_S = 2000
ONSET_NOTES = 60
ONSET_KEY = 81


def available(tools):
    """Whether the monitor built here renders (the library and a SoundFont)."""
    scratch = tempfile.mkdtemp(prefix="bench-synth-")
    try:
        done = subprocess.run([tools.monitor, "-q", "-D", scratch, "-t", "0.05", "-w",
                               os.path.join(scratch, "probe.wav")], capture_output=True, timeout=30)
        return done.returncode == 0
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


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


def onset_piece(path):
    """ONSET_NOTES notes alone, each cut by All Sound Off 60 ms after it,
    at uneven distances, so that each onset stands clear in the file."""
    gaps = [130, 170, 110, 190, 150, 120, 180, 140, 160, 115, 175, 135]
    events, tick = [(0, tempo_event(TEMPO)), (0, bytes([0xC0, 0]))], 100
    for i in range(ONSET_NOTES):
        events += [(tick, bytes([0x90, ONSET_KEY, 100])), (tick + 60, bytes([0xB0, 0x78, 0x00]))]
        tick += 60 + gaps[i % len(gaps)]
    with open(path, "wb") as f:
        f.write(smf([events], TIMEBASE))


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


def play(tools, work, tag, piece, seconds):
    """songrelay plays piece into a reader that renders tag.wav."""
    wav = os.path.join(work, "%s.wav" % tag)
    usage = timing.play_once("songrelay", tools, work, tag, piece, None, seconds, monitor_extra=["-w", wav])
    behind, dropped = monitor_report(usage["monitor_err"])
    return {"wav": wav, "log": usage["monitor_log"], "behind_ms": behind, "dropped": dropped,
            "monitor_cpu_pct": 100.0 * usage["monitor_cpu_s"] / seconds if usage.get("monitor_cpu_s") else None,
            "player_cpu_pct": 100.0 * (usage["user"] + usage["sys"]) / seconds, "command": usage["command"],
            "monitor_command": " ".join(usage["monitor_argv"])}


def run(tools, work):
    dense_path = os.path.join(work, "dense-piece.mid")
    dense_piece(dense_path)
    dense = play(tools, work, "synth-dense", dense_path, DENSE_SECONDS)
    onset_path = os.path.join(work, "onset-piece.mid")
    onset_piece(onset_path)
    onset = play(tools, work, "synth-onset", onset_path, 12.0)
    errors, attack, count = onset_errors(onset["wav"], onset["log"])
    onset.update({"p50_ms": percentile(errors, 50), "max_ms": max(errors), "attack_ms": attack,
                  "notes": count, "measured": len(errors)})
    return {"dense": dense, "onset": onset}


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
    return out


def table(results, markdown=False):
    return tables.render(HEADER, rows(results), markdown)
