#!/usr/bin/env bash
# Fault soak: repeated DoIP flashes of the sample package against kestrum_ecusim on loopback, each with one randomly chosen fault; prints a table of the outcomes.
#
# usage: scripts/soak.sh [--short] [--runs N] [--seed S] [--bound SECONDS] [--build DIR] [--kind K] [--keep]
#   --short   CI mode: 8 runs, each with a different fault kind
#   --runs    number of flashes (default 40; --short: 8)
#   --seed    seed of the random choices (default: from the clock; printed, so a run can be repeated)
#   --bound   longest time one flash may take before it counts as a hang (default 120 s)
#   --build   build directory with kestrum_flasher and sim/kestrum_ecusim, sim/kestrum_pkggen (default build)
#   --kind    only this fault kind (repeatable; reproduces a failed run together with --seed)
#   --keep    keep the work directory (it is always kept when a check fails)
#
# Every run starts a fresh simulated ECU (free ports on 127.0.0.1, its session report written on
# exit) and one flasher. Checks per run:
#   - the exit code is one the fault allows;
#   - "Programming Okay" in the flasher's log (or exit code 0) only when the ECU's report shows
#     every logical block downloaded completely and its check memory passed, and the ECU ends
#     consistent (otherwise: a false success);
#   - the flasher ends within the bound (otherwise: a hang; it is then killed);
#   - no process started by the flasher outlives it, and the simulator ends on SIGTERM;
#   - the flasher's open file descriptors do not grow over its lifetime (sampled every 100 ms).
# Exit status: 0 when every check held, 1 when one failed, 3 when the DoIP flash path is not
# available (the probe flash without a fault did not succeed), 2 on a usage or setup error.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ecusim_start.sh

short=0
runs=""
seed=""
bound=120
build=build
keep=0
only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --short) short=1 ;;
    --runs) runs=$2; shift ;;
    --seed) seed=$2; shift ;;
    --bound) bound=$2; shift ;;
    --build) build=$2; shift ;;
    --kind) only+=("$2"); shift ;;
    --keep) keep=1 ;;
    *) echo "soak: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$runs" ] || runs=$([ "$short" = 1 ] && echo 8 || echo 40)
[ -n "$seed" ] || seed=$(( $(date +%s) % 32768 ))
RANDOM=$seed

command -v jq >/dev/null || { echo "soak: needs jq to read the simulator's report" >&2; exit 2; }

flasher=$build/kestrum_flasher
sim=$build/sim/kestrum_ecusim
pkggen=$build/sim/kestrum_pkggen
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
build_log=$(mktemp /tmp/kestrum-soak-build.XXXXXX)
if ! cmake --build "$build" -j2 --target kestrum_flasher kestrum_pkggen $( [ -f sim/main.cpp ] && echo kestrum_ecusim ) \
    >"$build_log" 2>&1; then
  cat "$build_log" >&2
  rm -f "$build_log"
  echo "soak: build failed" >&2
  exit 2
fi
rm -f "$build_log"

unavailable() {
  echo "soak: the DoIP flash of kestrum_ecusim is not available: $1"
  echo "soak: no soak run was made"
  exit 3
}
[ -x "$sim" ] || unavailable "$sim was not built (the simulator program has not landed)"
sim_help=$("$sim" --help)
for option in --port_file --report --package --pending --busy --answer_delay_ms --refuse_key \
              --missing_ack_at --negative_ack_at --drop_after_transfer_data --drop_before_answer --refuse_routing; do
  grep -q -- "$option" <<<"$sim_help" || unavailable "kestrum_ecusim has no option $option"
done

