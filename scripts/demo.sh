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
# The programs run in the caller's folder, so that relative paths among the
# arguments mean what they say there; only the build runs in the checkout.
root=$(cd "$(dirname "$0")/.." && pwd)

# CMAKE_BUILD_PARALLEL_LEVEL, when set, decides how many jobs build at once.
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
target=zelq_demo
if [[ "${1:-}" == "research" ]]; then
  shift
  target=zelq_research
fi
# ninja's lines of a build with nothing to do (the check of globbed folders
# that every build makes, and "no work to do") are dropped, so that a run
# that builds nothing starts with the program's own output; a build's
# progress and errors pass as they come.
(
  cd "$root"
  scripts/install-deps.sh
  scripts/configure.sh
  cmake --build build -j "$jobs" --target "$target" |
    sed -u -e '/^\[[0-9]*\/[0-9]*\] Re-checking globbed directories\.\.\.$/d' \
      -e '/^ninja: no work to do\.$/d'
) >&2
exec "$root/build/examples/$target" "$@"
