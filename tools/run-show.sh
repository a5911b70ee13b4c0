#!/usr/bin/env bash
# Sets everything up and plays the show on the bundled data in data/; without
# a display, records it to a video file instead.
set -euo pipefail
cd "$(dirname "$0")/.."
headless=""
[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${SDL_VIDEODRIVER:-}" ] && headless=1
tools/install-deps.sh ${headless:+--record}
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DSHOW_TESTS=OFF >/dev/null
if [ -n "$headless" ]; then
  echo "No display found: recording the show to build/release/show.mp4 instead of playing it." >&2
  cmake --build build/release -j"$(nproc)" --target show-record >/dev/null
  build/release/show/show-record build/release/show.mp4
  echo "The show is in $PWD/build/release/show.mp4" >&2
  exit 0
fi
cmake --build build/release -j"$(nproc)" --target show >/dev/null
exec build/release/show/show
