#!/usr/bin/env bash
# Forwarding end to end, shell -> daemon -> collector over loopback with
# sign+seal, in a private mount namespace like the end-to-end tests (KDC,
# vgcollector and the daemon started and stopped here):
#   bench/forward.sh [RECORDS_PER_1KB_CASE] [BACKLOG_MB]
# Prints, in one run: the one-record-per-acknowledgement bound (round trips/s
# through the collector connection), the forwarded rate of 1 and 16 sessions
# of 1 KB and 16 KB records beside it, and the drain of a backlog a quarter
# of BACKLOG_MB and of BACKLOG_MB (default 100) with the daemon's memory.
. "$(dirname "$0")/../tests/e2e/lib.sh"
vgd_enter_namespace "$@"
T=$VGD_TEST_DIR
B=$VGD_BIN_DIR/bench_forward
BACKLOG=${2:-100}
vgd_kdc_start
collector_up() {
  "$VGD_BIN_DIR/vgcollector" --port "${CPORT:-0}" --port-file "$T/collector.port" --output /dev/null 2>> "$T/collector.err" &
  COLLECTOR_PID=$!
  wait_for 20 test -s "$T/collector.port" || fail "vgcollector did not start: $(cat "$T/collector.err")"
  CPORT=$(cat "$T/collector.port")
}
collector_down() { kill "$COLLECTOR_PID"; wait "$COLLECTOR_PID" 2>/dev/null; rm -f "$T/collector.port"; }
collector_up
echo "machine: $(nproc) cores, $(uname -r), load $(cut -d ' ' -f 1-3 /proc/loadavg); spools on tmpfs; sign+seal over loopback"
echo "-- the bound: one record and its acknowledgement at a time through the collector connection"
bound_run() { "$VGD_BIN_DIR/bench_connection" "$CPORT" "$KDC_COLLECTOR1" /etc/krb5.ccache 3 | tee "$T/bound"; }
bound_run
bound() { awk -v s="$1" '$1 == s && $2 == "KB" { print $4 }' "$T/bound"; }
vgd_add_conf "vgd.watch.enabled false" "log INFO" "vgd.collectors 127.0.0.1:$CPORT:$KDC_COLLECTOR1" \
  "vgd.timer.reconnect 1" "vgd.backoff.time 1"
vgd_start
wait_for 10 test -S /var/orvanevg/audit || fail "no socket"
"$B" flow /var/orvanevg/audit "$VGD_PID" 1 1 16 > /dev/null  # connected and warm
echo "-- forwarded while posting (a case ends when its last session spool is forwarded and removed)"
"$B" flow /var/orvanevg/audit "$VGD_PID" "$(bound 1)" "$(bound 16)" "${1:-16000}" || fail "flow"
echo "-- the bound again after the cases (the spread on this machine)"
bound_run | tail -n +2
echo "-- backlogs posted while the collector is down, drained once it is back (drain: from the collector's start; reconnect: until the first record left)"
base=0
for mb in $((BACKLOG / 4)) "$BACKLOG"; do
  collector_down
  "$B" fill /var/orvanevg/audit "$mb" > "$T/fill" || fail "fill: $(cat "$T/fill")"
  cat "$T/fill"
  collector_up
  "$B" drain "$VGD_PID" "$mb" "$base" | tee "$T/drain" || fail "drain"
  base=$(awk '$2 == "MB" { print $9 }' "$T/drain")
done
vgd_stop
collector_down
vgd_kdc_stop
