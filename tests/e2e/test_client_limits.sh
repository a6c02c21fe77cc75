#!/usr/bin/env bash
# A local user (uid 65534) attacks the real daemon through its socket: every
# way a connection ends ends its session; stalled clients of every kind hold
# no worker; a partial handshake and a lack of descriptors do not spin the
# loop; one uid cannot take every descriptor from root and the others.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
CLIENT=$VGD_BIN_DIR/vgdclient
RAW="/usr/bin/python3 $VGD_SOURCE_DIR/tests/e2e/raw_clients.py"
T=$VGD_TEST_DIR
# attack ARGS...: raw_clients.py as uid 65534 (run in a subshell: it becomes the client).
attack() { cd / && exec setpriv --reuid=65534 --regid=65534 --clear-groups $RAW "$@"; }
# CPU time (clock ticks) the daemon used so far.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$VGD_PID/stat"; }
# cpu_over SECONDS: the daemon's CPU ticks during SECONDS of wall time.
cpu_over() { local a; a=$(cpu_ticks); sleep "$1"; echo $(($(cpu_ticks) - a)); }
daemon_fds() { ls "/proc/$VGD_PID/fd" | wc -l; }
# Root and another user are answered, each within a second.
others_served() {
  "$CLIENT" -t 1 ping || fail "root's ping not answered within 1 s: $1"
  as_user 65533 "$CLIENT" -t 1 ping || fail "uid 65533's ping not answered within 1 s: $1"
}
stop_attack() { kill -TERM "$1" 2>/dev/null; wait "$1" 2>/dev/null; }

vgd_write_conf "vgd.watch.enabled false" "vgd.client.partial.timeout 2" "vgd.client.idle.timeout 4"
vgd_start
wait_for 10 "$CLIENT" ping || fail "daemon not answering"

note "a session ends (end record, registrations, spool) however its connection ends"
base=$(daemon_fds)
for how in unknown partial idle; do
  before=$(find "$SESSIONS" -name '*.dbq' | sort)
  out=$(attack session $how "/dev/vend$how") || fail "$how: $out"
  [ "$out" = audited ] || fail "$how: session not audited: $out"
  dir=$(comm -13 <(echo "$before") <(find "$SESSIONS" -name '*.dbq' | sort))
  [ -n "$dir" ] || fail "$how: no spool"
  wait_for 10 sh -c "$CHECK show '$dir' | tail -n 1 | grep -q '^type=3 '" || fail "$how: no end record: $($CHECK show "$dir")"
  l=$("$VGS" single -P 3000 -t "/dev/vend$how" start end | head -n 1)
  [ "$(field audited "$l")" = 1 ] || fail "$how: the tty stayed registered: $l"
done
wait_for 10 sh -c "[ \$(ls /proc/$VGD_PID/fd | wc -l) -le $base ]" || fail "descriptors left: $(daemon_fds), were $base"

note "a partial handshake does not spin the loop"
vgd_restart "lrpc.connect.timeout 20"
(attack stall hello 5) > "$T/hello" & hello=$!
wait_for 10 grep -q ready "$T/hello" || fail "handshake stalls not ready"
ticks=$(cpu_over 3)
[ "$ticks" -lt 25 ] || fail "daemon used $ticks ticks of CPU in 3 s with partial handshakes"
stop_attack $hello

note "40 stalled clients of each kind hold no worker: others are answered within a second"
vgd_restart "vgd.client.partial.timeout 120" "vgd.client.idle.timeout 600"
pids=
for kind in body auth noread; do
  (attack stall $kind 40) > "$T/stall.$kind" 2>&1 & pids="$pids $!"
done
for kind in body auth noread; do
  wait_for 60 grep -q ready "$T/stall.$kind" || fail "$kind stalls not ready: $(cat "$T/stall.$kind")"
done
for i in 1 2 3; do others_served "120 stalled clients"; done
for p in $pids; do stop_attack "$p"; done

note "one uid holds at most vgd.clients.max.per.uid connections; root and others are served"
vgd_restart "vgd.clients.max.per.uid 100"
(attack hold 150) > "$T/hold" & holder=$!
wait_for 30 grep -q answered "$T/hold" || fail "holder did not report"
[ "$(cat "$T/hold")" = "answered=100 closed=50 silent=0" ] || fail "connections of one uid: $(cat "$T/hold")"
others_served "one uid at its cap"
[ "$(grep -c 'uid 65534 holds 100 connections' "$T/vgd.log")" = 1 ] || fail "cap not logged once"
stop_attack $holder

note "out of descriptors: no spin, one warning, serving again once descriptors are free"
vgd_stop
vgd_write_conf "vgd.watch.enabled false" "vgd.process.fdlimit 100"
(ulimit -Sn 128 && vgd_start && echo "$VGD_PID" > "$T/pid" && wait "$VGD_PID")&
wait_for 20 test -s "$T/pid" || fail "daemon with 128 descriptors did not start"
VGD_PID=$(cat "$T/pid")
wait_for 10 "$CLIENT" ping || fail "daemon not answering"
(attack hold 200) > "$T/hold" & holder=$!
wait_for 60 grep -q answered "$T/hold" || fail "holder did not report"
ticks=$(cpu_over 3)
[ "$ticks" -lt 25 ] || fail "daemon used $ticks ticks of CPU in 3 s out of descriptors"
n=$(grep -c "The number of open files reached the limitation" "$T/vgd.log")
[ "$n" = 1 ] || fail "descriptor shortage logged $n times"
stop_attack $holder
wait_for 10 "$CLIENT" -t 1 ping || fail "not serving once descriptors are free"
kill -TERM "$VGD_PID"
wait_for 20 gone "$VGD_PID" || fail "daemon did not stop"
echo "PASS"
