#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# a bounded time: scripts/fuzz.sh [seconds per target, default 600] [target...]
# Seeds come from tests/fuzz/corpus/<target>/; what a run learns goes to
# build-fuzz/corpus/<target>/ (kept between runs), crashes to
# build-fuzz/crashes/<target>/. Exits non-zero when any target found one.
# FUZZ_JOBS runs that many targets side by side (default 1).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
shift || true
build=${KESTROVA_FUZZ_BUILD:-$here/build-fuzz}
jobs=${FUZZ_JOBS:-1}

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVA_WERROR=ON -DKESTROVA_FUZZ=ON -DKESTROVA_SANITIZE=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=()
  for dir in "$here"/tests/fuzz/corpus/*/; do
    targets+=("$(basename "$dir")")
  done
fi
ninja -C "$build" "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8

run_one() {
  local t=$1
  local corpus=$build/corpus/$t crashes=$build/crashes/$t
  mkdir -p "$corpus" "$crashes"
  local log=$build/fuzz-$t.log
  echo "== $t: ${seconds}s"
  # -rss_limit_mb: the library is built with ASan; -timeout: one input.
  if "$build/fuzz/$t" "$corpus" "$here/tests/fuzz/corpus/$t" \
      -max_total_time="$seconds" -timeout=25 -rss_limit_mb=3072 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$crashes/" >"$log" 2>&1; then
    echo "   $t: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') inputs, no finding"
  else
    echo "   $t: FINDING, see $log and $crashes/"
    tail -n 30 "$log"
    return 1
  fi
}

failed=0
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do
  wait "$p" || failed=1
done
exit $failed
