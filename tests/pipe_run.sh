#!/usr/bin/env bash
# pipe_run.sh MAKE_CORPUS MODEL_FILTER LINES STEPSEAL STEPOPEN FIXSEAL
# Many lines through pipes for each program, against the independent model
# over the same lines: equal checksums and sizes mean nothing was lost,
# duplicated, reordered or miscomputed under load.
set -euo pipefail
make_corpus=$1
model=$2
lines=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for tool in "$@"; do
  name=$(basename "$tool")
  # Side by side, one on each core.
  "$make_corpus" words "$lines" | "$model" "$name" 9 | cksum >"$work/model" &
  "$make_corpus" words "$lines" | "$tool" 9 | cksum >"$work/tool"
  wait $!
  if [ "$(cat "$work/tool")" != "$(cat "$work/model")" ]; then
    echo "FAIL: $name: checksum and size $(cat "$work/tool"), the model's $(cat "$work/model")"
    status=1
  else
    echo "ok: $name: $lines lines, checksum and size $(cat "$work/tool") as the model's"
  fi
done
exit $status
