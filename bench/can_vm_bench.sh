#!/usr/bin/env bash
# Benchmark of the CAN path inside the test VM: a 1 MiB download over classic CAN and CAN FD on
# vcan through the flasher's UDS client and CAN transport into kestrum_ecusim, next to the
# kernel's floor (bare ISO-TP sockets) and can-utils' isotpsend/isotprecv moving the same bytes.
# Prints figures only. Usage: bench/can_vm_bench.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
source scripts/vm/lib.sh
vm_install_tools || { echo "bench: qemu cannot run here"; exit 0; }
vm_fetch_kernel "$build" || { echo "bench: no kernel to boot"; exit 0; }
cmake --build "$build" -j"$(nproc)" --target bench_can_download >/dev/null
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
vm_add_program "$stage/root" "$build/bench/bench_can_download" /kestrum/bench_can_download
vm_build_initramfs "$stage/root" "$stage/initrd.cpio"
vm_boot "$stage/initrd.cpio" "kestrum.suite=bench" "$stage/serial.log" 900 || true
grep -v 'KVM-\|SeaBIOS\|Booting from\|reboot:' "$stage/serial.log" | sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g; /^c*$/d'
echo "(qemu software emulation of one x86-64 machine with 2 vCPUs; the host has $(nproc) cores)"
