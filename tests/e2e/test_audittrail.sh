#!/usr/bin/env bash
# Audit-trail events in the real daemon: a local program's event is spooled in
# the audit-trail spool; the daemon's own start and stop events reach the
# proxy library once each; an old or incomplete proxy library disables only
# the daemon's own events. With the test KDC and vgcollector: a record the
# collector cannot read pauses the audit-trail spool after three attempts
# while session data flows on (`vgctl resume at` tries it three more times);
# after a restart, local programs' events and the daemon's start event
# (through the stand-in, handed back to the daemon) reach the collector's
# audit-trail channel in order, each once.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"

CLIENT=$VGD_BIN_DIR/vgdclient
SPOOL=$VGD_BIN_DIR/vgspool
EVENTS=$AT_PROXY_STANDIN_RECORD
events_with_id() { awk -F '\t' -v id="$1" '$1 == id' "$EVENTS" 2>/dev/null | wc -l; }
hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'; }

vgd_add_conf "vgd.watch.enabled false"

note "the start event reaches the proxy library once"
vgd_start
wait_for 10 grep -qP '^0\t' "$EVENTS" || fail "no start event"
sleep 2
[ "$(events_with_id 0)" = 1 ] || fail "start event sent $(events_with_id 0) times"
awk -F '\t' '$1 == 0 && $2 == "Vigilog UNIX Agent" && $3 == "Orvane Suite" && $4 == "root" && $6 == "-"' \
  "$EVENTS" | grep -q . || fail "start event fields: $(cat "$EVENTS")"

note "a local program's event is spooled with its escaped parameters"
"$CLIENT" atevent 4711 - "a,b" "c;d" || fail "atevent request failed"
"$CLIENT" atevent 4712 00112233-4455-6677-8899-aabbccddeeff || fail "second atevent request failed"
expect_log "OVG daemon received an audit trail event: vgdclient event 4711"
expect_log "The parameters of audit trail are sent to collector are (note: separated by comma) : <a\\,b,c\\;d>"

note "the stop event reaches the proxy library"
vgd_stop_ok
[ "$(events_with_id 100)" = 1 ] || fail "stop event sent $(events_with_id 100) times"
records=$("$SPOOL" cat /var/orvanevg/spool-atdbqc) || fail "cannot read the audit-trail spool"
[ "$(printf '%s\n' "$records" | grep -c .)" = 2 ] || fail "audit-trail spool: $records"
# The first record carries the parameter list, the second the session GUID
# in the collector's layout (the whole record: tests/unit/audittrail/handler_test.cc).
printf '%s\n' "$records" | head -n 1 | grep -q "$(hex "a\\,b,c\\;d")" || fail "parameter list not in: $records"
printf '%s\n' "$records" | sed -n 2p | grep -q "33221100554477668899aabbccddeeff" || fail "session GUID not in: $records"

for variant in "libat_proxy.so 0.9.9" "libat_proxy_nosend.so 1.0.0"; do
  set -- $variant
  note "proxy library $1 of version $2: only the daemon's own events are off"
  : > "$VGD_TEST_DIR/vgd.log"
  : > "$EVENTS"
  rm -rf /var/orvanevg/spool-atdbqc*
  vgd_install_at_proxy "$1"
  AT_PROXY_STANDIN_VERSION=$2 vgd_start
  "$CLIENT" atevent 4713 - "x" || fail "atevent request failed"
  sleep 2
  vgd_stop
  [ -s "$EVENTS" ] && fail "events sent through an unusable library: $(cat "$EVENTS")"
  [ "$("$SPOOL" cat /var/orvanevg/spool-atdbqc | grep -c .)" = 1 ] || fail "the client's event was not spooled"
  expect_log "Audit trail proxy library is unavailable."
  case $1 in
    libat_proxy.so) expect_log "The minimum required library version is 1.0.0, but the audit trail proxy library is 0.9.9." ;;
    *) expect_log "Audit trail proxy library lacks ATProxySetAuditTrailEvent2" ;;
  esac
