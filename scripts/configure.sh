#!/usr/bin/env bash
# Configures the regular build folder build/ the same way for every script,
# so that running one script after another never rebuilds from scratch.
# Optimised without debug information: CI machines have two cores, and the
# coroutine-heavy sources are slow to compile with -g.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
  -DZELQ_WERROR=ON -DZELQ_SANITIZE=OFF -DZELQ_BUILD_TESTS=ON -DZELQ_BUILD_BENCH=ON -DZELQ_BUILD_EXAMPLES=ON \
  "$@" >/dev/null
