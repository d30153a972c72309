#!/usr/bin/env bash
# CPU the program spends on counting at 0, 1 000, 10 000 and 100 000 edges/s:
# builds the benchmark and runs the real window on a virtual X display.
# The argument is the seconds measured per rate (5 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

mapfile -t packages < <(cat scripts/build-packages.txt scripts/test-packages.txt)
scripts/packages.sh "${packages[@]}" xvfb xauth

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMPULSMETER_TESTS=ON -DIMPULSMETER_BENCH=ON
cmake --build "$build" --target cpu_bench
exec xvfb-run -a -s "-screen 0 1024x768x24" "$build/bench/cpu_bench" "$@"
