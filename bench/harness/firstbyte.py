"""The time to the first byte: songrelay and midish each play the same small
file into a FIFO whose reader is there before the player starts; the
firstbyte helper starts the player, stamps the first byte that arrives and
the first channel message, and stops the player there. The C floor loop
sending one message at once is the floor: what starting a process and
writing to the FIFO cost on this machine."""
import os
import shutil
import subprocess

import timing
from common import median, rt_prefix

RUNS = 15
# A small file of the repository's own, whose first messages are due at once.
PIECE = os.path.join("examples", "sakura.mid")


def players(tools):
    return ["songrelay"] + (["midish"] if tools.midish and tools.alsa_shim else []) + ["floor"]


def helper_argv(name, tools, piece, floor_schedule, node, out_path):
    """The helper's command line for one player, and the player's standard
    input: the player as the timing runs start it, its preload library
    handed to it alone, the reader on the last core and the player on the
    others."""
    reader_cpus, player_cpus = timing.cpu_plan()
    argv, env, stdin = timing.player_command(name, tools, piece, node, node, floor_schedule)
    options = sum((["-c", str(c)] for c in player_cpus), [])
    if env and env.get("LD_PRELOAD"):
        options += ["-e", "LD_PRELOAD=" + env["LD_PRELOAD"]]
    return timing.pinned(reader_cpus, rt_prefix() + [tools.firstbyte] + options + [out_path, node] + argv), stdin


def play_once(name, tools, work, piece, floor_schedule, tag):
    """One start of one player; the first byte's and the first channel
    message's times after its start in ms (None when none came), its status
    and the command line."""
    node_dir = os.path.join(work, "nodes-%s" % tag)
    shutil.rmtree(node_dir, ignore_errors=True)
    os.makedirs(node_dir)
    node = os.path.join(node_dir, "port0")
    os.mkfifo(node)
    out_path = os.path.join(work, "%s.firstbyte" % tag)
    argv, script = helper_argv(name, tools, piece, floor_schedule, node, out_path)
    # the script waits in a file, so that the player finds it at once
    script_path = os.path.join(work, "%s.script" % tag)
    with open(script_path, "wb") as f:
        f.write(script or b"")
    try:
        with open(script_path, "rb") as stdin, open(os.path.join(work, "%s.player.out" % tag), "wb") as out:
            subprocess.run(argv, stdin=stdin, stdout=out, stderr=subprocess.STDOUT, timeout=60, check=True)
        with open(out_path) as f:
            values = {k: int(v) for k, v in (line.split() for line in f)}
    finally:
        shutil.rmtree(node_dir, ignore_errors=True)

    def after_start(key):
        return (values[key] - values["start_ns"]) / 1e6 if values[key] >= 0 else None
    command = timing.shown_command(argv, None, script)
    return {"first_ms": after_start("first_ns"), "channel_ms": after_start("channel_ns"), "status": values["status"],
            "command": command}


def summarise(times):
    """Median and maximum of the runs that saw the byte, and how many did not."""
    seen = [t for t in times if t is not None]
    return {"p50": median(seen), "max": max(seen) if seen else None, "missing": len(times) - len(seen)}


def run(tools, repo, work, quiet, runs=RUNS):
    """Every run, the players in a rotating order, each round after the
    machine has quietened; the figures per player."""
    piece = os.path.join(repo, PIECE)
    # the floor's one message: a controller change due at once
    floor_schedule = os.path.join(work, "first-byte.floor")
    with open(floor_schedule, "w") as f:
        f.write("0 b00764\n")
    names = players(tools)
    raw = {p: [] for p in names}
    for r in range(runs):
        quiet.wait()
        for p in names[r % len(names):] + names[:r % len(names)]:
            raw[p].append(play_once(p, tools, work, piece, floor_schedule, "first-byte-%d-%s" % (r + 1, p)))
    out = {"piece": PIECE, "runs": runs, "players": names, "figures": {}, "commands": {}}
    for p, results in raw.items():
        out["figures"][p] = {"first": summarise([x["first_ms"] for x in results]),
                             "channel": summarise([x["channel_ms"] for x in results]),
                             "all_first_ms": [x["first_ms"] for x in results]}
        out["commands"][p] = results[0]["command"]
    return out
