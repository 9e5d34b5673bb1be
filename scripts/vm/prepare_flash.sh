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
