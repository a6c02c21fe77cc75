#!/usr/bin/env bash
# The daemon's end-to-end cost beside what administrators use today, in one run:
# the same terminal stream (1 KiB and 16 KiB chunks, 1/4/16 sessions, MB
# megabytes in all per case) through
#   vgd        audit-shell clients -> vgd (into the spool)
#   vgd+coll   audit-shell clients -> vgd -> vgcollector over GSSAPI (signed and
#              sealed), until every record was acknowledged and its spool removed
#   sudo       sudo_sendlog -> sudo_logsrvd (plaintext, private configuration)
# Spools and the log server's I/O logs are on tmpfs. Prints a table with the
# ratios to sudo and writes OUT_DIR/compare.txt, compare.dat and compare.png.
#   bench/compare.sh [MB] [OUT_DIR]      (as root; default 100 MB, bench/results)
. "$(dirname "$0")/../tests/e2e/lib.sh"
vgd_enter_namespace "$@"
MB=${1:-100}
OUT=${2:-$VGD_SOURCE_DIR/bench/results}
T=$VGD_TEST_DIR
BENCH=$VGD_BIN_DIR/bench_compare
[ -x /usr/sbin/sudo_logsrvd ] && [ -x /usr/sbin/sudo_sendlog ] || fail "sudo_logsrvd/sudo_sendlog missing (scripts/install-deps)"
command -v krb5kdc > /dev/null || fail "krb5kdc missing (scripts/install-deps)"
mkdir -p "$OUT" "$T/io"
mount -t tmpfs tmpfs "$T/io" || fail "cannot mount tmpfs for the I/O logs"

vgd_kdc_start
"$VGD_BIN_DIR/vgcollector" --output /dev/null --port-file "$T/c.port" 2> "$T/c.err" &
COLLECTOR_PID=$!
wait_for 20 test -s "$T/c.port" || fail "vgcollector did not start: $(cat "$T/c.err")"

LPORT=$(kdc_free_port)
cat > "$T/logsrvd.conf" <<EOF
[server]
listen_address = 127.0.0.1:$LPORT
server_log = stderr
[iolog]
iolog_dir = $T/io
iolog_file = %{seq}
iolog_compress = false
iolog_flush = false
maxseq = 2176782336
[eventlog]
log_type = logfile
[logfile]
path = $T/logsrvd-events.log
EOF
/usr/sbin/sudo_logsrvd -n -f "$T/logsrvd.conf" 2> "$T/logsrvd.err" &
LOGSRVD_PID=$!
wait_for 10 sh -c "ss -ltn | grep -q ':$LPORT '" || fail "sudo_logsrvd did not listen: $(cat "$T/logsrvd.err")"

