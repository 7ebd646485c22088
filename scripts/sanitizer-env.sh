# shellcheck shell=bash
# Sourced by the scripts that run sanitized programs: sanitizer reports name
# functions, files and lines (llvm-symbolizer-19 comes with the llvm-19
# package), and a report stops the program. Options already set win.
symbolizer=$(command -v llvm-symbolizer-19 || true)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1${symbolizer:+:external_symbolizer_path=$symbolizer}}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1${symbolizer:+:external_symbolizer_path=$symbolizer}}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1${symbolizer:+:external_symbolizer_path=$symbolizer}}
if [ -n "$symbolizer" ]; then
  export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$symbolizer}
fi
