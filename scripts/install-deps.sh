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
  libinih-dev libssl-dev liblzma-dev
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

# A kernel that refuses 32-bit programs (its IA32 emulation off) cannot run Wine's 32-bit half: the
# Wine groups then run in a virtual machine (scripts/wine-vm.sh) that boots Debian's kernel, whose
# emulation is on, with this machine's root as its own. Its kernel comes out of Debian's package
# without installing it here; the initramfs is busybox and the modules that mount that root.
source "$(dirname "${BASH_SOURCE[0]}")/wine-display.sh"
vm=${WINE_VM_DIR:-/var/cache/setup-wine-vm}
if ! runs_32bit_programs && { [ ! -f "$vm/initrd.gz" ] || ! command -v qemu-system-x86_64 >/dev/null; }; then
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends qemu-system-x86 busybox-static cpio >/dev/null
  kernel=$(apt-cache depends linux-image-amd64 | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  (cd "$work" && apt-get download -qq "$kernel" 2>/dev/null) ||
    { echo "install-deps: could not download the kernel package ${kernel:-of linux-image-amd64}" >&2; exit 1; }
  dpkg-deb -x "$work"/*.deb "$work/deb"
  modules=$work/deb/lib/modules/${kernel#linux-image-}/kernel
  mkdir -p "$work/initrd/bin" "$work/initrd/proc" "$work/initrd/dev" "$work/initrd/root"
  cp /bin/busybox "$work/initrd/bin/"
  # In the order they need each other, which the initramfs loads them in.
  order="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet 9pnet_virtio 9p"
  for m in $order; do
    cp "$(find "$modules" -name "$m.ko")" "$work/initrd/"
  done
  echo "$order" >"$work/initrd/modules"
  cp "$(dirname "${BASH_SOURCE[0]}")/wine-vm-init" "$work/initrd/init"
  chmod +x "$work/initrd/init"
  (cd "$work/initrd" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"
  as_root mkdir -p "$vm"
  as_root cp "$work/deb/boot/vmlinuz-${kernel#linux-image-}" "$vm/vmlinuz"
  as_root cp "$work/initrd.gz" "$vm/initrd.gz"
fi
