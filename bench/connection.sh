#!/usr/bin/env bash
# Session messages through the collector connection to vgcollector over
# loopback, and in the same run the secure stream's own figures (hand-built
# packets on a bare stream) as the baseline: bench/connection.sh [SECONDS].
set -u
. "$(dirname "$0")/collector_env.sh"
echo "machine: $(nproc) cores, $(uname -r); each case ${1:-3} s, one message and its acknowledgement at a time"
echo "-- through SecureConnection::sendMessageGetResponse"
"$bin/bench_connection" "$port" "$KDC_COLLECTOR1" "$KRB5CCNAME" "${1:-3}"
echo "-- baseline: the secure stream alone"
"$bin/bench_secure_stream" "$port" "$KDC_COLLECTOR1" "${1:-3}"
