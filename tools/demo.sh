#!/bin/sh
# Plays a song through songrelay-monitor, so it runs on a machine without
# MIDI hardware: the player's console (title, lyrics, tempo, rhythm, key) and
# the monitor's decoded messages appear together on the terminal, and the
# monitor sounds the song as a General MIDI module: live where an audio output
# can be opened, otherwise rendered to BUILD_DIR/<song>.wav, whose path is
# printed at the end. A monitor built without synthesis (or with no SoundFont
# installed) shows the messages alone.
#
# Usage: tools/demo.sh [BUILD_DIR [MIDI_FILE]]
#   BUILD_DIR  where songrelay and songrelay-monitor were built (default ./build)
#   MIDI_FILE  the song (default examples/sakura.mid next to this script)
#
# The nodes live in a private temporary directory and are handed to the
# player with -0 ... -3, so no root rights are needed. Everything the script
# makes is removed when it ends, also on Ctrl-C.
set -eu

build=${1:-./build}
here=$(cd "$(dirname "$0")" && pwd)
song=${2:-$(cd "$here/.." && pwd)/examples/sakura.mid}
player=$build/songrelay
monitor=$build/songrelay-monitor

for program in "$player" "$monitor"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program not found; build first: cmake -S . -B build && cmake --build build" >&2
    exit 1
  fi
done
if [ ! -r "$song" ]; then
  echo "demo: cannot read $song" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/songrelay-demo-XXXXXX")
mkdir "$work/nodes"
nodes=$(cd "$work/nodes" && pwd -P)
monitor_pid=
relay_pid=

# Stops the monitor (it removes its own nodes) and removes the scratch space.
cleanup() {
  if [ -n "$monitor_pid" ]; then
    kill -TERM "$monitor_pid" 2>/dev/null || true
    wait "$monitor_pid" 2>/dev/null || true
  fi
  if [ -n "$relay_pid" ]; then
    wait "$relay_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Starts the monitor with the options given. Its output comes through a
# FIFO: the script reads it up to the ready line, then passes the rest
# through to the terminal. The time limit only guards against a monitor left
# behind if this script is killed hard. Fails when the monitor ends first
# (it has said why on standard error).
start_monitor() {
  rm -f "$work/monitor.out"
  mkfifo "$work/monitor.out"
  "$monitor" --dir "$nodes" --timeout 3600 "$@" >"$work/monitor.out" &
  monitor_pid=$!
  exec 3<"$work/monitor.out"
  while IFS= read -r line <&3; do
    echo "$line"
    case $line in
      *" ready: "*) return 0 ;;
    esac
  done
  exec 3<&-
  wait "$monitor_pid" || true
  monitor_pid=
  return 1
}

name=$(basename "$song" .mid)
wav=$(cd "$build" && pwd)/$name.wav
if start_monitor --play; then
  sound="live"
else
  echo "demo: no live sound here; rendering the song to $wav instead" >&2
  if start_monitor --wav "$wav"; then
    sound="file"
  else
    echo "demo: no sound; showing the messages only" >&2
    start_monitor || { echo "demo: the monitor did not start" >&2; exit 1; }
    sound="none"
  fi
fi
cat <&3 &
relay_pid=$!
exec 3<&-

# The player prints its text in the encoding that LANG names after its dot;
# without one, UTF-8 is the likeliest terminal.
case ${LANG:-} in
  *.*) encoding= ;;
  *) encoding=UTF-8 ;;
esac

set -- -v
[ -n "$encoding" ] && set -- "$@" -t "$encoding"
for port in 0 1 2 3; do
  set -- "$@" "-$port" "..$nodes/umidi0.$port"
done
status=0
"$player" "$@" "$song" || status=$?

# The last notes ring out before the live sound stops. The monitor takes in
# what is still in its FIFOs before it ends.
[ "$sound" = live ] && sleep 1
kill -TERM "$monitor_pid" 2>/dev/null || true
wait "$monitor_pid" || status=$?
monitor_pid=
wait "$relay_pid" || true
relay_pid=
if [ "$sound" = file ]; then
  # A player that is installed here, or the file alone.
  listen=
  for candidate in aplay play paplay pw-play "ffplay -nodisp -autoexit"; do
    if command -v "${candidate%% *}" >/dev/null 2>&1; then
      listen=$candidate
      break
    fi
  done
  if [ -n "$listen" ]; then
    echo "demo: the song is in $wav (16-bit stereo WAV); listen with any audio player," \
      "for example: $listen $wav" >&2
  else
    echo "demo: the song is in $wav (16-bit stereo WAV)" >&2
  fi
fi
exit "$status"
