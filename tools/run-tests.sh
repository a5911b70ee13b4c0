#!/usr/bin/env bash
# Sets everything up, builds the project with its tests and runs them all.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
tools/install-deps.sh tests

build() {
  cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build/test -j"$(nproc)"
}
step build/logs/build-test.log "building" build
echo "running the tests..."
cd build/test
ctest -j"$(nproc)" --output-on-failure
