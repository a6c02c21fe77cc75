#!/usr/bin/env bash
# What a local user's audit-shell requests may register: never another
# user's session id, process group, process or terminal (which would make
# that user's next login answer "already audited" and run unaudited); a
# resume only of the user's own session, with a body of that session; and
# the purge of registrations keeps every session whose client is connected.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
vgd_write_conf "vgd.watch.enabled false" "purge.audit.session.interval 1" "purge.audit.session.age 2"
vgd_start

# attacker_holds OUT ARGS...: vgsession single ARGS as uid 65534, its
# connection held open afterwards; waits for the first reply.
attacker_holds() {
  local out=$1; shift
  as_user 65534 "$VGS" single "$@" sleep 600 > "$out" 2>&1 &
  ATTACKERS="${ATTACKERS:-} $!"
  wait_for 20 grep -q '^[a-z]* ' "$out" || fail "attacker's request not answered: $(cat "$out")"
}

# Two sessions of root that are not audited yet: their session ids (and
# process groups) are the victim's.
setsid sleep 600 & V1=$!
setsid sleep 600 & V2=$!
wait_for 10 sh -c "[ \$(ps -o sid= -p $V1) = $V1 ] && [ \$(ps -o sid= -p $V2) = $V2 ]" || fail "no victim sessions"

note "a start or resume by another user registers none of root's session ids, terminals or processes"
attacker_holds "$T/a1" -P "$V1" -t /dev/vvictim1 --ovgsh-pid 1 start
[ "$(field audited "$(line_of start "$T/a1")")" = 1 ] || fail "the attacker's own start: $(cat "$T/a1")"
uuid=$(cat /proc/sys/kernel/random/uuid)
attacker_holds "$T/a2" -P "$V2" -t /dev/vvictim2 resume "$uuid"
[ "$(line_of resume "$T/a2")" = "resume status=0" ] || fail "the attacker's resume: $(cat "$T/a2")"
expect_log "Terminal /dev/vvictim1 does not belong to uid 65534; not registered"
expect_log "Session id $V1 is not a process group of uid 65534; not registered"
expect_log "Pid 1 is not a process of uid 65534; not registered"
expect_log "Session id $V2 is not a process group of uid 65534; not registered"
for victim in "-P $V1 -t /dev/vvictim1" "-n -t /dev/vvictim1" "-P $V2 -t /dev/vvictim2" "-n -t /dev/vvictim2" \
  "-n -t /dev/vcmd --audit-command"; do
  l=$(start_line $victim)
  [ "$(field audited "$l")" = 1 ] || fail "root's start ($victim) while another user's session is held: $l"
done

note "a check that fails only withholds the registration: an audited start stays audited"
# As after su inside root's audited login: the audit shell's uid owns neither
# the session id nor the terminal.
hold_session "$T/root" -P "$V1" -t /dev/vsu
l=$(as_user 65534 "$VGS" single -P "$V2" -t /dev/vsu start end | head -n 1)
[ "$(field audited "$l")" = 1 ] || fail "a start under a session id of another uid was not audited: $l"
l=$(as_user 65534 "$VGS" single -P "$V1" -t /dev/vsu start end | head -n 1)
[ "$l" = "start audited=0 status=4 existing=$(field guid "$(line_of start "$T/root")")" ] \
  || fail "a start inside root's audited session: $l"
release_session

note "a resume of a session without a spool makes the resumer its owner"
l=$(as_user 10001 "$VGS" single --body /dev/null resume "$uuid" | head -n 1)
[ "$l" = "resume status=1" ] || fail "another user resumed a session the attacker's resume made: $l"
expect_log "Refusing resume of session $uuid by uid 10001: it belongs to uid 65534"

note "a resume whose body is a record of another session is refused and spools nothing"
"$VGS" single -P 8100 -t /dev/vother --save-start "$T/other.bin" start end > /dev/null || fail "root's session"
mkdir -m 0777 "$T/u"
as_user 65534 "$VGS" single -n -t /dev/vown --save-start "$T/u/own.bin" start end > "$T/own" || fail "$(cat "$T/own")"
g=$(field guid "$(head -n 1 "$T/own")")
before=$("$VGSPOOL" cat "$(spool_of "$g")" | wc -l)
l=$(as_user 65534 "$VGS" single -n -t /dev/vown --body "$T/other.bin" resume "$g" end | head -n 1)
[ "$l" = "resume status=1" ] || fail "a resume with another session's body: $l"
expect_log "Refusing resume of session $g by uid 65534: its continuation body is not a record of it"
[ "$("$VGSPOOL" cat "$(spool_of "$g")" | wc -l)" = "$before" ] || fail "the refused resume spooled a record"
l=$(as_user 65534 "$VGS" single -n -t /dev/vown --body "$T/u/own.bin" resume "$g" end | head -n 1)
[ "$l" = "resume status=0" ] || fail "a resume with the session's own body: $l"

note "the purge keeps the registrations of a connected session that named no pid"
# A start below version 5 names no audit-shell pid (it registers pid 0).
hold_session "$T/v4" -v 4 -n -t /dev/vold
sleep 4
l=$(start_line -n -t /dev/vold)
[ "$l" = "start audited=0 status=4 existing=-" ] || fail "the held session's registrations were purged: $l"
release_session

kill "$V1" "$V2" $ATTACKERS
wait $ATTACKERS 2>/dev/null
vgd_stop_ok
echo PASS
