#!/usr/bin/env bash
# Installs what is missing, builds the library, its tests, benchmarks and
# examples, and runs every test through ctest.
#   scripts/test.sh             regular build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
build_dir=build
extra=()
for arg in "$@"; do
  case "$arg" in
    --sanitize)
      sanitize=ON
      build_dir=build-sanitize
      extra=(-DZELQ_BUILD_BENCH=OFF -DZELQ_BUILD_EXAMPLES=OFF)
      ;;
    *)
      echo "usage: scripts/test.sh [--sanitize]" >&2
      exit 2
      ;;
  esac
done

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELQ_WERROR=ON -DZELQ_SANITIZE="$sanitize" "${extra[@]}"
cmake --build "$build_dir" -j "$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
