"""The live path's audio server: a PulseAudio server of the run's own with
a null sink, in a private runtime directory, and a recorder of the sink's
monitor source whose every chunk is stamped on the monotonic clock as it
arrives, so that the sound can be placed on the reader's time line."""
import array
import bisect
import os
import shutil
import subprocess
import tempfile
import threading
import time

RATE = 44100
# Chunks that arrive within this time of the first are not used to place
# the recording on the clock.
SETTLE_NS = 300000000
# The stretch over which the lowest placement of the chunks is kept.
ENVELOPE_WINDOW_NS = 500000000


def available():
    """Whether the server and its recorder are installed."""
    return all(shutil.which(p) for p in ("pulseaudio", "pactl", "parec"))


class Server:
    """A private server; env points clients at it."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="bench-pulse-")
        run = os.path.join(self.dir, "run")
        os.makedirs(os.path.join(run, "pulse"), mode=0o700)
        os.makedirs(os.path.join(self.dir, "home"))
        socket = os.path.join(run, "pulse", "native")
        config = os.path.join(self.dir, "default.pa")
        with open(config, "w") as f:
            f.write("load-module module-null-sink sink_name=sink rate=%d channels=2\n" % RATE)
            f.write("load-module module-native-protocol-unix auth-anonymous=1 socket=%s\n" % socket)
            f.write("set-default-sink sink\n")
        # PULSE_RUNTIME_PATH too: run as root, the server would otherwise
        # look for the system-wide directory.
        self.env = {"XDG_RUNTIME_DIR": run, "HOME": os.path.join(self.dir, "home"),
                    "PULSE_RUNTIME_PATH": os.path.join(run, "pulse"), "PULSE_SERVER": "unix:" + socket}
        env = dict(os.environ, **self.env)
        env.pop("DISPLAY", None)
        self.proc = subprocess.Popen(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
                                      "--realtime=yes", "--high-priority=yes",
                                      "-F", config], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0:
                return
            time.sleep(0.05)
        self.close()
        raise RuntimeError("the private PulseAudio server did not answer")

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        shutil.rmtree(self.dir, ignore_errors=True)


class Recorder:
    """The sink's monitor source, 16-bit stereo, every chunk stamped."""

    def __init__(self, server):
        env = dict(os.environ, **server.env)
        self.proc = subprocess.Popen(["parec", "--device=sink.monitor", "--format=s16le", "--rate=%d" % RATE,
                                      "--channels=2", "--latency-msec=5"], env=env, stdout=subprocess.PIPE)
        self.chunks = []
        self.thread = threading.Thread(target=self._read)
        self.thread.start()

    def _read(self):
        while True:
            data = self.proc.stdout.read1(65536)
            if not data:
                break
            self.chunks.append((time.monotonic_ns(), data))

    def stop(self):
        """The left channel and the monotonic time of its first sample, in s;
        self.rate gets its frames per monotonic second. The arrival of each
        chunk less the frames up to its end is never earlier than the time of
        its first sample (a null sink hands its monitor what it has just
        consumed): its lower envelope, taken per half second and fitted with
        a line, places the recording. The line's slope is there because the
        server's clock need not keep the monotonic clock's pace: a few
        hundred parts per million move a recording's end by milliseconds."""
        self.proc.terminate()
        self.thread.join()
        self.proc.wait()
        data = b"".join(d for _, d in self.chunks)
        frames, lows = 0, {}
        first = self.chunks[0][0] if self.chunks else 0
        # The last chunk can come cut short as the recorder ends.
        for stamp, chunk in self.chunks[:-1]:
            frames += len(chunk) // 4
            # The first chunks bring what the source held before the
            # recording began, all at once: they would place it too early.
            if stamp - first < SETTLE_NS:
                continue
            t = stamp / 1e9 - frames / RATE
            window = (stamp - first) // ENVELOPE_WINDOW_NS
            if window not in lows or t < lows[window][1]:
                lows[window] = (frames, t)
        start, self.rate = fit_envelope(list(lows.values()))
        samples = array.array("h", data[:len(data) // 4 * 4])[0::2]
        return samples, start


def fit_envelope(points):
    """The time of frame 0 and the frames per second of the line through
    (frames, time of frame 0 as that chunk placed it) points, by least
    squares; the nominal rate when the points are too few."""
    if not points:
        return None, RATE
    if len(points) < 3:
        return min(t for _, t in points), RATE
    n = len(points)
    mf = sum(f for f, _ in points) / n
    mt = sum(t for _, t in points) / n
    var = sum((f - mf) ** 2 for f, _ in points)
    slope = sum((f - mf) * (t - mt) for f, t in points) / var if var else 0.0
    # time(frame) = start + frame / RATE + slope * frame, lowered to the
    # lowest point: a lower envelope, as each point is an upper bound.
    return min(t - slope * f for f, t in points), 1.0 / (1.0 / RATE + slope)


def onset_delays(samples, start, stamps, window_s=0.1, fraction=0.1, rate=RATE):
    """Each note's onset in the recording less its arrival stamp, in s; None
    for a note not heard. stamps are absolute monotonic seconds; rate is the
    recording's frames per monotonic second."""
    delays = []
    for t in stamps:
        lo = int((t - start) * rate)
        if lo < 0 or lo >= len(samples):
            delays.append(None)
            continue
        window = [abs(x) for x in samples[lo:lo + int(window_s * rate)]]
        peak = max(window) if window else 0
        if peak < 100:
            delays.append(None)
            continue
        first = next(i for i, x in enumerate(window) if x > fraction * peak)
        delays.append((lo + first) / rate + start - t)
    return delays


def dropout_gaps(samples, start, notes, latency, frames=64, rate=RATE):
    """Runs of at least frames exact zeros in the recording while a note
    must be sounding: from 8 to 15 ms after a note-on's arrival stamp
    (absolute monotonic s) and the latency, clear of the onsets' spread and
    of the note's end, as (start, end) in monotonic s. Gaps in what the
    player sends are not counted."""
    runs, run = [], 0
    for i, x in enumerate(samples):
        if x == 0:
            run += 1
            continue
        if run >= frames:
            runs.append(((i - run) / rate + start, i / rate + start))
        run = 0
    gaps = []
    stamps = sorted(notes)
    for a, b in runs:
        # a note whose sure stretch [s + L + 8 ms, s + L + 15 ms] meets [a, b]
        lo, hi = a - latency - 0.015, b - latency - 0.008
        if any(lo < s < hi for s in stamps[bisect.bisect_left(stamps, lo):bisect.bisect_right(stamps, hi)]):
            gaps.append((a, b))
    return gaps


def dropouts(samples, start, notes, latency, frames=64, rate=RATE):
    """How many gaps dropout_gaps finds."""
    return len(dropout_gaps(samples, start, notes, latency, frames, rate))


# A pause of the machine ending this long before a gap may have caused it:
# the server's buffer ran dry while nothing ran, and the gap is heard when
# the sink renders again.
PAUSE_REACH_S = 0.05


def gaps_clear_of(gaps, pauses):
    """The gaps that no logged pause of the machine (start ns, end ns, lost
    ns) overlaps or ends just before: those a buffer of any program of this
    latency could have covered."""
    return [(a, b) for a, b in gaps
            if not any(ps / 1e9 <= b and pe / 1e9 >= a - PAUSE_REACH_S for ps, pe, _ in pauses)]
