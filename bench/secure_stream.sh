#!/usr/bin/env bash
# Session messages through the secure stream to vgcollector over loopback,
# beside plain TCP: bench/secure_stream.sh [SECONDS]. Starts a private KDC and
# vgcollector in a temporary directory and stops both afterwards.
set -u
. "$(dirname "$0")/collector_env.sh"
echo "machine: $(nproc) cores, $(uname -r); each case ${1:-3} s, one message and its acknowledgement at a time"
"$bin/bench_secure_stream" "$port" "$KDC_COLLECTOR1" "${1:-3}"
