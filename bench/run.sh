#!/bin/sh
# Benchmarks of songrelay beside its peers: the time to the first byte,
# timing accuracy and CPU on an idle and on a busy machine, load throughput
# and memory, and the parse micro-benchmark. Prints one table per run and writes a report in markdown;
# bench/README.md says what each figure means.
#
# Usage: bench/run.sh [--quick] [--runs N] [--only first-byte|timing|synth|load] [--build DIR]
#                     [--wait-quiet SECONDS] [--report FILE] [--baseline COMMIT]
#   --quick      one run of a 10 s piece instead of three of a 30 s piece
#                (about 4 minutes instead of about 14)
#   --runs N     timing runs per player and machine state (default 3)
#   --only X     only the time to the first byte, the timing, the sound
#                module's or the load part
#   --build DIR  build directory (default build-bench)
#   --wait-quiet S  wait at most S seconds in all for other work to leave
#                the machine before idle-machine runs (default 300, 60 quick)
#   --report F   where the report goes: by default docs/performance.md for a
#                whole run, DIR/performance.md for --quick or --only
#   --baseline C the player of commit C (built from git archive in
#                DIR/baseline) plays beside this tree's in every timing run,
#                so that a change's cost shows in one run, side by side
#
# Needs the packages that bench/setup.sh installs (once, as root); what is
# missing is named and its part skipped. Run as root for real-time priority
# of the reader and the pause detectors, and for the busy-machine run of
# songrelay without real-time priority. Not part of CI: it takes minutes and
# wants a quiet machine.
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-bench
pass=
report=
partial=
baseline=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --build=*) build=${1#--build=}; shift ;;
    --quick) pass="$pass --quick"; partial=1; shift ;;
    --runs) pass="$pass --runs $2"; shift 2 ;;
    --only) pass="$pass --only $2"; partial=1; shift 2 ;;
    --wait-quiet) pass="$pass --wait-quiet $2"; shift 2 ;;
    --report) report=$2; shift 2 ;;
    --baseline) baseline=$2; shift 2 ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done
case $build in /*) ;; *) build=$PWD/$build ;; esac
if [ -z "$report" ]; then
  if [ -n "$partial" ]; then report=$build/performance.md; else report=$repo/docs/performance.md; fi
fi

# Names what is missing and which part goes without it.
missing=
lacks() {
  echo "run.sh: $1 not found: $2" >&2
  missing=1
}
command -v cmake >/dev/null || { echo "run.sh: cmake not found; bench/setup.sh installs it" >&2; exit 1; }
[ -x /usr/bin/python3 ] || { echo "run.sh: /usr/bin/python3 not found" >&2; exit 1; }
command -v midish >/dev/null || lacks midish "the midish runs are skipped"
/usr/bin/python3 -c 'import mido' 2>/dev/null || lacks python3-mido "the python3-mido runs are skipped"
command -v midicsv >/dev/null || lacks midicsv "the load part has nothing to compare with"
[ -f /usr/include/benchmark/benchmark.h ] || lacks libbenchmark-dev "parse_bench is not built, parse_midi_image is not timed"
perf version >/dev/null 2>&1 || lacks "perf (linux-perf)" "the load part has no profile"
command -v pulseaudio >/dev/null && command -v parec >/dev/null ||
  lacks "pulseaudio (pulseaudio, pulseaudio-utils)" "the monitor's live path is not measured"
command -v fluidsynth >/dev/null ||
  lacks "fluidsynth" "FluidSynth's own player is not measured beside the monitor's live path"
for tool in taskset chrt prlimit setpriv; do
  command -v $tool >/dev/null || lacks "$tool (util-linux)" "the runs are not pinned, prioritised or limited"
done
if [ -n "$missing" ]; then
  echo "run.sh: bench/setup.sh installs what is missing (run it once as root)" >&2
fi

# The player, the monitor, parse_bench and the harness's own programs, as a
# user builds them.
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONGRELAY_TESTS=OFF -DSONGRELAY_BENCH=ON >/dev/null
cmake --build "$build" -j2 >/dev/null

# The baseline's player, built as this tree's is, from the commit's files alone.
if [ -n "$baseline" ]; then
  commit=$(git -C "$repo" rev-parse --short "$baseline^{commit}") || { echo "run.sh: no commit $baseline" >&2; exit 2; }
  rm -rf "$build/baseline"
  mkdir -p "$build/baseline/src"
  git -C "$repo" archive "$commit" | tar -x -C "$build/baseline/src"
  cmake -S "$build/baseline/src" -B "$build/baseline/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONGRELAY_TESTS=OFF \
    >/dev/null
  cmake --build "$build/baseline/build" -j2 --target songrelay >/dev/null
  pass="$pass --baseline-player $build/baseline/build/songrelay --baseline-commit $commit"
fi

work=$build/bench-work
rm -rf "$work"
mkdir -p "$work"
# shellcheck disable=SC2086
PYTHONDONTWRITEBYTECODE=1 exec /usr/bin/python3 "$repo/bench/harness/bench.py" --repo "$repo" --build "$build" \
  --work "$work" --report "$report" --command "bench/run.sh$pass" $pass
