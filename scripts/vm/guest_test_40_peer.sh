# can-utils as an independent tester of the simulator's CAN front-end: a read request sent by
# isotpsend is answered by kestrum_ecusim, and isotprecv (checking the padding) gets the answer.
. /kestrum/guest_lib.sh

if [ ! -x /kestrum/kestrum_ecusim ]; then
  note "kestrum_ecusim is not in this build: can-utils peer test not run"
  exit 0
fi
rm -f /tmp/ports.peer
kestrum_ecusim --port 0 --port_file /tmp/ports.peer --can_channel vcan0 2> /tmp/sim.peer.log &
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
