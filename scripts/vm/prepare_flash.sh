#!/usr/bin/env bash
# Puts the sample flash package into the VM's tree: a datflash directory made by kestrum_pkggen
# and package.txt with the block digests the simulator must end up holding.
# Usage: prepare_flash.sh <build dir> <guest /kestrum dir>
set -euo pipefail
build=$1
dest=$2
if [ ! -x "$build/sim/kestrum_pkggen" ] || [ ! -x "$build/sim/kestrum_ecusim" ]; then
  exit 0
fi
"$build/sim/kestrum_pkggen" -o "$dest/datflash" | sed "s#$dest#/kestrum#g" > "$dest/package.txt"
# The full flash needs the real flash sequencer; until it is in the tree the flasher's run is a
# placeholder that fails, and the VM test only notes that the flash was not run.
[ -f "$(dirname "$0")/../../flasher/run_placeholder.cpp" ] || touch "$dest/flash_ready"
