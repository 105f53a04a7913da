#!/bin/sh
# Builds the fuzz preset (clang, libFuzzer, ASan, UBSan) and runs one fuzz
# target for a number of seconds.
#   fuzz/run_fuzz.sh xsvf_fuzz 60      the short run of the test command
#   fuzz/run_fuzz.sh xsvf_fuzz 3600    a longer run
# The growing corpus lives in build/fuzz/corpus/TARGET, fed from the seeds in
# fuzz/corpus/TARGET and the kept inputs in fuzz/regressions/TARGET. A crashing
# input is written to build/fuzz/artifacts/; copy it into
# fuzz/regressions/TARGET so the ordinary test run replays it.
set -eu
target=${1:?usage: run_fuzz.sh TARGET SECONDS}
seconds=${2:?usage: run_fuzz.sh TARGET SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target "$target"
corpus=build/fuzz/corpus/$target
artifacts=build/fuzz/artifacts
mkdir -p "$corpus" "$artifacts" "fuzz/corpus/$target" "fuzz/regressions/$target"
exec "build/fuzz/fuzz/$target" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$corpus" "fuzz/corpus/$target" "fuzz/regressions/$target"
