#!/usr/bin/env bash
# Passwd look-ups against the real daemon: the local passwd file, the
# stand-in directory, unknown users, unprivileged callers. (The root-only
# flush and reload, and the reload of a refused file: test_vgctl.sh.)
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
CLIENT=$VGD_BIN_DIR/vgdclient
vgd_install_directory_client
vgd_add_conf "vgd.watch.enabled false"
vgd_start

note "root by name, by name@localhost and by uid comes from the passwd file"
expected=$(grep '^root:' /etc/passwd | cut -d: -f1,3-7)
for q in "getpwnam root" "getpwnam root@localhost" "getpwuid 0"; do
  line=$("$CLIENT" $q) || fail "$q: exit $?"
  [ "$(echo "$line" | cut -d: -f1,3-7)" = "$expected" ] || fail "$q answered $line"
done
nobody "$CLIENT" getpwnam root > /dev/null || fail "unprivileged look-up"

note "a user the directory knows answers with the directory's attributes"
line=$("$CLIENT" getpwnam alice) || fail "alice not found"
echo "$line" | grep -q '^alice:[^:]*:10001:' || fail "alice answered $line"
line=$("$CLIENT" getpwuid 10002) || fail "uid 10002 not found"
echo "$line" | grep -q '^bob:' || fail "uid 10002 answered $line"

note "unknown names and uids, and a local-only look-up of a directory user, answer not found"
for q in "getpwnam alice --local" "getpwnam no-such-user-here" "getpwuid 4242424"; do
  "$CLIENT" $q > /dev/null; [ $? = 3 ] || fail "$q found"
done
"$CLIENT" runlevel > /dev/null || fail "run level query"
vgd_stop_ok
echo PASS
