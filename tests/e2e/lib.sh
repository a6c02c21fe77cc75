# Shared helpers for end-to-end tests of the real vgd binary.
#
# A test script starts with
#     . "$(dirname "$0")/lib.sh"
#     vgd_enter_namespace "$@"
# which re-runs the script as root inside a private mount namespace: overlays
# over /etc, /var, /usr and /opt (so nothing outside the namespace changes),
# tmpfs over the daemon's directories and /run, and the stand-ins at their
# fixed paths. The daemon's log goes to $VGD_TEST_DIR/vgd.log.

set -u
VGD_BIN_DIR=${VGD_BIN_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/bin}
VGD_SOURCE_DIR=${VGD_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
VGD=$VGD_BIN_DIR/vgd
VGD_LIB_DIR=$VGD_BIN_DIR/../lib
CONF=/etc/orvanevg/orvanevg.conf

fail() { echo "FAIL: $*" >&2; [ -f "${VGD_TEST_DIR:-/nonexistent}/vgd.log" ] && tail -n 30 "$VGD_TEST_DIR/vgd.log" >&2; exit 1; }
note() { echo "-- $*"; }

vgd_enter_namespace() {
  vgd_reexec_in_namespace "$@"
  vgd_prepare_namespace
  : > "$VGD_TEST_DIR/vgd.log"
  vgd_write_conf
}

# Outside the namespace: makes the temporary directory (prefix
# $VGD_NS_PREFIX, default /tmp/vgd-e2e), re-runs "$0" with the same arguments
# as root inside a private mount namespace and exits with its status (the
# directory is removed when that is 0 and VGD_KEEP_DIR is unset, kept
# otherwise). Inside: returns, with VGD_TEST_DIR naming the directory.
vgd_reexec_in_namespace() {
  if [ "${VGD_IN_NS:-}" != 1 ]; then
    [ "$(id -u)" = 0 ] || { echo "$(basename "$0") must run as root" >&2; exit 1; }
    local dir; dir=$(mktemp -d "${VGD_NS_PREFIX:-/tmp/vgd-e2e}.XXXXXX")
    chmod 755 "$dir"
    VGD_IN_NS=1 VGD_TEST_DIR=$dir unshare -m --propagation private bash "$0" "$@"
    local rc=$?
    [ $rc = 0 ] && [ -z "${VGD_KEEP_DIR:-}" ] && rm -rf "$dir" || echo "(files kept in $dir)" >&2
    exit $rc
  fi
}

# Inside the namespace: overlays over /etc, /var, /usr and /opt, tmpfs over
# the daemon's directories and /run, the stand-ins at their fixed paths.
vgd_prepare_namespace() {
  # A test that fails (or is interrupted) leaves no daemon or client behind.
  trap 'vgd_kill_all; vgd_sanitizer_verdict' EXIT
  # Programs of a sanitizer build (scripts/build -DVGD_SANITIZE=ON, then
  # VGD_BIN_DIR=<that build>/bin) write every report to a file here, even
  # those whose standard error a test discards; any report fails the test.
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}log_path=$VGD_TEST_DIR/sanitizer"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:log_path=$VGD_TEST_DIR/sanitizer"
  local d
  for d in etc var usr opt; do
    mkdir -p "$VGD_TEST_DIR/ov/$d/upper" "$VGD_TEST_DIR/ov/$d/work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$VGD_TEST_DIR/ov/$d/upper,workdir=$VGD_TEST_DIR/ov/$d/work" "/$d" \
      || fail "cannot overlay /$d"
  done
  for d in /etc/orvanevg /var/orvanevg /var/orvanepw /usr/share/orvanepw /etc/orvanepw; do
    mkdir -p "$d" && mount -t tmpfs -o mode=0755 tmpfs "$d" || fail "cannot mount tmpfs on $d"
  done
  mount -t tmpfs -o mode=0755 tmpfs /run || fail "cannot mount tmpfs on /run"
  mkdir -p /usr/share/orvanepw/lib64 /usr/share/orvanepw/bin /etc/orvanepw/share
  install -m 0755 "$VGD_BIN_DIR/ovgwatch" /usr/sbin/ovgwatch
  install -m 0755 "$VGD_SOURCE_DIR/standins/scripts/nscdrestart.sh" /usr/share/orvanepw/bin/nscdrestart.sh
  install -m 0755 "$VGD_SOURCE_DIR/standins/scripts/vggetrunlvl" /usr/share/orvanepw/bin/vggetrunlvl
  install -m 0755 "$VGD_SOURCE_DIR/standins/scripts/vgdownloadsshpublickey.tcl" /usr/bin/vgdownloadsshpublickey.tcl
  install -D -m 0755 "$VGD_SOURCE_DIR/standins/scripts/autoedit_default_nss.pl" \
    /usr/share/orvanepw/scripts/vg/autoedit_default_nss.pl
  install -m 0755 "$VGD_SOURCE_DIR/standins/scripts/orvanevg" /bin/orvanevg
  rm -f /var/orvanevg/* 2>/dev/null
  # The daemon's own audit-trail events go to the proxy library stand-in,
  # which appends one line per event to $AT_PROXY_STANDIN_RECORD.
  export AT_PROXY_STANDIN_RECORD=$VGD_TEST_DIR/at-proxy-events
  vgd_install_at_proxy libat_proxy.so
}

# Installs a built proxy-library stand-in (libat_proxy.so or
# libat_proxy_nosend.so) as the audit-trail proxy library; "none" removes it.
# AT_PROXY_STANDIN_VERSION (exported) sets the version it reports.
vgd_install_at_proxy() {
  local lib=/usr/share/orvanepw/lib64/libat_proxy.so
  rm -f "$lib"
  [ "$1" = none ] && return 0
  [ -f "$VGD_LIB_DIR/$1" ] || fail "stand-in proxy library $1 not built"
  install -m 0755 "$VGD_LIB_DIR/$1" "$lib"
}

# vgd_track PID...: processes that are not jobs of the script (watchdogs,
# daemons a watchdog started) killed at exit like the jobs.
VGD_TRACKED=""
vgd_track() { VGD_TRACKED="$VGD_TRACKED $*"; }

# Kills the jobs and the tracked processes together with their children (a
# daemon's watchdog would otherwise start the daemon again).
vgd_kill_all() {
  local pids p
  pids="$(jobs -p) $VGD_TRACKED"
  for p in $pids; do pids="$pids $(pgrep -P "$p")"; done
  kill -KILL $pids 2>/dev/null
}

# watchdog_of PID: the pid of the watchdog the daemon PID started.
watchdog_of() { pgrep -x -P "$1" ovgwatch | head -n 1; }
# vgd_watchdog: waits for the watchdog of $VGD_PID; WATCH_PID names it (tracked).
vgd_watchdog() {
  wait_for 10 sh -c "pgrep -x -P $VGD_PID ovgwatch > /dev/null" || fail "daemon $VGD_PID started no watchdog"
  WATCH_PID=$(watchdog_of "$VGD_PID")
  vgd_track "$WATCH_PID"
}
# gone PID: the process no longer exists (a zombie still counts as there).
gone() { ! kill -0 "$1" 2>/dev/null; }
# as_user UID COMMAND...: COMMAND as UID, group UID, no supplementary groups.
as_user() { local uid=$1; shift; setpriv --reuid="$uid" --regid="$uid" --clear-groups "$@"; }
nobody() { as_user 65534 "$@"; }
# need_kdc: ends the test with SKIP when the KDC's programs are not installed.
need_kdc() { command -v krb5kdc > /dev/null || { echo "SKIP: krb5kdc is not installed"; exit 0; }; }

# Run at exit: a sanitizer report of any program fails the test.
vgd_sanitizer_verdict() {
  local reports
  reports=$(ls "$VGD_TEST_DIR"/sanitizer.* 2>/dev/null)
  [ -z "$reports" ] && return 0
  echo "FAIL: sanitizer reports:" >&2
  head -n 40 $reports >&2
  exit 1
}

# Installs the stand-in directory client (library, settings of a joined host).
vgd_install_directory_client() {
  if [ -f "$VGD_LIB_DIR/libcapi.so" ]; then
    install -m 0755 "$VGD_LIB_DIR/libcapi.so" /usr/share/orvanepw/lib64/libcapi.so
  else
    fail "stand-in directory library not built"
  fi
  echo "example.test" > /var/orvanepw/kset.domain
  echo "testhost" > /var/orvanepw/kset.host
  echo "Default-First-Site" > /var/orvanepw/kset.site
  echo "example.test" > /var/orvanepw/kset.forest
  echo "CN=zone1,CN=Zones,DC=example,DC=test" > /var/orvanepw/kset.zonename
  if [ -f "$VGD_SOURCE_DIR/standins/capi/example-directory.json" ]; then
    cp "$VGD_SOURCE_DIR/standins/capi/example-directory.json" /var/orvanepw/standin-directory.json
  fi
}

# The base configuration; extra "key value" lines may follow as arguments.
vgd_write_conf() {
  {
    echo "logger.destination $VGD_TEST_DIR/vgd.log"
    echo "log DEBUG"
    echo "logger.queue.size 256"
    echo "vgd.start.retries 1"
    local line
    for line in "$@"; do echo "$line"; done
  } > "$CONF"
  chmod 0644 "$CONF"
  chown root:root "$CONF"
}
vgd_add_conf() { local line; for line in "$@"; do echo "$line" >> "$CONF"; done; }

# Starts "vgd -d [args]" in the background; waits for its pid file.
vgd_start() {
  rm -f /run/nscdrestart.calls
  "$VGD" -d "$@" > "$VGD_TEST_DIR/vgd.stdout" 2> "$VGD_TEST_DIR/vgd.stderr" &
  VGD_PID=$!
  local i
  for i in $(seq 1 200); do
    # The pid file must be this daemon's: one killed earlier leaves its own.
    if [ "$(cat /run/vgd.pid 2>/dev/null)" = "$VGD_PID" ] && [ -S /var/orvanevg/audit ]; then
      # The start-up cache flush follows the socket: wait for it, so that a
      # test's own look at the flush calls sees only what it caused.
      wait_for 10 grep -qx flush /run/nscdrestart.calls || fail "no start-up name-service cache flush"
      return 0
    fi
    kill -0 "$VGD_PID" 2>/dev/null || { wait "$VGD_PID"; fail "vgd exited early with $?: $(cat "$VGD_TEST_DIR/vgd.stderr")"; }
    sleep 0.1
  done
  # No socket yet (the server may not exist); the pid file is enough.
  [ -s /run/vgd.pid ] || fail "vgd did not write its pid file"
}

# Sends SIGTERM and waits; sets VGD_STATUS to the exit status.
vgd_stop() {
  kill -TERM "$VGD_PID" 2>/dev/null
  local i
  for i in $(seq 1 300); do
    kill -0 "$VGD_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$VGD_PID" 2>/dev/null && { kill -KILL "$VGD_PID"; fail "vgd did not stop on SIGTERM"; }
  wait "$VGD_PID"
  VGD_STATUS=$?
}
# vgd_stop_ok: vgd_stop, failing unless the daemon exited with 0.
vgd_stop_ok() { vgd_stop; [ "$VGD_STATUS" = 0 ] || fail "daemon exit status $VGD_STATUS"; }

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
  local t=$1; shift
  local i
  for i in $(seq 1 $((t * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}

log_has() { grep -qF -- "$1" "$VGD_TEST_DIR/vgd.log"; }
expect_log() { log_has "$1" || fail "log lacks: $1"; }

# The test KDC (tests/e2e/kdc.sh) in $VGD_TEST_DIR/kdc, with the agent's
# machine credential at the default "/etc/krb5.ccache" (the namespace's
# overlay); exports KRB5_CONFIG, KRB5CCNAME, KRB5_KTNAME, KDC_* for the
# programs started afterwards. The KDC is one of this script's jobs, so the
# exit trap stops it; vgd_kdc_stop stops it earlier.
vgd_kdc_start() {
  . "$VGD_SOURCE_DIR/tests/e2e/kdc.sh"
  kdc_start "$VGD_TEST_DIR/kdc" /etc/krb5.ccache > "$VGD_TEST_DIR/kdc.out" 2>&1 \
    || fail "the KDC did not start: $(cat "$VGD_TEST_DIR/kdc.out")"
}
vgd_kdc_stop() { kdc_stop "$VGD_TEST_DIR/kdc"; }
