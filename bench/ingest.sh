#!/usr/bin/env bash
# Session ingest against the real daemon in a private mount namespace:
#   bench/ingest.sh [TOTAL_REQUESTS_PER_RUN]
. "$(dirname "$0")/../tests/e2e/lib.sh"
vgd_enter_namespace "$@"
vgd_add_conf "vgd.watch.enabled false" "log INFO"
vgd_start
wait_for 10 test -S /var/orvanevg/audit || fail "no socket"
echo "machine: $(nproc) cores, $(uname -r); spools on tmpfs"
"$VGD_BIN_DIR/bench_ingest" /var/orvanevg/audit "$VGD_PID" "${1:-10000}"
vgd_stop
