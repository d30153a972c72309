#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer and runs each for a bounded
# time (seconds, first argument; 60 by default), then prints how many inputs
# each one ran. A crash stops the script with the crashing input saved under
# build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

mapfile -t packages < scripts/build-packages.txt
scripts/packages.sh "${packages[@]}" clang libclang-rt-dev

cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j2

summary=()
for target in limit_value settings_text; do
  binary=build-fuzz/${target}_fuzz
  [ -x "$binary" ] || { summary+=("$target: not built"); continue; }
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus" build-fuzz/crashes
  log=build-fuzz/$target.log
  # The seeds show the fuzzer the shapes a user types; the corpus grows beside them.
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -artifact_prefix=build-fuzz/crashes/${target}- -print_final_stats=1 \
      "$corpus" "fuzz/seeds/$target" >"$log" 2>&1 || { tail -40 "$log"; echo "$target: crashed, see $log" >&2; exit 1; }
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  summary+=("$target: $executions executions in ${seconds} s, corpus $(ls "$corpus" | wc -l) inputs")
done
printf '%s\n' "${summary[@]}"
