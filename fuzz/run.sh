#!/bin/sh
# Fuzzes the loading pipeline for SECONDS (default 60) and fails on any
# finding. Builds with clang in build-fuzz/, writes fresh seeds, and keeps the
# growing corpus in build-fuzz/fuzz-corpus/. A crashing input is left in
# build-fuzz/fuzz-findings/; once fixed, copy it into fuzz/regressions/ so
# that loader_test replays it.
#   usage: fuzz/run.sh [SECONDS]
set -eu
seconds=${1:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-fuzz

cmake -S "$top" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONGRELAY_FUZZ=ON -DSONGRELAY_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target load_fuzz make_fuzz_seeds

rm -rf "$build/fuzz-seeds"
mkdir -p "$build/fuzz-seeds" "$build/fuzz-corpus" "$build/fuzz-findings"
"$build/fuzz/make_fuzz_seeds" "$build/fuzz-seeds"

# -timeout turns a hang into a finding; -close_fd_mask=3 silences the
# loader's warning lines, while the fuzzer's own report still reaches
# standard error.
exec "$build/fuzz/load_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -close_fd_mask=3 \
  -print_final_stats=1 -artifact_prefix="$build/fuzz-findings/" \
  "$build/fuzz-corpus" "$build/fuzz-seeds" "$top/fuzz/regressions"
