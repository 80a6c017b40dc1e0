#!/usr/bin/env bash
# chunks.sh MAKE_CORPUS STEPSEAL STEPOPEN FIXSEAL
# A stream cut into parts whose line counts are multiples of 256 (any count
# for fixseal), each run with the same key and joined in order, gives the
# bytes of one run; other counts change what stepseal writes.
set -euo pipefail
make_corpus=$1
stepseal=$2
stepopen=$3
fixseal=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Lines of no words are empty lines; 15001 leaves a last part that is short.
"$make_corpus" words 15001 >"$work/input.txt"
[ "$(grep -c '^$' "$work/input.txt")" -gt 0 ] || { echo "corpus has no empty lines"; exit 1; }

in_parts() { # in_parts TOOL LINES: the joined output of runs over parts
  rm -f "$work"/part.*
  split -l "$2" -d -a 6 "$work/input.txt" "$work/part."
  for part in "$work"/part.*; do
    "$1" 5 <"$part"
  done
}

status=0
check() { # check TOOL LINES same|differ
  local whole parts
  whole=$("$1" 5 <"$work/input.txt" | cksum)
  parts=$(in_parts "$1" "$2" | cksum)
  if { [ "$3" = same ] && [ "$whole" != "$parts" ]; } || { [ "$3" = differ ] && [ "$whole" = "$parts" ]; }; then
    echo "FAIL: $(basename "$1") in parts of $2 lines: expected $3, whole $whole, parts $parts"
    status=1
  else
    echo "ok: $(basename "$1") in parts of $2 lines: $3"
  fi
}

for size in 256 512 2560; do
  check "$stepseal" $size same
  check "$stepopen" $size same
  check "$fixseal" $size same
done
check "$fixseal" 100 same
check "$stepseal" 100 differ
check "$stepopen" 100 differ
exit $status
