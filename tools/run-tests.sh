#!/usr/bin/env bash
# Sets everything up, builds the project with its tests and runs them all.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --record
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test -j"$(nproc)"
cd build/test
ctest --output-on-failure
