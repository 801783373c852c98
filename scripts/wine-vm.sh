#!/usr/bin/env bash
# Runs one command in a virtual machine that runs 32-bit programs, for a machine whose kernel refuses them.
# QEMU's emulator boots Debian's kernel with this machine's own root, shared over 9p, as the guest's
# root: the command sees every file and program here, and its /tmp, /run and /dev/shm are the guest's.
# Usage: wine-vm.sh COMMAND [ARG...], in the folder and environment the command is to have; exits
# with the command's status after printing its output, or 125 when the machine itself failed.
# WINE_VM_KEEP=1 keeps the job folder (the command, the guest's script, its console) to look into.
# scripts/install-deps.sh makes the kernel and its initramfs, in $WINE_VM_DIR.
set -uo pipefail

vm=${WINE_VM_DIR:-/var/cache/setup-wine-vm}
if [ ! -f "$vm/initrd.gz" ]; then
    echo "wine-vm: no virtual machine in $vm; scripts/install-deps.sh makes it" >&2
    exit 125
fi
# The guest finds its job on the shared root, but not under /tmp: the guest's own /tmp hides the host's.
job=$(mktemp -d /var/tmp/wine-vm.XXXXXX) || exit 125
qemu=
stop() {
    [ -n "$qemu" ] && kill "$qemu" 2>/dev/null && wait "$qemu" 2>/dev/null
    [ -n "${WINE_VM_KEEP:-}" ] || rm -rf "$job"
}
trap stop EXIT
trap 'exit 130' INT TERM

{
    export -p
    printf 'cd %q || exit 125\n' "$PWD"
    printf '%q ' "$@"
    echo
} >"$job/command"
# A command that works in a folder under /tmp (a clone made there, say) keeps that folder.
kept=
case $PWD in /tmp/?*) kept=${PWD#/tmp/} && kept=/tmp/${kept%%/*} ;; esac
cat >"$job/guest" <<EOF
mount -t proc proc /proc
mount -t sysfs sys /sys
for d in /run /dev/shm; do mkdir -p \$d && mount -t tmpfs tmpfs \$d; done
if [ -n "$kept" ]; then mkdir /run/kept && mount --bind "$kept" /run/kept; fi
mount -t tmpfs tmpfs /tmp
if [ -n "$kept" ]; then mkdir -p "$kept" && mount --move /run/kept "$kept"; fi
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
# What udev would make: bash's process substitution needs /dev/fd.
ln -s /proc/self/fd /dev/fd; ln -s fd/0 /dev/stdin; ln -s fd/1 /dev/stdout; ln -s fd/2 /dev/stderr
hostname wine-vm
bash $job/command >$job/output 2>&1 </dev/null
echo \$? >$job/status
sync
echo o >/proc/sysrq-trigger
EOF

# TCG, as there is no KVM here: SMAP and protection keys off, as QEMU's emulation of an iret back to
# 32-bit code with them on faults in the guest kernel.
qemu-system-x86_64 -machine q35 -accel tcg,thread=multi -cpu max,-smap,-pku -smp "$(nproc)" -m 6G \
    -display none -monitor none -nic none -no-reboot -serial file:"$job/console" \
    -kernel "$vm/vmlinuz" -initrd "$vm/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 wine_vm_job=$job" \
    -virtfs local,path=/,mount_tag=root,security_model=passthrough,multidevs=remap,id=root &
qemu=$!
wait "$qemu"
qemu=

cat "$job/output" 2>/dev/null
if [ ! -s "$job/status" ]; then
    echo "wine-vm: the virtual machine stopped before the command ended; its console ended:" >&2
    tail -n 20 "$job/console" >&2
    exit 125
fi
exit "$(cat "$job/status")"
