# Benchmark inside the VM: our 1 MiB download and its floors (bench/can_vm_bench.sh prints it).
. /kestrum/guest_lib.sh

bench_can_download

# can-utils: isotpsend/isotprecv move the same bytes as 257 messages of 4095 bytes, one
# isotpsend process per message (as a shell would drive them), classic CAN and CAN FD.
count=257
for mode in classic fd; do
  ll=""
  [ $mode = fd ] && ll="-L 72:64:1"
  isotprecv -s 714 -d 77E -p AA:AA $ll -l vcan0 > /tmp/recv.$mode &
  recv_pid=$!
  usleep 200000
  start=$(cut -d' ' -f1 /proc/uptime)
  i=0
  while [ $i -lt $count ]; do
    isotpsend -s 77E -d 714 -p AA:AA $ll -D 4095 vcan0
    i=$((i + 1))
  done
  w=0
  until [ "$(wc -l < /tmp/recv.$mode)" -ge $count ] || [ $w -gt 2000 ]; do w=$((w + 1)); usleep 10000; done
  end=$(cut -d' ' -f1 /proc/uptime)
  kill $recv_pid
  wait $recv_pid 2>/dev/null
  echo "can-utils isotpsend/isotprecv, $mode: $count x 4095 bytes in $(awk "BEGIN{printf \"%.2f\", $end - $start}") s"
done
