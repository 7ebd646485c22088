#!/usr/bin/env bash
# Installs what is missing, builds the library, its tests, benchmarks and
# examples, and runs every test through ctest.
#   scripts/test.sh             regular build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
build_dir=build
for arg in "$@"; do
  case "$arg" in
    --sanitize)
      sanitize=ON
      build_dir=build-sanitize
      ;;
    *)
      echo "usage: scripts/test.sh [--sanitize]" >&2
      exit 2
      ;;
  esac
done

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
if [ "$sanitize" = ON ]; then
  # -O0 with line tables compiles a third faster than -O1 and reports well.
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1" \
    -DZELQ_WERROR=ON -DZELQ_SANITIZE=ON -DZELQ_BUILD_BENCH=OFF -DZELQ_BUILD_EXAMPLES=OFF >/dev/null
else
  scripts/configure.sh
fi
cmake --build "$build_dir" -j "$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"

# The installed package must serve a project outside this tree.
if [ "$sanitize" = OFF ]; then
  prefix=$(mktemp -d)
  trap 'rm -rf "$prefix"' EXIT
  cmake --install "$build_dir" --prefix "$prefix/install" >/dev/null
  cmake -S examples/consumer -B "$prefix/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix/install" >/dev/null
  cmake --build "$prefix/build" >/dev/null
  expected=$'one\n\nthree\n\ntwo'
  actual=$("$prefix/build/zelq_consumer")
  if [ "$actual" != "$expected" ]; then
    echo "install check: the consumer project printed an unexpected result:" >&2
    echo "$actual" >&2
    exit 1
  fi
  echo "install check: find_package(zelq_generation) consumer builds and runs"
fi
