#!/usr/bin/env bash
# Compiles every public header (written and generated) and every internal
# header alone, as a translation unit of its own, so that none depends on what
# happened to be included before it. Public headers are what apps compile, with
# whatever compiler and optimisation they use: each is compiled with g++ and
# clang++ (those present), at -O0 and at -O2, where optimisers warn about more.
# Usage: check-headers.sh [configured build dir]
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

# CheckOne <compiler> <optimisation or "syntax"> <header>
CheckOne() {
  local cxx=$1 opt=$2 header=$3 out mode
  if [ "$opt" = syntax ]; then mode=(-fsyntax-only); else mode=("$opt" -c -o /dev/null); fi
  if ! out=$(printf '#include "%s"\n' "$header" | "$cxx" -std=c++20 -Wall -Wextra -Wshadow -Werror \
      "${mode[@]}" -I"$CHECK_ROOT/include" -I"$CHECK_BUILD_INCLUDE" -I"$CHECK_ROOT/src" -x c++ - 2>&1); then
    printf '%s\n--- %s does not compile on its own (%s %s)\n' "$out" "$header" "$cxx" "$opt"
    return 1
  fi
}
export -f CheckOne

compilers=()
for cxx in g++ clang++; do
  command -v "$cxx" >/dev/null 2>&1 && compilers+=("$cxx")
done
if [ ${#compilers[@]} -eq 0 ]; then compilers=("$CHECK_CXX"); fi

echo "=== headers compiled alone (public: ${compilers[*]} at -O0 and -O2) ==="
{
  # Public headers: every compiler at both levels.
  { find "$CHECK_ROOT/include" -name '*.h'; find "$CHECK_BUILD_INCLUDE" -name '*.h'; } | sort |
    while IFS= read -r header; do
      for cxx in "${compilers[@]}"; do
        printf '%s\0%s\0%s\0' "$cxx" -O0 "$header" "$cxx" -O2 "$header"
      done
    done
  # Internal headers, as before: the default compiler, syntax only.
  find "$CHECK_ROOT/src" -name '*.h' | sort | while IFS= read -r header; do
    printf '%s\0%s\0%s\0' "$CHECK_CXX" syntax "$header"
  done
} | xargs -0 -n 3 -P "${JOBS:-$(nproc)}" bash -c 'CheckOne "$1" "$2" "$3"' _
