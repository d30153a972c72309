#!/usr/bin/env bash
# Accuracy and CPU of counting from one run: steady trains from idle to
# 100 000 edges/s, random trains, short pulses and a bouncing contact, held
# against the generator's truth; builds the benchmark and runs the real window
# on a virtual X display. The argument is the seconds of each steady train
# (12 by default); rates after it pick steady trains, "others" the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

mapfile -t packages < <(cat scripts/build-packages.txt scripts/test-packages.txt)
scripts/packages.sh "${packages[@]}" xvfb xauth

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMPULSMETER_TESTS=ON -DIMPULSMETER_BENCH=ON
cmake --build "$build" --target cpu_bench
exec xvfb-run -a -s "-screen 0 1024x768x24" "$build/bench/cpu_bench" "$@"
