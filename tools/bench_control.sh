#!/usr/bin/env bash
# The control endpoint's figures (docs/performance.md, "The control
# endpoint"), side by side in one run:
#   - GetSampleAt and HasHistory on a million-sample history through the
#     plug-in's table, without the endpoint and beside it while 20 clients
#     poll GET /devices (every ORV_BENCH_POLL_MS ms, default 50; 0: as fast as
#     they can);
#   - a day of device time on ten devices at interval 0: the manual clock's
#     advance beside the emulated clock at its top speed (100000);
#   - request latency on loopback with wrk, one client and twenty, against
#     the reference host's climate_sim with four devices.
# Needs the bench and default presets (built here) and Debian's wrk.
#   tools/bench_control.sh [REPETITIONS]      (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions=${1:-5}
command -v wrk >/dev/null || {
  echo "bench_control: wrk is missing: run tools/setup.sh" >&2
  exit 2
}
cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null
cmake --preset default >/dev/null && cmake --build --preset default --target orv_host >/dev/null

echo "== host calls beside the endpoint; a day on ten devices"
LD_LIBRARY_PATH=build/bench/bin build/bench/bin/orv_bench \
  --benchmark_filter='HostCallsBesideTheEndpoint|DayOnTenDevices' \
  --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true

echo "== request latency on loopback (wrk, 10 s each)"
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work
build/default/bin/orv_host --control 0 --duration 0 --devices 4 --interval 0 \
  --plugin build/default/bin/climate_sim.so >"$work/host.log" 2>&1 &
host=$!
trap 'kill $host 2>/dev/null; wait $host 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  ls "$work"/orv-emu/control/*.json >/dev/null 2>&1 && break
  sleep 0.1
done
file=$(ls "$work"/orv-emu/control/*.json)
port=$(sed -nE 's/.*"port": ([0-9]+).*/\1/p' "$file")
token=$(sed -nE 's/.*"token": "([0-9a-f]+)".*/\1/p' "$file")
for clients in 1 20; do
  threads=$((clients < 2 ? 1 : 2))
  echo "-- $clients client(s), GET /devices"
  wrk -t"$threads" -c"$clients" -d10s --latency -H "Authorization: Bearer $token" \
    "http://127.0.0.1:$port/devices" | grep -E 'Latency|50%|90%|99%|Requests/sec|Non-2xx'
done
