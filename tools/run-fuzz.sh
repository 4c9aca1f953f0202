#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each one briefly on a
# copy of its committed corpus. Any crash, leak, timeout or failed oracle
# fails the run. Without a clang that links -fsanitize=fuzzer, fuzzing is
# skipped and the script succeeds.
#
# FUZZ_SECONDS (default 3) is the time given to each target.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_EACH=${FUZZ_SECONDS:-3}
JOBS=${FUZZ_JOBS:-4}
TARGETS=(fuzz_reply_splitter fuzz_kdpx_reply fuzz_log_settings fuzz_converter fuzz_dbcs
         fuzz_rasteriser fuzz_builder_calls fuzz_target fuzz_service_messages
         fuzz_service_json)

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/tilo2-fuzz-run-XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT

# Probe: clang++ present and able to link a fuzz target.
probe_clang() {
  command -v clang >/dev/null 2>&1 && command -v clang++ >/dev/null 2>&1 || return 1
  cat >"$SCRATCH/probe.cpp" <<'CPP'
#include <cstddef>
#include <cstdint>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
CPP
  clang++ -fsanitize=fuzzer,address,undefined "$SCRATCH/probe.cpp" -o "$SCRATCH/probe" >/dev/null 2>&1
}
if ! probe_clang; then
  echo "run-fuzz: clang++ with libFuzzer not found; fuzzing skipped"
  exit 0
fi

SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
echo "=== configure build-fuzz (clang, ASan + UBSan, libFuzzer) ==="
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja \
  -DTILO2_BUILD_FUZZ=ON -DTILO2_SANITIZE= -DBUILD_SHARED_LIBS=OFF \
  -DTILO2_BUILD_TESTS=OFF -DTILO2_BUILD_BENCH=OFF -DTILO2_BUILD_EXAMPLES=OFF \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" \
  -DCMAKE_CXX_FLAGS="$SAN" -DCMAKE_C_FLAGS="$SAN" \
  -DCMAKE_EXE_LINKER_FLAGS="$SAN" >/dev/null
echo "=== build fuzz targets ==="
cmake --build build-fuzz -j "$JOBS" --target fuzz_targets

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for t in "${TARGETS[@]}"; do
  corpus="$ROOT/tests/fuzz/corpus/$t"
  work="$SCRATCH/corpus-$t"
  mkdir -p "$work"
  # The run adds inputs to its corpus folder: give it a copy.
  if [ -d "$corpus" ]; then cp -R "$corpus/." "$work/"; fi
  echo "=== $t (${SECONDS_EACH}s) ==="
  if ! (cd "$SCRATCH" && "$ROOT/build-fuzz/tests/fuzz/$t" -max_total_time="$SECONDS_EACH" \
         -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 "$work" >"$SCRATCH/$t.log" 2>&1); then
    tail -n 60 "$SCRATCH/$t.log"
    # Keep what the fuzzer wrote about the failing input where it can be found.
    mkdir -p build-fuzz/findings
    cp "$SCRATCH/$t.log" build-fuzz/findings/ 2>/dev/null || true
    cp "$SCRATCH"/crash-* "$SCRATCH"/leak-* "$SCRATCH"/timeout-* "$SCRATCH"/oom-* build-fuzz/findings/ 2>/dev/null || true
    failed+=("$t")
  else
    grep -E "^Done [0-9]+ runs" "$SCRATCH/$t.log" || true
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "run-fuzz: FAILED: ${failed[*]} (inputs and logs in build-fuzz/findings)"
  exit 1
fi
echo "run-fuzz: all ${#TARGETS[@]} targets ran clean"
