#!/usr/bin/env bash
# Audited sessions on the real daemon, driven by the audit-shell test client
# vgsession: what lands in the spools, byte by byte; the audit decision
# (login shells, init scripts, nested sessions, spool limits, a full disk);
# code-page conversion; clients that vanish; resume. (What vgsession does
# without a daemon is the test client's own business, not tested here.)
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
vgd_add_conf "vgd.watch.enabled false" "vgd.ignore.nonlogin.ttys /dev/vinit, /dev/vother"
vgd_start

note "a command's session lands in its spool as start, output, end"
"$VGS" run --save-start "$T/start.bin" -- sh -c 'echo hello; echo world' < /dev/null > /dev/null 2> "$T/err" \
  || fail "vgsession exited $?: $(cat "$T/err")"
g=$(guid_of "$T/err")
[ -n "$g" ] || fail "no session GUID reported: $(cat "$T/err")"
grep -q "^vgsession: session $g: audited, status 0$" "$T/err" || fail "answer not reported: $(cat "$T/err")"
b=$($CHECK bucket "$g")
[ -d "$SESSIONS/$b/$g.dbq" ] || fail "no spool $b/$g.dbq: $(find $SESSIONS)"
[ -f "$SESSIONS/$b/$g.status" ] || fail "no status file $b/$g.status"
[ "$(find $SESSIONS -name '*.dbq' | wc -l)" = 1 ] || fail "more than one spool: $(find $SESSIONS -name '*.dbq')"
records "$g" > "$T/rec" || fail "spool does not decode by its layout"
sed -n 1p "$T/rec" | grep -qx "type=2 seq=0 guid='$g' user=b'root' tty=b'/dev/pts/[0-9]*' argv=\[b'sh', b'-c', b'echo hello; echo world'\]" \
  || fail "start record: $(sed -n 1p "$T/rec")"
