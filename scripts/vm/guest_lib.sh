# Helpers of the guest test scripts (sourced inside the VM): result lines the host counts.
pass() { echo "KVM-RESULT PASS $*"; }
fail() { echo "KVM-RESULT FAIL $*"; }
note() { echo "KVM-NOTE $*"; }

# Starts `candump -L` on vcan0 into $1 (sets dump_pid, dump_file) and returns once it sees the
# bus: a probe frame on 0x7F0 is sent until it shows up in the log.
dump_start() {
  dump_file=$1
  candump -L vcan0 > "$dump_file" &
  dump_pid=$!
  i=0
  until grep -q ' 7F0#' "$dump_file"; do
    cansend vcan0 7F0#00
    i=$((i + 1))
    [ $i -gt 200 ] && { fail "candump did not start"; return 1; }
    usleep 20000
  done
}

# Sends the end marker (0x7F1), keeps listening $1 more seconds, then stops candump once the
# marker is in the log.
dump_stop() {
  cansend vcan0 7F1#00
  sleep "${1:-0}"
  i=0
  until grep -q ' 7F1#' "$dump_file" || [ $i -gt 200 ]; do i=$((i + 1)); usleep 20000; done
  kill "$dump_pid" 2>/dev/null
  wait "$dump_pid" 2>/dev/null
}

# Runs a command with a time limit, killing it (by its pid) when it overruns; returns its status.
run_limited() {
  limit=$1
  shift
  "$@" &
  cmd_pid=$!
  ( sleep "$limit"; kill -9 $cmd_pid 2>/dev/null ) &
  guard_pid=$!
  wait $cmd_pid
  status=$?
  kill $guard_pid 2>/dev/null
  wait $guard_pid 2>/dev/null
  return $status
}
