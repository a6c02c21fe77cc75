#!/usr/bin/env bash
# Order and completeness of session spools under load: 64 concurrent audited
# sessions while the daemon is killed with SIGKILL and started again mid-run.
# Every request the daemon answered with status 0 must be in its session's
# spool, in order. (The same load without kills, through to the collector:
# test_forwarding_load.sh.)
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
N=64
LINES=200
vgd_write_conf "vgd.watch.enabled false" "log INFO" "vgd.threadpool.size 10" "vgd.threadpool.size.max 15"
vgd_start

note "$N concurrent sessions while the daemon is killed twice and restarted: nothing it acknowledged is lost"
mkdir -p "$T/a2"
pids=()
# Each command prints numbered lines until the test lets it stop (and at
# least $LINES of them), so the sessions outlive both kills whatever the speed.
for i in $(seq 1 $N); do
  "$VGS" run -n --ack-file "$T/a2/$i" --reconnect-time 120 -- \
    sh -c "i=0; while [ \$i -lt $LINES ] || [ ! -e '$T/stop' ]; do i=\$((i + 1)); echo \$i; sleep 0.02; done" \
    < /dev/null > /dev/null 2> "$T/a2/err.$i" &
  pids+=($!)
done
acked() { cat "$T"/a2/[0-9]* 2>/dev/null | grep -c "^$1 "; }
wait_for 120 sh -c "[ \$(cat '$T'/a2/[0-9]* 2>/dev/null | grep -c '^start ') = $N ]" || fail "sessions did not all start"
for round in 1 2; do
  before=$(acked data)
  wait_for 120 sh -c "[ \$(cat '$T'/a2/[0-9]* | grep -c '^data ') -ge $((before + N * 5)) ]" || fail "no data acknowledged"
  kill -KILL "$VGD_PID"
  wait "$VGD_PID" 2>/dev/null
  note "killed the daemon after $(acked data) acknowledged data records"
  vgd_start
  # Every session notices the loss at its next line and resumes.
  wait_for 120 sh -c "[ \$(cat '$T'/a2/[0-9]* | grep -c '^resume ') = $((N * round)) ]" \
    || fail "$(acked resume) resumes after restart $round, not $((N * round))"
done
touch "$T/stop"
for p in "${pids[@]}"; do wait "$p" || fail "a session exited $?"; done
note "$(acked data) data records acknowledged in all"
$CHECK check-acks --sessions $N "$T"/a2/[0-9]* || fail "acknowledged records lost across the daemon's kills"
for f in "$T"/a2/[0-9]*; do
  [ "$(grep -c '^resume ' "$f")" = 2 ] || fail "session of $f resumed $(grep -c '^resume ' "$f") times"
  tail -n 1 "$f" | grep -q '^end ' || fail "session of $f has no acknowledged end"
done
vgd_stop_ok
echo PASS
