#!/usr/bin/env bash
# Session ingest against the real daemon in a private mount namespace, beside
# a minimal store server run in the same namespace and on the same tmpfs:
#   bench/ingest.sh [--quick] [--reps N] [--total N] [--only CLIENTS:BYTES]
. "$(dirname "$0")/../tests/e2e/lib.sh"
vgd_enter_namespace "$@"
# The machine is shared: both servers run above the ordinary priority so that
# neither other work nor the client threads take their processor from them
# (a one-thread server would otherwise get a smaller share than a pool).
renice -n -10 $$ > /dev/null
# INGEST_CONF="key value" adds a configuration line (e.g. "vgd.use.all.cpus true").
vgd_add_conf "vgd.watch.enabled false" "log INFO" ${INGEST_CONF:+"$INGEST_CONF"}
vgd_start
wait_for 10 test -S /var/orvanevg/audit || fail "no socket"
store_dir=/var/orvanevg/bench-store
mkdir -p "$store_dir"
"$VGD_BIN_DIR/bench_ingest_store" "$store_dir/sock" "$store_dir/queue.dbq" > "$store_dir/out" &
store_pid=$!
wait_for 10 grep -q ready "$store_dir/out" || fail "store server did not start"
echo "machine: $(nproc) cores, $(uname -r); spools on tmpfs; both servers pinned to one processor"
# INGEST_PERF=FILE records a call-graph profile of the daemon meanwhile
# (INGEST_PERF_CG="--call-graph dwarf" where the build keeps no frame pointers).
[ -n "${INGEST_PERF:-}" ] && { perf record -q -F 2000 ${INGEST_PERF_CG:--g} -p "$VGD_PID" -o "$INGEST_PERF" & perf_pid=$!; sleep 0.5; }
nice -n 10 "$VGD_BIN_DIR/bench_ingest" "$@" /var/orvanevg/audit "$VGD_PID" "$store_dir/sock" "$store_pid"
[ -n "${perf_pid:-}" ] && { kill -INT "$perf_pid"; wait "$perf_pid"; }
kill "$store_pid"
wait "$store_pid" 2>/dev/null
vgd_stop
