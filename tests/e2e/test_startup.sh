#!/usr/bin/env bash
# Start-up and shutdown of the real daemon: options, root check, lock and pid
# files, directory-client checks, old spool migration, signals.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"

note "-v prints the version only and takes no lock"
out=$("$VGD" -v) || fail "-v exited $?"
[ "$out" = "OrvaneVG 3.7.0-172" ] || fail "version text: $out"
[ -e /run/vgd.lock ] && fail "-v took the lock"

note "unknown option and operand print the usage text and exit 1"
expected_usage=$(printf 'usage: %s [options]\n\n    -c, --nocore             don'"'"'t allow core dumps\n    -d, --debug              debug - don'"'"'t fork\n    -v, --version            display version\n' "$VGD")
"$VGD" --bogus > /dev/null 2> "$VGD_TEST_DIR/usage"; rc=$?
[ $rc = 1 ] || fail "unknown option exited $rc"
[ "$(cat "$VGD_TEST_DIR/usage")" = "$expected_usage" ] || fail "usage text differs: $(cat "$VGD_TEST_DIR/usage")"
"$VGD" -d extra > /dev/null 2> "$VGD_TEST_DIR/usage"; rc=$?
[ $rc = 1 ] || fail "operand exited $rc"
[ "$(cat "$VGD_TEST_DIR/usage")" = "$expected_usage" ] || fail "usage text differs for an operand"
expect_log "vgd (OrvaneVG 3.7.0-172) starting with arguments -d (codepage utf8)"
[ -e /run/vgd.pid ] && fail "usage error wrote a pid file"

note "an unprivileged user is refused"
nobody "$VGD" -d > /dev/null 2> "$VGD_TEST_DIR/notroot"; rc=$?
[ $rc = 1 ] || fail "non-root exited $rc"
grep -qx "$VGD must be run as root" "$VGD_TEST_DIR/notroot" || fail "non-root message: $(cat "$VGD_TEST_DIR/notroot")"

note "an unsupported code page falls back to utf8 with a warning"
vgd_add_conf "lang_setting latin9"
# The watchdog's restarts are tested in test_scheduler.sh; here it only has to live.
vgd_add_conf "vgd.watch.startup.delay 600"
note "-d creates the data directory 0755, the pid file and the lock"
umount /var/orvanevg && rmdir /var/orvanevg
vgd_start
[ "$(stat -c %a /var/orvanevg)" = 755 ] || fail "data directory mode $(stat -c %a /var/orvanevg)"
[ "$(cat /run/vgd.pid)" = "$VGD_PID" ] || fail "pid file holds $(cat /run/vgd.pid), not $VGD_PID"
[ "$(tail -c 1 /run/vgd.pid | od -An -c | tr -d ' ')" != '\n' ] || fail "pid file ends with a newline"
[ "$(stat -c %a /run/vgd.pid)" = 644 ] || fail "pid file mode $(stat -c %a /run/vgd.pid)"
[ -f /run/vgd.lock ] || fail "no lock file"
expect_log "vgd starting with unsupported codepage latin9. Use default(utf8) instead."
vgd_watchdog
[ "$(tr '\0' ' ' < "/proc/$WATCH_PID/cmdline")" = "ovgwatch $VGD_PID -d " ] \
  || fail "watchdog argv: $(tr '\0' ' ' < "/proc/$WATCH_PID/cmdline")"
[ "$(head -n 1 /run/nscdrestart.calls)" = "flush" ] || fail "nscd flush not requested"
[ -s /var/orvanevg/tenant_rsa.pub ] || fail "tenant key script not run"

note "a second daemon finds the lock held and exits 5 naming the first"
"$VGD" -d > /dev/null 2> "$VGD_TEST_DIR/second"; rc=$?
[ $rc = 5 ] || fail "second daemon exited $rc"
grep -qF "vgd is already running, PID $VGD_PID. Exiting..." "$VGD_TEST_DIR/second" || fail "second daemon: $(cat "$VGD_TEST_DIR/second")"

