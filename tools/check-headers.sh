#!/usr/bin/env bash
# Compiles every public header (written and generated) and every internal
# header alone, as a translation unit of its own, so that none depends on what
# happened to be included before it. Usage: check-headers.sh [configured build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-test}
if [ ! -f "$build/include/orvik/tilo2/version.h" ]; then
  echo "check-headers: configure $build first (its generated headers are needed)" >&2
  exit 1
fi
export CHECK_CXX=${CXX:-c++}
export CHECK_ROOT=$PWD
CHECK_BUILD_INCLUDE=$(cd "$build/include" && pwd)
export CHECK_BUILD_INCLUDE

CheckOne() {
  local out
  if ! out=$(printf '#include "%s"\n' "$1" | "$CHECK_CXX" -std=c++20 -Wall -Wextra -Wshadow -Werror \
      -fsyntax-only -I"$CHECK_ROOT/include" -I"$CHECK_BUILD_INCLUDE" -I"$CHECK_ROOT/src" -x c++ - 2>&1); then
    printf '%s\n--- %s does not compile on its own\n' "$out" "$1"
    return 1
  fi
}
export -f CheckOne

echo "=== headers compiled alone ==="
{
  find "$CHECK_ROOT/include" "$CHECK_ROOT/src" -name '*.h'
  find "$CHECK_BUILD_INCLUDE" -name '*.h'
} | sort | xargs -P "${JOBS:-$(nproc)}" -I{} bash -c 'CheckOne "$1"' _ {}