[ "$(sed -n '2,$p' "$T/rec")" = "type=4 seq=0 guid='$g' stream=2 data=b'hello\\r\\n'
type=4 seq=0 guid='$g' stream=2 data=b'world\\r\\n'
type=3 seq=0 guid='$g'" ] || [ "$(sed -n '2,$p' "$T/rec")" = "type=4 seq=0 guid='$g' stream=2 data=b'hello\\r\\nworld\\r\\n'
type=3 seq=0 guid='$g'" ] || fail "records after the start: $(cat "$T/rec")"
# The start record the reply carried is the first record of the spool, byte for byte.
[ "$("$VGSPOOL" cat "$(spool_of "$g")" | head -n 1)" = "$(od -An -v -tx1 "$T/start.bin" | tr -d ' \n')" ] \
  || fail "start reply body differs from the spooled start record"

note "input is spooled as stream 1"
printf 'abc\n' | "$VGS" run -- sh -c 'read x' > /dev/null 2> "$T/err"
g=$(guid_of "$T/err")
records "$g" | grep -qx "type=4 seq=0 guid='$g' stream=1 data=b'abc\\\\n'" || fail "no input record: $(records "$g")"

note "every start request version is read in its own field order"
for v in 1 2 4 5 6 7 8 9 10 11 12 13 14 15 16 17; do
  out=$("$VGS" single -v $v -P $((1000 + v)) -t /dev/vv$v -0 -ksh$v -a x -a "arg two" start end) || fail "version $v: $out"
  l=$(echo "$out" | head -n 1)
  [ "$(field audited "$l")" = 1 ] || fail "version $v not audited: $l"
  if [ $v -ge 7 ]; then [ "$(field status "$l")" = 0 ] || fail "version $v status: $l"
  else [ "$(field status "$l")" = -1 ] || fail "version $v sent a status: $l"; fi
  if [ $v -ge 6 ]; then [ "$(field body "$l")" -gt 0 ] || fail "version $v: no start record in the reply"
  else [ "$(field body "$l")" = 0 ] || fail "version $v: a start record in the reply"; fi
  g=$(field guid "$l")
  [ "$(records "$g" | head -n 1)" = "type=2 seq=0 guid='$g' user=b'root' tty=b'/dev/vv$v' argv=[b'-ksh$v', b'x', b'arg two']" ] \
    || fail "version $v start record: $(records "$g" | head -n 1)"
  [ "$(records "$g" | sed -n '2,$p' | cut -d' ' -f1)" = "type=3" ] || fail "version $v: $(records "$g")"
done

note "a login shell is never an init script; a non-login shell on a listed tty is"
expect_audited -P 2001 -t /dev/vinit -0 -bash
for a0 in /bin/bash sh; do
  l=$("$VGS" single -P 2002 -t /dev/vinit -0 $a0 start end | head -n 1)
  [ "$l" = "start audited=0 status=0 existing=-" ] || fail "init script $a0: $l"
done
expect_audited -P 2003 -t /dev/vnotlisted -0 /bin/bash
expect_audited -P 2004 -t /dev/vother -0 /bin/bash --program xterm
expect_log "OS is running init-script"

note "psid -1: audited on a new tty, status 4 on an audited one"
hold_session "$T/held" -n -t /dev/vtty1
l=$(line_of start "$T/held")
[ "$(field audited "$l")" = 1 ] || fail "psid -1 on a free tty: $l"
first=$(field guid "$l")
l=$("$VGS" single -n -t /dev/vtty1 start | head -n 1)
[ "$(field audited "$l")" = 0 ] && [ "$(field status "$l")" = 4 ] || fail "second start on the tty: $l"
l=$("$VGS" single -v 14 -n -t /dev/vtty1 start | head -n 1)
[ "$l" = "start audited=0 status=4 existing=-" ] || fail "version 14 sent an existing id: $l"
release_session

note "a start inside an audited session answers status 4 and, from version 15, the existing id"
hold_session "$T/held" -P 3000 -t /dev/vA
first=$(field guid "$(line_of start "$T/held")")
for v in 15 17; do
  l=$("$VGS" single -v $v -P 3000 -t /dev/vB start | head -n 1)
  [ "$l" = "start audited=0 status=4 existing=$first" ] || fail "nested start, version $v: $l"
done
for v in 7 14; do
  l=$("$VGS" single -v $v -P 3000 -t /dev/vB start | head -n 1)
  [ "$l" = "start audited=0 status=4 existing=-" ] || fail "nested start, version $v: $l"
done
# The nested starts registered nothing: /dev/vB is free for a session of its own.
expect_audited -P 3001 -t /dev/vB
release_session
# The held session's end was written by the daemon when its client vanished.
wait_for 10 ended "$first" || fail "no end record for a vanished client"
expect_audited -P 3000 -t /dev/vA

note "requests without an open session, malformed requests"
[ "$("$VGS" single data 2 abc wsize 1 2 3 4 pgid self end)" = "data status=1
wsize status=1
pgid ok
end ok" ] || fail "requests without a session"
out=$("$VGS" single -P 3100 resume 000102030405060708090a0b0c0d0e) || fail "15-byte GUID: $out"
[ "$out" = "resume status=1" ] || fail "15-byte GUID: $out"
"$VGD_BIN_DIR/vgdclient" ping || fail "daemon not answering after malformed requests"

note "zero-byte data is answered 0 and posts nothing; time blobs of a wrong size mean now"
out=$("$VGS" single --time-size 3 -P 4000 -t /dev/vz start data 2 '' data 2 'x' data 1 '' wsize 24 80 0 0 end) \
  || fail "zero-byte data: $out"
g=$(field guid "$(echo "$out" | head -n 1)")
[ "$(echo "$out" | sed -n '2,$p')" = "data status=0
data status=0
data status=0
wsize status=0
end ok" ] || fail "replies: $out"
[ "$(records "$g" | cut -d' ' -f1,4-)" = "type=2 user=b'root' tty=b'/dev/vz' argv=[b'-vgsession']
type=4 stream=2 data=b'x'
type=5 size=[24, 80, 0, 0]
type=3" ] || fail "records: $(records "$g")"
now=$(date +%s)
show "$g" | sed -n 's/.* time=\([0-9T:-]*\)\..*/\1/p' | while read -r t; do
  s=$(date -u -d "${t/T/ } UTC" +%s)
  [ $((now - s)) -lt 3600 ] && [ $((s - now)) -lt 3600 ] || { echo "time $t is not now"; exit 1; }
done || fail "a malformed time blob was not replaced by the current time"

note "a full spool file system answers status 1, at start and for data"
vgd_stop
mount -t tmpfs -o size=1m,mode=0755 tmpfs /var/orvanevg || fail "cannot mount a small tmpfs"
vgd_start
"$VGS" single -P 5000 -t /dev/vfull start data 2 before wait "$T/full" data 2 lost wait "$T/free" data 2 after end \
  > "$T/held" 2>&1 &
HELD_PID=$!
wait_for 20 grep -q '^data ' "$T/held" || fail "start before the disk filled: $(cat "$T/held")"
g=$(field guid "$(line_of start "$T/held")")
dd if=/dev/zero of=/var/orvanevg/filler bs=4k > /dev/null 2>&1
touch "$T/full"
l=$("$VGS" single -P 5001 -t /dev/vfull2 start | head -n 1)
[ "$l" = "start audited=0 status=1 existing=-" ] || fail "start on a full disk: $l"
expect_log "Vigilog cannot start a session, as it run out of disk space for spooling audit data. The spooling is done in /var/orvanevg."
wait_for 20 sh -c "[ \$(grep -c '^data ' '$T/held') = 2 ]" || fail "data on a full disk: $(cat "$T/held")"
expect_log "Vigilog run out of disk space for spooling audit data. The spooling is done in /var/orvanevg."
rm -f /var/orvanevg/filler
touch "$T/free"
wait "$HELD_PID" || fail "session across the full disk: $(cat "$T/held")"
[ "$(grep '^data ' "$T/held")" = "data status=0
data status=1
data status=0" ] || fail "data replies across the full disk: $(cat "$T/held")"
[ "$(records "$g" | cut -d' ' -f1,5-)" = "type=2 tty=b'/dev/vfull' argv=[b'-vgsession']
type=4 data=b'before'
type=4 data=b'after'
type=3" ] || fail "records across the full disk: $(records "$g")"
expect_audited -P 5002 -t /dev/vfull3
vgd_stop
umount /var/orvanevg || fail "cannot unmount the small tmpfs"
vgd_start

note "with spool.maxdbsize 1 every start answers status 2, even one that would be status 4"
"$VGS" single -P 6000 -t /dev/vmax --save-start "$T/max.bin" start end > "$T/max" || fail "start: $(cat "$T/max")"
gmax=$(field guid "$(head -n 1 "$T/max")")
vgd_restart "spool.maxdbsize 1"
l=$("$VGS" single -P 6001 -t /dev/vmax1 start | head -n 1)
[ "$l" = "start audited=0 status=2 existing=-" ] || fail "start over maxdbsize: $l"
expect_log "Vigilog cannot start a session, as its spooling database is growing too big. The size reached upper limit 1 bytes."
# A resume registers the session (and answers 2); a start in it would be status 4.
"$VGS" single -P 6000 -t /dev/vmax --body "$T/max.bin" resume "$gmax" data 2 lost sleep 600 > "$T/held" 2>&1 &
HELD_PID=$!
wait_for 20 grep -q '^data ' "$T/held" || fail "resume over maxdbsize: $(cat "$T/held")"
[ "$(cat "$T/held")" = "resume status=2
data status=2" ] || fail "resume and data over maxdbsize: $(cat "$T/held")"
l=$("$VGS" single -P 6000 -t /dev/vmax2 start | head -n 1)
[ "$l" = "start audited=0 status=2 existing=-" ] || fail "nested start over maxdbsize: $l"
release_session
records "$gmax" | grep -q "data=b'lost'" && fail "data over maxdbsize was spooled"
vgd_restart

note "code page iso8859-1: bytes 0x80-0xff become two-byte UTF-8 in the spool"
vgd_restart "lang_setting iso8859-1"
out=$("$VGS" single -P 7000 -t /dev/vl1 start data 2 'caf\xe9\xa0\x7f\x80\xbf\xc0\xff!' data 1 '\xe9' end) || fail "$out"
g=$(field guid "$(echo "$out" | head -n 1)")
# (session_check.py decodes each record by the layout, no byte left over.)
[ "$(records "$g" | sed -n 2,3p)" = "type=4 seq=0 guid='$g' stream=2 data=b'caf\\xc3\\xa9\\xc2\\xa0\\x7f\\xc2\\x80\\xc2\\xbf\\xc3\\x80\\xc3\\xbf!'
type=4 seq=0 guid='$g' stream=1 data=b'\\xc3\\xa9'" ] || fail "data not converted: $(records "$g")"
vgd_restart

note "a client that disconnects without an end request still gets an end record"
"$VGS" run --no-end -- sh -c 'echo bye' < /dev/null > /dev/null 2> "$T/err" || fail "run --no-end: $(cat "$T/err")"
g=$(guid_of "$T/err")
grep -q "left without an end request" "$T/err" || fail "no notice of the missing end: $(cat "$T/err")"
wait_for 10 ended "$g" || fail "no end record: $(records "$g")"
[ "$(records "$g" | grep -c '^type=3 ')" = 1 ] || fail "more than one end record"

note "resume on a new connection continues the session with a type-9 record"
"$VGS" single -P 8000 -t /dev/vr --save-start "$T/r.bin" start data 2 one > "$T/r" || fail "$(cat "$T/r")"
g=$(field guid "$(head -n 1 "$T/r")")
wait_for 10 ended "$g" || fail "no end for the first connection"
out=$("$VGS" single -P 8000 -t /dev/vr --body "$T/r.bin" resume "$g" data 2 two end) || fail "resume: $out"
[ "$out" = "resume status=0
data status=0
end ok" ] || fail "resume replies: $out"
"$VGS" run -P 8000 --resume "$g" --body "$T/r.bin" -- sh -c 'echo three' < /dev/null > /dev/null 2> "$T/err" \
  || fail "run --resume: $(cat "$T/err")"
grep -q "^vgsession: session $g: resumed, status 0" "$T/err" || fail "run --resume: $(cat "$T/err")"
records "$g" | cut -d' ' -f1,3- > "$T/rec"
start=$(sed -n 1p "$T/rec" | cut -d' ' -f2-)
[ "$(cat "$T/rec")" = "type=2 $start
type=4 guid='$g' stream=2 data=b'one'
type=3 guid='$g'
type=9 $start
type=4 guid='$g' stream=2 data=b'two'
type=3 guid='$g'
type=9 $start
type=4 guid='$g' stream=2 data=b'three\\r\\n'
type=3 guid='$g'" ] || fail "records of the resumed session: $(cat "$T/rec")"

note "a resume by another user is refused and spools nothing"
before=$("$VGSPOOL" cat "$(spool_of "$g")" | wc -l)
out=$(nobody "$VGS" single -P 8000 --body "$T/r.bin" resume "$g" data 2 intruder end)
[ "$out" = "resume status=1
data status=1
end ok" ] || fail "unprivileged resume: $out"
expect_log "Refusing resume of session $g by uid 65534: it belongs to uid 0"
[ "$("$VGSPOOL" cat "$(spool_of "$g")" | wc -l)" = "$before" ] || fail "the refused resume spooled records"

vgd_stop_ok
echo PASS
