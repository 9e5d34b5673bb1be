#!/usr/bin/env bash
# Proves the CAN path in a real Linux kernel: boots a small VM (qemu, software emulation) with
# vcan, ISO-TP and the broadcast manager, runs our programs there and reports the results.
# Usage: scripts/vm_test.sh [build dir]   Exit: 0 passed, 1 failed, 77 the VM cannot run here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-build}" && pwd)
# shellcheck source=vm/lib.sh
source scripts/vm/lib.sh
started=$(date +%s)

skip() {
  echo "vm: SKIPPED: $* (the CAN tests in the VM need qemu and a Debian kernel package)"
  exit 77
}
vm_install_tools || skip "qemu, busybox-static or can-utils cannot be installed"
vm_fetch_kernel "$build" || skip "no Debian kernel to boot"

# Our programs: the CAN transport's kernel tests, the flasher and the simulator when it exists.
targets=(test_canif kestrum_flasher)
[ -f sim/main.cpp ] && targets+=(kestrum_ecusim)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null

stage=$(mktemp -d)
cleanup() { rm -rf "$stage"; }
trap cleanup EXIT
tree=$stage/root
mkdir -p "$tree/kestrum"
checker=$build/vm/canlog_check  # the bus-log checker, rebuilt only when its source changes
if [ ! -x "$checker" ] || [ scripts/vm/canlog_check.cpp -nt "$checker" ]; then
  mkdir -p "$build/vm"
  g++ -O2 -Wall -Wextra -static -o "$checker" scripts/vm/canlog_check.cpp
fi
cp "$checker" "$tree/kestrum/canlog_check"
vm_add_program "$tree" "$build/tests/test_canif" /kestrum/test_canif
vm_add_program "$tree" "$build/kestrum_flasher" /kestrum/kestrum_flasher
if [ -x "$build/sim/kestrum_ecusim" ]; then
  vm_add_program "$tree" "$build/sim/kestrum_ecusim" /kestrum/kestrum_ecusim
fi
[ -x scripts/vm/prepare_flash.sh ] && bash scripts/vm/prepare_flash.sh "$build" "$tree/kestrum"
vm_build_initramfs "$tree" "$stage/initrd.cpio"

vm_log "booting $(basename "$(dirname "$vm_kernel")") ($(du -m "$stage/initrd.cpio" | cut -f1) MiB initramfs)"
boot_rc=0
vm_boot "$stage/initrd.cpio" "kestrum.suite=test" "$stage/serial.log" 300 || boot_rc=$?
sed 's/^/  guest| /' "$stage/serial.log"

passed=$(grep -c 'KVM-RESULT PASS' "$stage/serial.log" || true)
failed=$(grep -c 'KVM-RESULT FAIL' "$stage/serial.log" || true)
if ! grep -q 'KVM-BEGIN' "$stage/serial.log"; then
  if [ "$boot_rc" -ne 0 ] && ! grep -q 'Linux version\|Run /init' "$stage/serial.log" && [ ! -s "$stage/serial.log" ]; then
    skip "qemu did not start (status $boot_rc)"
  fi
  echo "vm: the guest did not reach its tests (qemu status $boot_rc)"
  failed=$((failed + 1))
elif ! grep -q 'KVM-END' "$stage/serial.log"; then
  echo "vm: the guest did not finish its tests (qemu status $boot_rc: timeout or crash)"
  failed=$((failed + 1))
fi
[ "$passed" -gt 0 ] || failed=$((failed + 1))
echo "vm: CAN in a VM took $(($(date +%s) - started)) s"
echo "vm: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
