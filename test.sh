#!/usr/bin/env bash
# Installs what the build and the tests need, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")"

mapfile -t packages < <(cat scripts/build-packages.txt scripts/test-packages.txt)
scripts/packages.sh "${packages[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMPULSMETER_TESTS=ON -DIMPULSMETER_BENCH=ON
cmake --build build
ctest --test-dir build --output-on-failure

# The same tests once more under AddressSanitizer and UndefinedBehaviorSanitizer,
# but for the kernel tier, whose test runs inside QEMU's guest.
# Any report ends the failing test with an error; leaks inside the system's
# font and graphics libraries are suppressed by name, the project's never.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMPULSMETER_SANITIZE=ON \
  -DIMPULSMETER_TESTS=ON -DIMPULSMETER_BENCH=OFF
cmake --build build-asan
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
  ctest --test-dir build-asan --output-on-failure

# Last, the Debian package: built, started offscreen and checked by lintian
# and the desktop and AppStream validators.
scripts/deb.sh
