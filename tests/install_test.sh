#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds and runs the examples
# against that copy alone: through pkg-config, and through find_package with
# the shared and with the static libraries. Each build must decode the same
# picture to the same numbers through the C++ and the C interface, and show it
# headless; the Python example, through ctypes and the installed shared
# library, must agree. The shared libraries must export exactly their public
# API.
# usage: install_test.sh BUILD_DIR LIBDIR SOURCE_DIR WORK_DIR
# CC, CXX, CFLAGS, CXXFLAGS, LDFLAGS and CMAKE (the cmake program) come from
# the environment.
set -euo pipefail
build=$1 libdir_name=$2 source=$3 work=$4
cmake=${CMAKE:-cmake}
rm -rf "$work"
mkdir -p "$work/pkg-config"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
picture=$source/data/kick1.jpg

# pkg-config, shared libraries; the run finds them by the executables' rpath.
export PKG_CONFIG_PATH=$prefix/$libdir_name/pkgconfig
libdir=$(pkg-config --variable=libdir picshow-img)
out=$work/pkg-config
# shellcheck disable=SC2046,SC2086  # compiler flags are meant to split
${CXX:-c++} ${CXXFLAGS:-} "$source/examples/decode_jpeg.cpp" -o "$out/decode_jpeg" \
  $(pkg-config --cflags --libs picshow-jpeg) ${LDFLAGS:-} -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046,SC2086
${CC:-cc} -std=c99 -Wall -Wextra -Werror -pedantic ${CFLAGS:-} "$source/examples/decode_jpeg_c.c" \
  -o "$out/decode_jpeg_c" $(pkg-config --cflags --libs picshow-jpeg) ${LDFLAGS:-} -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046,SC2086
${CC:-cc} ${CFLAGS:-} "$source/examples/show_picture.c" -o "$out/show_picture" \
  $(pkg-config --cflags --libs picshow-img) ${LDFLAGS:-} -Wl,-rpath,"$libdir"

# find_package, shared and static.
for kind in shared static; do
  out=$work/cmake-$kind
  static=OFF
  [ "$kind" = static ] && static=ON
  "$cmake" -S "$source/examples" -B "$out" -DCMAKE_PREFIX_PATH="$prefix" -DPICSHOW_STATIC=$static >/dev/null
  "$cmake" --build "$out" >/dev/null
done

for out in "$work/pkg-config" "$work/cmake-shared" "$work/cmake-static"; do
  "$out/decode_jpeg" "$picture" >"$out/decoded.txt"
  "$out/decode_jpeg_c" "$picture" >"$out/decoded_c.txt"
  cmp "$work/pkg-config/decoded.txt" "$out/decoded_c.txt"
  SDL_VIDEODRIVER=dummy "$out/show_picture" "$picture" 0 >"$out/shown.txt"
  cmp "$work/pkg-config/decoded.txt" "$out/decoded.txt"
  cmp "$work/pkg-config/shown.txt" "$out/shown.txt"
done
# The installed copy, not the build tree, served both libraries.
for lib in libpicshow-img.so.1 libpicshow-jpeg.so.3; do
  used=$(ldd "$work/pkg-config/show_picture" | awk -v lib=$lib '$1 == lib { print $3 }')
  if [ "$(realpath "$used")" != "$(realpath "$prefix/$libdir_name/$lib")" ]; then
    echo "$lib came from '$used', not from the installed copy" >&2
    exit 1
  fi
done
# Python loads the installed shared library itself; in a sanitizer build it
# needs the sanitizer runtimes first, and its own leaks are not ours.
python_env=(PICSHOW_JPEG_LIBRARY="$prefix/$libdir_name/libpicshow-jpeg.so.3")
if [[ "${CFLAGS:-}" == *-fsanitize=* ]]; then
  runtimes=$(${CC:-cc} -print-file-name=libasan.so) && runtimes+=" $(${CC:-cc} -print-file-name=libubsan.so)"
  python_env+=(LD_PRELOAD="$runtimes" ASAN_OPTIONS=detect_leaks=0)
fi
# Debian's python3-numpy serves Debian's interpreter, which need not be the
# first python3 on the PATH.
python=
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import numpy' 2>/dev/null; then
    python=$candidate
    break
  fi
done
if [ -z "$python" ]; then
  echo "no python3 with NumPy: tools/install-deps.sh tests installs python3-numpy" >&2
  exit 1
fi
env "${python_env[@]}" "$python" "$source/examples/decode_jpeg_numpy.py" "$picture" >"$work/decoded_numpy.txt"
cmp "$work/pkg-config/decoded.txt" "$work/decoded_numpy.txt"
# At 1/8 of the size, through C and through Python alike.
"$work/pkg-config/decode_jpeg_c" "$picture" 8 >"$work/scaled_c.txt"
env "${python_env[@]}" "$python" "$source/examples/decode_jpeg_numpy.py" "$picture" 8 >"$work/scaled_numpy.txt"
cmp "$work/scaled_c.txt" "$work/scaled_numpy.txt"
cat "$work/scaled_c.txt"
grep -Eq 'kick1\.jpg: 128x96, 3 component\(s\), mean( [0-9.]+){3}$' "$work/scaled_c.txt"
cat "$work/pkg-config/decoded.txt" "$work/pkg-config/shown.txt"
grep -Eq 'kick1\.jpg: 1024x768, 3 component\(s\), mean( [0-9.]+){3}$' "$work/pkg-config/decoded.txt"
grep -Eq 'kick1\.jpg: 1024x768$' "$work/pkg-config/shown.txt"

# The shared libraries export their public API and nothing else: every IMG_
# function of img.h, and the decoder's names in namespace jpeg and every
# picshow_jpeg_ function of picshow_jpeg.h.
lib=$prefix/$libdir_name
nm -D --defined-only "$lib/libpicshow-img.so" | awk '{ print $3 }' | sort >"$work/img-exports.txt"
grep -o 'IMG_[A-Za-z_]*(' "$prefix/include/picshow/img.h" | tr -d '(' | sort | diff - "$work/img-exports.txt"
nm -DC --defined-only "$lib/libpicshow-jpeg.so" | cut -d' ' -f3- >"$work/jpeg-exports.txt"
if grep -Ev '^(((typeinfo|typeinfo name|vtable) for )?jpeg::|picshow_jpeg_[a-z_]+$)' "$work/jpeg-exports.txt"; then
  echo "libpicshow-jpeg.so exports the names above beyond its public API" >&2
  exit 1
fi
grep -o 'picshow_jpeg_[a-z_]*(' "$prefix/include/picshow/picshow_jpeg.h" | tr -d '(' | sort >"$work/c-declared.txt"
grep '^picshow_jpeg_' "$work/jpeg-exports.txt" | sort | diff "$work/c-declared.txt" -
