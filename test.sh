#!/usr/bin/env bash
# Installs what the build and the tests need, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")"

mapfile -t packages < scripts/build-packages.txt
scripts/packages.sh "${packages[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMPULSMETER_TESTS=ON -DIMPULSMETER_BENCH=ON
cmake --build build
ctest --test-dir build --output-on-failure