work=$(mktemp -d /tmp/kestrum-soak.XXXXXX)
sim_pid=""
flasher_pid=""
failed=0
# Ends what this script started, by PID, whatever way the script ends.
cleanup() {
  for pid in $flasher_pid $sim_pid; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  if [ "$keep" = 0 ] && [ "$failed" = 0 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

datflash=$work/datflash
"$pkggen" -o "$datflash" >"$work/pkggen.txt"
package=$(sed -n 's/^package: //p' "$work/pkggen.txt")
[ -f "$package" ] || { echo "soak: the package generator wrote no package" >&2; cat "$work/pkggen.txt" >&2; exit 2; }

# Starts the simulator of run directory $1 with the fault options that follow; sets sim_pid and tcp_port.
start_sim() {
  local dir=$1
  shift
  KESTRUM_SOAK_MARK="sim-$dir" start_ecusim "$dir" "$sim" --ip 127.0.0.1 --port 0 --package "$package" \
    --report "$dir/report.json" --p2 0x012C "$@" || { echo "soak: no simulated ECU" >&2; exit 2; }
}

# Ends the simulator with SIGTERM (it writes its report then); returns 1 if it had to be killed.
stop_sim() {
  local ok=0
  kill -TERM "$sim_pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$sim_pid" 2>/dev/null; then
    kill -KILL "$sim_pid" 2>/dev/null || true
    ok=1
  fi
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  return $ok
}

# PIDs of live processes carrying the marker in their environment.
marked_processes() {
  local mark=$1 pid
  for pid in /proc/[0-9]*; do
    pid=${pid#/proc/}
    if grep -qzx "KESTRUM_SOAK_MARK=$mark" "/proc/$pid/environ" 2>/dev/null; then echo "$pid"; fi
  done
}

# True when the report shows every logical block downloaded completely, its check passed, and a
# consistent ECU at the end.
report_verified() {
  local report=$1
  [ -s "$report" ] || return 1
  jq -e '
    (.final_state.blocks | length) as $n
    | ([.downloads[] | select(.ram | not) | select(.complete and .check == "ok") | .block] | unique) as $done
    | $n > 0 and ([range(0; $n)] - $done | length) == 0 and .final_state.consistent' "$report" >/dev/null
}

# Runs the flasher of run directory $1 against tcp_port; $2: seconds after which it gets SIGTERM
# (empty: never). Sets rc, hung, term_sent, elapsed, fd_first, fd_peak, threads_peak.
run_flasher() {
  local dir=$1 term_at=$2
  local start now count
  KESTRUM_SOAK_MARK="flasher-$dir" "$flasher" --use_eth --target_ip 127.0.0.1 --target_port "$tcp_port" \
    --datflash_path "$datflash" --tester_serial_number KSSOAK --connect_loop 5 --logfile "$dir/flasher.log" \
    >"$dir/flasher.out" 2>&1 &
  flasher_pid=$!
  start=$(date +%s%N)
  hung=0
  term_sent=0
  fd_first=""
  fd_peak=0
  threads_peak=0
  : >"$dir/fds"
  while kill -0 "$flasher_pid" 2>/dev/null; do
    now=$(date +%s%N)
    if [ -n "$term_at" ] && [ "$term_sent" = 0 ] && [ $(( (now - start) / 1000000 )) -ge "$term_at" ]; then
      kill -TERM "$flasher_pid" 2>/dev/null && term_sent=1
    fi
    if [ $(( (now - start) / 1000000000 )) -ge "$bound" ]; then
      hung=1
      kill -KILL "$flasher_pid" 2>/dev/null || true
      break
    fi
    count=$( (ls "/proc/$flasher_pid/fd" 2>/dev/null || true) | wc -l)
    if [ "$count" -gt 0 ]; then
      echo "$count" >>"$dir/fds"
      # The first samples cover start-up (logger, sockets being opened); the baseline is the
      # count once the flasher has been running for a second.
      if [ -z "$fd_first" ] && [ $(( (now - start) / 1000000 )) -ge 1000 ]; then fd_first=$count; fi
      [ "$count" -gt "$fd_peak" ] && fd_peak=$count
      count=$(sed -n 's/^Threads:[[:space:]]*//p' "/proc/$flasher_pid/status" 2>/dev/null || echo 0)
      [ -n "$count" ] && [ "$count" -gt "$threads_peak" ] && threads_peak=$count
    fi
    sleep 0.1
  done
  set +e
  wait "$flasher_pid"
  rc=$?
  set -e
  flasher_pid=""
  elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
}

# The fault kinds, their simulator options and the exit codes each allows. Message-level faults
# may hit any request, so they allow any outcome of a failed flash; what they never allow is a
# false success, a hang or a leak.
kinds=(none pending busy delay drop_between drop_during drop_pending missing_ack negative_ack refuse_key refuse_routing
       preconditions sigterm)
any_failure="0 1 3 4 5 6 7 8"
if [ ${#only[@]} -gt 0 ]; then
  for k in "${only[@]}"; do
    grep -qw -- "$k" <<<"${kinds[*]}" || { echo "soak: unknown fault kind $k (kinds: ${kinds[*]})" >&2; exit 2; }
  done
  kinds=("${only[@]}")
fi

# Sets sim_args, expect and term_at for one fault kind.
choose_fault() {
  sim_args=()
  term_at=""
  local sids=(0x10 0x22 0x27 0x2E 0x31 0x34 0x36 0x37)
  case "$1" in
    none) expect="0" ;;
    pending) sim_args=(--pending $((1 + RANDOM % 20)) --pending_sid "${sids[RANDOM % ${#sids[@]}]}"); expect="0" ;;
    busy) sim_args=(--busy $((1 + RANDOM % 3)) --busy_sid "${sids[RANDOM % ${#sids[@]}]}"); expect="0" ;;
    # P2 of the simulator is 300 ms (--p2 0x012C): answers come late but within it.
    delay) sim_args=(--answer_delay_ms $((20 + RANDOM % 230))); expect="0" ;;
    drop_between) sim_args=(--drop_after_transfer_data $((1 + RANDOM % 20))); expect=$any_failure ;;
    drop_during) sim_args=(--drop_after_transfer_data $((1 + RANDOM % 20)) --drop_before_answer); expect=$any_failure ;;
    # The ECU keeps working on a TransferData while the connection is down and answers on the
    # new one; its P2* (30 s) covers the restore, so the flash must complete.
    drop_pending) sim_args=(--drop_after_transfer_data $((1 + RANDOM % 20)) --drop_while_pending
                            --keep_download_on_disconnect --p2_star 0x0BB8); expect="0" ;;
    missing_ack) sim_args=(--missing_ack_at $((1 + RANDOM % 60))); expect=$any_failure ;;
    negative_ack) sim_args=(--negative_ack_at $((1 + RANDOM % 60)) --negative_ack_code $((2 + RANDOM % 7))); expect=$any_failure ;;
    refuse_key) sim_args=(--refuse_key); expect="5" ;;
    refuse_routing) sim_args=(--refuse_routing $((1 + RANDOM % 2))); expect="0 3 5" ;;
    preconditions) sim_args=(--preconditions_fail); expect="5" ;;
    sigterm) term_at=$((300 + RANDOM % 4000)); expect="15" ;;
  esac
}

