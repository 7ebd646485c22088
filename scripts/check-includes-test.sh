#!/usr/bin/env bash
# Tests scripts/check-includes.sh on a small tree of its own: the tree as
# laid out passes, and each planted include fails with the file, line and
# edge named.
set -euo pipefail
check="$(cd "$(dirname "$0")" && pwd)/check-includes.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One file per unit, each including what the layering allows.
base="$work/base"
add() {  # add <file> <included header>...
  mkdir -p "$(dirname "$base/zelq/$1")"
  local file=$1
  shift
  {
    echo "#pragma once"
    for header in "$@"; do echo "#include \"zelq/$header\""; done
  } >"$base/zelq/$file"
}
add core/a.hpp
add net/b.hpp core/a.hpp
add net/detail/x.hpp net/b.hpp
add net/b.cpp net/b.hpp net/detail/x.hpp
add net/testing/t.hpp net/b.hpp
add net/b_test.cpp net/b.hpp net/testing/t.hpp net/detail/x.hpp
add inference/c.hpp core/a.hpp
add providers/openai/d.hpp net/b.hpp inference/c.hpp
add providers/registry.hpp providers/openai/d.hpp
add generation/repacker/r.hpp core/a.hpp
add generation/repacker.hpp generation/repacker/r.hpp
add generation/response_synthesizer/s.hpp generation/repacker.hpp providers/registry.hpp
add generation/response_synthesizer/s_test.cpp generation/response_synthesizer/s.hpp \
  net/testing/t.hpp

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! out=$("$check" "$base" 2>&1); then
  fail "the tree as laid out is refused:"$'\n'"$out"
fi

# plant <name> <file> <included header> <expected fault text>: appends the
# include to a copy of the tree and expects the check to fail naming it.
plant() {
  local name=$1 file=$2 header=$3 expected=$4
  local tree="$work/$name"
  cp -r "$base" "$tree"
  mkdir -p "$(dirname "$tree/zelq/$file")"
  echo "#include <zelq/$header>" >>"$tree/zelq/$file"
  local line
  line=$(wc -l <"$tree/zelq/$file")
  local out status=0
  out=$("$check" "$tree" 2>&1) || status=$?
  if [ "$status" -ne 1 ]; then
    fail "$name: exit status $status, expected 1:"$'\n'"$out"
  elif ! grep -qF "$tree/zelq/$file:$line: $expected" <<<"$out"; then
    fail "$name: expected \"$file:$line: $expected\" in:"$'\n'"$out"
  elif [ "$(grep -c "^$tree/" <<<"$out")" -ne 1 ]; then
    fail "$name: more than the planted include reported:"$'\n'"$out"
  fi
}

plant upward core/a.hpp net/b.hpp "core -> net: upward include"
plant upward_two_layers inference/c.hpp generation/repacker/r.hpp \
  "inference -> generation/repacker: upward include"
plant upward_from_source net/b.cpp providers/registry.hpp "net -> providers: upward include"
plant reversed_sideways generation/repacker/r.hpp generation/response_synthesizer/s.hpp \
  "generation/repacker -> generation/response_synthesizer: undeclared sideways include"
plant undeclared_sideways generation/relevance_filter/f.cpp generation/repacker.hpp \
  "generation/relevance_filter -> generation/repacker: undeclared sideways include"
plant provider_to_provider providers/google/g.hpp providers/openai/d.hpp \
  "providers/google -> providers/openai: undeclared sideways include"
plant denied inference/c.hpp net/b.hpp "inference -> net: denied edge"
plant testing_in_library net/b.cpp net/testing/t.hpp \
  "net -> net: library code includes the test-only"
plant detail_in_installed_header net/b.hpp net/detail/x.hpp \
  "net -> net: installed header includes the internal"
plant detail_of_other_unit providers/openai/d.cpp net/detail/x.hpp \
  "providers/openai -> net: \"zelq/net/detail/x.hpp\" is internal to net"
plant outside_layers net/b.cpp tools/z.hpp "include of \"zelq/tools/z.hpp\" outside the layers"

if [ "$failures" -ne 0 ]; then
  echo "check-includes-test: $failures case(s) failed" >&2
  exit 1
fi
echo "check-includes-test: every case passed"
