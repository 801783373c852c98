#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need (--bench: the benchmark too); quick when all is present.
set -euo pipefail

need=(
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386 xvfb xauth x11-apps
  cmake make g++ googletest libgtest-dev
  clang libclang-rt-14-dev
  python3 python3-pefile icoutils
  libinih-dev
  imagemagick
)
# The benchmark alone needs NSIS to compare with and matplotlib for its chart.
[ "${1:-}" = "--bench" ] && need+=(nsis python3-matplotlib)

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
as_root apt-get update -qq
as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
