# Shared by the set-up scripts, sourced from the project root: a step prints
# one line and keeps its output in a log file; when it fails, the end of the
# log is shown with the file's name.

# step LOG "what is done" COMMAND...
step() {
  local log=$1 what=$2
  shift 2
  mkdir -p "$(dirname "$log")"
  echo "$what..."
  if ! "$@" >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "$(basename "$0"): $what failed; the whole output is in $PWD/$log" >&2
    exit 1
  fi
}
