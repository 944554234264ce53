#!/bin/sh
# Benchmarks of songrelay beside its peers: timing accuracy on an idle and on
# a busy machine, CPU, load throughput and memory, and the parse
# micro-benchmark. Prints one table per run and writes docs/performance.md.
#
# Usage: bench/run.sh [--quick] [--runs N] [--only timing|load] [--build DIR]
#                     [--wait-quiet SECONDS]
#   --quick      one run of a 10 s piece instead of three of a 30 s piece
#                (about 3 minutes instead of about 12)
#   --runs N     timing runs per player and machine state (default 3)
#   --only X     only the timing or only the load part
#   --build DIR  build directory (default build-bench)
#   --wait-quiet S  wait at most S seconds in all for other work to leave
#                the machine before idle-machine runs (default 300, 60 quick)
#
# Needs root for apt-get when a peer is missing (midish, python3-mido,
# midicsv, libbenchmark-dev) and for real-time priority of the reader and the
# pause detector; without it those are skipped or run at normal priority.
# Not part of CI: it takes minutes and wants a quiet machine.
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-bench
pass=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --build=*) build=${1#--build=}; shift ;;
    --quick) pass="$pass --quick"; shift ;;
    --runs) pass="$pass --runs $2"; shift 2 ;;
    --only) pass="$pass --only $2"; shift 2 ;;
    --wait-quiet) pass="$pass --wait-quiet $2"; shift 2 ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done
case $build in /*) ;; *) build=$PWD/$build ;; esac

# The peers and tools come from Debian packages; install what is missing.
missing=
for pkg in midish python3-mido midicsv libbenchmark-dev; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $pkg"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "run.sh: installing$missing" >&2
    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null ||
      echo "run.sh: could not install$missing; those parts are skipped" >&2
  else
    echo "run.sh: not root, cannot install$missing; those parts are skipped" >&2
  fi
fi

# The player and the monitor as a user builds them; the parse benchmark when
# this tree and this machine have it.
targets="songrelay songrelay-monitor"
bench_opt=OFF
if [ -f "$repo/bench/CMakeLists.txt" ] && [ -f /usr/include/benchmark/benchmark.h ]; then
  bench_opt=ON
  targets="$targets parse_bench"
fi
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONGRELAY_TESTS=OFF \
  -DSONGRELAY_BENCH=$bench_opt >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets >/dev/null

# The harness's own small programs.
tools=$build/bench-tools
mkdir -p "$tools"
here=$repo/bench/harness
for prog in pausedet hog readbuf floorplay runstat; do
  cc -O2 -Wall -Wextra -o "$tools/$prog" "$here/$prog.c"
done
cc -O2 -Wall -Wextra -shared -fPIC -o "$tools/phaseshim.so" "$here/phaseshim.c" -ldl

# midish writes to a node through the preload stand-in kept beside the
# repository (it is not part of it).
peers=${SONGRELAY_PEERS_DIR:-$repo/../shared/bench-peers}
alsa_shim=
if [ -f "$peers/alsa_shim.c" ]; then
  cc -O2 -shared -fPIC -Wl,--version-script="$peers/alsa_shim.map" -o "$tools/alsa_shim.so" "$peers/alsa_shim.c" &&
    alsa_shim=$tools/alsa_shim.so
else
  echo "run.sh: $peers/alsa_shim.c not found; midish is skipped" >&2
fi

work=$build/bench-work
rm -rf "$work"
mkdir -p "$work"
# shellcheck disable=SC2086
PYTHONDONTWRITEBYTECODE=1 exec /usr/bin/python3 "$here/bench.py" --repo "$repo" --build "$build" --tools "$tools" --work "$work" \
  --alsa-shim "$alsa_shim" --command "bench/run.sh$pass" $pass
