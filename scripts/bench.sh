#!/usr/bin/env bash
# Builds and runs every benchmark. Ratios measured in the same run are
# reported as counters whose names begin with "ratio".
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# CMAKE_BUILD_PARALLEL_LEVEL, when set, decides how many jobs build at once.
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
scripts/configure.sh
cmake --build build -j "$jobs"
for bench in build/bench/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" "$@"
done
