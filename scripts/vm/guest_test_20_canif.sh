# The CAN transport's kernel tests: real ISO-TP and broadcast-manager sockets on vcan0, against
# kernel peers and can-utils (none may skip here).
. /kestrum/guest_lib.sh

run_limited 120 test_canif --gtest_filter='CanifKernelTest.*' > /tmp/canif.out 2>&1
status=$?
sed 's/^/  | /' /tmp/canif.out | grep -E 'RUN|OK|FAIL|SKIP|Failure|Expected|Which is|actual|canif_' | head -n 60
if [ $status -ne 0 ]; then
  fail "CAN transport kernel tests (status $status)"
elif grep -q 'SKIPPED' /tmp/canif.out; then
  fail "CAN transport kernel tests skipped inside the VM"
else
  pass "CAN transport kernel tests ($(grep -c '^\[       OK \]' /tmp/canif.out) tests)"
fi
