#!/usr/bin/env bash
# A session's records are stored and answered by the server's loop, so that an
# audited login is never kept waiting by slow requests that hold every worker;
# with synced commits they go to the workers instead.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
CLIENT=$VGD_BIN_DIR/vgdclient
vgd_add_conf "vgd.watch.enabled false" "vgd.threadpool.size 1" "vgd.threadpool.size.max 1"
vgd_start
# The cache script now holds the only worker until the test releases it.
cat > /usr/share/orvanepw/bin/nscdrestart.sh <<'SH'
#!/bin/sh
[ "$1" = flush ] || exit 0
touch /run/flush.started
while [ ! -e /run/flush.release ]; do sleep 0.1; done
SH

# hold_worker: a root flush occupies the worker; waits until it does.
hold_worker() {
  "$CLIENT" flush > /dev/null &
  FLUSH_PID=$!
  wait_for 20 test -e /run/flush.started || fail "the flush did not start"
}
release_worker() { touch /run/flush.release; wait "$FLUSH_PID"; rm -f /run/flush.started /run/flush.release; }

note "records are answered while every worker is busy"
timeout 20 "$VGS" single -P 9701 -t /dev/vloop1 start wait /run/flush.started data 2 one wsize 80 24 0 0 data 2 two \
  > "$T/s1" 2>&1 &
s1=$!
wait_for 20 grep -q '^start ' "$T/s1" || fail "no start reply: $(cat "$T/s1")"
hold_worker
wait "$s1" || fail "the session's records waited for the worker: $(cat "$T/s1")"
[ "$(grep -cE '^(data|wsize) status=0$' "$T/s1")" = 3 ] || fail "records not answered 0: $(cat "$T/s1")"
[ -e /run/flush.release ] && fail "the worker was released early"
release_worker
g=$(field guid "$(head -n 1 "$T/s1")")
[ "$(records "$g" | grep -o "data=b'[a-z]*'\|size=\[[0-9, ]*\]" | tr '\n' ' ')" = "data=b'one' size=[80, 24, 0, 0] data=b'two' " ] \
  || fail "the spool does not hold the records in order: $(records "$g")"

note "with synced commits the records wait for a worker"
vgd_add_conf "spool.sync always"
"$CLIENT" reload > /dev/null || fail "reload"
timeout 20 "$VGS" single -P 9702 -t /dev/vloop2 start wait /run/flush.started data 2 three > "$T/s2" 2>&1 &
s2=$!
wait_for 20 grep -q '^start ' "$T/s2" || fail "no start reply: $(cat "$T/s2")"
hold_worker
sleep 1
kill -0 "$s2" 2>/dev/null || fail "a synced record was answered while the only worker was busy: $(cat "$T/s2")"
release_worker
wait "$s2" || fail "the synced record was not answered after the worker was free: $(cat "$T/s2")"
vgd_stop
[ "$VGD_STATUS" = 0 ] || fail "daemon exit status $VGD_STATUS"
echo PASS
