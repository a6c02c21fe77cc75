#!/usr/bin/env bash
# Ping round trips against the real daemon, started in a private mount
# namespace like the end-to-end tests: bench/ping.sh [SECONDS]
. "$(dirname "$0")/../tests/e2e/lib.sh"
vgd_enter_namespace "$@"
vgd_add_conf "vgd.watch.enabled false" "log INFO"
vgd_start
wait_for 10 test -S /var/orvanevg/audit || fail "no socket"
echo "machine: $(nproc) cores, $(uname -r)"
"$VGD_BIN_DIR/bench_ping" /var/orvanevg/audit "${1:-5}"
vgd_stop
