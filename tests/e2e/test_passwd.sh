#!/usr/bin/env bash
# Passwd look-ups and the cache flush against the real daemon: the local passwd
# file, the stand-in directory, unknown users, root-only flush and reload.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
CLIENT=$VGD_BIN_DIR/vgdclient
vgd_install_directory_client
vgd_add_conf "vgd.watch.enabled false"
vgd_start
wait_for 10 test -S /var/orvanevg/audit || fail "no socket"

note "root by name, by name@localhost and by uid comes from the passwd file"
expected=$(grep '^root:' /etc/passwd | cut -d: -f1,3-7)
for q in "getpwnam root" "getpwnam root@localhost" "getpwuid 0"; do
  line=$("$CLIENT" $q) || fail "$q: exit $?"
  [ "$(echo "$line" | cut -d: -f1,3-7)" = "$expected" ] || fail "$q answered $line"
done

note "a user the directory knows answers with the directory's attributes"
line=$("$CLIENT" getpwnam alice) || fail "alice not found"
echo "$line" | grep -q '^alice:[^:]*:10001:' || fail "alice answered $line"
line=$("$CLIENT" getpwuid 10002) || fail "uid 10002 not found"
echo "$line" | grep -q '^bob:' || fail "uid 10002 answered $line"
"$CLIENT" getpwnam alice --local > /dev/null; [ $? = 3 ] || fail "a local-only look-up found a directory user"

note "an unknown name and uid answer not found"
"$CLIENT" getpwnam no-such-user-here > /dev/null; [ $? = 3 ] || fail "unknown name found"
"$CLIENT" getpwuid 4242424 > /dev/null; [ $? = 3 ] || fail "unknown uid found"

note "unprivileged users get passwd answers but cannot flush or reload"
setpriv --reuid=65534 --regid=65534 --clear-groups "$CLIENT" getpwnam root > /dev/null || fail "unprivileged look-up"
rm -f /run/nscdrestart.calls
[ "$(setpriv --reuid=65534 --regid=65534 --clear-groups "$CLIENT" flush)" = 502 ] || fail "unprivileged flush not refused"
grep -qx flush /run/nscdrestart.calls 2>/dev/null && fail "an unprivileged flush ran the name-service cache script"
[ "$(setpriv --reuid=65534 --regid=65534 --clear-groups "$CLIENT" reload)" = 500 ] || fail "unprivileged reload not refused"
[ "$("$CLIENT" flush)" = 0 ] || fail "root flush"
grep -qx flush /run/nscdrestart.calls || fail "flush did not ask the name-service cache"

note "a reload of a refused configuration answers 501 and keeps the running values"
[ "$("$CLIENT" reload)" = 0 ] || fail "root reload of a good file"
chmod o+w "$CONF"
[ "$("$CLIENT" reload)" = 501 ] || fail "reload of a world-writable configuration did not answer 501"
chmod o-w "$CONF"
"$CLIENT" ping || fail "daemon not serving after a failed reload"

note "audit level and run level queries answer"
level=$("$CLIENT" auditlevel alice) || fail "audit level query"
[ -n "$level" ] || fail "no audit level"
"$CLIENT" runlevel > /dev/null || fail "run level query"
vgd_stop
[ "$VGD_STATUS" = 0 ] || fail "exit $VGD_STATUS"
echo PASS
