#!/usr/bin/env bash
# Collector selection over the stand-in directory: two vgcollectors publish
# themselves for the host's audit store (site affinity on), the local-site
# one is chosen over vgd.collectors; when it dies the daemon moves to the
# other-site one; root's rebind requests move it back and, once the local
# one is gone from the directory (and the cached answer flushed), away
# again; another user's request is refused. One session runs throughout: its
# data arrives complete and in order, each new connection starting with the
# session's continuation message.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
CLIENT="$VGD_BIN_DIR/vgdclient -t 60"
need_kdc
vgd_kdc_start
vgd_install_directory_client

# collector_start NAME PORT: a vgcollector writing $T/NAME.jsonl; sets PORT_NAME.
collector_start() {
  rm -f "$T/$1.port"
  "$VGD_BIN_DIR/vgcollector" --port "$2" --port-file "$T/$1.port" --output "$T/$1.jsonl" 2> "$T/$1.err" &
  eval "PID_$1=$!"
  wait_for 20 test -s "$T/$1.port" || fail "vgcollector $1 did not start: $(cat "$T/$1.err")"
}
collector_kill() { local p; eval "p=\$PID_$1"; kill -KILL "$p"; wait "$p" 2>/dev/null; }
# publish C1 C2...: the directory holds the example data, the installation
# with its audit store for this host's site, and an SCP for each collector named.
publish() {
  python3 - "$@" > /var/orvanepw/standin-directory.json.new <<'EOF' || fail "directory data"
import json, os, sys
d = json.load(open(os.environ["VGD_SOURCE_DIR"] + "/standins/capi/example-directory.json"))
store = "5b1d9a3e-7c44-4f0e-9a61-2d8e3f4a5b6c"
d["objects"].append({
    "_dn": "CN=Default Installation,CN=Vigilog,CN=Program Data,DC=example,DC=test",
    "objectCategory": "serviceConnectionPoint",
    "keywords": ["Version:Orvane.Meridia.Installation.1", "InstallationId:inst-e2e",
                 "InstallationName:DefaultInstallation"],
    "ServiceBindingInformation": ["InstanceName:E2E Store;InstanceGuid:%s;BindingType:1;"
                                  "SiteName:Default-First-Site@example.test;AgentSiteAffinity:True" % store]})
sites = {"c1": "Default-First-Site@example.test", "c2": "Branch@example.test"}
for name in sys.argv[1:]:
    computer = "CN=%s,CN=Computers,DC=example,DC=test" % name.upper()
    d["objects"].append({"_dn": computer, "objectCategory": "Computer", "DnsHostName": "127.0.0.1"})
    d["objects"].append({
        "_dn": "CN=Vigilog Collector," + computer, "objectCategory": "serviceConnectionPoint",
        "Keywords": ["Version:Orvane.Meridia.Server.1", "ModuleGuid:b839418a-75a5-4a2c-aec9-6039e6043a59",
                     "InstanceGuid:" + store, "Site:" + sites[name]],
        "ServiceBindingInformation": ["%s:%s" % (os.environ["PORT_" + name], os.environ["PRINCIPAL_" + name])]})
print(json.dumps(d))
EOF
  mv /var/orvanepw/standin-directory.json.new /var/orvanepw/standin-directory.json
}
# arrived FILE: the number of data messages of the session in FILE.
arrived() { grep "\"session\":\"$G\"" "$T/$1.jsonl" 2>/dev/null | grep -c '"type":4'; }
arrived_over() { [ "$(arrived "$1")" -gt "$2" ]; }
# first_type FILE: the type of the session's first message in FILE.
first_type() { grep -m1 "\"session\":\"$G\"" "$T/$1.jsonl" | sed 's/.*"type":\([0-9]*\).*/\1/'; }
rebind() { $CLIENT rebind; }

collector_start c1a 0
collector_start c2a 0
export PORT_c1=$(cat "$T/c1a.port") PORT_c2=$(cat "$T/c2a.port")
export PRINCIPAL_c1=$KDC_COLLECTOR1 PRINCIPAL_c2=$KDC_COLLECTOR2
C1=127.0.0.1:$PORT_c1:$KDC_COLLECTOR1
C2=127.0.0.1:$PORT_c2:$KDC_COLLECTOR2
publish c1 c2
# The static list names a collector nobody runs: the directory's answer wins.
vgd_write_conf "vgd.watch.enabled false" "vgd.collectors 127.0.0.1:1:$KDC_COLLECTOR1" \
  "vgd.timer.reconnect 1" "vgd.timer.nudge 1" "vgd.backoff.time 1" "vgd.configuration.cache.max.age 3600" \
  "vgd.timer.check.collector 3600" "vgd.timer.force.rebind 86400"
