#!/usr/bin/env bash
# The daemon against its own clients and its own data: typed input never in
# the log; user names and audit-level records that never go through the
# daemon's own socket; start requests with impossible argument counts;
# pause, continue and kill only for a session's own shell; a damaged spool
# moved aside and salvaged while the daemon serves.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
CLIENT=$VGD_BIN_DIR/vgdclient
vgd_install_directory_client
# Every logger at TRACE, so that whatever any of them writes is checked.
hardening_conf() {
  vgd_write_conf "vgd.watch.enabled false" "$@"
  sed -i 's/^log DEBUG$/log TRACE/' "$CONF"
}
hardening_conf
vgd_start

# The state letter of a process ("T" when stopped), "" when it is gone.
state_of() { sed -n 's/^.*) \([A-Za-z]\) .*$/\1/p' "/proc/$1/stat" 2>/dev/null; }
not_stopped() { [ -n "$(state_of "$1")" ] && [ "$(state_of "$1")" != T ]; }
# The log must not hold these bytes as text, as spaced or contiguous hex
# (either case), or as the spaced printable column of a hex dump.
log_lacks_bytes() {
  local text=$1 hex spaced printable
  hex=$(printf '%s' "$text" | od -An -v -tx1 | tr -d ' \n')
  spaced=$(printf '%s' "$text" | od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//')
  printable=$(printf '%s' "$text" | sed 's/./& /g; s/ $//')
  for form in "$text" "$hex" "${hex^^}" "$spaced" "${spaced^^}" "$printable"; do
    grep -qiF -- "$form" "$T/vgd.log" && return 1
  done
  return 0
}

note "typed input (stream 1) is logged by its length only; output is dumped"
secret='Pa55-w0rd!ZQX'
out=$("$VGS" single -P 9100 -t /dev/vsecret start data 1 "$secret" data 2 'visible-output-text' end) || fail "$out"
g=$(field guid "$(echo "$out" | head -n 1)")
records "$g" | grep -qF "stream=1 data=b'$secret'" || fail "the input did not reach the spool: $(records "$g")"
expect_log "(${#secret} bytes of terminal input)"
expect_log "76 69 73 69 62 6c 65 2d 6f 75 74 70 75 74 2d 74"
log_lacks_bytes "$secret" || fail "typed input is in the log"
# The code-page conversion dumps its input and output: never for stream 1.
vgd_stop
hardening_conf "lang_setting iso8859-1"
vgd_start
out=$("$VGS" single -P 9101 -t /dev/vsecret2 start data 1 'Qz9-s\xe9cr\xe8t' data 2 'conv\xe9rted-output' end) || fail "$out"
expect_log "Convert session data from iso-8859-1 to utf8"
expect_log "63 6f 6e 76 e9 72 74 65 64"
expect_log "63 6f 6e 76 c3 a9 72 74 65 64"
log_lacks_bytes "Qz9-s" || fail "typed input (before or after conversion) is in the log"
log_has "e9 63 72 e8" && fail "typed input before conversion is in the log"
log_has "c3 a9 63 72 c3 a8" && fail "typed input after conversion is in the log"

note "a directory-only user's session carries the directory's name; audit levels log into the daemon's log"
getent passwd 10001 > /dev/null && fail "uid 10001 resolves through the name-service switch: the check would prove nothing"
out=$(cd / && setpriv --reuid=10001 --regid=10000 --clear-groups "$VGS" single -P 9200 -t /dev/vdir start end) \
  || fail "start as uid 10001: $out"
g=$(field guid "$(echo "$out" | head -n 1)")
[ -n "$g" ] || fail "start as uid 10001 not audited: $out"
records "$g" | head -n 1 | grep -q "^type=2 seq=0 guid='$g' user=b'alice' " || fail "start record: $(records "$g" | head -n 1)"
level=$("$CLIENT" auditlevel alice) || fail "audit level query"
[ "$level" = 2 ] || fail "audit level of alice: $level"
expect_log "Get audit level for user alice from kirad successfully"
grep -q "ovg.vgd.auditlevel.*user alice" "$T/vgd.log" || fail "no audit-level record for alice in the daemon's log"
log_has "Got message ControlLog2" && fail "the daemon sent log records to its own socket"
# The check above can see a ControlLog2 request when one arrives.
"$CLIENT" send 107 > /dev/null || fail "ControlLog2 request"
wait_for 10 log_has "Got message ControlLog2 (id: 107)" || fail "a ControlLog2 request is not visible in the log"

note "a start whose argc is impossible is refused; the daemon keeps serving"
before=$(find "$SESSIONS" -name '*.dbq' | wc -l)
for argc in 2147483647 -2147483648 -1 0 3; do
  l=$("$VGS" single -P 9300 -t /dev/vargc --argc "$argc" -a one start | head -n 1)
  [ "$l" = "start audited=0 status=1 existing=-" ] || fail "argc $argc: $l"
  "$CLIENT" ping || fail "daemon not answering after argc $argc"
done
expect_log "Malformed request: argc is -1"
[ "$(find "$SESSIONS" -name '*.dbq' | wc -l)" = "$before" ] || fail "a refused start left a spool"
l=$("$VGS" single -P 9301 -t /dev/vargc2 --argc 2 -a one start end | head -n 1)
[ "$(field audited "$l")" = 1 ] || fail "a start whose argc matches its strings: $l"

note "pause, continue and kill signal only the shell of a connected session"
sleep 600 &
BYSTANDER=$!
hold_session "$T/p1" -P 9501 -t /dev/vpid1 --ovgsh-pid 1 --shell-pid 1
g=$(field guid "$(line_of start "$T/p1")")
for op in pause continue kill; do
  [ "$("$CLIENT" $op "$g")" = 1 ] || fail "$op of a session naming pid 1 was not refused"
done
release_session
hold_session "$T/p2" -P 9502 -t /dev/vpid2 --ovgsh-pid "$BYSTANDER" --shell-pid "$BYSTANDER"
g=$(field guid "$(line_of start "$T/p2")")
[ "$("$CLIENT" pause "$g")" = 1 ] || fail "pause of a process the session only named was not refused"
sleep 0.2
not_stopped "$BYSTANDER" || fail "the bystander was stopped"
[ "$("$CLIENT" kill "$g")" = 1 ] || fail "kill of a process the session only named was not refused"
sleep 0.2
kill -0 "$BYSTANDER" 2>/dev/null || fail "the bystander was killed"
expect_log "Refusing to pause pid $BYSTANDER of session $g"
release_session
kill "$BYSTANDER"
# A session's own shell: its process group is not orphaned, so a stop signal
# takes effect.
python3 -c 'import os, sys; os.setpgid(0, 0); os.execv(sys.argv[1], sys.argv[1:])' \
  "$VGS" run -P 9503 -t /dev/vpid3 -- sleep 600 < /dev/null > /dev/null 2> "$T/run3" &
RUN=$!
wait_for 20 grep -q '^vgsession: session .*: audited' "$T/run3" || fail "session did not start: $(cat "$T/run3")"
g=$(guid_of "$T/run3")
shell=$(pgrep -P "$RUN" -x sleep)
[ -n "$shell" ] || fail "no command process under vgsession $RUN"
for op in pause kill; do
  [ "$(nobody "$CLIENT" $op "$g")" = 500 ] || fail "unprivileged $op not answered 500"
done
sleep 0.2
not_stopped "$RUN" || fail "an unprivileged pause stopped the audit shell"
kill -0 "$shell" || fail "an unprivileged kill killed the shell"
[ "$("$CLIENT" pause "$g")" = 0 ] || fail "root pause of the session's own shell"
wait_for 10 sh -c "[ \"\$(sed -n 's/^.*) \([A-Za-z]\) .*\$/\1/p' /proc/$RUN/stat)\" = T ]" || fail "the audit shell was not stopped"
[ "$("$CLIENT" continue "$g")" = 0 ] || fail "root continue of the session's own shell"
wait_for 10 not_stopped "$RUN" || fail "the audit shell was not continued"
[ "$("$CLIENT" kill "$g")" = 0 ] || fail "root kill of the session's shell"
wait "$RUN"
rc=$?
[ $rc = 137 ] || fail "the session's command was not killed: vgsession exit $rc"

note "a damaged session spool is moved aside and salvaged; a resume into it goes on"
# (Salvage itself, and of the common spool at start: tests/unit/auditor/spool_recovery_test.cc.)
"$VGS" single -P 9600 -t /dev/vdamaged --save-start "$T/d.bin" start data 2 one data 2 two data 2 three > "$T/d" \
  || fail "$(cat "$T/d")"
g=$(field guid "$(head -n 1 "$T/d")")
spool=$(spool_of "$g")
wait_for 10 ended "$g" || fail "no end record"
vgd_stop_ok
# Damage: a payload byte of the block of the session spool's last record (its end).
python3 - "$spool/0" <<'PY' || fail "cannot damage the spool"
import struct, sys
B, DATAX = 512, 42
with open(sys.argv[1], "r+b") as f:
    f.seek(9)
    offset = struct.unpack("=i", f.read(4))[0] * B + DATAX + 3
    f.seek(offset); b = f.read(1)
    f.seek(offset); f.write(bytes([b[0] ^ 0xFF]))
PY
vgd_start
out=$("$VGS" single -P 9600 -t /dev/vdamaged --body "$T/d.bin" resume "$g" data 2 four end) || fail "resume: $out"
[ "$out" = "resume status=0
data status=0
end ok" ] || fail "resume into a damaged spool: $out"
"$CLIENT" ping || fail "daemon not answering after posting to a damaged spool"
grep -q "ERROR.*Error encountered in a spool" "$T/vgd.log" || fail "no ERROR for the damaged session spool"
ls -d "$spool".*.* > /dev/null 2>&1 || fail "damaged session spool not moved aside: $(ls "$(dirname "$spool")")"
records "$g" | cut -d' ' -f1,4- > "$T/rec"
start=$(sed -n 1p "$T/rec" | cut -d' ' -f2-)
[ "$(cat "$T/rec")" = "type=2 $start
type=4 stream=2 data=b'one'
type=4 stream=2 data=b'two'
type=4 stream=2 data=b'three'
type=9 $start
type=4 stream=2 data=b'four'
type=3" ] || fail "records of the salvaged session: $(cat "$T/rec")"
vgd_stop_ok
echo PASS
