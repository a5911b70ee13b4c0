#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run, test and
# benchmark. Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  cmake g++ make pkg-config python3
  libsdl1.2-compat-dev      # SDL 1.2 API (video, audio output, read streams)
  libopenmpt-dev            # XM playback behind the music layer
  zlib1g-dev                # PNG frames written by show-record
  libgtest-dev              # unit tests
  libbenchmark-dev          # benchmarks
  libjpeg-turbo-progs       # cjpeg/jpegtran: sample data and test corpus
  libjpeg62-turbo-dev       # reference decoder in tests
  libturbojpeg0-dev         # rival in benchmarks
  libstb-dev                # rival in benchmarks
  clang libclang-rt-14-dev  # fuzz targets (libFuzzer)
  imagemagick               # second writer of TGA test pictures
  xvfb xauth                # virtual X server for headless runs
)

# Benchmarks also need real photographs to decode; recording the show to a
# video needs ffmpeg.
for group in "$@"; do
  case "$group" in
    --bench) packages+=(mate-backgrounds) ;;
    --record) packages+=(ffmpeg) ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# An install from stale or absent package lists fails; refresh them first.
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
