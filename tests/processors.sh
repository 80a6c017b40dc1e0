#!/usr/bin/env bash
# The programs on the processors users have, emulated by qemu-user: older
# x86-64 models, and arm64 and s390x, for which the programs are built
# with Debian's cross compilers and linked statically. On each, every run
# must give the bytes, messages and status of the native run, from a file
# and from a pipe, and the programs must take the line path the model's
# features allow: qemu's log of the code it translated names the clone of
# the line loop that ran.
#
#   processors.sh MODE MAKE_CORPUS NATIVE_DIR SOURCE_DIR WORK_DIR
#
# MODE x86_64 runs the x86-64 models on the programs in NATIVE_DIR; MODE
# cross builds the programs for the other machines and runs those. Exits
# 77 (a skip) where qemu-user or a cross compiler is missing, unless
# LINECORE_REQUIRE_QEMU is set, as CI sets it.
set -euo pipefail
mode=$1 make_corpus=$2 native=$3 source_dir=$4 work=$5

# machine, qemu's model, the path the programs must take, what the model has
models='
x86_64   qemu64       baseline  SSE2 and SSE3, nothing later
x86_64   Nehalem      baseline  SSE4.2, no AVX
x86_64   SandyBridge  baseline  AVX, no AVX2
x86_64   Haswell      avx2      AVX2, no AVX-512 in qemu
aarch64  max          baseline  plain C++
s390x    max          baseline  plain C++, big-endian
'

skip() {
  if [ -n "${LINECORE_REQUIRE_QEMU:-}" ]; then
    echo "FAIL: $1"
    exit 1
  fi
  echo "skipped: $1"
  exit 77
}
machines=x86_64
[ "$mode" = cross ] && machines='aarch64 s390x'
for machine in $machines; do
  command -v "qemu-$machine" >/dev/null || skip "no qemu-$machine (Debian: qemu-user)"
  if [ "$machine" != x86_64 ]; then
    command -v "$machine-linux-gnu-g++" >/dev/null || skip "no $machine-linux-gnu-g++ (Debian: g++-$machine-linux-gnu)"
  fi
done

rm -rf "$work"
mkdir -p "$work/in" "$work/native"
"$make_corpus" words 2000 >"$work/in/words"
# Every byte value but the newline, zero bytes among them.
"$make_corpus" binary 300 >"$work/in/binary"
for length in 126 127 128 129 130; do
  head -c "$length" /dev/zero | tr '\0' 'x'
  printf '\n'
done >"$work/in/around_a_block"
printf 'crlf\r\n' >>"$work/in/around_a_block"
# Longer than the input buffer, then a last line without a newline.
{ "$make_corpus" long 300000; printf 'end'; } >"$work/in/long_line"
: >"$work/in/empty"
keys='0 42 -1 4294967338'
programs='stepseal stepopen fixseal'

# run OUT PROGRAM_COMMAND... < input: stdout, stderr (less qemu's own
# warnings about features it does not emulate) and status in OUT.*
run() {
  local out=$1 status=0
  shift
  "$@" >"$out.stdout" 2>"$out.stderr" || status=$?
  grep -v "^qemu-[a-z0-9_]*: warning: TCG doesn't support requested feature" "$out.stderr" >"$out.err" || true
  echo "$status" >"$out.status"
}
for program in $programs; do
  run "$work/native/$program.usage" "$native/$program"
  for input in "$work"/in/*; do
    for key in $keys; do
      run "$work/native/$program.$key.${input##*/}" "$native/$program" "$key" <"$input"
    done
  done
done

failures=0
models_run=0
same_as_native() { # same_as_native NAME: the run in $work/run.* against native NAME
  local name=$1 part
  for part in stdout err status; do
    if ! cmp -s "$work/run.$part" "$work/native/$name.$part"; then
      echo "FAIL: $label: $name ($how): $part differs from the native run's"
      failures=$((failures + 1))
      return
    fi
  done
}

while read -r machine model path features; do
  [ -n "$machine" ] || continue
  case "$mode/$machine" in x86_64/x86_64 | cross/aarch64 | cross/s390x) ;; *) continue ;; esac
  label="$machine $model"
  built=$native
  if [ "$machine" != x86_64 ]; then
    built=$work/build-$machine
    cmake -S "$source_dir" -B "$built" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$machine" \
      -DCMAKE_CXX_COMPILER="$machine-linux-gnu-g++" -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DBUILD_TESTING=OFF >"$work/build-$machine.log" 2>&1 &&
      cmake --build "$built" -j 2 --target $programs >>"$work/build-$machine.log" 2>&1 ||
      { cat "$work/build-$machine.log"; echo "FAIL: $machine: the cross build failed"; exit 1; }
  fi
  qemu=("qemu-$machine" -cpu "$model")
  runs=0
  failures_before=$failures
  for program in $programs; do
    how='no argument'
    run "$work/run" "${qemu[@]}" "$built/$program"
    same_as_native "$program.usage"
    runs=$((runs + 1))
    for input in "$work"/in/*; do
      for key in $keys; do
        how="key $key, from a file"
        run "$work/run" "${qemu[@]}" "$built/$program" "$key" <"$input"
        same_as_native "$program.$key.${input##*/}"
        runs=$((runs + 1))
      done
      how="key 42, from a pipe"
      run "$work/run" "${qemu[@]}" "$built/$program" 42 < <(cat "$input")
      same_as_native "$program.42.${input##*/}"
      runs=$((runs + 1))
    done
    # The clones of the line loop are run_lines_baseline, run_lines_avx2
    # and run_lines_avx512; the log names each function it enters.
    "${qemu[@]}" -d in_asm -D "$work/translated.log" "$built/$program" 42 <"$work/in/words" >/dev/null 2>&1 || true
    took=$(grep -o 'run_lines_\(baseline\|avx2\|avx512\)' "$work/translated.log" | sort -u | tr '\n' ' ') || true
    if [ "$took" != "run_lines_$path " ]; then
      echo "FAIL: $label ($features): $program took ${took:-no line loop that the log names} instead of run_lines_$path"
      failures=$((failures + 1))
    fi
  done
  # No model has AVX-512: a build forced to it must refuse to run.
  if [ "$machine" = x86_64 ]; then
    how='forced to AVX-512'
    run "$work/run" "${qemu[@]}" "$native/avx512/stepseal" 42 </dev/null
    if [ "$(cat "$work/run.status")" != 1 ] || [ "$(cat "$work/run.err")" != 'stepseal: line path not available on this processor' ]; then
      echo "FAIL: $label: a build forced to AVX-512 ran, or failed other than by refusing"
      failures=$((failures + 1))
    fi
  fi
  models_run=$((models_run + 1))
  [ "$failures" -gt "$failures_before" ] ||
    echo "$label ($features): the $path path; $runs runs, each as the native run"
done <<<"$models"

expected_models=$(grep -c -E "^($(tr ' ' '|' <<<"$machines")) " <<<"$models")
[ "$models_run" -eq "$expected_models" ] || { echo "FAIL: $models_run of $expected_models models ran"; exit 1; }
[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
