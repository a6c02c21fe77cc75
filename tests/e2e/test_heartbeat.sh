#!/usr/bin/env bash
# The agent's status towards the collector and the local tools: heartbeats
# (session ping version 4, version 3 for a collector refusing 4) carry the
# JSON members in order; the active session list (type 7) names the connected
# session; the status queries answer from the masked state, which shows a
# killed collector (state 7, off line) only after 4 missed heartbeats.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
command -v krb5kdc > /dev/null || { echo "SKIP: krb5kdc is not installed"; exit 0; }
vgd_kdc_start
vgd_install_directory_client
RAW="python3 $VGD_SOURCE_DIR/tests/e2e/raw_clients.py"

collector_kill() { kill -KILL "$COLLECTOR_PID" 2>/dev/null; wait "$COLLECTOR_PID" 2>/dev/null; }
# query TYPE [UID]: the reply values, one a line.
query() { $RAW query "$@" || fail "query $1 failed"; }
# status2: VGQueryCollectorStatus2 on one line.
status2() { query 91 | tr '\n' '|'; }

collector_start c1
TARGET=127.0.0.1:$CPORT:$KDC_COLLECTOR1
vgd_write_conf "vgd.watch.enabled false" "vgd.collectors $TARGET" "vgd.timer.reconnect 1" "vgd.timer.nudge 1" \
  "vgd.backoff.time 1" "vgd.timer.update.agent.status 2" "vgd.timer.send.initial.list 3" "agent.send.hostname yes"
vgd_start
hold_session "$T/held"
GUID=$(field guid "$(line_of start "$T/held")")

note "heartbeats: version 4, the JSON members in order and their values"
wait_for 30 grep -q '"unit":"ping".*"version":4' "$T/c1.jsonl" || fail "no heartbeat: $(tail -n 3 "$T/c1.jsonl")"
python3 - "$T/c1.jsonl" "$(date +%s)" <<'EOF' || fail "heartbeat payload"
import json, sys
pings = [l for l in map(json.loads, open(sys.argv[1])) if l.get("unit") == "ping" and l["version"] == 4]
assert not pings[0]["refused"], pings[0]
members = json.loads(pings[-1]["json"], object_pairs_hook=lambda kv: kv)
names = [k for k, _ in members]
assert names == ["UpdateInterval", "State", "StateDescription", "StartupTime", "UpTime", "AgentVersion", "Hostname",
                 "SessionOfflineStoreSize", "AuditTrailOfflineStoreSize", "FreeDiskSpace", "Site", "SessionAuditing",
                 "DeploymentType", "AdvancedMonitoring", "DespoolRate", "FbSessionAuditing"], names
m = dict(members)
now = int(sys.argv[2])
expect = {"UpdateInterval": 8, "State": 9, "StateDescription": "", "AgentVersion": "3.7.0.172",
          "Hostname": "testhost.example.test", "Site": "Default-First-Site@example.test", "DeploymentType": 1,
          "AdvancedMonitoring": 2, "FbSessionAuditing": 2}
for k, v in expect.items():
    assert m[k] == v, (k, m[k])
assert now - 120 < m["StartupTime"] <= now, m["StartupTime"]
assert m["UpTime"] % 10000000 == 0 and 0 <= m["UpTime"] <= (now - m["StartupTime"]) * 10000000, m["UpTime"]
assert 0 < m["FreeDiskSpace"] <= 100 and m["SessionAuditing"] in (0, 1), m
EOF

note "the active session list after vgd.timer.send.initial.list names the held session"
wait_for 20 grep -q '"type":7' "$T/c1.jsonl" || fail "no active session list"
python3 - "$T/c1.jsonl" "$GUID" <<'EOF' || fail "active session list"
import json, struct, sys, uuid
lists = [l for l in map(json.loads, open(sys.argv[1])) if l.get("unit") == "message" and l["type"] == 7]
body = bytes.fromhex(lists[0]["body"])
count = struct.unpack_from("<i", body)[0]
guids = [body[4 + 16 * i:20 + 16 * i] for i in range(count)]
assert len(body) == 4 + 16 * count, body.hex()
assert uuid.UUID(sys.argv[2]).bytes_le in guids, (sys.argv[2], body.hex())
assert lists[0]["reply"] == "ack", lists[0]
EOF

note "status queries: on line, the collector, its record, the spools (root only)"
[ "$(query 80)" = "bool 1" ] || fail "not on line: $(query 80)"
[ "$(query 160)" = "bool 1" ] || fail "audit-trail channel not on line: $(query 160)"
[ "$(query 90)" = "string $TARGET" ] || fail "collector: $(query 90)"
[ "$(status2)" = "int32 9|string |string |bool 1|string |string $TARGET|" ] || fail "status2: $(status2)"
query 92 > "$T/q92"
[ "$(cut -d' ' -f1 "$T/q92" | tr '\n' ' ')" = "string int32 int32 int32 int32 int32 string string " ] \
  || fail "connection statistics layout: $(cat "$T/q92")"
[ "$(head -n 1 "$T/q92")" = "string $(echo "$TARGET" | tr 'A-Z' 'a-z')" ] || [ "$(head -n 1 "$T/q92")" = "string $TARGET" ] \
  || fail "connection statistics target: $(head -n 1 "$T/q92")"
