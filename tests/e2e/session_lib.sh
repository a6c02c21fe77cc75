# Helpers of the session end-to-end tests (sourced after lib.sh).
VGS=$VGD_BIN_DIR/vgsession
VGSPOOL=$VGD_BIN_DIR/vgspool
CHECK="python3 $VGD_SOURCE_DIR/tests/e2e/session_check.py"
SESSIONS=/var/orvanevg/spool-sessions
export VGD_BIN_DIR VGD_SOURCE_DIR

# spool_of GUID: the session's queue directory, its bucket computed here.
spool_of() { echo "$SESSIONS/$($CHECK bucket "$1")/$1.dbq"; }
# show GUID: vgspool show of the session's spool.
show() { "$VGSPOOL" show "$(spool_of "$1")"; }
# records GUID: the independent decoding of the same spool.
records() { $CHECK show "$(spool_of "$1")"; }
# guid_of FILE: the GUID vgsession run reported on standard error.
guid_of() { sed -n 's/^vgsession: session \([0-9a-f-]\{36\}\): .*/\1/p' "$1" | head -n 1; }
# field KEY LINE: the value of KEY=value in a line of vgsession single.
field() { echo "$2" | tr ' ' '\n' | sed -n "s/^$1=//p" | head -n 1; }
# line_of STEP FILE: the first result line of a step.
line_of() { grep -m1 "^$1 " "$2"; }
# start_line ARGS...: the start reply of "vgsession single ARGS start end".
start_line() { "$VGS" single "$@" start end | head -n 1; }
# expect_audited ARGS...: such a start is audited.
expect_audited() { local l; l=$(start_line "$@"); [ "$(field audited "$l")" = 1 ] || fail "start $* not audited: $l"; }
# ended GUID: the session's spool ends with its end record.
ended() { $CHECK show "$(spool_of "$1")" | tail -n 1 | grep -q '^type=3 '; }
# numbered N: lines 1 to N as one text, each newline written \n (for --complete).
numbered() { seq 1 "$1" | tr '\n' '#' | sed 's/#/\\n/g'; }

# hold_session OUT [vgsession single options]: a session started in the
# background that stays open until release_session; waits for its start reply.
hold_session() {
  local out=$1; shift
  # The session lives while the step "sleep" runs; killing it ends it.
  "$VGS" single "$@" start sleep 600 > "$out" 2>&1 &
  HELD_PID=$!
  wait_for 20 grep -q '^start ' "$out" || fail "held session did not start: $(cat "$out")"
}
release_session() { kill "$HELD_PID" 2>/dev/null; wait "$HELD_PID" 2>/dev/null; }

# vgd_restart [conf lines]: stops the daemon, rewrites the configuration with
# the lines and starts it again.
vgd_restart() {
  vgd_stop
  [ "$VGD_STATUS" = 0 ] || fail "daemon exit status $VGD_STATUS: $(tail -n 5 "$VGD_TEST_DIR/vgd.stderr")"
  vgd_write_conf "vgd.watch.enabled false" "$@"
  vgd_start
}

# collector_start NAME [switches]: a vgcollector writing $VGD_TEST_DIR/NAME.jsonl,
# on the port of the first one (so the daemon's target stays the same).
collector_start() {
  local name=$1; shift
  "$VGD_BIN_DIR/vgcollector" --port "${CPORT:-0}" --port-file "$VGD_TEST_DIR/$name.port" \
    --output "$VGD_TEST_DIR/$name.jsonl" "$@" 2> "$VGD_TEST_DIR/$name.err" &
  COLLECTOR_PID=$!
  wait_for 20 test -s "$VGD_TEST_DIR/$name.port" || fail "vgcollector did not start: $(cat "$VGD_TEST_DIR/$name.err")"
  CPORT=$(cat "$VGD_TEST_DIR/$name.port")
}
collector_stop() { kill "$COLLECTOR_PID" 2>/dev/null; wait "$COLLECTOR_PID" 2>/dev/null; }
spools_empty() { [ -z "$(find $SESSIONS -name '*.dbq' 2>/dev/null)" ]; }
spools_left() { [ "$(find $SESSIONS -name '*.dbq' 2>/dev/null | wc -l)" = "$1" ]; }
# collector_conf [conf lines]: the base configuration, the collector on $CPORT, one-second timers.
collector_conf() {
  vgd_write_conf "vgd.watch.enabled false" "vgd.collectors 127.0.0.1:$CPORT:$KDC_COLLECTOR1" "vgd.timer.reconnect 1" \
    "vgd.timer.nudge 1" "vgd.backoff.time 1" "$@"
}
# check_collector NAME ARGS...: session_check.py check-collector ARGS; its verdict in $VGD_TEST_DIR/NAME.check.
check_collector() {
  local name=$1; shift
  $CHECK check-collector "$@" > "$VGD_TEST_DIR/$name.check" || fail "$name: $(cat "$VGD_TEST_DIR/$name.check")"
}
