"""Test pieces for the benchmarks: Standard MIDI Files written byte by byte,
and the ideal time of every message from the start of the song (a tempo
change taking effect for the ticks after it)."""
import json
import random
import struct

TIMEBASE = 480
# Tempos that are whole multiples of the timebase, so that a tick is a whole
# number of microseconds: every player, whatever its arithmetic, then has the
# same ideal schedule, and none is charged for a rounding.
TEMPOS = (480000, 576000, 432000)  # 1000, 1200 and 900 us per tick


def vlq(value):
    """The variable-length quantity of value, most significant group first."""
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def track_chunk(events):
    """An MTrk chunk from (tick, bytes) pairs in order, ended by End of Track."""
    body = bytearray()
    last = 0
    for tick, data in events:
        body += vlq(tick - last) + data
        last = tick
    body += vlq(0) + b"\xff\x2f\x00"
    return b"MTrk" + struct.pack(">I", len(body)) + bytes(body)


def smf(tracks, timebase=TIMEBASE):
    """A format 1 file holding the given tracks of (tick, bytes) events."""
    head = b"MThd" + struct.pack(">IHHH", 6, 1, len(tracks), timebase)
    return head + b"".join(track_chunk(t) for t in tracks)


def tempo_event(tempo):
    return b"\xff\x51\x03" + struct.pack(">I", tempo)[1:]


# Each track's rhythm: relative step sizes between note groups and how many
# notes sound together. Track 2 is "humanised": any step from 1 tick up.
TRACK_STYLES = [
    {"steps": [120, 120, 240, 60, 180, 90, 360, 30], "group": [1], "channel": 0, "keys": (60, 84)},
    {"steps": [240, 480, 120, 360], "group": [3, 3, 4], "channel": 1, "keys": (48, 72)},
    {"steps": None, "group": [1], "channel": 2, "keys": (55, 79)},
    {"steps": [120, 240, 120, 60], "group": [1, 2], "channel": 9, "keys": (35, 51)},
]


def make_track(style, notes, total_ticks, rng):
    """One track's notes as (tick, order, bytes) with note-offs first on ties."""
    groups = []
    while sum(groups) < notes:
        groups.append(min(rng.choice(style["group"]), notes - sum(groups)))
    if style["steps"] is None:
        raw = [rng.randint(1, 100) for _ in groups]
    else:
        raw = [rng.choice(style["steps"]) for _ in groups]
    scale = (total_ticks * 0.99) / sum(raw)
    steps = [max(1, round(s * scale)) for s in raw]
    ch = style["channel"]
    events = [(0, 0, bytes([0xC0 | ch, rng.randint(0, 40)]))]
    lo, hi = style["keys"]
    sounding = {}  # key -> tick of its note-off
    tick = 0
    for size, step in zip(groups, steps):
        legato = rng.random() < 0.3
        for _ in range(size):
            free = [k for k in range(lo, hi) if sounding.get(k, -1) < tick]
            key = rng.choice(free)
            length = step if legato else max(1, int(step * rng.uniform(0.3, 0.95)))
            off = tick + length
            sounding[key] = off
            events.append((tick, 1, bytes([0x90 | ch, key, rng.randint(40, 120)])))
            events.append((off, 0, bytes([0x80 | ch, key, 64])))
        tick += step
    events.sort(key=lambda e: (e[0], e[1]))
    return events


def timing_piece(seconds=30.0, seed=7):
    """The timing piece: four tracks of notes, runs of zero deltas (chords,
    legato joins, ties between tracks), deltas from 1 tick up, and two tempo
    changes. Returns (file bytes, schedule dict)."""
    rng = random.Random(seed)
    notes_per_track = round(500 * seconds / 30.0)
    mean_us_per_tick = sum(t // TIMEBASE for t in TEMPOS) / len(TEMPOS)
    total = int(seconds * 1e6 / mean_us_per_tick)
    changes = [(0, TEMPOS[0]), (total // 3, TEMPOS[1]), (2 * total // 3, TEMPOS[2])]
    tracks = []
    for i, style in enumerate(TRACK_STYLES):
        ev = make_track(style, notes_per_track, total, rng)
        if i == 0:
            ev += [(t, -1, tempo_event(tempo)) for t, tempo in changes]
            ev.sort(key=lambda e: (e[0], e[1]))
        tracks.append(ev)
    data = smf([[(t, b) for t, _, b in ev] for ev in tracks])
    return data, schedule(tracks)


def schedule(tracks):
    """The ideal time of every channel message, and the number of waits a
    player makes between the first message and the last (one per distinct
    tick that holds a record, End of Track included)."""
    records = sorted((t, i, o, b) for i, ev in enumerate(tracks) for t, o, b in ev)
    us_per_tick = 500000 // TIMEBASE
    now_us = 0
    last_tick = 0
    messages = []
    for tick, track, _, data in records:
        now_us += (tick - last_tick) * us_per_tick
        last_tick = tick
        if data[0] == 0xFF and data[1] == 0x51:
            us_per_tick = int.from_bytes(data[3:6], "big") // TIMEBASE
        elif data[0] < 0xF0:
            messages.append((now_us, track, data.hex()))
    first, last = messages[0][0], messages[-1][0]
    first_tick = min(t for t, _, _, b in records if b[0] < 0xF0)
    last_msg_tick = max(t for t, _, _, b in records if b[0] < 0xF0)
    # End of Track records sit after each track's last event; count them too
    ends = [ev[-1][0] for ev in tracks]
    ticks = {t for t, _, _, _ in records} | set(ends)
    waits = sum(1 for t in ticks if first_tick < t <= last_msg_tick)
    return {
        "messages": [{"us": us - first, "track": tr, "hex": h} for us, tr, h in messages],
        "duration_us": last - first,
        "waits": waits,
        "timebase": TIMEBASE,
        "tempos": list(TEMPOS),
    }


def load_file(events, track_count, varied=False, seed=11):
    """A file of about `events` channel events over `track_count` tracks, no
    running status: four bytes per event. Every delta is 0, or with varied,
    0 to 119 ticks under a tempo of 1 us per quarter note: a tick then lasts
    1/480 us, so the merge orders events of many different times while the
    whole song lasts some 30 us and playback waits for next to nothing."""
    rng = random.Random(seed)
    per_track = events // track_count
    chunks = []
    for t in range(track_count):
        ch = t % 16
        on = bytes([0x90 | ch])
        off = bytes([0x80 | ch])
        body = bytearray()
        if varied and t == 0:
            body += b"\x00" + tempo_event(1)
        for j in range(per_track):
            key = 36 + (j // 2) % 48
            delta = bytes([rng.randrange(120)]) if varied else b"\x00"
            body += (delta + on + bytes([key, 100])) if j % 2 == 0 else (delta + off + bytes([key, 64]))
        body += b"\x00\xff\x2f\x00"
        chunks.append(b"MTrk" + struct.pack(">I", len(body)) + bytes(body))
    head = b"MThd" + struct.pack(">IHHH", 6, 1, track_count, TIMEBASE)
    # records: the channel events, one End of Track per track, the tempo
    return head + b"".join(chunks), per_track * track_count + track_count + (1 if varied else 0)


def write_timing_piece(midi_path, schedule_path, floor_path, seconds):
    data, sched = timing_piece(seconds)
    with open(midi_path, "wb") as f:
        f.write(data)
    with open(schedule_path, "w") as f:
        json.dump(sched, f)
    with open(floor_path, "w") as f:
        for m in sched["messages"]:
            f.write("%d %s\n" % (m["us"], m["hex"]))
    return sched
