# Full flashes over vcan0: kestrum_flasher programs kestrum_ecusim's sample package with classic
# CAN, with CAN FD and with 29-bit identifiers. Each must end with exit 0 and the simulator
# holding the package's block digests; the candump log must show every ISO-TP frame padded
# with 0xAA in both directions, the requests and answers on their identifiers, and the cyclic
# tester present 02 3E 80 AA AA AA AA AA about once per cycle while the flash runs, not after.
. /kestrum/guest_lib.sh

if [ ! -x /kestrum/kestrum_ecusim ] || [ ! -s /kestrum/package.txt ]; then
  note "kestrum_ecusim or the sample package is not in this build: full flash over CAN not run"
  exit 0
fi
package=$(sed -n 's/^package: //p' /kestrum/package.txt)
digests=$(sed -n 's/^block: .* sha256 \([0-9A-Fa-f]*\)$/\1/p' /kestrum/package.txt)

# flash NAME PHY FUNC RESP CHECK-OPTIONS -- OPTIONS (shared by the flasher and the simulator)
flash() {
  name=$1 phy=$2 func=$3 resp=$4 check=$5
  shift 5
  rm -rf /tmp/df.$name /tmp/ports.$name
  cp -r /kestrum/datflash /tmp/df.$name
  kestrum_ecusim --port 0 --port_file /tmp/ports.$name --package "$package" --report /tmp/report.$name.json \
    --can_channel vcan0 "$@" 2> /tmp/sim.$name.log &
  sim_pid=$!
  i=0
  until [ -s /tmp/ports.$name ] || [ $i -gt 500 ] || ! kill -0 $sim_pid 2>/dev/null; do i=$((i + 1)); usleep 20000; done
  if [ ! -s /tmp/ports.$name ]; then
    fail "$name: kestrum_ecusim did not start: $(tail -n 3 /tmp/sim.$name.log)"
    kill -9 $sim_pid 2>/dev/null
    wait $sim_pid 2>/dev/null
    return
  fi
  dump_start /tmp/bus.$name.log || return
  start=$(cut -d' ' -f1 /proc/uptime)
  run_limited 150 kestrum_flasher --can_channel vcan0 "$@" --datflash_path /tmp/df.$name --logfile /tmp/flash.$name.log
  rc=$?
  end=$(cut -d' ' -f1 /proc/uptime)
  dump_stop 5  # two and a half tester present cycles: none may come after the flash
  kill -TERM $sim_pid 2>/dev/null
  wait $sim_pid 2>/dev/null

  note "$name: flash took $(awk "BEGIN{printf \"%.1f\", $end - $start}") s, $(wc -l < /tmp/bus.$name.log) frames"
  if [ $rc -eq 0 ]; then
    pass "$name: kestrum_flasher exit 0"
  else
    fail "$name: kestrum_flasher exit $rc"
    grep -E 'ERR|WRN' /tmp/flash.$name.log | tail -n 15 | sed 's/^/    /'
    tail -n 5 /tmp/flash.$name.log | sed 's/^/    /'
  fi
  missing=0
  for d in $digests; do
    if grep -qi "\"sha256\": \"$d\", \"check\": \"ok\"" /tmp/report.$name.json; then
      note "$name: simulator holds block sha256 $d (check ok)"
    else
      missing=$((missing + 1))
    fi
  done
  if [ -s /tmp/report.$name.json ] && [ $missing -eq 0 ] && [ -n "$digests" ]; then
    pass "$name: simulator memory digests match the package"
  else
    fail "$name: $missing block digests missing in the simulator's report"
  fi
  if canlog_check /tmp/bus.$name.log --isotp $phy --isotp $func --isotp $resp --expect $phy --expect $func \
      --expect $resp --tp $func:2000 --window $phy --marker 7F1 $check | sed 's/^/    /'; then
    pass "$name: bus log (padding, identifiers, tester present)"
  else
    fail "$name: bus log (padding, identifiers, tester present)"
  fi
}

flash classic 714 700 77E ""
flash canfd 714 700 77E "--fd" --use_canfd 72:64:1
flash ext29 18DA10F1 18DB33F1 18DAF110 "" \
  --tester_phy_req_id 0x18DA10F1 --tester_func_req_id 0x18DB33F1 --ecu_resp_id 0x18DAF110

# can-utils as an independent tester: a read request sent by isotpsend is answered by the simulator.
kestrum_ecusim --port 0 --port_file /tmp/ports.peer --package "$package" --can_channel vcan0 2> /tmp/sim.peer.log &
sim_pid=$!
i=0
until [ -s /tmp/ports.peer ] || [ $i -gt 500 ]; do i=$((i + 1)); usleep 20000; done
isotprecv -s 714 -d 77E -p AA:AA -P a vcan0 > /tmp/peer.out &
recv_pid=$!
i=0
until [ -s /tmp/peer.out ] || [ $i -gt 50 ]; do
  echo "22 F1 87" | isotpsend -s 714 -d 77E -p AA:AA vcan0
  i=$((i + 1))
  usleep 100000
done
kill $recv_pid $sim_pid 2>/dev/null
wait $recv_pid $sim_pid 2>/dev/null
if grep -q '^62 F1 87 ' /tmp/peer.out; then
  pass "isotpsend/isotprecv read the spare part number from kestrum_ecusim: $(head -c 60 /tmp/peer.out)"
else
  fail "isotpsend/isotprecv got no answer from kestrum_ecusim: '$(cat /tmp/peer.out)'"
fi
