#!/usr/bin/env bash
# Runs the research example against a loopback imitation of each research
# service in each scenario (normal, dropped, stalled, 401, failed, empty) and
# prints one table row per run: the example's exit status and wall time, the
# requests that created and cancelled runs at the imitation, all requests,
# and the last line the example wrote to stderr.
#
#   scripts/research-matrix.sh [--timeout SECONDS] [service ...]
#
# --timeout is handed to every run (default 10), so that a stalled run ends
# in seconds. The example's full output of each run is kept in a temporary
# folder, named at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

all_services=(openai google parallel perplexity)
scenarios=(normal dropped stalled 401 failed empty)
usage() {
  echo "usage: scripts/research-matrix.sh [--timeout SECONDS] [SERVICE...]"
  echo
  echo "Runs the research example against a loopback imitation of each service"
  echo "(${all_services[*]}; default: all) in each scenario (${scenarios[*]}) and"
  echo "prints one row per run: exit status, seconds, creates, cancels, requests and the"
  echo "last line on stderr."
  echo
  echo "  --timeout SECONDS  handed to every run (default 10)"
  echo "  --help             print this text"
}
refuse() {  # refuse <problem>
  echo "research-matrix: $1" >&2
  usage >&2
  exit 2
}

limit=10
services=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help)
      usage
      exit 0
      ;;
    --timeout)
      [ $# -ge 2 ] || refuse "--timeout needs a value"
      limit=$2
      shift 2
      ;;
    -*) refuse "unknown option $1" ;;
    *)
      [[ " ${all_services[*]} " == *" $1 "* ]] || refuse "unknown service '$1'"
      services+=("$1")
      shift
      ;;
  esac
done
[[ ${#services[@]} -gt 0 ]] || services=("${all_services[@]}")

scripts/install-deps.sh >&2
scripts/configure.sh >&2
cmake --build build -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}" \
  --target zelq_research research_imitation >&2

logs=$(mktemp -d)
export OPENAI_API_KEY=sk-imitation GEMINI_API_KEY=gm-imitation PARALLEL_API_KEY=par-imitation \
  PERPLEXITY_API_KEY=pplx-imitation

row() { printf '%-11s %-8s %4s %8s %7s %7s %8s  %s\n' "$@"; }
row service scenario exit seconds creates cancels requests "last stderr line"
for service in "${services[@]}"; do
  for scenario in "${scenarios[@]}"; do
    log="$logs/$service-$scenario"
    coproc imitation { build/examples/research_imitation "$service" "$scenario"; }
    # Our own copy of its output: bash closes the coprocess's when it ends.
    exec {out}<&"${imitation[0]}"
    read -r base_url <&"$out"
    start=$EPOCHREALTIME
    status=0
    build/examples/zelq_research --provider "$service" --base-url "$base_url" --timeout "$limit" \
      "How do honey bees navigate?" >"$log.out" 2>"$log.err" </dev/null || status=$?
    seconds=$(awk -v from="$start" -v to="$EPOCHREALTIME" 'BEGIN { printf "%.2f", to - from }')
    # The end of its input stops the imitation, which then prints its counts.
    exec {imitation[1]}>&-
    read -r _ creates _ cancels _ requests <&"$out"
    exec {out}<&-
    wait "$imitation_PID" 2>/dev/null || true
    last=$(grep -v '^$' "$log.err" | tail -n 1 | cut -c 1-90 || true)
    row "$service" "$scenario" "$status" "$seconds" "$creates" "$cancels" \
      "$requests" "$last"
  done
done
echo "(outputs in $logs)"