[ "$(sed -n 3p "$T/q92" | cut -d' ' -f2)" -gt 0 ] || fail "last connected not set: $(cat "$T/q92")"
query 151 > "$T/q151"
grep -qx "string Common Spool" "$T/q151" && grep -qx "string Audit Trail Spool" "$T/q151" \
  && grep -qix "string Session Spool $GUID" "$T/q151" || fail "spool info: $(cat "$T/q151")"
[ $(($(wc -l < "$T/q151") % 4)) = 0 ] || fail "spool info entries are not name, bool, bool, status: $(cat "$T/q151")"
[ -z "$(query 151 65534)" ] || fail "spool info answered a non-root caller"

note "a collector refusing ping version 4 gets version 3"
collector_kill
collector_start c2 --refuse-ping 4
wait_for 30 grep -q '"unit":"ping".*"version":3.*"refused":false' "$T/c2.jsonl" || fail "no version-3 ping: $(cat "$T/c2.jsonl")"
grep -q '"unit":"ping".*"version":3.*"agent":"3.7.0.172","host":"testhost.example.test"' "$T/c2.jsonl" \
  || fail "version-3 ping fields: $(grep ping "$T/c2.jsonl" | tail -n 1)"
expect_log "Ping by SESSION_PING_4 (ID: 4) failed. Try SESSION_PING_3 (ID: 3)."

note "a killed collector: state 9 and on line for 3 missed heartbeats, 7 and off line from the 4th, one WARN"
collector_kill
wait_for 20 log_has "Unable to update collector with agent status" || fail "the lost collector was not noticed"
[ "$(query 80)" = "bool 1" ] || fail "off line after one missed heartbeat"
[ "$(status2 | cut -d'|' -f1)" = "int32 9" ] || fail "masked state after one miss: $(status2)"
# (the connection's own DEBUG line about a failed connect starts alike)
WARN="ovg.vgd.auditor Unable to connect to collector:"
wait_for 30 log_has "$WARN" || fail "the masked state never showed the disconnection"
[ "$(status2 | cut -d'|' -f1,4)" = "int32 7|bool 0" ] || fail "masked state after 4 misses: $(status2)"
[ "$(query 80)" = "bool 0" ] || fail "on line after 4 misses"
[ "$(query 90)" = "string " ] || fail "collector while disconnected: $(query 90)"
# The WARN came with the fourth miss, not before.
awk '/Heartbeat failure count was updated to/ {n = $NF} /WARN .*ovg.vgd.auditor Unable to connect to collector:/ {print n; exit}' \
  "$T/vgd.log" | grep -qx 4 || fail "WARN not at the 4th miss: $(grep -E "failure count|$WARN" "$T/vgd.log" | tail -n 8)"
wait_for 20 log_has "Heartbeat failure count was updated to 6" || fail "heartbeats stopped counting"
[ "$(grep -c "WARN .*$WARN" "$T/vgd.log")" = 1 ] || fail "the WARN was repeated"

note "back on line: shown at once with one INFO"
collector_start c3
wait_for 30 sh -c "[ \"\$($RAW query 80)\" = 'bool 1' ]" || fail "not back on line"
[ "$(grep -c "Connected to collector: $TARGET" "$T/vgd.log")" = 2 ] || fail "INFO lines: $(grep 'Connected to collector' "$T/vgd.log")"
release_session

note "state 8 while the spool's file system is below spool.diskspace.min, 9 again after"
vgd_stop
[ "$VGD_STATUS" = 0 ] || fail "daemon exit status $VGD_STATUS"
# A floor 32 MiB below the free space now; a 64 MiB file crosses it.
floor=$(($(df -k --output=avail /var/orvanevg | tail -n 1) - 32768))
vgd_write_conf "vgd.watch.enabled false" "vgd.collectors $TARGET" "vgd.timer.reconnect 1" "vgd.timer.nudge 1" \
  "vgd.backoff.time 1" "vgd.timer.update.agent.status 2" "spool.diskspace.min ${floor}KB"
vgd_start
wait_for 30 sh -c "[ \"\$($RAW query 91 | head -n 1)\" = 'int32 9' ]" || fail "not running: $(status2)"
fallocate -l 64M /var/orvanevg/filler || fail "cannot fill the spool's file system"
wait_for 20 sh -c "[ \"\$($RAW query 91 | head -n 1)\" = 'int32 8' ]" || fail "no state 8 on a full disk: $(status2)"
[ "$(query 80)" = "bool 1" ] || fail "off line with a full disk"
wait_for 10 grep -q '"unit":"ping".*State\\":8' "$T/c3.jsonl" || fail "no heartbeat with state 8: $(grep ping "$T/c3.jsonl" | tail -n 1)"
rm -f /var/orvanevg/filler
wait_for 20 sh -c "[ \"\$($RAW query 91 | head -n 1)\" = 'int32 9' ]" || fail "no state 9 after the disk was freed: $(status2)"
vgd_stop
[ "$VGD_STATUS" = 0 ] || fail "daemon exit status $VGD_STATUS"
echo "PASS"
