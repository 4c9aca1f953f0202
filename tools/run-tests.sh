#!/usr/bin/env bash
# Builds and runs the whole test suite three times: a plain build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build, and a ThreadSanitizer
# build of the threaded layers, then a short fuzzing run. The plain build is also installed and checked
# as an app meets it, and every header is compiled alone. Any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
export JOBS
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run() {  # run <build dir> <sanitizer> <build target> [ctest args...]
  local dir=$1 san=$2 target=$3; shift 3
  echo "=== build ${dir} (sanitizer: ${san:-none}) ==="
  if [ -z "$san" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTILO2_WERROR=ON >/dev/null
  else
    # Sanitizer builds stay unoptimised with line tables only: they compile in
    # a fraction of the time and still name the file and line of a fault.
    cmake -S . -B "$dir" -G Ninja -DTILO2_SANITIZE="$san" -DCMAKE_BUILD_TYPE=Debug -DTILO2_WERROR=ON \
      -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" -DCMAKE_C_FLAGS_DEBUG="-O0 -g1" \
      -DTILO2_BUILD_BENCH=OFF -DTILO2_BUILD_EXAMPLES=OFF >/dev/null
  fi
  cmake --build "$dir" -j "$JOBS" --target "$target"
  # Benchmarks are built and run briefly so they cannot rot.
  if [ -z "$san" ]; then
    for b in "$dir"/bench/bench_*; do
      [ -x "$b" ] && TILO2_BENCH_JOBS=5 "$b" --benchmark_min_time=0.01 >/dev/null
    done
  fi
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 300 "$@"
}

# Installs a build into <build dir>/stage and checks the result the way an app
# meets it: a CMake app and a pkg-config app build and run against it, and the
# shared library exports nothing outside the public namespace.
check_install() {  # check_install <build dir>
  local dir=$1 stage
  stage=$(cd "$dir" && pwd)/stage
  echo "=== install ${stage} ==="
  rm -rf "$stage" "$dir/consumer-cmake" "$dir/consumer-pc"
  cmake --install "$dir" --prefix "$stage" >/dev/null
  local pc libdir
  pc=$(find "$stage" -name tilo2.pc -print -quit)
  libdir=$(dirname "$(dirname "$pc")")

  echo "--- consumer through find_package"
  cmake -S tests/consumer -B "$dir/consumer-cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$stage" >/dev/null
  cmake --build "$dir/consumer-cmake" >/dev/null
  LD_LIBRARY_PATH="$libdir" "$dir/consumer-cmake/tilo2_consumer"

  echo "--- consumer through pkg-config"
  mkdir -p "$dir/consumer-pc"
  local flags
  flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs tilo2)
  # shellcheck disable=SC2086  # the flags are a word list
  "${CXX:-c++}" -std=c++20 -Wall -Wextra -Wshadow -Werror tests/consumer/main.cpp \
    -o "$dir/consumer-pc/tilo2_consumer" $flags
  LD_LIBRARY_PATH="$libdir" "$dir/consumer-pc/tilo2_consumer"

  echo "--- exported symbols of libtilo2.so.2"
  local so=$libdir/libtilo2.so.2 exported offenders
  exported=$(nm -D --defined-only "$so" | awk '{ print $NF }' | sed 's/@.*//' | c++filt)
  # Besides the namespace, only the two C-linkage activation entry points.
  offenders=$(grep -Ev '^((typeinfo|typeinfo name|vtable) for )?Orvik::Tilo::Tilo2::|^(DllGetActivationFactory|DllCanUnloadNow)$' <<<"$exported" || true)
  if [ -n "$offenders" ]; then
    echo "$so exports symbols outside Orvik::Tilo::Tilo2:" >&2
    echo "$offenders" >&2
    return 1
  fi
  local required
  for required in 'Orvik::Tilo::Tilo2::Version()' DllGetActivationFactory DllCanUnloadNow; do
    if ! grep -qx "$required" <<<"$exported"; then
      echo "$so does not export $required" >&2
      return 1
    fi
  done
  echo "$(wc -l <<<"$exported") symbols, all public"
}

bash tools/check-format.sh
run build-test "" all
bash tools/check-headers.sh build-test
check_install build-test
run build-asan address all
run build-tsan thread threaded_tests -L threaded
# A short libFuzzer run of every input surface (skipped without clang).
bash tools/run-fuzz.sh
