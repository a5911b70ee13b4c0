#!/usr/bin/env bash
# Keeps the decoder's functions small enough to hold in the head: fails,
# naming each offender, when pmccabe finds a function in jpeg/ (or jpeg-decode)
# of more than 60 lines or of a (modified or traditional) McCabe complexity
# above 15, or when it cannot read a source whole.
#   tools/complexity.sh
# pmccabe is no C++ compiler, and where it loses its way it leaves out the
# functions after that point: a bare noexcept after a parameter list (spell
# it noexcept(true) in a definition), a nested namespace definition
# (namespace a::b) and a macro used as a declaration without a semicolon all
# confuse it. A parse error fails the check, and so does a source file in
# which it finds no function at all (what a nested namespace around the
# whole file comes to).
set -euo pipefail
cd "$(dirname "$0")/.."
max_lines=60
max_complexity=15
sources=(jpeg/*.cpp jpeg/*.h tools/jpeg_decode.cpp)

errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
# Columns: modified and traditional complexity, statements, first line,
# lines, file(line): function.
report=$(pmccabe "${sources[@]}" 2>"$errors")
failed=0

if [ -s "$errors" ]; then
  echo "complexity.sh: pmccabe cannot read these sources whole:" >&2
  cat "$errors" >&2
  failed=1
fi

for source in "${sources[@]}"; do
  case $source in *.cpp) ;; *) continue ;; esac
  if ! grep -q "^[0-9].*	$source(" <<<"$report"; then
    echo "complexity.sh: pmccabe finds no function in $source" >&2
    failed=1
  fi
done

offenders=$(awk -F'\t' -v lines=$max_lines -v complexity=$max_complexity \
  '$1 > complexity || $2 > complexity || $5 > lines' <<<"$report" | sort -t$'\t' -k6)
if [ -n "$offenders" ]; then
  echo "complexity.sh: functions over $max_lines lines or above complexity $max_complexity" \
    "(modified, traditional, statements, first line, lines, function):" >&2
  echo "$offenders" >&2
  failed=1
fi
exit $failed
