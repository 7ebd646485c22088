#!/usr/bin/env bash
# Tests the command lines of the scripts: --help prints the usage on stdout
# and exits 0, and an unknown option prints it on stderr and exits 2, each
# before the script does anything else (installs, builds or runs).
set -euo pipefail
scripts="$(cd "$(dirname "$0")" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect <status> <stdout start> <stderr part> <script> <argument>...
expect() {
  local status=$1 out_start=$2 err_part=$3 script=$4
  shift 4
  local got=0
  "$scripts/$script" "$@" >"$work/out" 2>"$work/err" </dev/null || got=$?
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
# Arguments the scripts cannot use, refused before anything is built.
expect 2 "" "unknown service 'opnai'" research-matrix.sh opnai
expect 2 "" "--timeout needs a value" research-matrix.sh --timeout
expect 2 "" "usage: scripts/test.sh" test.sh --sanitize --tsan
expect 2 "" "install-deps: unknown argument now" install-deps.sh now
expect 2 "" "usage: scripts/check-includes.sh" check-includes.sh a b

if [ "$failures" -gt 0 ]; then
  echo "$failures script command lines failed" >&2
  exit 1
fi
echo "scripts: --help and refused arguments behave"
