#!/usr/bin/env bash
# Installs what is missing, builds Kestrum (plain, ASan+UBSan, TSan) and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(build-essential cmake ninja-build pkg-config clang libxml2-dev libxml2-utils libzip-dev zlib1g-dev
          libcli11-dev googletest libgtest-dev libgmock-dev tshark libclang-rt-14-dev jq zip unzip python3 iproute2 procps)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
passed=0
failed=0
run_suite() {  # build dir, label; adds the counts of one ctest run
  local dir=$1 label=$2 log
  log=$(mktemp)
  echo "== tests: $label"
  set +e
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600 "${@:3}") 2>&1 | tee "$log"
  set -e
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    local total fail
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    fail=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - fail))
    failed=$((failed + fail))
  else
    failed=$((failed + 1))
  fi
  rm -f "$log"
}

echo "== build: plain"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
run_suite build "plain build"

echo "== build: AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUM_SANITIZE=ON -DKESTRUM_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan "ASan+UBSan build"

echo "== build: ThreadSanitizer (threaded modules)"
tsan_targets=(test_events test_doip)
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUM_TSAN=ON -DKESTRUM_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target "${tsan_targets[@]}"
TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan "TSan build" -L '^(events|doip)$'

echo "== tests: CAN in a VM (real kernel ISO-TP and broadcast manager; skipped where qemu cannot run)"
vm_rc=0
bash scripts/vm_test.sh build || vm_rc=$?
case $vm_rc in 0) passed=$((passed + 1)) ;; 77) ;; *) failed=$((failed + 1)) ;; esac

# Checks that end in 0 (pass), 77 (skipped here) or anything else (fail).
run_check() {  # label, command...
  local label=$1 rc=0
  shift
  echo "== check: $label"
  "$@" </dev/null || rc=$?
  case $rc in
    0) passed=$((passed + 1)) ;;
    77) echo "   skipped" ;;
    *) echo "   FAILED ($rc)"; failed=$((failed + 1)) ;;
  esac
}
run_check "tshark decodes a loopback DoIP flash as DoIP and UDS" bash scripts/tshark_check.sh build
run_check "fault soak, short mode" bash scripts/soak.sh --short --build build
run_check "libFuzzer smoke (${KESTRUM_FUZZ_SECONDS:-20} s a target)" bash scripts/fuzz.sh "${KESTRUM_FUZZ_SECONDS:-20}"

echo "All suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
