#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (clang 14, coverage + ASan + UBSan), replays the seed corpus of each,
# then fuzzes each target for a while. Any crash, sanitizer finding or broken property fails the
# run and leaves the input under build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#   IMABOX_FUZZ_JOBS=N   targets fuzzed at once (default 2)
#
# New inputs the fuzzer finds go to build/fuzz/work/<target>/, not into the repository; copy a
# crashing input into fuzz/corpus/<target>/ as regress-<what> once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(convert header decode_blocks roundtrip search fast_coders encode_decode metadata bank)
jobs=${IMABOX_FUZZ_JOBS:-2}

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMABOX_WERROR=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DIMABOX_FUZZ=ON -DIMABOX_BUILD_TESTS=OFF -DIMABOX_BUILD_TOOL=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target imabox_fuzz_targets

[ -x /usr/lib/llvm-14/bin/llvm-symbolizer ] && export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/artifacts" "$build/logs"
flags=(-max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)

# Every corpus file once: the regression inputs must stay fixed.
for t in "${targets[@]}"; do
  echo "== replay fuzz/corpus/$t"
  if ! "$build/fuzz/fuzz_$t" "${flags[@]}" -runs=0 "fuzz/corpus/$t" >"$build/logs/replay-$t.log" 2>&1; then
    tail -n 40 "$build/logs/replay-$t.log"
    echo "FAILED: corpus replay of $t"
    exit 1
  fi
  grep -E "INITED|DONE" "$build/logs/replay-$t.log" | tail -n 1
done

[ "$seconds" -gt 0 ] || exit 0

run_one() {
  local t=$1
  rm -rf "$build/work/$t"
  mkdir -p "$build/work/$t"
  "$build/fuzz/fuzz_$t" "${flags[@]}" -max_total_time="$seconds" \
    -artifact_prefix="$build/artifacts/$t-" "$build/work/$t" "fuzz/corpus/$t" \
    >"$build/logs/fuzz-$t.log" 2>&1
}

failed=()
pids=()
names=()
for t in "${targets[@]}"; do
  echo "== fuzzing $t for ${seconds}s"
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || failed+=("${names[0]}")
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed+=("${names[$i]}")
done

for t in "${targets[@]}"; do
  log="$build/logs/fuzz-$t.log"
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  cov=$(grep -oE '(DONE|pulse|NEW|REDUCE|INITED) +cov: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$' || echo "?")
  echo "fuzz_$t: ${execs} executions, cov: ${cov}"
done

if [ ${#failed[@]} -gt 0 ]; then
  for t in "${failed[@]}"; do
    echo "---- fuzz_$t log (tail)"
    tail -n 60 "$build/logs/fuzz-$t.log"
  done
  echo "FAILED: fuzzing found a fault in: ${failed[*]} (inputs in $build/artifacts/)"
  exit 1
fi
echo "fuzzing: no findings"
