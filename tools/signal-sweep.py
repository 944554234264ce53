#!/usr/bin/env python3
"""Signal sweep: many whole runs of the built player, each sent a pair of
signals (SIGINT, SIGTERM, SIGHUP or SIGTSTP) at a random moment of its life
and a jittered gap of microseconds, half of them while the console is
stalled after the last note. A stress tool, not a CI test: it looks for the
faults that live at the edges between a run's phases.

A run fails when
  - the process is found stopped although a stop signal it was sent has
    already been taken (none is pending): stopped after a stop;
  - it ends by another signal than the first stop signal sent. Counted
    apart: two stop signals that are both pending before the thread that
    takes them runs again (a thread woken from poll on a busy machine, or
    every thread holding them for the microseconds of a thread's creation)
    are handed over by the kernel lowest number first, so no process can
    tell which was sent first; the run ends by the first it takes;
  - it ended by a stop, yet a port neither ends in All Sound Off nor (for
    port 0) holds the whole song, played to its end before the stop;
  - it does not end within ten seconds of its last signal (a hang).

Usage: tools/signal-sweep.py [--runs N] [--jobs J] [--seed S] [BUILD_DIR]
"""
import argparse
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

ALL_SOUND_OFF = bytes(b for ch in range(16) for b in (0xB0 + ch, 0x78, 0x00))
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
KEYS = STOPS + (signal.SIGTSTP,)


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, 0x80 | (value & 0x7F))
        value >>= 7
    return bytes(out)


def song(with_texts):
    """Timebase 100 at tempo 500000: a tick is 5 ms. Eight notes 20 ms
    apart, the last left sounding; with_texts adds 200 KB of lyrics ahead
    of the last note, so that a console that takes nothing holds the run
    in its drain."""
    track = b""
    notes = b""
    for k in range(8):
        notes += vlq(4 if k else 0) + bytes((0x90, 0x3C + k, 0x40))
    track += notes
    if with_texts:
        for k in range(4):
            text = bytes([0x61 + k]) * 50000
            track += vlq(0) + b"\xff\x05" + vlq(len(text)) + text
    track += vlq(0) + b"\xff\x2f\x00"
    header = b"MThd" + struct.pack(">IHHH", 6, 0, 1, 100)
    stream = b"".join(bytes((0x90, 0x3C + k, 0x40)) for k in range(8))
    return header + b"MTrk" + struct.pack(">I", len(track)) + track, stream


def pending_signals(pid):
    """The signals pending for the process or any of its threads."""
    pending = 0
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith(("ShdPnd:", "SigPnd:")):
                    pending |= int(line.split()[1], 16)
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/status") as status:
                for line in status:
                    if line.startswith("SigPnd:"):
                        pending |= int(line.split()[1], 16)
    except OSError:
        pass
    return {n for n in range(1, 64) if pending & (1 << (n - 1))}


