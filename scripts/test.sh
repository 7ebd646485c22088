#!/usr/bin/env bash
# Installs what is missing, builds the library, its tests, benchmarks and
# examples, and runs every test through ctest. Installation and build
# progress go to stderr, so that stdout holds the test summary: ctest's
# output and the install check's line.
#   scripts/test.sh             regular g++ build in build/
#   scripts/test.sh --sanitize  clang++ 19 build with AddressSanitizer + UndefinedBehaviorSanitizer
#                               in build-asan/, every test (the examples' included); also
#                               builds the fuzz targets (scripts/fuzz.sh runs them)
#   scripts/test.sh --tsan      clang++ 19 build with ThreadSanitizer in build-tsan/, every test
#                               (the examples' included)
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/test.sh [--sanitize | --tsan]"
  echo
  echo "Builds and runs every test: the regular g++ build in build/ (and the install"
  echo "check), or with --sanitize the clang++ AddressSanitizer + UBSan build in"
  echo "build-asan/, or with --tsan the ThreadSanitizer build in build-tsan/."
}
refuse() {  # refuse <problem>
  echo "test: $1" >&2
  usage >&2
  exit 2
}

mode=regular
build_dir=build
for arg in "$@"; do
  if [ "$arg" = --help ] || [ "$arg" = -h ]; then
    usage
    exit 0
  fi
done
for arg in "$@"; do
  if [ "$mode" != regular ] && [[ "$arg" == --sanitize || "$arg" == --tsan ]]; then
    refuse "one build at a time: --sanitize or --tsan, once"
  fi
  case "$arg" in
    --sanitize)
      mode=asan
      build_dir=build-asan
      ;;
    --tsan)
      mode=tsan
      build_dir=build-tsan
      ;;
    -*)
      refuse "unknown option $arg"
      ;;
    *)
      refuse "unknown argument '$arg'"
      ;;
  esac
done

scripts/install-deps.sh >&2

# CMAKE_BUILD_PARALLEL_LEVEL, when set, decides how many jobs build (and
# tests run) at once.
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
# The sanitizer builds: clang++ 19, no benchmarks, -O0 with line tables (it
# compiles in half the time of -O1, reports well, and the tests stay fast).
# The examples are built too: their tests run the example programs, sanitized
# as well, as child processes (about 40 s of build on two cores).
clang_build=(-G Ninja -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=Debug
  "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1" -DZELQ_WERROR=ON -DZELQ_BUILD_BENCH=OFF
  -DZELQ_BUILD_EXAMPLES=ON -DZELQ_PRECOMPILE_LIBRARIES=ON)
case "$mode" in
  asan)
    cmake -S . -B "$build_dir" "${clang_build[@]}" -DZELQ_SANITIZE=ON -DZELQ_TSAN=OFF \
      -DZELQ_BUILD_FUZZ=ON >/dev/null
    ;;
  tsan)
    cmake -S . -B "$build_dir" "${clang_build[@]}" -DZELQ_SANITIZE=OFF -DZELQ_TSAN=ON \
      -DZELQ_BUILD_FUZZ=OFF >/dev/null
    ;;
  *)
    scripts/configure.sh >&2
    ;;
esac
cmake --build "$build_dir" -j "$jobs" >&2

source scripts/sanitizer-env.sh
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"

