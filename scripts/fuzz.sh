#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for the given seconds (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
jobs=$(nproc)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUM_FUZZ=ON -DKESTRUM_TESTS=OFF -DKESTRUM_BENCH=OFF >/dev/null
targets=$(cd fuzz && ls *_fuzz.cpp | sed -E 's/_fuzz\.cpp$//')
cmake --build build-fuzz -j"$jobs" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done)
failed=0
for t in $targets; do
  work=$(mktemp -d)
  seeds=fuzz/corpus/$t
  mkdir -p "$seeds"
  echo "== fuzz_$t for ${seconds}s"
  if ! (cd "$work" && ASAN_OPTIONS=detect_leaks=1 "$OLDPWD/build-fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 "$work" "$OLDPWD/$seeds" >"$work/log" 2>&1); then
    echo "fuzz_$t FAILED; last lines:"; tail -n 30 "$work/log"
    ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* 2>/dev/null || true
    failed=$((failed + 1))
  else
    grep -E '^Done|#[0-9]+.*DONE' "$work/log" | tail -n 1 || true
  fi
  rm -rf "$work"
done
echo "fuzz targets: $(( $(wc -w <<<"$targets") - failed )) passed, $failed failed"
[ "$failed" -eq 0 ]
