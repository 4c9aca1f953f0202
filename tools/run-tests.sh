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

run() {  # run <build dir> <sanitizer> <build target> [ctest args...]
  local dir=$1 san=$2 target=$3; shift 3
  echo "=== build ${dir} (sanitizer: ${san:-none}) ==="
  if [ -z "$san" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  else
    # Sanitizer builds stay unoptimised with line tables only: they compile in
    # a fraction of the time and still name the file and line of a fault.
    cmake -S . -B "$dir" -G Ninja -DTILO2_SANITIZE="$san" -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" -DCMAKE_C_FLAGS_DEBUG="-O0 -g1" \
      -DTILO2_BUILD_BENCH=OFF -DTILO2_BUILD_EXAMPLES=OFF >/dev/null
  fi
  cmake --build "$dir" -j "$JOBS" --target "$target"
  # Benchmarks are built and run briefly so they cannot rot.
  if [ -z "$san" ]; then
    for b in "$dir"/bench/bench_*; do
      [ -x "$b" ] && "$b" --benchmark_min_time=0.01 >/dev/null
    done
  fi
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 300 "$@"
}

run build-test "" all
run build-asan address all
run build-tsan thread threaded_tests -L threaded