note "SIGTERM stops with 0, kills the watchdog, removes the pid file"
vgd_stop_ok
[ -e /run/vgd.pid ] && fail "pid file left after SIGTERM"
wait_for 5 gone "$WATCH_PID" || fail "watchdog still alive after SIGTERM stop"
expect_log "Vigilog daemon is about to stop."
expect_log "Killing watchdog, pid = "

note "SIGHUP stops in order and leaves the watchdog to restart the daemon"
vgd_start
vgd_watchdog
kill -HUP "$VGD_PID"
wait_for 20 gone "$VGD_PID" || fail "SIGHUP did not stop the daemon"
wait "$VGD_PID"; rc=$?
[ $rc = 0 ] || fail "exit status after SIGHUP: $rc"
[ -e /run/vgd.pid ] && fail "pid file left after SIGHUP"
gone "$WATCH_PID" && fail "watchdog killed although a restart was asked"
kill -KILL "$WATCH_PID"

note "an old single-file spool is migrated into the spool directory"
rm -rf /var/orvanevg/spool-dbqc
printf 'old spool record' > "$VGD_TEST_DIR/record"
"$VGD_BIN_DIR/vgspool" push "$VGD_TEST_DIR/old" "$VGD_TEST_DIR/record" || fail "vgspool push"
mv "$VGD_TEST_DIR/old/0" /var/orvanevg/spool.dbq
vgd_add_conf "vgd.watch.enabled false"
vgd_start
[ -e /var/orvanevg/spool.dbq ] && fail "old spool left in place"
vgd_stop
[ "$("$VGD_BIN_DIR/vgspool" cat /var/orvanevg/spool-dbqc)" = "$(od -An -tx1 "$VGD_TEST_DIR/record" | tr -d ' \n')" ] \
  || fail "migrated record: $("$VGD_BIN_DIR/vgspool" cat /var/orvanevg/spool-dbqc)"

note "both spools present: the old one is left alone"
printf 'x' > /var/orvanevg/spool.dbq
vgd_start
vgd_stop_ok
[ -e /var/orvanevg/spool.dbq ] || fail "old spool removed although the new one exists"
expect_log "Therefore cannot migrate the old spooling."
rm -f /var/orvanevg/spool.dbq

note "a lock file that is not the daemon's own stops start-up"
chown 65534 /run/vgd.lock
"$VGD" -d > /dev/null 2> "$VGD_TEST_DIR/nolock"; rc=$?
[ $rc = 1 ] || fail "foreign lock file: exited $rc"
grep -qF "vgd cannot run without its lock file. Exiting..." "$VGD_TEST_DIR/nolock" || fail "foreign lock: $(cat "$VGD_TEST_DIR/nolock")"
rm -f /run/vgd.lock

note "a directory-client library that does not load gives 6, one without its core 7"
echo "not a library" > /usr/share/orvanepw/lib64/libcapi.so
"$VGD" -d > /dev/null 2> "$VGD_TEST_DIR/capi6"; rc=$?
[ $rc = 6 ] || fail "bad library: exited $rc"
grep -qF "Components connecting to OPW could not be initialized. Please check whether OPW is installed. Exiting..." "$VGD_TEST_DIR/capi6" || fail "exit 6 message"
if [ -f "$VGD_LIB_DIR/libcapi_nocore.so" ]; then
  install -m 0755 "$VGD_LIB_DIR/libcapi_nocore.so" /usr/share/orvanepw/lib64/libcapi.so
  "$VGD" -d > /dev/null 2> "$VGD_TEST_DIR/capi7"; rc=$?
  [ $rc = 7 ] || fail "library without core: exited $rc"
  grep -qF "Components connecting to OPW was not completely initialized. Please check whether OPW is properly installed. Exiting..." "$VGD_TEST_DIR/capi7" || fail "exit 7 message"
fi
[ -e /run/vgd.pid ] && fail "pid file left by a refused start"
echo "PASS"
