#!/usr/bin/env bash
# Long run of the real window at a steady edge rate: builds the soak driver
# and runs it for the given seconds (600 by default) at the given rate
# (100000 edges/s by default). Prints resident memory at start and end and the
# lateness of the one-second ticks; fails when a count is off or a tick is
# more than 50 ms late.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
rate=${2:-100000}
build=${SOAK_BUILD_DIR:-build-soak}

mapfile -t packages < <(cat scripts/build-packages.txt scripts/test-packages.txt)
scripts/packages.sh "${packages[@]}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMPULSMETER_TESTS=ON -DIMPULSMETER_BENCH=ON
cmake --build "$build" --target soak
exec "$build/bench/soak" "$seconds" "$rate"
