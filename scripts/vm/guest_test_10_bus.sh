# The kernel's CAN stack as the VM brings it up: modules, vcan0 with CAN FD, and can-utils'
# isotpsend/isotprecv moving a padded multi-frame message (the tools' own round trip).
. /kestrum/guest_lib.sh

if ip link show vcan0 | grep -q 'mtu 72' && ip link show vcan0 | grep -q 'UP'; then
  pass "vcan0 up with CAN FD mtu 72"
else
  fail "vcan0 not up: $(ip link show vcan0 2>&1 | head -n 1)"
fi
for m in can_isotp can_bcm vcan; do
  grep -q "^$m " /proc/modules && pass "module $m loaded" || fail "module $m not loaded"
done

dump_start /tmp/bus.log || exit 0
isotprecv -s 714 -d 77E -p AA:AA -P a vcan0 > /tmp/recv.out &
recv_pid=$!
data="10 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13"
# The receiver binds a moment after it starts: resend until it prints the message.
i=0
until [ -s /tmp/recv.out ] || [ $i -gt 50 ]; do
  echo "$data" | isotpsend -s 77E -d 714 -p AA:AA vcan0 2>/dev/null
  i=$((i + 1))
  usleep 50000
done
kill $recv_pid 2>/dev/null
wait $recv_pid 2>/dev/null
dump_stop 0
if [ "$(cat /tmp/recv.out)" = "$data " ]; then
  pass "isotpsend to isotprecv round trip"
else
  fail "isotpsend to isotprecv: got '$(cat /tmp/recv.out)'"
fi
if canlog_check /tmp/bus.log --isotp 77E --isotp 714 --expect 77E --expect 714; then
  pass "isotpsend/isotprecv frames padded with 0xAA"
else
  fail "isotpsend/isotprecv padding"
fi
