#!/usr/bin/env bash
# Captures one DoIP flash of the simulated ECU on loopback and checks that tshark decodes it as DoIP and UDS without malformed packets or protocol errors.
# Usage: scripts/tshark_check.sh [build dir]; exit 0 pass, 1 fail, 77 skipped (no tshark or no capture permission).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ecusim_start.sh
build=$(cd "${1:-build}" && pwd)
command -v tshark >/dev/null || { echo "tshark_check: tshark is not installed, skipped"; exit 77; }

work=$(mktemp -d /tmp/kestrum-tshark.XXXXXX)
sim_pid=""
cap_pid=""
cleanup() {
  for pid in $cap_pid $sim_pid; do
    if kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid"; wait "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

"$build/sim/kestrum_pkggen" -o "$work/datflash" --inline_size 4096 --extern_size 65536 >"$work/pkggen.txt"
package=$(sed -n 's/^package: //p' "$work/pkggen.txt")
start_ecusim "$work" "$build/sim/kestrum_ecusim" --ip 127.0.0.1 --port 0 --package "$package" \
  --report "$work/report.json" || { echo "tshark_check: no simulated ECU"; exit 1; }

tshark -i lo -f "tcp port $tcp_port or udp port $udp_port" -w "$work/flash.pcapng" 2>"$work/tshark.log" &
cap_pid=$!
for _ in $(seq 1 100); do
  grep -q "Capturing on" "$work/tshark.log" && break
  kill -0 "$cap_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "Capturing on" "$work/tshark.log"; then
  cat "$work/tshark.log"; echo "tshark_check: cannot capture on loopback here, skipped"; exit 77
fi

set +e
"$build/kestrum_flasher" --use_eth --target_ip 127.0.0.1 --target_port "$tcp_port" --datflash_path "$work/datflash" \
  --connect_loop 5 >"$work/flasher.log" 2>&1
rc=$?
set -e
sleep 0.5
kill -INT "$cap_pid"; wait "$cap_pid" 2>/dev/null || true
cap_pid=""
if [ "$rc" -ne 0 ]; then tail -n 20 "$work/flasher.log"; echo "tshark_check: flash ended with $rc"; exit 1; fi

decode=(-r "$work/flash.pcapng" -d "tcp.port==$tcp_port,doip" -d "udp.port==$udp_port,doip")
count() { tshark "${decode[@]}" -Y "$1" 2>/dev/null | wc -l; }
doip=$(count doip)
uds=$(count uds)
downloads=$(count "uds.sid == 0x36")
bad_filter='_ws.malformed || _ws.expert.severity == error || (_ws.expert.group == 0x09000000 && _ws.expert.severity >= 0x00600000)'
bad=$(count "$bad_filter")
echo "tshark_check: $doip DoIP packets, $uds UDS packets ($downloads TransferData), $bad malformed or protocol errors"
if [ "$bad" -ne 0 ]; then tshark "${decode[@]}" -Y "$bad_filter" -V 2>/dev/null | grep -iE 'expert|malformed' | sort | uniq -c | head -n 20; fi
[ "$doip" -gt 0 ] && [ "$uds" -gt 0 ] && [ "$downloads" -gt 0 ] && [ "$bad" -eq 0 ]
