#!/usr/bin/env bash
# Installs what is missing, builds the example program and runs it on the
# sample chunks in examples/data. Arguments are passed to the program.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
scripts/configure.sh
cmake --build build -j "$jobs" --target zelq_demo
exec build/examples/zelq_demo examples/data/chunks.json "$@"
