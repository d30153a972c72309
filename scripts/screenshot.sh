#!/usr/bin/env bash
# Takes the README's pictures: builds the program, starts it on a virtual X
# display and captures the window from the X server; then the history window
# "Verlauf" over three hours of a simulated source, drawn by the history benchmark.
# BUILD_DIR picks the build directory (default: build); the first argument
# the window's picture (default: docs/screenshot.png). QT_SCALE_FACTOR=2 in
# the environment shows the windows as on a screen scaled to 200 %.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t packages < <(cat scripts/build-packages.txt scripts/test-packages.txt)
scripts/packages.sh "${packages[@]}" xvfb xauth x11-utils imagemagick

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" --target impulsmeter history_bench

export PICTURE=${1:-docs/screenshot.png}
mkdir -p "$(dirname "$PICTURE")"
export PROGRAM="$build_dir/src/impulsmeter"
xvfb-run -a -s "-screen 0 1600x1200x24" bash -c '
  set -euo pipefail
  "$PROGRAM" &
  pid=$!
  trap "kill $pid 2>/dev/null || true" EXIT
  # The window is captioned "?" once it is loaded; wait for it to be mapped.
  for _ in $(seq 50); do
    id=$(xwininfo -root -tree | awk "/\"\\?\"/ {print \$1; exit}")
    [ -n "$id" ] && break
    sleep 0.2
  done
  [ -n "$id" ] || { echo "screenshot: the window did not appear" >&2; exit 1; }
  sleep 1
  import -window "$id" "$PICTURE"
'
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb "$build_dir/bench/history_bench" --picture docs/verlauf.png
echo "$PICTURE and docs/verlauf.png written"