# run_vgd CHUNK SESSIONS BYTES [COLLECTOR]: one run against a fresh daemon.
run_vgd() {
  local conf=("vgd.watch.enabled false" "log INFO")
  [ -n "${4:-}" ] && conf+=("vgd.collectors 127.0.0.1:$(cat "$T/c.port"):$KDC_COLLECTOR1" "vgd.timer.nudge 1")
  rm -rf /var/orvanevg/spool-*
  vgd_write_conf "${conf[@]}"
  vgd_start
  wait_for 10 test -S /var/orvanevg/audit || fail "no socket"
  if [ -n "${4:-}" ]; then
    wait_for 30 sh -c "ss -Htn state established '( dport = :$(cat "$T/c.port") )' | grep -q ." ||
      fail "the daemon did not connect"
    "$BENCH" vgd /var/orvanevg/audit "$1" "$2" "$3" "$VGD_PID,$COLLECTOR_PID" /var/orvanevg/spool-sessions
  else
    "$BENCH" vgd /var/orvanevg/audit "$1" "$2" "$3" "$VGD_PID"
  fi
  local rc=$?
  vgd_stop
  return $rc
}
run_sudo() {
  rm -rf "$T/io"/* "$T/iolog"
  "$BENCH" iolog "$T/iolog" "$1" $(($3 / $2)) || return 1
  "$BENCH" sendlog "$LPORT" "$T/iolog" "$2" "$LOGSRVD_PID" "$T/io"
}

BYTES=$((MB * 1000000))
echo "machine: $(nproc) cores, $(uname -r); $(/usr/sbin/sudo_logsrvd -V 2>&1 | head -n 1); $MB MB per case"
: > "$OUT/compare.raw"
for chunk in 1024 16384; do
  for sessions in 1 4 16; do
    for system in vgd vgd+coll sudo; do
      case $system in
        vgd) line=$(run_vgd $chunk $sessions $BYTES) ;;
        vgd+coll) line=$(run_vgd $chunk $sessions $BYTES collector) ;;
        sudo) line=$(run_sudo $chunk $sessions $BYTES) ;;
      esac
      [ "${line%% *}" = RESULT ] || fail "$system chunk $chunk, $sessions sessions: no result"
      echo "$chunk $sessions $system ${line#RESULT }" | tee -a "$OUT/compare.raw"
    done
  done
done

# Table: CPU seconds scaled to 100 MB; ratios against sudo of the same case.
awk -v mb="$MB" '
  { key = $1 " " $2; mbs[key, $3] = $4; rps[key, $3] = $5; srv[key, $3] = $6 * 100 / mb; cli[key, $3] = $7 * 100 / mb
    p99[key, $3] = $8; order[++n] = key SUBSEP $3 }
  END {
    printf "%-6s %4s %-9s %8s %9s %10s %10s %9s %9s %9s\n", "chunk", "sess", "system", "MB/s", "records/s",
           "srv cpu s", "cli cpu s", "p99 us", "MB/s x", "cpu x"
    for (i = 1; i <= n; ++i) {
      split(order[i], k, SUBSEP); split(k[1], c, " ")
      s = k[2]; base = k[1]
      printf "%-6s %4s %-9s %8.1f %9.0f %10.2f %10.2f %9s %9.2f %9s\n", c[1] == 1024 ? "1K" : "16K", c[2], s,
             mbs[k[1], s], rps[k[1], s], srv[k[1], s], cli[k[1], s], p99[k[1], s],
             mbs[k[1], s] / mbs[base, "sudo"], (srv[base, "sudo"] > 0 ? sprintf("%.2f", srv[k[1], s] / srv[base, "sudo"]) : "-")
    }
    print "cpu s: CPU seconds per 100 MB (srv: vgd, vgd+vgcollector or sudo_logsrvd; cli: the clients or sudo_sendlog)"
    print "x: ratio to sudo of the same chunk size and session count; p99: round trip of one data request"
  }' "$OUT/compare.raw" | tee "$OUT/compare.txt"

# Plot: MB/s and server CPU per case, one bar per system.
awk '{ key = ($1 == 1024 ? "1K" : "16K") "x" $2; if (!(key in seen)) { seen[key] = 1; keys[++n] = key }
       mbs[key, $3] = $4; srv[key, $3] = $6 }
     END { for (i = 1; i <= n; ++i) { k = keys[i]
             print k, mbs[k, "vgd"], mbs[k, "vgd+coll"], mbs[k, "sudo"], srv[k, "vgd"], srv[k, "vgd+coll"], srv[k, "sudo"] } }' \
  "$OUT/compare.raw" | awk -v mb="$MB" '{ printf "%s %s %s %s %.3f %.3f %.3f\n", $1, $2, $3, $4, $5 * 100 / mb, $6 * 100 / mb, $7 * 100 / mb }' \
  > "$OUT/compare.dat"
if command -v gnuplot > /dev/null; then
  gnuplot <<EOF || fail "gnuplot failed"
set terminal pngcairo size 1000,700 font ",10" noenhanced
set output "$OUT/compare.png"
set multiplot layout 2,1 title "One terminal stream, $MB MB per case (chunk size x sessions)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set key outside below horizontal
set grid ytics
set ylabel "MB/s"
plot "$OUT/compare.dat" using 2:xtic(1) title "vgd (spool)", "" using 3 title "vgd -> vgcollector (GSSAPI)", \
     "" using 4 title "sudo_sendlog -> sudo_logsrvd"
set ylabel "server CPU s per 100 MB"
plot "$OUT/compare.dat" using 5:xtic(1) title "vgd", "" using 6 title "vgd + vgcollector", "" using 7 title "sudo_logsrvd"
unset multiplot
EOF
  echo "plot: $OUT/compare.png"
else
  echo "gnuplot not installed: no plot (scripts/install-deps installs it)"
fi
kill "$LOGSRVD_PID" "$COLLECTOR_PID" 2>/dev/null
