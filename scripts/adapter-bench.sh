#!/usr/bin/env bash
# The closest edge spacing that the ch341, pl2303, cp210x and cdc-acm drivers
# let the program count exactly: builds the benchmark and runs it in the
# kernel tier's QEMU guest (prepared on first use, as the tier does).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

mapfile -t packages < <(cat scripts/build-packages.txt scripts/test-packages.txt)
scripts/packages.sh "${packages[@]}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMPULSMETER_TESTS=ON -DIMPULSMETER_BENCH=ON
cmake --build "$build" --target adapter_spacing_bench
build=$(cd "$build" && pwd)
exec tests/kernel/run_guest.sh "$build/kernel-guest-$(sha1sum tests/kernel/run_guest.sh | cut -c1-8)" \
  "$build/tests/kernel/libkernel_line_driver.so" "$build/bench/adapter_spacing_bench" "$build/tests/kernel/usb_chip"
