#!/usr/bin/env bash
# Installs the Debian packages that the named groups need. Safe to run again:
# packages already present are left alone.
# usage: install-deps.sh [show] [tests] [bench] [fuzz] [format] [record] [deb] [abi] [sync]    (no group: show)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh

# Every build needs the show's group; the others list only what they add.
declare -A groups=(
  # compiler and build tools, the SDL 1.2 API, XM playback behind the music layer
  # and zlib for the recorder's PNG frames
  [show]="cmake g++ make pkg-config libsdl1.2-compat-dev libopenmpt-dev zlib1g-dev"
  # Google Test, corpus writers (cjpeg, jpegtran), the reference decoder,
  # ImageMagick as a second TGA writer, Python for the generators and NumPy
  # for the Python example of the decoder's C interface
  [tests]="libgtest-dev libjpeg-turbo-progs libjpeg62-turbo-dev imagemagick python3 python3-numpy"
  # Google Benchmark, the rivals (TurboJPEG, stb_image), real photographs and
  # the tools that re-encode them, Python for the report, valgrind to count
  # instructions by stage
  [bench]="libbenchmark-dev libturbojpeg0-dev libstb-dev mate-backgrounds libjpeg-turbo-progs python3 valgrind"
  # clang with libFuzzer
  [fuzz]="clang libclang-rt-14-dev"
  # the code formatter of .clang-format
  [format]="clang-format"
  # ffmpeg, which turns the recorder's frames and sound into a video file
  [record]="ffmpeg"
  # the Debian package tools (tools/build-debs.sh); dpkg-buildpackage requires
  # build-essential, which dpkg-dev only recommends
  [deb]="build-essential debhelper dpkg-dev lintian"
  # abidiff and abidw, and dpkg-gensymbols for the symbols files (tools/abi.sh);
  # pmccabe for tools/complexity.sh, which CI runs beside the ABI check
  [abi]="abigail-tools dpkg-dev pmccabe"
  # bench/sync.sh: a sound server of its own (PulseAudio, and PipeWire with its
  # PulseAudio service, session manager and a session bus for it), a virtual
  # X screen, and the headers of the recorder that listens to the one and
  # looks at the other
  [sync]="pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus-daemon xvfb libpulse-dev libx11-dev"
)

for group in "$@"; do
  if [ -z "${groups[$group]:-}" ]; then
    echo "install-deps.sh: no group '$group'; the groups are: ${!groups[*]}" >&2
    exit 2
  fi
done

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=() missing_groups=()
for group in $(printf '%s\n' show "$@" | awk '!seen[$0]++'); do
  group_missing=0
  for p in ${groups[$group]}; do
    installed "$p" && continue
    group_missing=1
    [[ " ${missing[*]} " == *" $p "* ]] || missing+=("$p")
  done
  [ $group_missing -eq 1 ] && missing_groups+=("$group")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps.sh: ${#missing[@]} missing package(s) in the group(s) ${missing_groups[*]}; only root can install them." >&2
    echo "Run as root, or ask the administrator to run: $PWD/tools/install-deps.sh ${missing_groups[*]}" >&2
    exit 1
  fi
  sudo=(sudo)
  sudo -v  # asks for the password here, not inside a logged step
fi
export DEBIAN_FRONTEND=noninteractive
log=build/logs/install.log
# An install from stale or absent package lists fails; refresh them first.
# Status-Fd: apt's progress lines, which the step shows as a percentage.
step "$log" "updating the package lists" "${sudo[@]}" apt-get update -q -o APT::Status-Fd=1
count=$(apt-get install -s --no-install-recommends "${missing[@]}" 2>/dev/null | grep -c '^Inst ' || true)
step "$log" "installing $count packages" "${sudo[@]}" apt-get install -y -q --no-install-recommends \
  -o APT::Status-Fd=1 "${missing[@]}"
