#!/usr/bin/env bash
# Runs the libFuzzer targets of fuzz/ for a bounded time each, from their
# seed corpora in fuzz/corpus/<name>/ (with the tokens of fuzz/dict/<name>.dict
# where there is one), several at once. A crash, leak,
# time-out or failed check fails the run and prints the input that caused it
# (file name, base64 and hex), ready to be added to the corpus.
#   scripts/fuzz.sh [--time SECONDS] [--jobs N] [NAME...]
# NAME is a target without "_fuzz" (sse_parser, json, ...); default: all.
# The targets are built in build-asan/ (scripts/test.sh --sanitize
# configures it with ZELQ_BUILD_FUZZ); new inputs found go to a temporary
# folder, never into the repository.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
# CMAKE_BUILD_PARALLEL_LEVEL, when set, decides how many jobs build and how
# many targets run at once, unless --jobs says otherwise.
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
jobs_from="CMAKE_BUILD_PARALLEL_LEVEL"
names=()
usage() {
  echo "usage: scripts/fuzz.sh [--time SECONDS] [--jobs N] [NAME...]"
  echo
  echo "Runs each fuzz target of fuzz/ (NAME without \"_fuzz\"; default: all) from its seed"
  echo "corpus for SECONDS (default 20), N at once (default: CMAKE_BUILD_PARALLEL_LEVEL"
  echo "when set, else the processors), in the build-asan/ folder that"
  echo "scripts/test.sh --sanitize configures. The build's progress goes to stderr."
}
refuse() {  # refuse <problem>
  echo "fuzz: $1" >&2
  usage >&2
  exit 2
}
# A whole number above 0 (no sign, no leading zero), as both settings need.
is_count() { [[ "$1" =~ ^[1-9][0-9]*$ ]]; }
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --time | --jobs)
      [ $# -ge 2 ] || refuse "$1 needs a value"
      is_count "$2" || refuse "$1 needs a whole number above 0, got '$2'"
      if [ "$1" = --time ]; then seconds=$2; else jobs=$2 jobs_from=--jobs; fi
      shift 2
      ;;
    -*) refuse "unknown option $1" ;;
    *) names+=("$1"); shift ;;
  esac
done
is_count "$jobs" || refuse "$jobs_from needs a whole number above 0, got '$jobs'"
if [ ${#names[@]} -eq 0 ]; then
  for dir in fuzz/corpus/*/; do names+=("$(basename "$dir")"); done
fi
# Every name is checked before anything is built.
for name in "${names[@]}"; do
  [ -d "fuzz/corpus/$name" ] || refuse "no target $name (no fuzz/corpus/$name)"
done

build_dir=build-asan
if ! grep -qs '^ZELQ_BUILD_FUZZ:BOOL=ON' "$build_dir/CMakeCache.txt"; then
  echo "fuzz: $build_dir is not configured with ZELQ_BUILD_FUZZ; run scripts/test.sh --sanitize" >&2
  exit 1
fi
cmake --build "$build_dir" -j "$jobs" --target "${names[@]/%/_fuzz}" >&2
source scripts/sanitizer-env.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one target; its output goes to $work/<name>/log.
run_one() {
  local name=$1 dir=$work/$1
  local dict=()
  mkdir -p "$dir/new"
  [ -f "fuzz/dict/$name.dict" ] && dict=(-dict="fuzz/dict/$name.dict")
  "$build_dir/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    "${dict[@]}" -artifact_prefix="$dir/" -print_final_stats=1 "$dir/new" "fuzz/corpus/$name" \
    >"$dir/log" 2>&1
}

report() {
  local name=$1 status=$2 dir=$work/$1
  if [ "$status" -eq 0 ]; then
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
    echo "fuzz: $name passed (${runs:-?} inputs in ${seconds} s)"
    return 0
  fi
  echo "fuzz: $name FAILED (exit $status); its report:" >&2
  grep -av '^#[0-9]*[[:space:]]*\(NEW\|REDUCE\|pulse\|INITED\|READ\)\|^[[:space:]]*NEW_FUNC' \
    "$dir/log" | tail -80 >&2
  local found=0
  for input in "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* "$dir"/slow-unit-*; do
    [ -e "$input" ] || continue
    found=1
    local file
    file="fuzz/corpus/$name/$(basename "$input")"
    echo "fuzz: the input ($(wc -c <"$input") bytes); reproduce with" >&2
    echo "  mkdir -p $(dirname "$file") && base64 -d > $file <<'B64'" >&2
    base64 "$input" >&2
    echo "B64" >&2
    echo "  $build_dir/fuzz/${name}_fuzz $file" >&2
    od -A x -t x1z -v "$input" | head -64 >&2
  done
  [ "$found" -eq 1 ] || echo "fuzz: $name left no input file" >&2
  return 1
}

# Up to $jobs targets at once; each is reported when it ends.
declare -A pid_of=()
failed=0
passed=0
finish_one() {
  local done_pid status=0 name
  wait -n -p done_pid || status=$?
  for name in "${!pid_of[@]}"; do
    if [ "${pid_of[$name]}" = "$done_pid" ]; then
      unset "pid_of[$name]"
      if report "$name" "$status"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    fi
  done
}
for name in "${names[@]}"; do
  while [ ${#pid_of[@]} -ge "$jobs" ]; do finish_one; done
  run_one "$name" &
  pid_of[$name]=$!
done
while [ ${#pid_of[@]} -gt 0 ]; do finish_one; done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
