#!/usr/bin/env bash
# Installs what is missing, builds Kestrum (plain, ASan+UBSan, TSan) and runs the whole test suite.
# Run as root on Debian 12. Ends with "All suites: N passed, N failed"; exits non-zero on any failure.
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."

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

# Modules whose tests also run under ThreadSanitizer (ctest label = directory below tests/).
tsan_labels=(events logging doip)

jobs=$(nproc)
passed=0
failed=0

# build DIR LABEL CMAKE-ARGS... [-- BUILD-ARGS...]: configures and builds; a failure counts once.
build() {
  local dir=$1 label=$2 cfg=() bld=()
  shift 2
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do cfg+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  bld=("$@")
  echo "== build: $label"
  if cmake -S . -B "$dir" -G Ninja "${cfg[@]}" >/dev/null && cmake --build "$dir" -j"$jobs" "${bld[@]}"; then
    return 0
  fi
  echo "== build FAILED: $label"
  failed=$((failed + 1))
  return 1
}

# run_suite DIR LABEL [CTEST-ARGS...]: runs ctest and adds its counts; no summary counts as a failure.
run_suite() {
  local dir=$1 label=$2 log line total fail
  shift 2
  log=$(mktemp)
  echo "== tests: $label"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --no-tests=error --timeout 600 "$@") 2>&1 | tee "$log" || true
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    fail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - fail))
    failed=$((failed + fail))
  else
    echo "== no test summary: $label"
    failed=$((failed + 1))
  fi
  rm -f "$log"
}

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

plain_built=no
if build build "plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  plain_built=yes
  run_suite build "plain build"
fi

if build build-asan "AddressSanitizer + UndefinedBehaviorSanitizer" \
     -DCMAKE_BUILD_TYPE=Debug -DKESTRUM_SANITIZE=ON -DKESTRUM_BENCH=OFF; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan "ASan+UBSan build"
fi

tsan_targets=()
tsan_found=()
for l in "${tsan_labels[@]}"; do
  if compgen -G "tests/$l/*.cpp" >/dev/null; then
    tsan_targets+=("test_$l")
    tsan_found+=("$l")
  fi
done
if [ ${#tsan_targets[@]} -gt 0 ]; then
  regex="^($(IFS='|'; echo "${tsan_found[*]}"))\$"
  if build build-tsan "ThreadSanitizer (${tsan_found[*]})" \
       -DCMAKE_BUILD_TYPE=Debug -DKESTRUM_TSAN=ON -DKESTRUM_BENCH=OFF -- --target "${tsan_targets[@]}"; then
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite build-tsan "TSan build" -L "$regex"
  fi
fi

# Checks on the plain build's programs (a failed plain build is counted already).
if [ "$plain_built" = yes ]; then
  run_check "CAN in a VM (real kernel ISO-TP and broadcast manager; skipped where qemu cannot run)" \
    bash scripts/vm_test.sh build
  run_check "tshark decodes a loopback DoIP flash as DoIP and UDS" bash scripts/tshark_check.sh build
  run_check "fault soak, short mode" bash scripts/soak.sh --short --build build
fi
run_check "libFuzzer smoke (${KESTRUM_FUZZ_SECONDS:-20} s a target)" bash scripts/fuzz.sh "${KESTRUM_FUZZ_SECONDS:-20}"

echo "All suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
