#!/usr/bin/env bash
# vgctl against the real daemon: every command's answer and exit status as
# root, the refusals of the root-only requests for an unprivileged user (with
# nothing changed), --json parsed, and the daemon down.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
T=$VGD_TEST_DIR
VGCTL=$VGD_BIN_DIR/vgctl
# ctl EXPECTED_EXIT ARGS...: runs vgctl as root, output in $T/out.
ctl() {
  local want=$1; shift
  "$VGCTL" "$@" > "$T/out" 2> "$T/err"
  local rc=$?
  [ "$rc" = "$want" ] || fail "vgctl $* exited $rc, not $want: $(cat "$T/out" "$T/err")"
}
has() { grep -qF -- "$1" "$T/out" || fail "vgctl output lacks '$1': $(cat "$T/out")"; }
# json EXPR: a Python expression over the JSON document d of $T/out must hold.
json() { python3 -c "import json,sys; d=json.load(open('$T/out')); sys.exit(0 if ($1) else 1)" \
  || fail "JSON check failed: $1: $(cat "$T/out")"; }

note "daemon down: exit 3, for people and for scripts"
ctl 3 status
has "not running"
ctl 3 --json counts
json 'd["daemon"] == "not running" and "error" in d'

note "usage errors exit 2 without asking anything"
for args in "" "bogus" "resume" "resume not-a-spool" "is-audited abc" "flush everything" "param" "libaudit maybe"; do
  ctl 2 $args
done

vgd_install_directory_client
sed -i -E '/^passwd:/s/[[:space:]]+orvanevg//' /etc/nsswitch.conf
vgd_add_conf "vgd.watch.enabled false" "autofix.nss.conf false" "spool.diskspace.softlimit 25"
vgd_start

note "root-only requests refused for an unprivileged user: exit 4, the daemon's text, nothing done"
rm -f /run/nscdrestart.calls
# command | text the output must hold
while IFS='|' read -r args text; do
  nobody "$VGCTL" $args > "$T/out" 2> "$T/err"
  rc=$?
  [ $rc = 4 ] || fail "unprivileged vgctl $args exited $rc: $(cat "$T/out" "$T/err")"
  has "$text"
done <<'ROWS'
reload|only root may reload the configuration
flush passwd|only root may flush the caches
resume all|only root may resume spools
libaudit enable|Vigilog advanced monitoring may only be enabled or disabled by root
reload-monitoring|Vigilog advanced monitoring configuration may only be reloaded by root
stop|only root may stop the daemon
flush installation|only root may flush the caches
rebind|The collector may only be rebound by root.
ROWS
grep -qx flush /run/nscdrestart.calls 2>/dev/null && fail "an unprivileged flush ran the name-service cache script"
# What a request's handler logs carries the request's name as the thread name.
for trace in "VGResumeSpool>.*Resuming" "VGReloadProps>.*Audit level properties reloaded" \
             "VGFlushInstallationInfoCache>.*Flushing installation info" "VGRebindCollector>.*Collector rebind:"; do
  grep -Eq "$trace" "$T/vgd.log" && fail "an unprivileged request acted: $(grep -E "$trace" "$T/vgd.log")"
done
"$VGCTL" ping > /dev/null || fail "an unprivileged stop stopped the daemon"

note "queries answer unprivileged users too"
nobody "$VGCTL" --json params > "$T/out" || fail "unprivileged params"
json 'd == {"spool.diskspace.min": 10, "spool.diskspace.softlimit": 25}'
nobody "$VGCTL" param spool.diskspace.softlimit > "$T/out" || fail "unprivileged param"
has "spool.diskspace.softlimit: 25"
ctl 0 --json param no.such.key
json 'd == {"no.such.key": ""}'

note "the name-service hook: no, then yes once the passwd line names the module"
ctl 1 hooked
has "hooked: no"
sed -i -E '/^passwd:/s/$/ orvanevg/' /etc/nsswitch.conf
ctl 0 --json hooked
json 'd == {"hooked": True}'

note "advanced monitoring is not supported: the daemon's text for root, exit 1"
ctl 0 --json libaudit
json 'd == {"advanced_monitoring": False}'
for args in "libaudit enable" "libaudit disable" "reload-monitoring"; do
  ctl 1 --json $args
  json 'd == {"status": -1, "message": "Advanced monitoring is not supported for this platform."}'
done

note "an audited session: is-audited by the parent walk, counters, then not audited"
"$VGD_BIN_DIR/vgsession" run -n --ack-file "$T/ack" -- sh -c "echo \$\$ > $T/child; sleep 30" \
  < /dev/null > /dev/null 2> "$T/vgsession.err" &
SESSION=$!
wait_for 20 test -s "$T/child" || fail "the session did not start: $(cat "$T/vgsession.err")"
wait_for 20 grep -q '^start ' "$T/ack" || fail "the session was not audited: $(cat "$T/vgsession.err")"
guid=$(sed -n 's/^start //p' "$T/ack")
ctl 0 --json is-audited "$(cat "$T/child")"
json "d == {'audited': True, 'session': '$guid'}"
nobody "$VGCTL" is-audited "$(cat "$T/child")" -1 "" > "$T/out" || fail "unprivileged is-audited"
has "$guid"
note "status: the session's records in the backlog (root only), hooked, not forwarded: exit 1"
ctl 1 --json status
json 'd["daemon"] == "running" and d["hooked"] is True and not d["verdict"]["audited_and_forwarded"]'
json 'd["backlog"]["records"] >= 1 and d["backlog"]["bytes"] > 0 and 0 <= d["backlog"]["oldest_record_age_seconds"] < 60'
json 'not any("hook" in p for p in d["verdict"]["problems"])'
nobody "$VGCTL" --json status > "$T/out"
[ $? = 1 ] || fail "unprivileged status: $(cat "$T/out")"
json 'd["backlog"] == "root only" and d["paused_spools"] == "root only"'
ctl 1 --json online
json 'd == {"online": False, "audit_trail_online": False}'
ctl 1 is-audited $$ -1 /dev/pts/4242
has "audited: no"
"$VGD_BIN_DIR/vgdclient" getpwnam root > /dev/null
ctl 0 --json counts
json 'len(d) == 15 and d["OVGsh connect"] == "1" and int(d["NSS calls - by name"]) >= 1'
json 'd["Collector disconnect"].startswith("0 (Update agent status failed: 0, Despool failed: 0)")'
kill "$SESSION"; wait "$SESSION" 2>/dev/null

