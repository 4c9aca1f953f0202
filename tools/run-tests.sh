#!/usr/bin/env bash
# First runs the README's first command as written (the default configuration)
# in a fresh copy of the tree, so the run fails whenever the main road does.
# Then builds and runs the whole test suite three times: a plain build, an
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

# The README's first command, read from the README so the two never drift, run
# in a copy of the tree's files (tracked and new, not ignored) in a scratch
# folder: a fresh clone as CI has it, and a developer's own build/ stays.
main_road() {
  local command copy status=0
  # Its first indented line.
  command=$(sed -n 's/^    \([^ ].*\)$/\1/p' README.md | head -n 1)
  if [ -z "$command" ]; then
    echo "run-tests: README.md has no command (an indented line)" >&2
    return 1
  fi
  copy=$(mktemp -d "${TMPDIR:-/tmp}/tilo2-main-road-XXXXXX")
  echo "=== the README's first command, in $copy ==="
  echo "$command"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar -cf - --null -T - | tar -xf - -C "$copy"
  (cd "$copy" && bash -c "$command") || status=$?
  rm -rf "$copy"
  if [ "$status" -ne 0 ]; then
    echo "run-tests: the README's first command failed ($status)" >&2
    return "$status"
  fi
}

# Installs a build into <build dir>/stage and checks the result the way an app
# meets it: a CMake app and a pkg-config app build and run against it with g++
# and clang++ at -O0 and -O2 -g, warnings as errors; the package needs nothing of
# the library's own dependencies; the emulators are installed and run; and the
# shared library exports nothing outside the public namespace.
check_install() {  # check_install <build dir>
  local dir=$1 stage
  stage=$(cd "$dir" && pwd)/stage
  echo "=== install ${stage} ==="
  rm -rf "$stage" "$dir"/consumer-*
  cmake --install "$dir" --prefix "$stage" >/dev/null
  local pc libdir
  pc=$(find "$stage" -name tilo2.pc -print -quit)
  libdir=$(dirname "$(dirname "$pc")")

  echo "--- pkg-config with nothing but the stage"
  # pkg-config resolves Requires.private even for --cflags: a shared library's
  # file must name no .pc file of its dependencies.
  PKG_CONFIG_LIBDIR="$libdir/pkgconfig" pkg-config --cflags --libs tilo2
  if grep -q '^Requires' "$pc" || grep -q '^Libs.private' "$pc"; then
    echo "$pc names private dependencies of a shared library" >&2
    return 1
  fi
  # The same for the CMake package: a shared library's package asks for none.
  local offenders
  offenders=$(grep -EinH 'zlib|libusb|systemd|bluez|openssl|pugixml|pkgconfig|pkg_check' \
    "$libdir"/cmake/Tilo2/*.cmake || true)
  if [ -n "$offenders" ]; then
    echo "the CMake package of a shared library names private dependencies:" >&2
    echo "$offenders" >&2
    return 1
  fi

  # Every compiler present, at both levels; the package brings C++20 itself,
  # pkg-config does not, so the command line names it there.
  local cxx opt name flags consumers=()
  flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs tilo2)
  for cxx in g++ clang++; do
    command -v "$cxx" >/dev/null 2>&1 || continue
    for opt in "-O0" "-O2 -g"; do
      name=$cxx${opt// /}
      echo "--- consumer through find_package ($cxx $opt)"
      cmake -S tests/consumer -B "$dir/consumer-cmake-$name" -G Ninja -DCMAKE_BUILD_TYPE= \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$opt" -DCMAKE_PREFIX_PATH="$stage" >/dev/null
      cmake --build "$dir/consumer-cmake-$name" >/dev/null
      consumers+=("$dir/consumer-cmake-$name/tilo2_consumer")
      echo "--- consumer through pkg-config ($cxx $opt)"
      mkdir -p "$dir/consumer-pc-$name"
      # shellcheck disable=SC2086  # the flags are word lists
      "$cxx" -std=c++20 $opt -Wall -Wextra -Wshadow -Werror tests/consumer/main.cpp \
        -o "$dir/consumer-pc-$name/tilo2_consumer" $flags
      consumers+=("$dir/consumer-pc-$name/tilo2_consumer")
    done
  done
  local consumer
  for consumer in "${consumers[@]}"; do
    LD_LIBRARY_PATH="$libdir" "$consumer" >/dev/null
  done
  echo "${#consumers[@]} consumers built and run"

  echo "--- installed emulators"
  local program
  for program in printer-emulator service-emulator; do
    if [ ! -x "$stage/bin/$program" ]; then
      echo "$program is not installed in $stage/bin" >&2
      return 1
    fi
    "$stage/bin/$program" --help >/dev/null
  done
  # The installed printer emulator and an app that asks it for its status
  # through a then() chain; neither logs, so neither leaves a data folder.
  check_installed_road "$stage" "${consumers[0]}" "$libdir"

  echo "--- exported symbols of libtilo2.so.2"
  local so=$libdir/libtilo2.so.2 exported
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

# check_installed_road <stage> <consumer> <libdir>: runs the installed
# printer-emulator on 127.0.200.7 and the consumer against it, both with a
# scratch HOME, and checks that no folder was made under it.
check_installed_road() {
  local stage=$1 consumer=$2 libdir=$3 address=127.0.200.7 home pid= status=0
  home=$(mktemp -d "${TMPDIR:-/tmp}/tilo2-home-XXXXXX")
  echo "--- installed printer-emulator and an app on $address, HOME=$home"
  # Another run on this machine may still hold the address: started again
  # until it binds (up to a minute).
  local tries
  for tries in $(seq 60); do
    HOME=$home XDG_DATA_HOME= "$stage/bin/printer-emulator" --address "$address" \
      --log "$home.log" >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 100); do
      grep -q '^printer-emulator on ' "$home.log" 2>/dev/null && break 2
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
    sleep 1
  done
  if [ -z "$pid" ]; then
    echo "the installed printer-emulator did not start on $address (tries: $tries)" >&2
    rm -rf "$home" "$home.log"
    return 1
  fi
  HOME=$home XDG_DATA_HOME= LD_LIBRARY_PATH="$libdir" "$consumer" "TCP:$address" || status=$?
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  local left
  left=$(find "$home" -mindepth 1 | head -n 5)
  rm -rf "$home" "$home.log"
  if [ "$status" -ne 0 ]; then
    echo "the consumer's status chain against the installed emulator failed ($status)" >&2
    return 1
  fi
  if [ -n "$left" ]; then
    echo "a program that does not log left files under HOME:" >&2
    echo "$left" >&2
    return 1
  fi
}

bash tools/check-format.sh
main_road
run build-test "" all
bash tools/check-headers.sh build-test
check_install build-test
run build-asan address all
run build-tsan thread threaded_tests -L threaded
# A short libFuzzer run of every input surface (skipped without clang).
bash tools/run-fuzz.sh
