#!/usr/bin/env bash
# The release zip's dashboard.cmd as a double click starts it, under 32-bit
# Wine: unpacks the zip that tools/package_release.sh made into an empty
# folder and runs "wine cmd /c dashboard.cmd" there (tools/win32_run.sh) with
# the browser step skipped (ORV_DASHBOARD_NO_BROWSER=1) and, through
# ORV_DASHBOARD_ARGS, a free port and a run of bounded length. Passes when
# the page answers with its token, the state lists the three drivers with
# one recording device each, and the host stops by itself with status 0.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly seconds=${ORV_DASHBOARD_RUN_SECONDS:-30}
shopt -s nullglob
zips=(build/release/orv-emulated-drivers-*-win32.zip)
((${#zips[@]} == 1)) || {
  echo "test_dashboard_cmd: expected one zip in build/release, found ${#zips[@]}; run tools/package_release.sh" >&2
  exit 1
}
folder=$PWD/build/dashboard-run
rm -rf "$folder"
mkdir -p "$folder"
unzip -q "${zips[0]}" -d "$folder"
script=("$folder"/*/dashboard.cmd)
[[ -f ${script[0]:-} ]] || {
  echo "test_dashboard_cmd: the zip has no dashboard.cmd" >&2
  exit 1
}
# A free port, and the checks below, through node (the browser tests' runtime).
port=$(node -e 'const s = require("net").createServer().listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); })')
log=$folder/dashboard.log

start=$SECONDS
ORV_DASHBOARD_NO_BROWSER=1 ORV_DASHBOARD_ARGS="--web 127.0.0.1:$port --duration $seconds" \
  tools/win32_run.sh "${script[0]}" >"$log" 2>&1 &
runner=$!

# Waits for the page, then checks it and the state; prints one line.
check=$(
  node - "http://127.0.0.1:$port" "$seconds" <<'JS' 2>&1
const [url, seconds] = process.argv.slice(2);
const names = ['CO2-Controller EMU', 'Heatrix 52-4 digital EMU', 'VKA-Controller 5100 digital EMU'];
const end = Date.now() + seconds * 1000;
(async () => {
  let state;
  while (!state && Date.now() < end) {
    try { state = await (await fetch(`${url}/api/state`)).json(); } catch { await new Promise((r) => setTimeout(r, 1000)); }
  }
  if (!state) throw new Error(`no answer from ${url}`);
  const page = await (await fetch(`${url}/`)).text();
  if (!/name="orv-token" content="[0-9a-f]{32}"/.test(page)) throw new Error('the page carries no token');
  const drivers = state.drivers.map((d) => d.longName);
  const devices = state.devices.map((d) => `${d.driver}:${d.recording}`);
  if (JSON.stringify(drivers) !== JSON.stringify(names) || devices.join() !== '0:true,1:true,2:true') {
    throw new Error(`unexpected state: ${drivers.join('; ')}; devices ${devices.join(', ')}`);
  }
  console.log(`ok: ${drivers.join('; ')}; one recording device each`);
})().catch((error) => { console.log(`FAILED: ${error.message}`); process.exitCode = 1; });
JS
)
if [[ $check != ok:* ]]; then
  cat "$log" >&2
  echo "test_dashboard_cmd: $check" >&2
  kill "$runner" 2>/dev/null || true
  exit 1
fi
echo "test_dashboard_cmd: the page answered after $((SECONDS - start)) s, $check"

status=0
wait "$runner" || status=$?
if ((status != 0)); then
  cat "$log" >&2
  echo "test_dashboard_cmd: FAILED: dashboard.cmd ended with status $status" >&2
  exit 1
fi
echo "test_dashboard_cmd: dashboard.cmd stopped by itself after $((SECONDS - start)) s"
