#!/usr/bin/env bash
# Checks the direction of every `#include "zelq/..."` line in the sources:
#   - layers only look down: core < net < inference < providers < generation;
#     a unit is a layer, except that each provider service
#     (providers/<service>/) and each component package
#     (generation/<package>/ with its umbrella header) is a unit of its own;
#   - within a layer, a unit includes another only along an edge declared in
#     SIDEWAYS below; an edge in DENIED is refused even though it looks down;
#   - library code (neither a *_test.cpp file nor under testing/) never
#     includes a testing/ header: the testing libraries stay test-only;
#   - a detail/ header is included only from its own unit, and never from a
#     header outside detail/ and testing/ (those are the installed ones).
# Prints one line per fault (file, line, edge, included header) and exits 1
# when there is any.
#   scripts/check-includes.sh            checks src/ of this repository
#   scripts/check-includes.sh <folder>   checks <folder>/zelq instead
set -euo pipefail

# The allowed sideways edges, one "<from> -> <to>" per line.
SIDEWAYS='
providers -> providers/openai                             # the registry seeds the built-in provider
generation/response_synthesizer -> generation/repacker    # the strategies pack chunks with Ruzededo
'
# Downward edges that are refused all the same.
DENIED='
inference -> net                                          # the model layer is abstractions only
'

usage() {
  echo "usage: scripts/check-includes.sh [FOLDER]"
  echo
  echo "Checks the #include lines of FOLDER/zelq (default: src/zelq of this repository)"
  echo "against the layering; prints one line per fault and exits 1 when there is any."
}
case "${1:-}" in
  -h | --help)
    usage
    exit 0
    ;;
  -*)
    echo "check-includes: unknown option $1" >&2
    usage >&2
    exit 2
    ;;
esac
if [ $# -gt 1 ]; then
  usage >&2
  exit 2
fi
if [ $# -eq 0 ]; then
  cd "$(dirname "$0")/.."
  root=src
else
  root=${1%/}
fi
if [ ! -d "$root/zelq" ]; then
  echo "check-includes: $root/zelq is not a folder" >&2
  exit 2
fi

{ grep -rnE --include='*.hpp' --include='*.cpp' --include='*.h' --include='*.inc' \
  '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]zelq/' "$root/zelq" || true; } |
  LC_ALL=C sort -t: -k1,1 -k2,2n |
  awk -v root="$root" -v sideways="$SIDEWAYS" -v denied="$DENIED" '
    function load(text, table,    lines, n, i, line, parts) {
      n = split(text, lines, "\n")
      for (i = 1; i <= n; i++) {
        line = lines[i]
        sub(/#.*/, "", line)
        gsub(/[[:space:]]+/, "", line)
        if (line == "") continue
        split(line, parts, "->")
        table[parts[1] " -> " parts[2]] = 1
      }
    }
    # Sets unit_of and layer_of for a path relative to the folder that holds zelq/.
    function classify(path,    parts, n) {
      n = split(path, parts, "/")
      layer_of = -1
      unit_of = parts[2]
      if (parts[2] == "core") layer_of = 0
      else if (parts[2] == "net") layer_of = 1
      else if (parts[2] == "inference") layer_of = 2
      else if (parts[2] == "providers") {
        layer_of = 3
        if (n > 3) unit_of = "providers/" parts[3]
      } else if (parts[2] == "generation") {
        layer_of = 4
        unit_of = "generation/" parts[3]
        sub(/\.hpp$/, "", unit_of)
      }
    }
    function fault(file, line, text) {
      printf "%s:%s: %s\n", file, line, text
      faults++
    }
    BEGIN {
      load(sideways, allowed)
      load(denied, refused)
      faults = 0
    }
    {
      first = index($0, ":")
      file = substr($0, 1, first - 1)
      rest = substr($0, first + 1)
      second = index(rest, ":")
      line = substr(rest, 1, second - 1)
      text = substr(rest, second + 1)
      match(text, /zelq\/[^>"]*/)
      target = substr(text, RSTART, RLENGTH)
      source = substr(file, length(root) + 2)

      classify(source); from = unit_of; from_layer = layer_of
      classify(target); to = unit_of; to_layer = layer_of
      edge = from " -> " to
      if (from_layer < 0) { fault(file, line, "file outside the layers (" from ")"); next }
      if (to_layer < 0) { fault(file, line, "include of \"" target "\" outside the layers"); next }

      is_test = source ~ /_test\.cpp$/
      in_testing = source ~ /\/testing\//
      if (!is_test && !in_testing && target ~ /\/testing\//)
        fault(file, line, edge ": library code includes the test-only \"" target "\"")
      if (target ~ /\/detail\//) {
        if (to != from)
          fault(file, line, edge ": \"" target "\" is internal to " to)
        else if (source ~ /\.hpp$/ && source !~ /\/detail\// && !in_testing)
          fault(file, line, edge ": installed header includes the internal \"" target "\"")
      }
      if (from == to) next
      if (edge in refused)
        fault(file, line, edge ": denied edge, include of \"" target "\"")
      else if (to_layer > from_layer)
        fault(file, line, edge ": upward include of \"" target "\"")
      else if (to_layer == from_layer && !(edge in allowed))
        fault(file, line, edge ": undeclared sideways include of \"" target "\"")
    }
    END {
      if (faults > 0) {
        printf "check-includes: %d include(s) against the layering; allowed sideways edges " \
               "are listed in scripts/check-includes.sh\n", faults
        exit 1
      }
    }'
