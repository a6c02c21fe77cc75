#!/usr/bin/env bash
# The scheduler in the real daemon: its periodic work shows in the log, the
# disk warning comes once per episode, the resource monitor's restart
# decision; the watchdog's restarts. (SIGTERM's clean stop: test_startup.sh.)
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"

count() { grep -cF -- "$1" "$VGD_TEST_DIR/vgd.log"; }

note "with zero intervals every task runs on every pass"
vgd_install_directory_client
vgd_add_conf "vgd.watch.enabled false" \
  "vgd.timer.nudge 0" "vgd.timer.diskspace 0" "vgd.resource.timer 0" "vgd.timer.spool.flush 0" \
  "vgd.timer.clear.expired.ovs.secret.cache 0" "vgd.timer.monitor.nss.conf 0" \
  "spool.diskspace.min 1000TB" \
  "vgd.resource.restart true" "vgd.resource.fdlimit 1"
vgd_start
wait_for 15 sh -c "[ \$(grep -cF 'Checking disk space' '$VGD_TEST_DIR/vgd.log') -ge 3 ]" \
  || fail "fewer than three scheduler passes"
for line in "Nudging despooler" "Checking disk space" "Database filesystem usage: " "Checking memory usage" \
  "Checking file descriptor usage" "Checking CPU usage" "Flushing database" \
  "Clearing the expired OVS secret cache" "background thread ID: "; do
  expect_log "$line"
done
[ "$(count 'Nudging despooler')" -ge 3 ] || fail "the despooler was not nudged on every pass"

note "the hook monitor puts a lost name-service hook back, with the twin shells"
expect_log "Monitoring NSS conf file"
expect_log "HookByNSS: /usr/share/orvanepw/scripts/vg/autoedit_default_nss.pl successful"
grep -Eq '^passwd:.* orvanevg$' /etc/nsswitch.conf || fail "not hooked: $(grep ^passwd: /etc/nsswitch.conf)"
[ "$(stat -c %i /bin/orvanevg)" = "$(stat -c %i /bin/ovgx/sh)" ] || fail "no twin of /bin/sh"
# Asked at the first check, twice in the cycle, once more after the hook changed the file; never again.
[ "$(grep -c -- '--lib_name orvanevg --is_nss_active' /run/autoedit_nss.calls)" = 4 ] \
  || fail "the unchanged configuration was asked again: $(cat /run/autoedit_nss.calls)"
grep -qx restartandflush /run/nscdrestart.calls || fail "no name-service cache restart"

note "the disk warning is logged once per episode"
[ "$(count 'AUDITING HAS BEEN STOPPED because the partition that contains the Vigilog spool is too full.')" = 1 ] \
  || fail "disk-full warning count: $(count 'AUDITING HAS BEEN STOPPED')"
expect_log "of the filesystem that /var/orvanevg/spool-dbqc is stored on is in use."

note "a restart without a watchdog is only logged"
expect_log "OrvaneVG resource checker action set to restart but watchdog is not enabled. Force action to nothing."
expect_log "FD resource checker start purging."
kill -0 "$VGD_PID" || fail "the daemon stopped although the watchdog is off"

vgd_stop_ok

note "over a limit with the watchdog on, the daemon stops for a restart and the watchdog starts a new one"
: > "$VGD_TEST_DIR/vgd.log"
vgd_write_conf "vgd.resource.restart true" "vgd.resource.timer 1" "vgd.watch.startup.delay 1" \
  "vgd.watch.check.frequency 1" "vgd.watch.check.timeout 2" "vgd.watch.death.timeout 5"
vgd_start
first_pid=$VGD_PID
vgd_watchdog
watch_pid=$WATCH_PID
"$VGS" run -- sh -c 'echo before-restart' < /dev/null > /dev/null 2> "$VGD_TEST_DIR/err" \
  || fail "session: $(cat "$VGD_TEST_DIR/err")"
g=$(guid_of "$VGD_TEST_DIR/err")
# The daemon reads the limit at the reload; the file is put back at once, so
# the daemon the watchdog starts runs within its limits.
cp "$CONF" "$VGD_TEST_DIR/conf.saved"
vgd_add_conf "vgd.resource.fdlimit 1"
"$VGD_BIN_DIR/vgdclient" reload > /dev/null || fail "reload refused"
cp "$VGD_TEST_DIR/conf.saved" "$CONF"
wait_for 20 gone "$VGD_PID" || fail "the daemon did not stop for a restart"
wait "$VGD_PID"; rc=$?
[ $rc = 0 ] || fail "exit status after a restart request: $rc"
expect_log "hit upper limit (1). Restart to recover"
log_has "Killing watchdog" && fail "the watchdog was killed"
wait_for 30 sh -c "[ -s /run/vgd.pid ] && [ \"\$(cat /run/vgd.pid)\" != $first_pid ]" || fail "no new daemon"
VGD_PID=$(cat /run/vgd.pid)
vgd_track "$VGD_PID"
wait_for 20 "$VGD_BIN_DIR/vgdclient" ping > /dev/null || fail "the new daemon does not answer"
# Its work done, the old watchdog leaves the new daemon to the watchdog that daemon started.
wait_for 10 gone "$watch_pid" || fail "the old watchdog stayed"
expect_log "vgd (pid $first_pid) is gone; starting $VGD -d (attempt 1 of 3)"
vgd_watchdog
show "$g" | grep -q 'before-restart' || fail "record lost across the restart: $(show "$g")"

note "a daemon that answers no ping is killed and started again"
silent_pid=$VGD_PID
kill -STOP "$silent_pid"
wait_for 30 sh -c "[ -s /run/vgd.pid ] && [ \"\$(cat /run/vgd.pid)\" != $silent_pid ]" || fail "no daemon after a silent one"
VGD_PID=$(cat /run/vgd.pid)
vgd_track "$VGD_PID"
# Gone, or a zombie its new parent has not reaped yet.
ps -o stat= -p "$silent_pid" | grep -qv Z && fail "the silent daemon was not killed"
wait_for 20 "$VGD_BIN_DIR/vgdclient" ping > /dev/null || fail "the daemon after a silent one does not answer"
expect_log "vgd (pid $silent_pid) answered no ping for "
vgd_watchdog

note "a normal stop of the restarted daemon ends its watchdog too"
kill -TERM "$VGD_PID"
wait_for 30 gone "$VGD_PID" || fail "the new daemon did not stop"
wait_for 10 gone "$WATCH_PID" || fail "watchdog left after a normal stop"
[ -e /run/vgd.pid ] && fail "pid file left after SIGTERM"
echo "PASS"
