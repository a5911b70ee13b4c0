#!/usr/bin/env bash
# run-fuzz.sh [SECONDS]: builds the fuzz targets (clang with libFuzzer, ASan
# and UBSan) and fuzzes each one for SECONDS (default 20) at every SIMD level
# in turn. New inputs collect in build/fuzz/work/TARGET, kept between runs;
# the committed corpus is only read. A finding stops the run with a non-zero
# exit and leaves its input in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh fuzz
seconds=${1:-20}
targets=(fuzz_decode fuzz_stream fuzz_c_interface fuzz_img_load)
cmake -S . -B build/fuzz -DSHOW_FUZZ=ON -DSHOW_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target "${targets[@]}" >/dev/null
mkdir -p build/fuzz/artifacts
export SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/work/$t"
  for level in portable sse2 avx2; do
    log="build/fuzz/$t-$level.log"
    if ! JPEG_SIMD_LEVEL=$level "build/fuzz/fuzz/$t" -max_len=4096 -timeout=30 -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ "build/fuzz/work/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
      tail -n 60 "$log"
      echo "$t at SIMD level $level: finding, see build/fuzz/artifacts" >&2
      exit 1
    fi
    echo "$t, SIMD level $level: $(grep -E 'DONE' "$log" | tail -n 1)"
  done
done
