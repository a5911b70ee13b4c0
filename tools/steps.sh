# Shared by the set-up scripts, sourced from the project root: a step prints
# one line and keeps its output in a log file; when it fails, the end of the
# log is shown with the file's name.

# A log holds this run's output only: the first step of a run that writes to
# it empties it.
declare -A step_logs_begun=()

# step LOG "what is done" COMMAND...
# While the command runs, the line shows its progress where the output tells
# it (make's "[ 45%]", apt's status lines with their phase): on a terminal
# as one percentage rewritten in place, elsewhere as a mark added to the same
# line at every tenth, so that a log or a pipe receives one line per step.
step() {
  local log=$1 what=$2
  shift 2
  local -
  set -o pipefail
  mkdir -p "$(dirname "$log")"
  if [ -z "${step_logs_begun[$log]:-}" ]; then
    : >"$log"
    step_logs_begun[$log]=1
  fi
  local tty=0
  [ -t 1 ] && tty=1
  printf '%s...' "$what"
  if ! "$@" 2>&1 | awk -v logfile="$log" -v what="$what" -v tty=$tty '
    { print >>logfile }
    /^\[ *[0-9]+%\]/ { p = substr($0, 2, index($0, "%") - 2) + 0; label = "" }
    /^(dl|pm)status:/ { split($0, f, ":"); p = int(f[3]); label = f[1] == "dlstatus" ? "downloading" : "setting up" }
    p == "" { next }
    tty && label p != shown { shown = label p; printf "\r%s... %s%s%d%%\033[K", what, label, label ? " " : "", p; fflush() }
    !tty && label int(p / 10) != mark && p >= 10 {
      mark = label int(p / 10)
      if (label != marked) { printf " %s", label; marked = label }
      printf " %d%%", int(p / 10) * 10; fflush()
    }
    { p = "" }'; then
    echo
    tail -n 20 "$log" >&2
    echo "$(basename "$0"): $what failed; the whole output is in $PWD/$log" >&2
    exit 1
  fi
  # The progress a command reports may stop short of 100% (apt's does).
  if [ $tty -eq 1 ]; then
    printf '\r%s... done\033[K\n' "$what"
  else
    echo " done"
  fi
}
