#!/usr/bin/env bash
# The real daemon serves local clients: pings over every protocol version,
# unknown types, stop requests from root and from other users, descriptor
# hygiene when clients vanish.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
CLIENT=$VGD_BIN_DIR/vgdclient
vgd_add_conf "vgd.watch.enabled false"
vgd_start
wait_for 10 test -S /var/orvanevg/audit || fail "no socket"
[ "$(stat -c %a /var/orvanevg/audit)" = 777 ] || fail "socket mode $(stat -c %a /var/orvanevg/audit)"

note "pings over protocol versions 2, 3, 4 and 5, from root and from another user"
for v in 2 3 4 5; do
  "$CLIENT" -V $v ping 3 || fail "ping over version $v"
  setpriv --reuid=65534 --regid=65534 --clear-groups "$CLIENT" -V $v ping 2 || fail "unprivileged ping over version $v"
done

note "an unknown type drops only its own client"
"$CLIENT" send 3000 && fail "an unrouted type was answered"
"$CLIENT" ping || fail "daemon stopped serving after an unknown type"
expect_log "Unknown message type 3000 VGFbSessionStart"

note "a newcomer that gets past the lock finds the live daemon on the socket and exits 0"
rm -f /run/vgd.lock   # the running daemon keeps its lock on the unlinked file
"$VGD" -d > /dev/null 2>&1; rc=$?
[ $rc = 0 ] || fail "newcomer exited $rc"
kill -0 "$VGD_PID" || fail "the newcomer disturbed the running daemon"
"$CLIENT" ping || fail "running daemon stopped answering"
expect_log "Pipe exists and is active. daemon is running. Terminating."

note "clients that vanish mid-request leave no descriptor behind"
before=$(ls /proc/$VGD_PID/fd | wc -l)
python3 - <<'PY'
import socket, struct, time
socks = []
for i in range(50):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect("/var/orvanevg/audit")
    s.sendall(struct.pack("=IHH", 5, 8, 0))
    socks.append(s)
time.sleep(0.5)
for s in socks:
    try:
        s.recv(16)
        s.sendall(struct.pack("=IH", 0xABCD8012, 48))  # half a header
    except OSError:
        pass
time.sleep(0.3)
for s in socks:
    s.close()
PY
wait_for 20 sh -c "[ \$(ls /proc/$VGD_PID/fd | wc -l) -le $before ]" || fail "descriptors leaked: $before before, $(ls /proc/$VGD_PID/fd | wc -l) after"

note "VGStop from an unprivileged user is answered and ignored"
setpriv --reuid=65534 --regid=65534 --clear-groups "$CLIENT" stop || fail "unprivileged stop got no reply"
sleep 0.5
kill -0 "$VGD_PID" || fail "an unprivileged user stopped the daemon"
"$CLIENT" ping || fail "daemon not serving after an unprivileged stop"

note "VGStop from root stops the daemon with 0 and removes the pid file"
"$CLIENT" stop || fail "root stop got no reply"
wait_for 20 sh -c "! kill -0 $VGD_PID 2>/dev/null" || fail "root stop did not stop the daemon"
wait "$VGD_PID"; rc=$?
[ $rc = 0 ] || fail "exit status after VGStop: $rc"
[ -e /run/vgd.pid ] && fail "pid file left after VGStop"
[ -e /var/orvanevg/audit ] && fail "socket left after stop"

note "a stale socket file is removed at start; a live daemon makes a newcomer exit 0"
python3 -c 'import socket; s=socket.socket(socket.AF_UNIX); s.bind("/var/orvanevg/audit")'
vgd_start
"$CLIENT" ping || fail "daemon did not replace a stale socket"
expect_log "Removed pipe from file system. Continuing start-up."
vgd_stop
[ "$VGD_STATUS" = 0 ] || fail "exit $VGD_STATUS"
echo PASS
