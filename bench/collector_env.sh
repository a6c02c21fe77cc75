# Sourced by the collector benchmarks: starts a private KDC and vgcollector in a
# temporary directory (both stopped on exit) and sets bin, dir and port.
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=${VGD_BIN_DIR:-$src/build/bin}
. "$src/tests/e2e/kdc.sh"
dir=$(mktemp -d /tmp/vgd-bench-kdc.XXXXXX)
trap 'kill "$collector" 2>/dev/null; wait "$collector" 2>/dev/null; kdc_stop "$dir"; rm -rf "$dir"' EXIT
kdc_start "$dir" > "$dir/kdc.out" 2>&1 || { cat "$dir/kdc.out"; exit 1; }
"$bin/vgcollector" --output /dev/null --port-file "$dir/port.collector" 2> "$dir/collector.err" &
collector=$!
for _ in $(seq 1 100); do [ -s "$dir/port.collector" ] && break; sleep 0.05; done
port=$(cat "$dir/port.collector")