note "resume: common, a session GUID the daemon has no spool of (1), root"
ctl 0 resume common
has "resumed common"
ctl 1 resume 01234567-89ab-cdef-0123-456789abcdef
has "could not be resumed"
expect_log "Resuming any common spool"

note "reload: 0, and 501 (exit 1) while the file fails the security check"
ctl 0 reload
has "configuration reloaded"
chmod 0666 "$CONF"
ctl 1 --json reload
json 'd["status"] == 501'
chmod 0644 "$CONF"

note "signing: vgctl follows a daemon that requires it, also across the reload that turns it on"
vgd_add_conf "lrpc2.message.signing required"
ctl 0 reload
ctl 0 ping
ctl 5 -g disabled ping
has "the daemon refused the session"
sed -i '/^lrpc2.message.signing/d' "$CONF"
ctl 0 reload

note "flush of the passwd caches asks the name-service cache"
ctl 0 flush passwd
grep -qx flush /run/nscdrestart.calls || fail "flush did not ask the name-service cache"

if command -v krb5kdc > /dev/null; then
  note "with a collector: a rejected session's spool is paused (status 1, the spool named), resume drains it, status 0"
  vgd_stop
  vgd_kdc_start
  . "$(dirname "$0")/session_lib.sh"
  collector_start c --exception 1:4
  vgd_add_conf "vgd.collectors 127.0.0.1:$CPORT:$KDC_COLLECTOR1" "vgd.timer.reconnect 1" "vgd.timer.nudge 1" "vgd.backoff.time 1"
  vgd_start
  wait_for 30 "$VGCTL" online > /dev/null || fail "not on line: $("$VGCTL" status)"
  # The first record sent (the earlier session's, still spooled) is rejected.
  wait_for 30 sh -c "'$VGCTL' status | grep -q 'spool paused: Session Spool '" || fail "no pause: $("$VGCTL" status)"
  ctl 1 --json status
  json 'len(d["paused_spools"]) == 1 and d["online"] and d["agent"]["state"] == 9'
  json 'any(p.startswith("spool paused: Session Spool ") for p in d["verdict"]["problems"])'
  paused=$(python3 -c "import json; print(json.load(open('$T/out'))['paused_spools'][0].split(' ')[2].rstrip(':'))")
  ctl 0 --json spools
  json "[s['paused'] for s in d['spools'] if s['name'] == 'Session Spool $paused'] == [True]"
  ctl 0 resume "$paused"
  wait_for 30 "$VGCTL" status > "$T/out" || fail "status not 0 after the resume: $(cat "$T/out")"
  ctl 0 --json status
  json 'd["verdict"] == {"audited_and_forwarded": True, "problems": []} and d["backlog"]["records"] == 0'
  json "d['agent']['collector'].startswith('127.0.0.1:$CPORT:') and d['connections'][0]['last_connected'] > 0"
  nobody "$VGCTL" --json collector > "$T/out" || fail "unprivileged collector: $(cat "$T/out")"
  json "d['collector_connected'] == d['agent']['collector'] == d['connections'][0]['target'] and d['agent']['online']"
  note "rebind: the daemon's verdict (one collector: no change)"
  ctl 0 --json rebind
  json "d == {'verdict': 'No change to connected collector ' + d['verdict'].split(' ')[-1]} and d['verdict'].endswith('.')"

  note "a spool volume below spool.diskspace.min (state 8): status exits 1 and says so, the heartbeat too; 9 again once freed"
  vgd_stop
  floor=$(($(df -k --output=avail /var/orvanevg | tail -n 1) - 32768))
  vgd_add_conf "vgd.timer.update.agent.status 2" "spool.diskspace.min ${floor}KB"
  vgd_start
  wait_for 30 "$VGCTL" status > /dev/null || fail "not healthy before the disk filled: $("$VGCTL" status)"
  fallocate -l 64M /var/orvanevg/filler || fail "cannot fill the spool's file system"
  wait_for 20 sh -c "'$VGCTL' status | grep -q 'disk volume is too full'" || fail "no state 8: $("$VGCTL" status)"
  ctl 1 --json status
  json 'd["agent"]["state"] == 8 and d["online"]'
  wait_for 10 grep -q '"unit":"ping".*State\\":8' "$T/c.jsonl" || fail "no heartbeat with state 8: $(grep ping "$T/c.jsonl" | tail -n 1)"
  rm -f /var/orvanevg/filler
  wait_for 20 "$VGCTL" status > /dev/null || fail "not healthy after the disk was freed: $("$VGCTL" status)"
fi

note "flush of the installation cache: 0 for root"
ctl 0 --json flush installation
json 'd == {"installation_status": 0, "result": "flushed"}'

note "stop: the daemon goes, then vgctl says it is not running"
ctl 0 stop
wait_for 30 gone "$VGD_PID" || fail "the daemon did not stop"
ctl 3 ping
echo "PASS"
