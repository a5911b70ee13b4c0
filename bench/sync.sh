#!/usr/bin/env bash
# How late the show's pictures change against the sound a listener hears,
# measured through a real sound server: PulseAudio, then PipeWire (through
# its PulseAudio service). Through PipeWire the latency reports come in
# steps of its processing period: its clicks agree only within several ms.
#
# usage: bench/sync.sh [-n RUNS] [-s "pulseaudio pipewire"] [SHOW]
#   SHOW: the show binary to measure (default: built here in build/sync).
#   Each run plays the bundled show once (about two minutes) per server;
#   -s names the servers to go through (default: both).
#
# Method
# - Set-up: a sound server of this script's own, with a private socket and
#   runtime folder, one null sink, and a 1024x768 Xvfb screen. The
#   show runs on them with SDL's pulseaudio and x11 drivers, as a user would
#   run it. As root the servers run as root too; PulseAudio warns about that.
# - The heard sound: bench/sync_recorder records the sink's monitor at
#   44100 Hz. A null sink plays its frames on the system's monotonic clock,
#   so the recording's frames are heard at a steady rate, if two things
#   hold. The sink runs at 50000 Hz, where a frame lasts exactly 20
#   microseconds: PulseAudio's null sink adds up the length of each block it
#   plays in whole microseconds, and at 44100 Hz the show's short blocks lost
#   enough in rounding for the sink to run 0.02 % fast (20 ms over the show).
#   And the sink never rewinds (PulseAudio's is told not to), so that the
#   monitor passes on each frame once.
# - Dating the recording: the recorder plays eight clicks through a stream
#   of its own before the show and eight after it. The server's latency
#   reports (how long until the last frame written is heard), made while a
#   click waits in the stream's buffer, say when it is heard; the recording
#   says at which frame it is. The frames are dated on the line through the
#   two sets; the recorder prints how far that line runs from 44100 Hz
#   (PulseAudio: within a few ppm) and how well each set's clicks agree.
# - The music: the module rendered offline by the music layer, as the show
#   plays it, is found in the recording near where the first sound of each
#   says, then in the 100 ms around each picture change, where the two agree
#   best (least squared difference). An underrun of the show's stream puts
#   silence into what is heard and moves the rest later; the recorder
#   follows it and says by how much. A change whose sound cannot be placed
#   (quiet, or an underrun in it) is left out and counted.
# - The picture changes due: the show's timeline applied to the position at
#   every frame of the render gives the frame at which each picture change
#   is due. Changes after the shaking picture (which changes every frame) or
#   within 90 ms of the one before are left out.
# - The screen: the recorder reads a one-pixel strip across the screen about
#   once a millisecond (XGetImage; the X server draws a flip in one request)
#   and dates each change between the look that saw it and the one before.
# - The lag of a change: its time on screen minus the heard time of its
#   frame, for the first change seen from 45 ms before to 55 ms after that
#   time. Positive: the picture comes after the sound. Printed as median,
#   interquartile range and 5-95 %.
# Not a test: it needs two quiet cores and about two minutes per run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source tools/steps.sh

runs=1 servers="pulseaudio pipewire"
while getopts n:s: option; do
  case $option in
    n) runs=$OPTARG ;;
    s) servers=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
tools/install-deps.sh bench sync
targets=(sync_recorder)
[ $# -ge 1 ] || targets+=(show)
step build/logs/build-sync.log "configuring" \
  cmake -S . -B build/sync -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOW_TESTS=OFF -DSHOW_BENCH=ON
step build/logs/build-sync.log "building" cmake --build build/sync -j"$(nproc)" --target "${targets[@]}"
recorder=$root/build/sync/bench/sync_recorder
show=$root/build/sync/show/show
[ $# -ge 1 ] && show=$(realpath "$1")

[ "$(id -u)" -eq 0 ] && echo "sync.sh: running as root: the sound servers will run as root as well" >&2

work=$(mktemp -d /tmp/picshow-sync.XXXXXX)
pids=() xvfb=""
stop_servers() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_servers; [ -n "$xvfb" ] && kill $xvfb; rm -rf "$work"' EXIT

# The screen, and the show's working directory.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")
mkdir -p "$work/show"
ln -s "$root/data" "$work/show/data"

# A private runtime folder and socket for each server; clients never start
# one of their own.
fresh_runtime() {
  export XDG_RUNTIME_DIR=$work/$1
  export HOME=$work/$1/home
  mkdir -p -m 700 "$XDG_RUNTIME_DIR" "$HOME"
  export PULSE_RUNTIME_PATH=$XDG_RUNTIME_DIR/pulse
  export PULSE_SERVER=unix:$PULSE_RUNTIME_PATH/native
  echo "autospawn = no" >"$XDG_RUNTIME_DIR/client.conf"
  export PULSE_CLIENTCONFIG=$XDG_RUNTIME_DIR/client.conf
}

wait_for_server() {
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "sync.sh: the $1 server did not come up; the end of its logs:" >&2
  tail -n 5 "$work"/*.log >&2
  return 1
}

start_pulseaudio() {
  fresh_runtime pulseaudio
  mkdir -p -m 700 "$PULSE_RUNTIME_PATH"
  cat >"$XDG_RUNTIME_DIR/server.pa" <<EOF
load-module module-null-sink sink_name=sync rate=50000 format=s16le channels=2 norewinds=1
load-module module-native-protocol-unix auth-anonymous=1 socket=$PULSE_RUNTIME_PATH/native
set-default-sink sync
EOF
  pulseaudio -n -F "$XDG_RUNTIME_DIR/server.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --log-target=stderr >"$work/pulseaudio.log" 2>&1 &
  pids+=($!)
  wait_for_server PulseAudio
}

# PipeWire with its session manager, which needs a session bus: one of its
# own too.
start_pipewire() {
  fresh_runtime pipewire
  command -v pipewire-pulse >/dev/null || return 1
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
  dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
  pids+=($!)
  pipewire >"$work/pipewire.log" 2>&1 &
  pids+=($!)
  sleep 0.5
  wireplumber >"$work/wireplumber.log" 2>&1 &
  pids+=($!)
  pipewire-pulse >"$work/pipewire-pulse.log" 2>&1 &
  pids+=($!)
  wait_for_server PipeWire || return 1
  for _ in $(seq 50); do
    pactl load-module module-null-sink sink_name=sync rate=50000 channels=2 >/dev/null 2>&1 && break
    sleep 0.1
  done
  pactl set-default-sink sync
}

measure() {
  echo "== $1: $(pactl info | sed -n 's/^Server Name: //p')"
  for ((run = 1; run <= runs; run++)); do
    (cd "$work/show" && SDL_VIDEODRIVER=x11 SDL_AUDIODRIVER=pulseaudio "$recorder" sync "$show") ||
      echo "sync.sh: run $run through $1 failed" >&2
  done
}

for server in $servers; do
  case $server in
    pulseaudio) start_pulseaudio && measure PulseAudio ;;
    pipewire) start_pipewire && measure PipeWire || echo "sync.sh: PipeWire could not be started here" >&2 ;;
    *) echo "sync.sh: no server '$server'" >&2 ;;
  esac
  stop_servers
done
