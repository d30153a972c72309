#!/usr/bin/env bash
# Installs what the program needs, builds it and starts it.
set -euo pipefail
cd "$(dirname "$0")"

mapfile -t packages < scripts/build-packages.txt
scripts/packages.sh "${packages[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMPULSMETER_TESTS=OFF -DIMPULSMETER_BENCH=OFF
cmake --build build --target impulsmeter

exec build/src/impulsmeter
