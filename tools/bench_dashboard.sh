#!/usr/bin/env bash
# The dashboard under load: wrk against the reference host of the default
# (Release) build with 30 devices (10 of each plug-in), on this machine.
#   1. one keep-alive client, 10 s, a device's state (GET /api/drivers/0/devices/1)
#   2. 50 clients, 60 s, the same
#   3. a device whose history holds 16M samples (recorded at --speed 100000)
#      is saved (GET .../image) and exported (GET .../export) through the
#      page's routes while 4 clients ask for another device's state and 4
#      for its own
# Prints one table (docs/performance.md, "The dashboard under load"); wrk's
# own output lands in build/bench-dashboard. Installs wrk and curl if missing.
#   ORV_BENCH_SECONDS=60        length of step 2
#   ORV_BENCH_SAMPLES=16000000  history of step 3 (0 skips step 3)
set -euo pipefail
cd "$(dirname "$0")/.."

readonly seconds=${ORV_BENCH_SECONDS:-60}
readonly samples=${ORV_BENCH_SAMPLES:-16000000}
readonly out=build/bench-dashboard
readonly bin=build/default/bin

missing=()
command -v wrk >/dev/null || missing+=(wrk)
command -v curl >/dev/null || missing+=(curl)
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
cmake --preset default >/dev/null
cmake --build --preset default --target orv_host gasctl_sim twotemp_sim climate_sim \
  portpick portconf portconf_dt >/dev/null
mkdir -p "$out"

host_pid=""
stop_host() {
  [[ -n $host_pid ]] || return 0
  kill -INT "$host_pid" 2>/dev/null || true
  wait "$host_pid" 2>/dev/null || true
  host_pid=""
}
trap stop_host EXIT

# Starts a host with 10 devices of each plug-in on a free port; sets url.
start_host() {
  local log=$out/host-$1.log
  shift
  : >"$log"
  "$bin/orv_host" --web 127.0.0.1:0 --duration 0 --devices 10 "$@" \
    --plugin "$bin/gasctl_sim.so" --plugin "$bin/twotemp_sim.so" --plugin "$bin/climate_sim.so" \
    >"$log" 2>&1 &
  host_pid=$!
  url=""
  for _ in $(seq 100); do
    url=$(sed -nE 's/.*dashboard at (http:[^ ,]*)\/.*/\1/p' "$log")
    [[ -n $url ]] && break
    sleep 0.1
  done
  [[ -n $url ]] || { cat "$log"; echo "bench_dashboard: the host did not start" >&2; exit 1; }
  token=$(curl -sf "$url/" | sed -nE 's/.*name="orv-token" content="([0-9a-f]+)".*/\1/p')
}

post() { curl -sf -o /dev/null -H "X-Orv-Token: $token" -H 'Content-Type: application/json' -d "$2" "$url$1"; }

# A wrk latency figure in milliseconds.
ms() {
  awk -v p="$1" '$1 == p {
    v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v)
    printf "%.2f", v * (u == "us" ? 0.001 : u == "s" ? 1000 : 1)
  }' "$2"
}
rps() { awk '/^Requests\/sec:/ { printf "%d", $2 }' "$1"; }
errors() {
  awk '/Socket errors:/ { gsub(/,/, ""); n += $4 + $6 + $8 + $10 }
       /Non-2xx or 3xx responses:/ { n += $5 }
       END { printf "%d", n }' "$1"
}
row() { # name file
  printf '| %s | %s | %s | %s | %s |\n' "$1" "$(rps "$2")" "$(ms 50% "$2")" "$(ms 99% "$2")" "$(errors "$2")"
}

echo "bench_dashboard: 30 devices, one keep-alive client, then 50 clients for $seconds s"
start_host load
device=$url/api/drivers/0/devices/1
wrk -t1 -c1 -d10s --latency "$device" >"$out/one-client.txt"
wrk -t2 -c50 -d"${seconds}s" --latency "$device" >"$out/fifty-clients.txt"
stop_host

rows=("$(row "one keep-alive client, 10 s" "$out/one-client.txt")"
  "$(row "50 clients, $seconds s" "$out/fifty-clients.txt")")

if ((samples > 0)); then
  echo "bench_dashboard: recording $samples samples at --speed 100000"
  start_host long --speed 100000 --no-record
  # Every other device rests, so that only the long one's thread runs.
  for driver in 0 1 2; do
    for id in $(seq 10); do
      [[ $driver$id == 01 ]] || post "/api/drivers/$driver/devices/$id/updating" '{"on": false}'
    done
  done
  post /api/drivers/0/devices/1/recording '{"on": true}'
  recorded=0
  until ((recorded >= samples - 1)); do
    sleep 2
    recorded=$(curl -sf "$url/api/drivers/0/devices/1" | sed -nE 's/.*"historySeconds":([0-9.e+]+).*/\1/p')
    recorded=$(awk -v s="$recorded" 'BEGIN { printf "%d", s }')
  done
  post /api/drivers/0/devices/1/updating '{"on": false}'
  wrk -t1 -c4 -d600s --latency "$url/api/drivers/1/devices/1" >"$out/other-during-save.txt" &
  other=$!
  wrk -t1 -c4 -d600s --latency "$url/api/drivers/0/devices/1" >"$out/own-during-save.txt" &
  own=$!
  sleep 1
  save=$(curl -sf -o "$out/long.img" -w '%{time_total}' "$url/api/drivers/0/devices/1/image")
  export=$(curl -sf -o "$out/long.csv" -w '%{time_total}' "$url/api/drivers/0/devices/1/export")
  sleep 1
  kill -INT "$other" "$own"
  wait "$other" "$own" || true
  stop_host
  echo "bench_dashboard: save $save s ($(stat -c %s "$out/long.img") bytes), export $export s ($(stat -c %s "$out/long.csv") bytes)"
  rows+=("$(row "another device's state, 4 clients, during the save and export" "$out/other-during-save.txt")"
    "$(row "the long device's own state, 4 clients, during the save and export" "$out/own-during-save.txt")")
  rm -f "$out/long.img" "$out/long.csv"
fi

echo
echo "| requests for a device's state | requests/s | p50 ms | p99 ms | errors |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
