#!/usr/bin/env bash
# The agent's status towards the collector and the local tools: heartbeats
# carry the daemon's values; the active session list (type 7) names the
# connected session; the status queries answer from the masked state, which
# shows a killed collector (state 7, off line) only after missed heartbeats.
# (State 8 of a full spool volume in the heartbeat: test_vgctl.sh.)
# (The ping bodies, the version-3 fallback and the miss counting:
# tests/unit/connection and tests/unit/auditor/agent_status_test.cc.)
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
need_kdc
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
collector_conf "vgd.timer.update.agent.status 2" "vgd.timer.send.initial.list 3" "agent.send.hostname yes"
vgd_start
hold_session "$T/held"
GUID=$(field guid "$(line_of start "$T/held")")

note "heartbeats: version 4 with the daemon's values"
wait_for 30 grep -q '"unit":"ping".*"version":4' "$T/c1.jsonl" || fail "no heartbeat: $(tail -n 3 "$T/c1.jsonl")"
python3 - "$T/c1.jsonl" "$(date +%s)" <<'EOF' || fail "heartbeat payload"
import json, sys
pings = [l for l in map(json.loads, open(sys.argv[1])) if l.get("unit") == "ping" and l["version"] == 4]
assert not pings[0]["refused"], pings[0]
m = json.loads(pings[-1]["json"])
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

note "a killed collector: state 9 and on line at the first missed heartbeat, 7 and off line with the WARN"
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

note "back on line: shown at once with one INFO"
collector_start c3
wait_for 30 sh -c "[ \"\$($RAW query 80)\" = 'bool 1' ]" || fail "not back on line"
[ "$(grep -c "Connected to collector: $TARGET" "$T/vgd.log")" = 2 ] || fail "INFO lines: $(grep 'Connected to collector' "$T/vgd.log")"
release_session
vgd_stop_ok
echo "PASS"
