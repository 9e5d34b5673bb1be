#!/usr/bin/env bash
# Demo: builds Kestrum, writes a sample flash package, starts the simulated ECU on loopback and flashes it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/ecusim_start.sh
build=${KESTRUM_DEMO_BUILD:-$root/build}
port=${KESTRUM_DEMO_PORT:-13400}

echo "== build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(kestrum_flasher kestrum_ecusim kestrum_pkggen)
[ -f tool/main.cpp ] && targets+=(quorvel)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

work=$(mktemp -d /tmp/kestrum-demo.XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid"
    wait "$sim_pid" || true
  fi
}
trap cleanup EXIT

echo "== sample package in $work/datflash"
"$build/sim/kestrum_pkggen" -o "$work/datflash" | tee "$work/pkggen.txt"
package=$(sed -n 's/^package: //p' "$work/pkggen.txt")

echo "== simulated ECU on 127.0.0.1 port $port (report: $work/report.json)"
start_ecusim "$work" "$build/sim/kestrum_ecusim" --ip 127.0.0.1 --port "$port" --package "$package" \
  --state_file "$work/ecu.state" --report "$work/report.json" || exit 1

if [ -x "$build/quorvel" ]; then
  echo "== quorvel: vehicle identification and two UDS requests"
  "$build/quorvel" --target_ip 127.0.0.1 --target_port "$udp_port" --request_vam || true
  for request in "22 F1 87" "22 F1 89"; do
    echo "   $request -> $(echo "$request" | "$build/quorvel" --target_ip 127.0.0.1 --target_port "$tcp_port" \
      --source_address 0x0E80 --target_address 0x1014 || true)"
  done
fi

echo "== the sample package as the flasher reads it"
"$build/kestrum_flasher" --test_odx_file 'FL_.*' --datflash_path "$work/datflash" | grep -E 'ODX: [0-9]+\)|Test File' || true

flash=("$build/kestrum_flasher" --use_eth --target_ip 127.0.0.1 --target_port "$tcp_port"
       --datflash_path "$work/datflash" --tester_serial_number KSDEMO --connect_loop 5)
echo "== flashing the simulated ECU over DoIP"
set +e
"${flash[@]}"
rc=$?
set -e
echo "== kestrum_flasher exit code: $rc (0 = programming okay)"
echo "== flashing the same package again (expected exit code 1: software is current)"
set +e
"${flash[@]}"
echo "== kestrum_flasher exit code: $?"
set -e
cleanup
sim_pid=""
echo "== the simulated ECU's session report: $work/report.json"
exit "$rc"
