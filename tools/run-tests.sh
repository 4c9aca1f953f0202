#!/usr/bin/env bash
# Builds and runs the whole test suite three times: a plain build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build, and a ThreadSanitizer
# build of the threaded layers. Any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run() {  # run <build dir> <sanitizer> [ctest args...]
  local dir=$1 san=$2; shift 2
  echo "=== build ${dir} (sanitizer: ${san:-none}) ==="
  cmake -S . -B "$dir" -G Ninja -DTILO2_SANITIZE="$san" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  # Benchmarks are built and run briefly so they cannot rot.
  if [ -z "$san" ]; then
    for b in "$dir"/bench/bench_*; do
      [ -x "$b" ] && "$b" --benchmark_min_time=0.01 >/dev/null
    done
  fi
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 300 "$@"
}

run build-test ""
run build-asan address
run build-tsan thread -L threaded
