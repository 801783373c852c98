#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need (--bench: the benchmark too); quick when all is present.
set -euo pipefail

# wine64 gives the Wine journeys a 64-bit prefix too, where the 32-bit setup runs under WOW64.
need=(
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386 wine64 xvfb xauth x11-apps
  cmake make g++ pkg-config googletest libgtest-dev
  clang libclang-rt-14-dev
  python3 python3-pefile icoutils
  libinih-dev libssl-dev
  osslsigncode openssl
  imagemagick locales
)
# The Wine journeys also run in these locales: Wine takes its ANSI code page from the Unix one.
locales=(ru_RU ja_JP el_GR)
# The benchmark alone needs NSIS to compare with and matplotlib for its chart.
[ "${1:-}" = "--bench" ] && need+=(nsis python3-matplotlib)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# An unknown locale falls back to C without a word, so each is made here if it is not there.
for l in "${locales[@]}"; do
  locale -a 2>/dev/null | grep -qix "$l.utf8" || as_root localedef -i "$l" -f UTF-8 "$l.UTF-8"
done
