# Sourced by the scripts that run the simulated ECU in the background.
#
# start_ecusim DIR PROGRAM ARGS...: starts PROGRAM (kestrum_ecusim) with ARGS and --port_file
# DIR/ports, its standard error in DIR/ecusim.log, and waits (10 s at most) until it listens.
# Sets sim_pid, tcp_port and udp_port. Returns 1, with the simulator's log on standard error,
# when it ended or wrote no port file in time.
start_ecusim() {
  local dir=$1
  shift
  rm -f "$dir/ports"
  "$@" --port_file "$dir/ports" 2>"$dir/ecusim.log" &
  sim_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$dir/ports" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! [ -s "$dir/ports" ]; then
    cat "$dir/ecusim.log" >&2
    echo "kestrum_ecusim did not start (no port file in $dir)" >&2
    return 1
  fi
  tcp_port=$(cut -d' ' -f1 "$dir/ports")
  udp_port=$(cut -d' ' -f2 "$dir/ports")
}
