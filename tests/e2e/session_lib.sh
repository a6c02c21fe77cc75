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
  local out=$VGD_TEST_DIR/$name
  "$VGD_BIN_DIR/vgcollector" --port "${CPORT:-0}" --port-file "$out.port" --output "$out.jsonl" "$@" 2> "$out.err" &
  COLLECTOR_PID=$!
  wait_for 20 test -s "$out.port" || fail "vgcollector did not start: $(cat "$out.err")"
  CPORT=$(cat "$out.port")
}
collector_stop() { kill "$COLLECTOR_PID" 2>/dev/null; wait "$COLLECTOR_PID" 2>/dev/null; }
