#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs the test suite under sanitizers:
#   - the whole suite with AddressSanitizer + UndefinedBehaviorSanitizer (build/asan);
#   - the tests that run threads with ThreadSanitizer (build/tsan): those labelled `recorder` (the
#     capture thread), and `threads` (the converter's reader/writer thread, encode's pool of
#     conversions, run through the tool built with ThreadSanitizer too).
# Any sanitizer finding aborts the test that made it, so the run fails.
#
#   scripts/test-sanitizers.sh [tsan|asan]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(tsan asan)
jobs=$(nproc)

configure_and_build() {
  local dir=$1 sanitizers=$2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMABOX_WERROR=ON \
    -DIMABOX_SANITIZE="$sanitizers" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

for step in "${steps[@]}"; do
  case $step in
  asan)
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer: whole test suite"
    configure_and_build build/asan address,undefined
    ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
      ctest --test-dir build/asan --output-on-failure -j "$jobs"
    ;;
  tsan)
    echo "== ThreadSanitizer: tests labelled recorder or threads"
    configure_and_build build/tsan thread
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp} \
      ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L 'recorder|threads'
    count=$(ctest --test-dir build/tsan -N -L 'recorder|threads' | grep -c 'Test *#' || true)
    echo "ThreadSanitizer ran ${count} threaded test(s)"
    ;;
  *)
    echo "unknown step: $step (asan or tsan)" >&2
    exit 2
    ;;
  esac
done
