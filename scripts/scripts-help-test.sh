#!/usr/bin/env bash
# Tests the command lines of the scripts: --help prints the usage on stdout
# and exits 0, and an unknown option prints it on stderr and exits 2, each
# before the script does anything else (installs, builds or runs); and, in a
# checkout of stand-ins, where the building scripts send their build's lines.
set -euo pipefail
scripts="$(cd "$(dirname "$0")" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect <status> <stdout start> <stderr part> <script> <argument>...
# <script> is a name in scripts/, or a path; an empty <stderr part> asks for
# an empty stderr.
expect() {
  local status=$1 out_start=$2 err_part=$3 script=$4
  shift 4
  [[ "$script" == */* ]] || script=$scripts/$script
  local got=0
  "$script" "$@" >"$work/out" 2>"$work/err" </dev/null || got=$?
  local out err
  out=$(cat "$work/out")
  err=$(cat "$work/err")
  if [ "$got" != "$status" ] || [[ "$out" != "$out_start"* ]] || [[ "$err" != *"$err_part"* ]] ||
    { [ -z "$err_part" ] && [ -n "$err" ]; }; then
    echo "FAIL: $script $*: exit $got (expected $status)" >&2
    echo "  stdout: ${out:0:300}" >&2
    echo "  stderr: ${err:0:300}" >&2
    failures=$((failures + 1))
  fi
}

for script in research-matrix.sh check-includes.sh test.sh fuzz.sh install-deps.sh; do
  expect 0 "usage: scripts/$script" "" "$script" --help
  expect 0 "usage: scripts/$script" "" "$script" -h
  expect 2 "" "usage: scripts/$script" "$script" --no-such-option
done
# bench.sh hands other options to the benchmarks, so only its own are tried.
expect 0 "usage: scripts/bench.sh" "" bench.sh --help
expect 0 "usage: scripts/bench.sh" "" bench.sh --benchmark_filter=x -h
# Arguments the scripts cannot use, refused before anything is built.
expect 2 "" "unknown service 'opnai'" research-matrix.sh opnai
expect 2 "" "--timeout needs a value" research-matrix.sh --timeout
expect 2 "" "test: one build at a time" test.sh --sanitize --tsan
expect 2 "" $'test: unknown option --bogus\nusage: scripts/test.sh' test.sh --bogus
expect 2 "" "test: unknown argument 'all'" test.sh --tsan all
expect 2 "" "install-deps: unknown argument now" install-deps.sh now
expect 2 "" "usage: scripts/check-includes.sh" check-includes.sh a b
expect 2 "" $'fuzz: --time needs a value\nusage: scripts/fuzz.sh' fuzz.sh --time
expect 2 "" "fuzz: --jobs needs a value" fuzz.sh sse_parser --jobs
expect 2 "" "fuzz: --time needs a whole number above 0, got '5s'" fuzz.sh --time 5s
expect 2 "" "fuzz: --jobs needs a whole number above 0, got '0'" fuzz.sh --jobs 0
expect 2 "" "fuzz: no target nosuch (no fuzz/corpus/nosuch)" fuzz.sh sse_parser nosuch
CMAKE_BUILD_PARALLEL_LEVEL=many \
  expect 2 "" "fuzz: CMAKE_BUILD_PARALLEL_LEVEL needs a whole number above 0, got 'many'" fuzz.sh

# The building scripts in a checkout of stand-ins: installing and configuring
# do nothing, `cmake` prints $BUILD_OUTPUT (with @ARGS@ as its arguments, as
# ninja prints its steps on stdout) and exits with $BUILD_STATUS, and the
# programs built report that they ran.
tree=$work/tree
mkdir -p "$tree/scripts" "$tree/bin" "$tree/build/examples" "$tree/build-asan/fuzz" \
  "$tree/fuzz/corpus/one"
cp "$scripts/demo.sh" "$scripts/fuzz.sh" "$tree/scripts/"
printf '#!/bin/sh\n' >"$tree/scripts/install-deps.sh"
cp "$tree/scripts/install-deps.sh" "$tree/scripts/configure.sh"
: >"$tree/scripts/sanitizer-env.sh"
echo 'ZELQ_BUILD_FUZZ:BOOL=ON' >"$tree/build-asan/CMakeCache.txt"
cat >"$tree/bin/cmake" <<'EOF_CMAKE'
#!/usr/bin/env bash
output=${BUILD_OUTPUT//@ARGS@/$*}
[ -z "$output" ] || printf '%s\n' "$output"
exit "${BUILD_STATUS:-0}"
EOF_CMAKE
printf '#!/bin/sh\necho "demo ran $*"\n' >"$tree/build/examples/zelq_demo"
printf '#!/bin/sh\necho "stat::number_of_executed_units: 7"\n' >"$tree/build-asan/fuzz/one_fuzz"
chmod +x "$tree"/scripts/*.sh "$tree/bin/cmake" "$tree/build/examples/zelq_demo" \
  "$tree/build-asan/fuzz/one_fuzz"
export PATH="$tree/bin:$PATH"

# demo.sh: a build with nothing to do says nothing; a real one shows its
# progress on stderr; a failed one ends the script with its status.
BUILD_OUTPUT=$'[0/2] Re-checking globbed directories...\nninja: no work to do.' \
  expect 0 "demo ran --help" "" "$tree/scripts/demo.sh" --help
BUILD_OUTPUT=$'[0/2] Re-checking globbed directories...\n[1/1] Linking CXX executable zelq_demo' \
  expect 0 "demo ran" "[1/1] Linking CXX executable zelq_demo" "$tree/scripts/demo.sh"
BUILD_OUTPUT='FAILED: demo.o' BUILD_STATUS=1 expect 1 "" "FAILED: demo.o" "$tree/scripts/demo.sh"
# fuzz.sh: CMAKE_BUILD_PARALLEL_LEVEL sets the jobs unless --jobs does, and
# the build's lines go to stderr, stdout keeping the fuzzers' report.
BUILD_OUTPUT='[1/1] cmake @ARGS@' CMAKE_BUILD_PARALLEL_LEVEL=3 \
  expect 0 "fuzz: one passed (7 inputs" "cmake --build build-asan -j 3 --target one_fuzz" \
  "$tree/scripts/fuzz.sh"
BUILD_OUTPUT='[1/1] cmake @ARGS@' CMAKE_BUILD_PARALLEL_LEVEL=3 \
  expect 0 "fuzz: one passed" "-j 2 --target one_fuzz" "$tree/scripts/fuzz.sh" --jobs 2 one

if [ "$failures" -gt 0 ]; then
  echo "$failures script command lines failed" >&2
  exit 1
fi
echo "scripts: --help and refused arguments behave"
