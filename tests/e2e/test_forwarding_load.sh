#!/usr/bin/env bash
# Forwarding under load and faults, over the test KDC to vgcollector: 64
# concurrent sessions of 500 data records of mixed sizes arrive exactly as the
# daemon acknowledged them, per session and in order; the same (fewer
# sessions) while the collector closes the connection every 97 messages; the
# spool filesystem running full: shells get status 1, nothing spooled is
# lost, forwarding empties the spool and posting resumes.
. "$(dirname "$0")/lib.sh"
vgd_enter_namespace "$@"
. "$(dirname "$0")/session_lib.sh"
T=$VGD_TEST_DIR
need_kdc
vgd_kdc_start

# mixed_steps SESSION COUNT: NUL-separated vgsession steps of COUNT data
# records, each naming its session and number, of 1 to 1200 bytes and every
# 50th of 16000.
mixed_steps() {
  python3 -c '
import sys
i, n = int(sys.argv[1]), int(sys.argv[2])
for j in range(n):
    size = 16000 if j % 50 == 49 else 1 + (i * 37 + j * 101) % 1200
    text = ("%d.%d:" % (i, j)).ljust(size, chr(97 + j % 26))
    sys.stdout.write("data\0" + "2\0" + text + "\0")' "$1" "$2"
}
# mixed_sessions DIR N COUNT: N concurrent sessions of COUNT mixed records;
# each answered every data request with status 0.
mixed_sessions() {
  local dir=$1 n=$2 count=$3 i pids=() steps
  mkdir -p "$dir"
  for i in $(seq 1 "$n"); do
    mapfile -d '' steps < <(mixed_steps "$i" "$count")
    "$VGS" single -P $((5000 + i)) -t "/dev/vl$i" --ack-file "$dir/$i" start "${steps[@]}" end > "$dir/out.$i" 2>&1 &
    pids+=($!)
  done
  for i in "${pids[@]}"; do wait "$i" || fail "a session exited $?"; done
  for i in $(seq 1 "$n"); do
    [ "$(grep -cx 'data status=0' "$dir/out.$i")" = "$count" ] || fail "session $i: $(grep -v 'status=0' "$dir/out.$i" | head -3)"
  done
}

collector_start l1
vgd_write_conf "vgd.watch.enabled false" "log INFO" "vgd.collectors 127.0.0.1:$CPORT:$KDC_COLLECTOR1" \
  "vgd.timer.reconnect 1" "vgd.backoff.time 1" "vgd.threadpool.size 10" "vgd.threadpool.size.max 15"
vgd_start

note "64 sessions of 500 records of mixed sizes: the collector receives exactly what was acknowledged, in order"
mixed_sessions "$T/l1" 64 500
wait_for 90 spools_empty || fail "spools not emptied: $(find $SESSIONS -name '*.dbq' | wc -l) left"
check_collector l1 --sessions 64 --max-dups 0 --exact --acks "$T/l1.jsonl" "$T"/l1/[0-9]*

note "the collector closes the connection every 97 messages: nothing lost, order kept, a duplicate per drop at most"
collector_stop
collector_start l2 --close-every 97
mixed_sessions "$T/l2" 16 60
wait_for 90 spools_empty || fail "spools not emptied with the collector closing"
drops=$(grep -c '"reason":"fault switch"' "$T/l2.jsonl")
[ "$drops" -ge 9 ] || fail "the collector closed only $drops times"
check_collector l2 --sessions 16 --max-dups "$drops" --exact --acks "$T/l2.jsonl" "$T"/l2/[0-9]*
note "$(cat "$T/l2.check") in $drops drops"

note "the spool filesystem full: status 1, nothing spooled lost, forwarding empties the spool, posting resumes"
vgd_stop
collector_stop
# Room for about 120 of the shell's 200 records; the quota check left to the full filesystem itself.
mount -o remount,size=$(($(df --output=used -k /var/orvanevg | tail -n 1) + 768))k /var/orvanevg || fail "remount"
vgd_write_conf "vgd.watch.enabled false" "log INFO" "vgd.collectors 127.0.0.1:$CPORT:$KDC_COLLECTOR1" \
  "vgd.timer.reconnect 1" "vgd.backoff.time 1" "spool.diskspace.min 0B"
vgd_start
mkdir -p "$T/f"
big=()
for j in $(seq 1 200); do big+=(data 2 "$(printf '%05d' "$j")$(head -c 6000 /dev/zero | tr '\0' x)"); done
"$VGS" single -P 6001 -t /dev/vf1 --ack-file "$T/f/1" start "${big[@]}" wait "$T/drained" data 2 after end \
  > "$T/f/out" 2>&1 &
full=$!
wait_for 60 grep -qs "^data status=1$" "$T/f/out" || fail "no status 1 on a full spool: $(tail -n 3 "$T/f/out")"
wait_for 30 sh -c "[ \$(grep -c '^data status' '$T/f/out') = 200 ]" || fail "the shell's records not all answered"
accepted=$(grep -c '^data status=0$' "$T/f/out")
[ "$accepted" -ge 20 ] || fail "only $accepted records spooled before the spool was full"
expect_log "disk quota is full"
a=$(field guid "$(head -n 1 "$T/f/out")")
collector_start f1
# The spool files are not read while the daemon writes them: the collector's acknowledgements tell.
wait_for 60 sh -c "[ \$(grep -c '\"n\":[1-9][0-9]*,.*\"reply\":\"ack\"' '$T/f1.jsonl') = $((accepted + 1)) ]" || fail "the spooled records not forwarded"
wait_for 10 sh -c "[ \$(df --output=avail -k /var/orvanevg | tail -n 1) -gt 256 ]" || fail "the emptied spool kept its space"
touch "$T/drained"
wait "$full" || fail "the shell exited $?: $(tail -n 3 "$T/f/out")"
[ "$(grep '^data' "$T/f/out" | tail -n 1)" = "data status=0" ] || fail "posting did not resume: $(tail -n 2 "$T/f/out")"
wait_for 30 spools_empty || fail "the session's spool not removed"
check_collector f1 --sessions 1 --max-dups 0 --exact --acks "$T/f1.jsonl" "$T/f/1"
note "$accepted of 200 records spooled before the filesystem was full, all forwarded"
vgd_stop_ok
echo "PASS"