# The installed package must serve a project outside this tree, from any
# folder: the tree is moved after installing.
if [ "$mode" = regular ]; then
  prefix=$(mktemp -d)
  trap 'rm -rf "$prefix"' EXIT
  cmake --install "$build_dir" --prefix "$prefix/installed" >/dev/null
  mv "$prefix/installed" "$prefix/install"
  # Only public headers are installed: no test fakes, internal detail/
  # headers or generated tables; none of them includes Beast, OpenSSL,
  # spdlog or simdjson, or a zelq header that is not installed. The package
  # files name no path of this machine (the build, the first prefix or a
  # system library).
  leaked=$(cd "$prefix/install" && {
    find . -path '*/testing/*' -o -path '*/detail/*' -o -name '*.inc' -o -name '*testing*.a'
    grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](boost/beast|boost/asio/ssl|openssl/|spdlog/|simdjson)' \
      include || true
    grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]zelq/[^>"]+' include |
      while IFS= read -r found; do
        header=${found##*[<\"]}
        [ -f "include/$header" ] || echo "${found%:*}: includes $header, which is not installed"
      done || true
    grep -rnF -e "$PWD" -e "$prefix/installed" lib/cmake || true
    grep -rnE '(^|[";:<> ])/[^";<> ]*\.(so|a)\b' lib/cmake || true
  })
  if [ -n "$leaked" ]; then
    echo "install check: files that must not be installed, installed headers that include" \
      "Beast, OpenSSL, spdlog, simdjson or a header that is not installed, or package files" \
      "that name a path of this machine:" >&2
    echo "$leaked" >&2
    exit 1
  fi
  # The repacker component needs none of the network's, the compressor's or
  # core's own build packages: with them disabled it configures, builds and
  # runs.
  disabled=()
  for package in simdjson OpenSSL Eigen3 Python3; do
    disabled+=("-DCMAKE_DISABLE_FIND_PACKAGE_$package=ON")
  done
  cmake -S examples/consumer -B "$prefix/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix/install" \
    "${disabled[@]}" >/dev/null 2>"$prefix/consumer-configure.log" || {
    echo "install check: the consumer of the repacker component does not configure with" \
      "simdjson, OpenSSL, Eigen3 and Python3 disabled:" >&2
    cat "$prefix/consumer-configure.log" >&2
    exit 1
  }
  cmake --build "$prefix/build" -v >"$prefix/consumer-build.log"
  expected=$'one\n\nthree\n\ntwo'
  actual=$("$prefix/build/zelq_consumer")
  if [ "$actual" != "$expected" ]; then
    echo "install check: the consumer project printed an unexpected result:" >&2
    echo "$actual" >&2
    exit 1
  fi
  # The consumer links the repacker component alone: its link line holds the
  # repacker and core, and no network layer, provider, OpenSSL or simdjson
  # (static libraries leave no trace in ldd, so the link line is read too).
  link_line=$(grep -E -- '-o zelq_consumer( |$)' "$prefix/consumer-build.log" || true)
  unwanted=$( {
    tr ' ' '\n' <<<"$link_line" | grep -E 'libzelq_(net|providers)|ssl|crypto|simdjson' || true
    ldd "$prefix/build/zelq_consumer" | grep -E 'libssl|libcrypto|simdjson' || true
  })
  if [[ "$link_line" != *libzelq_generation_repacker.a* || "$link_line" != *libzelq_core.a* ||
    -n "$unwanted" ]]; then
    echo "install check: the consumer of zelq::repacker links more than the repacker and core:" >&2
    echo "${unwanted:-$link_line}" >&2
    exit 1
  fi
  # Without COMPONENTS every component's packages are looked for, as before
  # (so a disabled simdjson fails); the former target names still resolve;
  # an unknown component is named.
  mkdir "$prefix/names"
  cat >"$prefix/names/CMakeLists.txt" <<'EOF_NAMES'
cmake_minimum_required(VERSION 3.25)
project(zelq_names LANGUAGES CXX)
find_package(zelq_generation REQUIRED ${ZELQ_FIND})
file(WRITE ${CMAKE_BINARY_DIR}/main.cpp "int main() { return 0; }\n")
add_executable(app ${CMAKE_BINARY_DIR}/main.cpp)
target_link_libraries(app PRIVATE ${ZELQ_LINK})
EOF_NAMES
  configure_names() {  # <log> <arguments>...
    local log=$1
    shift
    rm -rf "$prefix/names-build"
    cmake -S "$prefix/names" -B "$prefix/names-build" -G Ninja \
      -DCMAKE_PREFIX_PATH="$prefix/install" "$@" >"$log" 2>&1
  }
  failed=
  configure_names "$prefix/names.log" \
    "-DZELQ_LINK=zelq::generation;zelq::zelq_generation;zelq::zelq_generation_repacker" ||
    failed+=$'\nthe former and the new names of every component:\n'$(cat "$prefix/names.log")
  ! configure_names "$prefix/names.log" -DZELQ_LINK=zelq::repacker \
    -DCMAKE_DISABLE_FIND_PACKAGE_simdjson=ON ||
    failed+=$'\nno COMPONENTS, simdjson disabled: configured, so not everything was looked for'
  ! configure_names "$prefix/names.log" "-DZELQ_FIND=COMPONENTS;repackr" \
    -DZELQ_LINK=zelq::repacker || failed+=$'\nan unknown component was taken'
  grep -q 'has no component "repackr"' "$prefix/names.log" ||
    failed+=$'\nan unknown component is not named:\n'$(cat "$prefix/names.log")
  if [ -n "$failed" ]; then
    echo "install check: the package's components and target names:$failed" >&2
    exit 1
  fi
  echo "install check: a moved install serves find_package(zelq_generation COMPONENTS" \
    "repacker) without simdjson, OpenSSL, Eigen3 or Python3, linking no network layer or" \
    "provider; every component's former and new names resolve"
fi
