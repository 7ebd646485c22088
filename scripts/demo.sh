#!/usr/bin/env bash
# Installs what is missing, builds the example program and runs it on the
# sample chunks in examples/data. Arguments are passed to the program
# (scripts/demo.sh --help lists them). Installation and build progress go to
# stderr, so that stdout holds the demo's own lines only.
#
#   scripts/demo.sh research --provider openai|google|parallel|perplexity [--model M] [--base-url U]
#                            [--timeout SECONDS] "question"
#
# runs the research example instead (key in the provider's variable, such as
# OPENAI_API_KEY; scripts/demo.sh research --help lists the options).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh >&2
jobs=$(nproc 2>/dev/null || echo 2)
scripts/configure.sh >&2
if [[ "${1:-}" == "research" ]]; then
  shift
  cmake --build build -j "$jobs" --target zelq_research >&2
  exec build/examples/zelq_research "$@"
fi
cmake --build build -j "$jobs" --target zelq_demo >&2
exec build/examples/zelq_demo "$@"