done
command -v krb5kdc > /dev/null || { echo "PASS (collector part skipped: krb5kdc is not installed)"; exit 0; }
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
vgd_kdc_start
vgd_install_at_proxy libat_proxy.so
collector_start c
at_drops() { grep -c '"unit":"close".*beyond the received data' "$T/c.jsonl"; }

note "a record the collector cannot read: the audit-trail spool pauses after 3 attempts, session data flows"
rm -rf /var/orvanevg/spool-atdbqc*
printf '\002xyz' > "$T/bad.at"
"$SPOOL" push /var/orvanevg/spool-atdbqc "$T/bad.at" || fail "cannot push the bad record"
collector_conf "vgd.timer.resume.paused.spools 3600"
vgd_start
"$CLIENT" atevent 4720 - "behind" || fail "atevent request failed"
"$VGS" run -n -- sh -c 'echo flows' < /dev/null > /dev/null 2> "$T/s1.err" || fail "session failed: $(cat "$T/s1.err")"
wait_for 60 grep -q '"name":"session end"' "$T/c.jsonl" || fail "session data held back: $(tail -n 5 "$T/c.jsonl")"
sleep 3
[ "$(at_drops)" = 3 ] || fail "$(at_drops) connections dropped on the bad record: $(grep close "$T/c.jsonl")"
grep -q '"unit":"audit-trail"' "$T/c.jsonl" && fail "an audit-trail record passed the paused spool"
expect_log "Sending the head record of audit trail spool failed 3 times"
grep -q "ERROR.*The spool is paused; the record is kept." "$T/vgd.log" || fail "no ERROR for the pause"
grep -aq "Audit trail record not accepted after 3 attempts" /var/orvanevg/spool-atdbqc.status \
  || fail "no status text in the spool's status file"

note "vgctl resume at: the record is tried three more times, then the spool pauses again"
"$VGD_BIN_DIR/vgctl" resume at > /dev/null || fail "vgctl resume at failed"
drops_reach() { [ "$(at_drops)" -ge "$1" ]; }
wait_for 30 drops_reach 6 || fail "$(at_drops) drops after the resume"
sleep 3
[ "$(at_drops)" = 6 ] || fail "$(at_drops) drops after the resume"
vgd_stop
[ "$("$SPOOL" cat /var/orvanevg/spool-atdbqc | grep -c .)" = 2 ] || fail "audit-trail records lost"

note "restarted: events of a local program and the daemon's start events reach the collector in order, once each"
"$SPOOL" pop /var/orvanevg/spool-atdbqc > "$T/popped" || fail "cannot pop the bad record"
cmp -s "$T/popped" "$T/bad.at" || fail "the head record was not the bad one"
# The stand-in hands the daemon's own events to the daemon as a local program would.
export AT_PROXY_STANDIN_SOCKET=/var/orvanevg/audit
# The paused-spools task runs once at every start: the spool resumes.
at_events() { grep '"unit":"audit-trail"' "$T/c.jsonl" | sed 's/.*"event":\([0-9]*\).*/\1/' | tr '\n' ' '; }
vgd_start
wait_for 20 grep -q '"unit":"audit-trail".*"event":0,' "$T/c.jsonl" || fail "no start event: $(at_events)"
for id in 4721 4722 4723 4724 4725; do "$CLIENT" atevent $id - "p$id" || fail "atevent $id failed"; done
wait_for 20 grep -q '"event":4725,' "$T/c.jsonl" || fail "events missing: $(at_events)"
vgd_stop
vgd_start
wait_for 20 sh -c "[ \$(grep -c '\"unit\":\"audit-trail\".*\"event\":0,' '$T/c.jsonl') -ge 2 ]" \
  || fail "no start event from the second start: $(at_events)"
sleep 2
vgd_stop
[ "$(at_events)" = "4720 0 4721 4722 4723 4724 4725 0 " ] || fail "audit-trail events at the collector: $(at_events)"
grep '"event":0,' "$T/c.jsonl" | grep -v -q '"strings":\["Vigilog UNIX Agent","Orvane Suite","root",' \
  && fail "start event fields: $(grep '"event":0,' "$T/c.jsonl")"
grep '"event":4723,' "$T/c.jsonl" | grep -q '"params":"p4723"' || fail "parameters of 4723 lost"

echo "PASS"
