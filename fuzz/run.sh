#!/bin/sh
# Fuzzes for SECONDS in all (default 60) and fails on any finding: half the
# time the loading pipeline (load_fuzz), half a whole load followed by the
# meta-event display with text conversion (meta_fuzz). Builds with clang in
# build-fuzz/, writes fresh seeds, and keeps each target's growing corpus in
# build-fuzz/fuzz-corpus/<target>/. A crashing input is left in
# build-fuzz/fuzz-findings/; once fixed, copy it into fuzz/regressions/ so
# that loader_test and meta_test replay it.
#   usage: fuzz/run.sh [SECONDS]
set -eu
seconds=${1:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-fuzz
# The public test files for MIDI players that the tests use: more seeds.
corpus=$top/tests/data/test-midi-files

cmake -S "$top" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONGRELAY_FUZZ=ON -DSONGRELAY_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target load_fuzz meta_fuzz make_fuzz_seeds

rm -rf "$build/fuzz-seeds"
mkdir -p "$build/fuzz-seeds" "$build/fuzz-findings"
"$build/fuzz/make_fuzz_seeds" "$build/fuzz-seeds"

# Runs one target for its share of the time; 0 would mean no limit to libFuzzer.
# -timeout turns a hang into a finding; -close_fd_mask=3 silences the
# program's own lines, while the fuzzer's report still reaches standard error.
fuzz_target() {
  target=$1
  share=$2
  [ "$share" -ge 1 ] || share=1
  mkdir -p "$build/fuzz-corpus/$target"
  set -- "$build/fuzz-corpus/$target" "$build/fuzz-seeds" "$top/fuzz/regressions"
  if [ -d "$corpus" ]; then set -- "$@" "$corpus"; fi
  "$build/fuzz/$target" -max_total_time="$share" -max_len=4096 -timeout=10 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-findings/$target-" "$@"
}

status=0
fuzz_target load_fuzz $((seconds / 2)) || status=1
fuzz_target meta_fuzz $((seconds - seconds / 2)) || status=1
exit $status
