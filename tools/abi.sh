#!/usr/bin/env bash
# Guards the installed ABI of the two shared libraries with the baseline in
# abi/: every exported function and every type the public headers show, with
# its layout (jpeg_decoder_engine's is one handle: the decoder's internal
# state stays out of the ABI).
#   tools/abi.sh check [BUILD]     fails when the libraries of BUILD (default
#                                  build/test, CI's build) differ from the baseline
#   tools/abi.sh baseline [BUILD]  writes the baseline and the symbols files
#                                  debian/*.symbols; without BUILD, builds the
#                                  libraries in build/abi as CI builds them
# An incompatible change needs a new soname (the library's PICSHOW_*_SOVERSION
# in CMakeLists.txt, and its package's name in debian/) and a new baseline; a
# compatible addition needs a new baseline only.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}
# The library, its public headers (separated by commas) and its Debian package.
libs=(
  "jpeg/libpicshow-jpeg jpeg/jpeg_decoder.h,jpeg/picshow_jpeg.h libpicshow-jpeg3"
  "img/libpicshow-img img/img.h libpicshow-img1"
)

# abi_of LIBRARY HEADERS OUT: the library's ABI as abidw writes it, without
# source locations and with source paths relative to the checkout, so that
# the baseline does not depend on where the checkout is. abidw knows the
# headers' types by their absolute paths.
abi_of() {
  local header headers=()
  for header in ${2//,/ }; do headers+=(--header-file "$PWD/$header"); done
  abidw "${headers[@]}" --drop-private-types --no-show-locs --no-corpus-path \
    --no-comp-dir-path --type-id-style hash "$1" | sed "s|path='$PWD/|path='|" >"$3"
}

case $mode in
  check)
    build=${2:-build/test}
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    failed=0
    for entry in "${libs[@]}"; do
      read -r lib header _ <<<"$entry"
      name=$(basename "$lib")
      abi_of "$build/$lib.so" "$header" "$work/$name.abi"
      if ! abidiff --no-default-suppression "abi/$name.abi" "$work/$name.abi"; then
        echo "abi.sh: the ABI of $name.so differs from abi/$name.abi (above)" >&2
        failed=1
      fi
    done
    if [ $failed -ne 0 ]; then
      echo "abi.sh: an incompatible change needs a new soname; then, or for an addition, run tools/abi.sh baseline" >&2
      exit 1
    fi
    echo "abi.sh: both libraries match the ABI baseline"
    ;;
  baseline)
    build=${2:-}
    if [ -z "$build" ]; then
      build=build/abi
      cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOW_TESTS=OFF >/dev/null
      cmake --build "$build" -j"$(nproc)" --target jpeg_decoder_shared img_shared >/dev/null
    fi
    version=$(sed -n 's/^project(picture_show VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    for entry in "${libs[@]}"; do
      read -r lib header package <<<"$entry"
      name=$(basename "$lib")
      abi_of "$build/$lib.so" "$header" "abi/$name.abi"
      # Symbols new to this version get its number; the others keep theirs.
      symbols=debian/$package.symbols
      # A new soname's package starts its symbols file afresh.
      reference=()
      [ -f "$symbols" ] && reference=(-I"$symbols")
      dpkg-gensymbols -q -p"$package" -v"$version" -e"$(realpath "$build/$lib.so")" \
        "${reference[@]}" -O"$symbols" -c0 -t
      echo "abi.sh: wrote abi/$name.abi and debian/$package.symbols"
    done
    ;;
  *)
    echo "usage: tools/abi.sh check|baseline [BUILD]" >&2
    exit 2
    ;;
esac
