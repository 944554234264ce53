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
# It is the one command "songrelay-monitor [sound] -- songrelay -v SONG":
# the monitor makes its nodes in a private temporary directory and hands
# them to the player with -0 ... -3, so no root rights are needed.
# Everything the script makes is removed when it ends, also on Ctrl-C.
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
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Whether the monitor starts with these sound options: a moment's run with
# no player. What it says when it cannot stays in $work/probe.err.
probe() {
  "$monitor" --dir "$work/probe" --quiet --timeout 0.1 "$@" >/dev/null 2>"$work/probe.err"
}

name=$(basename "$song" .mid)
wav=$(cd "$build" && pwd)/$name.wav
if probe --play; then
  set -- --play
  sound="live"
else
  cat "$work/probe.err" >&2
  echo "demo: no live sound here; rendering the song to $wav instead" >&2
  if probe --wav "$work/probe.wav"; then
    set -- --wav "$wav"
    sound="file"
  else
    grep -v ' messages; nodes removed$' "$work/probe.err" >&2 || true
    echo "demo: no sound; showing the messages only" >&2
    set --
    sound="none"
  fi
fi

# The player prints its text in the encoding that LANG names after its dot;
# without one, UTF-8 is the likeliest terminal.
set -- "$@" --dir "$work/nodes" -- songrelay -v
case ${LANG:-} in
  *.*) ;;
  *) set -- "$@" -t UTF-8 ;;
esac

# One command: the monitor makes the nodes, runs the songrelay beside it
# on them, lets the last notes ring out, removes the nodes and ends with
# the player's status. Ctrl-C reaches both, and the player silences the
# ports before they end.
status=0
"$monitor" "$@" "$song" || status=$?
if [ "$sound" = file ] && [ "$status" = 0 ]; then
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
