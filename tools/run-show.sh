#!/usr/bin/env bash
# Sets everything up and plays the show on the bundled data in data/; without
# a display, records it to a video file instead.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
headless=""
[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${SDL_VIDEODRIVER:-}" ] && headless=1
tools/install-deps.sh show ${headless:+record}

build() {
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DSHOW_TESTS=OFF
  cmake --build build/release -j"$(nproc)" --target "$@"
}

if [ -n "$headless" ]; then
  step build/logs/build-release.log "building" build show-record
  echo "No display found: recording the show to a video file instead of playing it."
  build/release/show/show-record build/release/show.mp4
  echo "The show is in $PWD/build/release/show.mp4"
  exit 0
fi
step build/logs/build-release.log "building" build show
# The music of data/lofasz.xm lasts 1 min 55 s; the last picture stays 2 s.
echo "playing the show (1 min 57 s; Ctrl-C stops it)..."
exec build/release/show/show
