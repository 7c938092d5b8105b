#!/usr/bin/env bash
# Runs every fuzz target of a built fuzz tree for the given number of seconds,
# a few side by side, each from a copy of its seed corpus in a temporary
# folder (the corpus in the repository is never changed). Exits non-zero when
# any target reports a crash, a hang, a leak, a sanitizer finding or a failed
# check, after printing its report and the input that caused it.
#
#   fuzz/run_fuzzers.sh [seconds] [build-dir]     (defaults: 60, build/fuzz)
#
# KQNET_FUZZ_PARALLEL sets how many targets run at once (default 3).
set -euo pipefail

seconds=${1:-60}
source_dir=$(cd "$(dirname "$0")" && pwd)
build_dir=$(cd "${2:-$source_dir/../build/fuzz}" && pwd)
parallel=${KQNET_FUZZ_PARALLEL:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/kqnet-fuzz.XXXXXX")
# The data files the targets write go to memory where the machine has it.
scratch=$(mktemp -d /dev/shm/kqnet-fuzz.XXXXXX 2>/dev/null || mktemp -d "$work/scratch.XXXXXX")
trap 'rm -rf "$work" "$scratch"' EXIT

targets=()
for source in "$source_dir"/*.cpp; do
  targets+=("$(basename "$source" .cpp)")
done

run_target() {
  local name=$1
  local dir=$work/$name
  mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/tmp"
  if [[ -d $source_dir/corpus/$name ]]; then
    cp -R "$source_dir/corpus/$name/." "$dir/corpus/"
  fi
  local rc=0
  # -print_funcs=0: naming a newly covered function starts a symbolizer
  # process whose pipes take file descriptors, which the data-file target's
  # check for files left open would count as its own.
  (
    cd "$dir"
    TMPDIR=$dir/tmp KQNET_FUZZ_SCRATCH=$scratch \
      ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
      UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
      "$build_dir/fuzz/$name" \
      -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -print_funcs=0 \
      -dict="$source_dir/kqnet.dict" -artifact_prefix="$dir/artifacts/" \
      "$dir/corpus" </dev/null >"$dir/log" 2>&1
  ) || rc=$?
  echo "$rc" >"$dir/rc"
}

for name in "${targets[@]}"; do
  if [[ ! -x $build_dir/fuzz/$name ]]; then
    echo "Fuzz target $name is not built in $build_dir" >&2
    exit 1
  fi
done

running=0
for name in "${targets[@]}"; do
  if ((running >= parallel)); then
    wait -n || true
    running=$((running - 1))
  fi
  echo "Fuzzing $name for ${seconds}s"
  run_target "$name" &
  running=$((running + 1))
done
wait

failed=0
for name in "${targets[@]}"; do
  dir=$work/$name
  rc=$(cat "$dir/rc" 2>/dev/null || echo missing)
  runs=$(grep -E '^stat::number_of_executed_units:' "$dir/log" | awk '{print $2}' || true)
  speed=$(grep -E '^stat::average_exec_per_sec:' "$dir/log" | awk '{print $2}' || true)
  if [[ $rc == 0 ]] && grep -q '^Done [0-9]* runs' "$dir/log"; then
    echo "$name: ${runs:-?} runs, ${speed:-?} exec/s, no findings"
  else
    failed=1
    echo "$name: FAILED (exit code $rc)"
    tail -n 60 "$dir/log"
    for artifact in "$dir"/artifacts/*; do
      [[ -e $artifact ]] || continue
      echo "--- input $(basename "$artifact") ($(wc -c <"$artifact") bytes):"
      od -A d -c "$artifact" | head -n 40
    done
  fi
done
exit "$failed"
