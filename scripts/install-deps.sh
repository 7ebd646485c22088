#!/usr/bin/env bash
# Installs the Debian packages the library builds against. Idempotent: when
# every package is already present it returns without touching apt.
set -euo pipefail

usage() {
  echo "usage: scripts/install-deps.sh"
  echo
  echo "Installs, through apt-get (with sudo when not run as root), the Debian packages"
  echo "the library, its tests and the sanitizer builds need, when any is missing."
}
case "${1:-}" in
  "") ;;
  -h | --help)
    usage
    exit 0
    ;;
  *)
    echo "install-deps: unknown argument $1" >&2
    usage >&2
    exit 2
    ;;
esac

packages=(
  build-essential cmake ninja-build pkg-config
  libboost1.81-dev
  nlohmann-json3-dev
  libspdlog-dev libfmt-dev
  libeigen3-dev
  libssl-dev ca-certificates
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  libsimdjson-dev
  clang-19 libclang-rt-19-dev
  llvm-19  # llvm-symbolizer-19: sanitizer reports with files and lines
  python3 python3-dev pybind11-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