declare -A by_kind=() by_code=()
# Records a failed check of the current run.
note() {
  problems+=("run $i ($kind ${sim_args[*]}${term_at:+ TERM at ${term_at}ms}): $1 - $dir")
  verdict=FAIL
}
false_successes=0
noted=0
hangs=0
leftovers=0
fd_growth=0
unexpected=0
problems=()

# A probe flash without a fault: the soak makes sense only when it succeeds.
probe=$work/probe
mkdir -p "$probe"
start_sim "$probe"
run_flasher "$probe" ""
stop_sim || true
if [ "$hung" = 1 ] || [ "$rc" != 0 ] || ! grep -q "Programming Okay" "$probe/flasher.log" 2>/dev/null; then
  keep=1
  unavailable "a flash without a fault ended with exit code $rc$([ "$hung" = 1 ] && echo ' (hung)') - see $probe/flasher.log"
fi

echo "soak: $runs runs, seed $seed, bound ${bound}s, work directory $work"
offset=$((RANDOM % ${#kinds[@]}))
for i in $(seq 1 "$runs"); do
  if [ "$short" = 1 ]; then
    kind=${kinds[(offset + i) % ${#kinds[@]}]}
  else
    kind=${kinds[RANDOM % ${#kinds[@]}]}
  fi
  choose_fault "$kind"
  dir=$work/run$i
  mkdir -p "$dir"
  start_sim "$dir" "${sim_args[@]}"
  run_flasher "$dir" "$term_at"
  if [ "$kind" = sigterm ] && [ "$term_sent" = 0 ]; then expect="0"; fi
  sim_killed=0
  stop_sim || sim_killed=1

  by_kind[$kind]=$(( ${by_kind[$kind]:-0} + 1 ))
  if jq -e '[.notes[] | select(contains("injected fault"))] | length > 0' "$dir/report.json" >/dev/null 2>&1; then
    noted=$((noted + 1))
  fi
  code=$([ "$hung" = 1 ] && echo hung || echo "$rc")
  by_code[$code]=$(( ${by_code[$code]:-0} + 1 ))
  verdict=ok

  if [ "$hung" = 1 ]; then
    hangs=$((hangs + 1)); note "no end within ${bound}s"
  elif ! grep -qw -- "$rc" <<<"$expect"; then
    unexpected=$((unexpected + 1)); note "exit code $rc, expected one of: $expect"
  fi
  claimed=0
  if grep -q "Programming Okay" "$dir/flasher.log" 2>/dev/null || [ "$rc" = 0 ]; then claimed=1; fi
  if [ "$claimed" = 1 ] && ! report_verified "$dir/report.json"; then
    false_successes=$((false_successes + 1)); note "success reported but the ECU's report shows unverified blocks"
  fi
  left=$(marked_processes "flasher-$dir")
  if [ -n "$left" ]; then
    leftovers=$((leftovers + 1)); note "processes left behind: $left"
    for pid in $left; do kill -KILL "$pid" 2>/dev/null || true; done
  fi
  if [ "$sim_killed" = 1 ]; then
    leftovers=$((leftovers + 1)); note "kestrum_ecusim did not end on SIGTERM"
  fi
  if [ -n "$fd_first" ] && [ "$fd_peak" -gt $((fd_first + 2)) ]; then
    fd_growth=$((fd_growth + 1)); note "open descriptors grew from $fd_first to $fd_peak"
  fi
  printf 'run %3d  %-15s exit %-4s %6d ms  fds %s..%s  threads<=%s  %s\n' "$i" "$kind" "$code" "$elapsed" \
    "${fd_first:--}" "$fd_peak" "$threads_peak" "$verdict"
done

echo
echo "== soak summary (seed $seed)"
printf '%-28s %s\n' "runs" "$runs"
printf '%-28s' "faults injected by kind"
for k in "${kinds[@]}"; do [ -n "${by_kind[$k]:-}" ] && printf ' %s:%s' "$k" "${by_kind[$k]}"; done
echo
printf '%-28s %s\n' "faults noted in ECU reports" "$noted"
printf '%-28s' "outcomes by exit code"
for c in $(printf '%s\n' "${!by_code[@]}" | sort -n); do printf ' %s:%s' "$c" "${by_code[$c]}"; done
echo
printf '%-28s %s\n' "false successes (must be 0)" "$false_successes"
printf '%-28s %s\n' "hangs (must be 0)" "$hangs"
printf '%-28s %s\n' "unexpected exit codes" "$unexpected"
printf '%-28s %s\n' "processes left behind" "$leftovers"
printf '%-28s %s\n' "descriptor growth" "$fd_growth"
if [ ${#problems[@]} -gt 0 ]; then
  failed=1
  echo
  printf '%s\n' "${problems[@]}"
  echo "soak: FAILED (work directory kept: $work)"
  exit 1
fi
echo "soak: passed"
