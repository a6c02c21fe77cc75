#!/usr/bin/env bash
# The real daemon serves local clients on its socket: pings over every protocol
# version from root and from other users, a newcomer that finds the daemon
# running, stop requests from root and from other users, a stale socket file.
# (Unknown types and vanishing clients: tests/unit/server/ipc_server_test.cc.)
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
CLIENT=$VGD_BIN_DIR/vgdclient
vgd_add_conf "vgd.watch.enabled false"
vgd_start
[ "$(stat -c %a /var/orvanevg/audit)" = 777 ] || fail "socket mode $(stat -c %a /var/orvanevg/audit)"

note "pings over protocol versions 2, 3, 4 and 5, from root and from another user"
for v in 2 3 4 5; do
  "$CLIENT" -V $v ping 3 || fail "ping over version $v"
  nobody "$CLIENT" -V $v ping 2 || fail "unprivileged ping over version $v"
done

note "a newcomer that gets past the lock finds the live daemon on the socket and exits 0"
rm -f /run/vgd.lock   # the running daemon keeps its lock on the unlinked file
"$VGD" -d > /dev/null 2>&1; rc=$?
[ $rc = 0 ] || fail "newcomer exited $rc"
"$CLIENT" ping || fail "the newcomer disturbed the running daemon"
expect_log "Pipe exists and is active. daemon is running. Terminating."

note "VGStop from an unprivileged user is answered and ignored"
nobody "$CLIENT" stop || fail "unprivileged stop got no reply"
sleep 0.5
"$CLIENT" ping || fail "an unprivileged user stopped the daemon"

note "VGStop from root stops the daemon with 0 and removes the pid file and the socket"
"$CLIENT" stop || fail "root stop got no reply"
wait_for 20 gone "$VGD_PID" || fail "root stop did not stop the daemon"
wait "$VGD_PID"; rc=$?
[ $rc = 0 ] || fail "exit status after VGStop: $rc"
[ -e /run/vgd.pid ] && fail "pid file left after VGStop"
[ -e /var/orvanevg/audit ] && fail "socket left after stop"

note "a stale socket file is removed at start"
python3 -c 'import socket; s=socket.socket(socket.AF_UNIX); s.bind("/var/orvanevg/audit")'
vgd_start
"$CLIENT" ping || fail "daemon did not replace a stale socket"
expect_log "Removed pipe from file system. Continuing start-up."
vgd_stop_ok
echo PASS