vgd_start

# One session printing numbered lines until told to stop; its last number goes to $T/n.
"$VGS" run -n --ack-file "$T/acks" -- \
  sh -c "i=0; while [ ! -e '$T/stop' ]; do i=\$((i + 1)); echo \$i; sleep 0.05; done; echo \$i > '$T/n'" \
  < /dev/null > /dev/null 2> "$T/session.err" &
SESSION=$!
wait_for 20 grep -q '^vgsession: session [0-9a-f-]\{36\}: ' "$T/session.err" || fail "no session: $(cat "$T/session.err")"
G=$(guid_of "$T/session.err")

note "the local-site collector is chosen and the static list is not used"
wait_for 30 arrived_over c1a 10 || fail "no data at the local collector"
[ "$(arrived c2a)" = 0 ] || fail "data at the other-site collector"
[ "$(cat /var/orvanevg/vg.installation.id)" = inst-e2e ] || fail "installation id not written back"
log_has "Attempting connection to: $KDC_COLLECTOR1@127.0.0.1:1" && fail "the static list was tried"

note "root's rebind with the only local collector current: no change, no trial"
[ "$(rebind)" = "No change to connected collector $C1." ] || fail "verdict: $(rebind)"
expect_log "Already connected to the only configured collector"

note "another user's rebind is refused and evaluates nothing"
mark=$(grep -c "Evaluating current collector selection" "$T/vgd.log")
out=$(cd / && nobody $CLIENT rebind) || fail "unprivileged rebind: no reply"
[ "$out" = "The collector may only be rebound by root." ] || fail "unprivileged verdict: $out"
[ "$(cd / && nobody $CLIENT flushscp)" = 500 ] || fail "unprivileged flush"
sleep 1
[ "$(grep -c "Evaluating current collector selection" "$T/vgd.log")" = "$mark" ] || fail "a refused rebind evaluated"

note "the local collector dies: the daemon moves to the other site's"
collector_kill c1a
wait_for 60 arrived_over c2a 10 || fail "no data at the other collector"

note "root's rebind moves back to the local collector once it runs again"
collector_start c1b "$PORT_c1"
[ "$(rebind)" = "Collector was changed from $C2 to $C1." ] || fail "verdict back: $(tail -n 3 "$T/vgd.log")"
before=$(arrived c1b)
wait_for 30 arrived_over c1b $((before + 10)) || fail "no data after the rebind"
collector_kill c2a
collector_start c2b "$PORT_c2"

note "the local collector leaves the directory: the cached answer keeps it until flushed, then rebind moves away"
publish c2
[ "$(rebind)" = "No change to connected collector $C1." ] || fail "verdict with the cached answer: $(rebind)"
[ "$($CLIENT flushscp)" = 0 ] || fail "flush"
[ "$(rebind)" = "Collector was changed from $C1 to $C2." ] || fail "verdict after the flush: $(tail -n 3 "$T/vgd.log")"
expect_log "$C1 is no longer a valid collector.  Attempting to connect to another collector"
wait_for 30 arrived_over c2b 10 || fail "no data after moving away"

note "the session's data arrived complete and in order, each collector's part after its continuation message"
touch "$T/stop"
wait "$SESSION" || fail "the session exited $?"
wait_for 30 sh -c "[ \$(grep \"$G\" '$T/c2b.jsonl' | grep -c '\"type\":3') = 1 ]" || fail "no session end"
for f in c2a c1b c2b; do [ "$(first_type $f)" = 9 ] || fail "$f began with type $(first_type $f)"; done
[ "$(first_type c1a)" = 2 ] || fail "c1a began with type $(first_type c1a)"
cat "$T"/c1a.jsonl "$T"/c2a.jsonl "$T"/c1b.jsonl "$T"/c2b.jsonl > "$T/all.jsonl"
check_collector all --sessions 1 --complete "$(numbered "$(cat "$T/n")")" --max-dups 1 --acks "$T/all.jsonl" "$T/acks"
vgd_stop_ok
echo "PASS"
