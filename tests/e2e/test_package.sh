#!/usr/bin/env bash
# The Debian package: scripts/package builds it from the programs under test;
# installed into a throw-away root it holds the documented files with their
# owners and modes; installed in the namespace, its unit verifies, the daemon
# started by the unit's command line reads the shipped configuration (which
# passes the configuration security check), the unit's reload command changes
# a log level without a restart, and its stop signal stops the daemon.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"

deb=$(VGD_BIN_DIR=$VGD_BIN_DIR "$VGD_SOURCE_DIR/scripts/package" "$VGD_TEST_DIR/out") || fail "scripts/package failed"
[ -f "$deb" ] || fail "no package at '$deb'"

note "install into a throw-away root"
root=$VGD_TEST_DIR/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: > "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" > "$VGD_TEST_DIR/dpkg.out" 2>&1 \
  || fail "dpkg -i into $root failed: $(cat "$VGD_TEST_DIR/dpkg.out")"
dpkg-query --root="$root" -W -f='${Status}' vgd | grep -q 'install ok installed' || fail "package not recorded as installed"

# path  type  mode  owner:group  links
while read -r path type mode owner links; do
  f=$root$path
  [ -e "$f" ] && [ ! -L "$f" ] || fail "$path missing or a symbolic link"
  got=$(stat -c '%F %a %U:%G %h' "$f" | sed 's/^regular file/regular_file/')
  [ "$got" = "$type $mode $owner $links" ] || fail "$path: '$got', wanted '$type $mode $owner $links'"
done <<'TABLE'
/usr/sbin/vgd                        regular_file 755 root:root 1
/usr/bin/vgctl                       regular_file 755 root:root 1
/usr/bin/vgdclient                   regular_file 755 root:root 1
/usr/bin/vgspool                     regular_file 755 root:root 1
/usr/bin/vgsession                   regular_file 755 root:root 1
/usr/bin/vgcollector                 regular_file 755 root:root 1
/etc/orvanevg                        directory    755 root:root 2
/etc/orvanevg/orvanevg.conf          regular_file 644 root:root 1
/lib/systemd/system/vgd.service      regular_file 644 root:root 1
/usr/share/man/man8/vgd.8.gz         regular_file 644 root:root 1
/usr/share/man/man8/vgctl.8.gz       regular_file 644 root:root 1
/usr/share/man/man8/vgspool.8.gz     regular_file 644 root:root 1
/usr/share/man/man8/vgcollector.8.gz regular_file 644 root:root 1
/usr/share/man/man1/vgsession.1.gz   regular_file 644 root:root 1
/var/orvanevg                        directory    755 root:root 2
TABLE
grep -q '^# *vgd.collectors ' "$root/etc/orvanevg/orvanevg.conf" || fail "no commented vgd.collectors example"
grep -q '^vgd.watch.enabled false$' "$root/etc/orvanevg/orvanevg.conf" || fail "the watchdog is not switched off"
for page in man8/vgd.8 man8/vgctl.8 man8/vgspool.8 man8/vgcollector.8 man1/vgsession.1; do
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/$page.gz" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "$page: $out"
done
"$root/usr/sbin/vgd" --version | grep -qx 'OrvaneVG 3.7.0-172' || fail "the packaged vgd does not run"

note "install in the namespace; the unit verifies"
rm -f "$CONF"  # the test configuration: the package brings its own
dpkg --force-depends --force-confnew -i "$deb" > "$VGD_TEST_DIR/dpkg.out" 2>&1 || fail "dpkg -i failed: $(cat "$VGD_TEST_DIR/dpkg.out")"
unit=/lib/systemd/system/vgd.service
if command -v systemd-analyze > /dev/null; then
  systemd-analyze verify "$unit" > "$VGD_TEST_DIR/verify.out" 2>&1 || fail "systemd-analyze verify: $(cat "$VGD_TEST_DIR/verify.out")"
  ! grep -q 'vgd\.service' "$VGD_TEST_DIR/verify.out" || fail "systemd-analyze verify: $(cat "$VGD_TEST_DIR/verify.out")"
else
  note "SKIP systemd-analyze verify: systemd-analyze is not installed"
fi
unit_cmd() { sed -n "s/^$1=//p" "$unit"; }
start_cmd=$(unit_cmd ExecStart)
reload_cmd=$(unit_cmd ExecReload)
[ "$(unit_cmd KillSignal)" = SIGTERM ] || fail "the unit does not stop with SIGTERM"
[ -n "$start_cmd" ] && [ -n "$reload_cmd" ] || fail "the unit lacks ExecStart or ExecReload"

# Starts the daemon as the unit does (with VGD pointing at the installed one).
unit_start() { VGD=${start_cmd%% *}; vgd_start ${start_cmd#* }; }

note "the shipped configuration is read: its vgd.watch.enabled false keeps the watchdog off"
unit_start
wait_for 10 /usr/bin/vgdclient ping > /dev/null 2>&1 || fail "the daemon does not answer"
[ -z "$(watchdog_of "$VGD_PID")" ] || fail "the watchdog started: the shipped configuration was not read"
vgd_stop_ok
[ ! -e /run/vgd.pid ] || fail "pid file left after SIGTERM"
# The same file made world-writable is refused, and the default (watchdog on) applies.
chmod 0666 "$CONF"
unit_start
wait_for 10 sh -c "pgrep -x -P $VGD_PID ovgwatch > /dev/null" || fail "a world-writable configuration was read"
vgd_stop
chmod 0644 "$CONF"

note "the unit's reload changes a log level without a restart"
vgd_add_conf "logger.destination $VGD_TEST_DIR/vgd.log" "logger.queue.size 0"
unit_start
pid=$VGD_PID
sh -c "$reload_cmd" || fail "reload failed"
sleep 1
! log_has "Audit level properties reloaded" || fail "a DEBUG line was logged at level INFO"
sed -i 's/^log INFO$/log DEBUG/' "$CONF"
sh -c "$reload_cmd" || fail "reload failed"
wait_for 10 log_has "Audit level properties reloaded" || fail "the reload did not raise the log level"
kill -0 "$pid" && [ "$(cat /run/vgd.pid)" = "$pid" ] || fail "the daemon was restarted by the reload"
vgd_stop_ok
note "PASS"