def spin(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def one_run(player, rng, workdir):
    texts = rng.random() < 0.5
    image, whole = song(texts)
    path = os.path.join(workdir, "song.mid")
    with open(path, "wb") as f:
        f.write(image)
    ports = []
    for p in range(4):
        port = os.path.join(workdir, f"p{p}")
        open(port, "wb").close()
        ports.append(port)
    args = [player, "-r"]
    for p, port in enumerate(ports):
        args += [f"-{p}", ".." + port]
    args.append(path)
    # With texts, standard output is a pipe read only after the signals.
    out_r, out_w = os.pipe()
    proc = subprocess.Popen(args, stdout=out_w if texts else subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    os.close(out_w)
    first, second = rng.choice(KEYS), rng.choice(KEYS)
    # From 3 ms on: before that the signal may reach the child before its
    # exec, where the launcher, not the player, holds it.
    at = rng.uniform(0.003, 0.12 if not texts else 0.2)
    time.sleep(at)
    os.kill(proc.pid, first)
    spin(rng.uniform(0.0, 0.002))
    try:
        os.kill(proc.pid, second)
    except ProcessLookupError:
        pass
    sent = [first, second]
    first_stop = next((s for s in sent if s in STOPS), None)
    reader = threading.Thread(target=lambda: [None for _ in iter(lambda: os.read(out_r, 65536), b"")], daemon=True)
    faults = []
    stopped_seen = 0
    deadline = time.monotonic() + 10
    reader_started = False
    while True:
        if not reader_started and time.monotonic() > deadline - 9:
            reader.start()
            reader_started = True
        pid, status = os.waitpid(proc.pid, os.WUNTRACED | os.WNOHANG)
        if pid == 0:
            if time.monotonic() > deadline:
                faults.append("hang")
                os.killpg(proc.pid, signal.SIGKILL)
                os.waitpid(proc.pid, 0)
                break
            time.sleep(0.002)
            continue
        if os.WIFSTOPPED(status):
            stopped_seen += 1
            held = pending_signals(proc.pid) & set(STOPS)
            if first_stop is not None and not held and stopped_seen == 1:
                # Stopped with no stop pending: one was taken before the stop.
                faults.append("stopped after a stop")
            os.kill(proc.pid, signal.SIGCONT)
            if first_stop is None:
                # Only pauses were sent: end the run with a stop of our own.
                first_stop = signal.SIGINT
                time.sleep(0.01)
                os.kill(proc.pid, signal.SIGINT)
            deadline = time.monotonic() + 10
            continue
        break
    if not reader_started:
        reader.start()
    reader.join(timeout=5)
    os.close(out_r)
    if "hang" in faults:
        return faults, texts, first, second
    by_signal = os.WIFSIGNALED(status)
    if by_signal and os.WTERMSIG(status) != first_stop:
        faults.append(f"ended by {signal.Signals(os.WTERMSIG(status)).name}, "
                      f"not {signal.Signals(first_stop).name} (first signal at {at * 1000:.1f} ms)")
    if by_signal:
        received = [open(port, "rb").read() for port in ports]
        whole_song = received[0] == whole
        # A stop before the first byte sends nothing at all.
        if not any(received):
            received = []
        for p, data in enumerate(received):
            if data.endswith(ALL_SOUND_OFF):
                continue
            if whole_song and (p == 0 or data == b""):
                continue
            faults.append(f"port {p} without All Sound Off")
    return faults, texts, first, second


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("build", nargs="?", default="build")
    options = parser.parse_args()
    player = os.path.abspath(os.path.join(options.build, "songrelay"))
    if not os.access(player, os.X_OK):
        sys.exit(f"signal-sweep: {player} not found; build it first")
    counts = {"runs": 0, "stopped after a stop": 0, "port without All Sound Off": 0, "wrong signal": 0, "hang": 0}
    failures = []
    lock = threading.Lock()
    next_run = [0]

    def worker(index):
        rng = random.Random(options.seed * 1000 + index)
        with tempfile.TemporaryDirectory(prefix="signal-sweep-") as workdir:
            while True:
                with lock:
                    if next_run[0] >= options.runs:
                        return
                    next_run[0] += 1
                faults, texts, first, second = one_run(player, rng, workdir)
                with lock:
                    counts["runs"] += 1
                    for fault in faults:
                        key = ("port without All Sound Off" if fault.startswith("port") else
                               "wrong signal" if fault.startswith("ended by") else fault)
                        counts[key] += 1
                    if faults:
                        failures.append((first.name, second.name, texts, faults))

    threads = [threading.Thread(target=worker, args=(j,)) for j in range(options.jobs)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for first, second, texts, faults in failures[:20]:
        print(f"signal-sweep: {first} then {second}{' (stalled console)' if texts else ''}: {'; '.join(faults)}")
    print("signal-sweep: " + ", ".join(f"{key}: {value}" for key, value in counts.items()))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
