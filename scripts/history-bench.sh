#!/usr/bin/env bash
# The history window and the recording with a week of ticks: builds the
# benchmark and runs it on a virtual X display. The arguments are the seconds
# of each CPU phase and of the recording (60 each by default).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

mapfile -t packages < <(cat scripts/build-packages.txt scripts/test-packages.txt)
scripts/packages.sh "${packages[@]}" xvfb xauth

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMPULSMETER_TESTS=ON -DIMPULSMETER_BENCH=ON
cmake --build "$build" --target history_bench
exec xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb "$build/bench/history_bench" "$@"
