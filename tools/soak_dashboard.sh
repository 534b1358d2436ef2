#!/usr/bin/env bash
# A soak of the dashboard, outside the test command: the reference host of the
# default (Release) build with 30 recording devices (10 of each plug-in) at
# --speed 100, for 10 minutes; 20 clients poll the state and the charts of the
# devices it lists as fast as they are answered, and once a second a device is
# added and the oldest removed, so that 30 stay. Passes when no request fails
# (a chart of a device removed since its state was read answers 404, which is
# counted apart) and the host's resident memory after the first minute shows no
# trend: the second half of the samples after it reaches no more than 5 % above
# the highest of the first half. Prints the figures (docs/performance.md, "The
# dashboard under load"); the samples of resident memory and threads land in
# build/soak-dashboard.
#   ORV_SOAK_SECONDS=600  length of the run
set -euo pipefail
cd "$(dirname "$0")/.."

readonly seconds=${ORV_SOAK_SECONDS:-600}
readonly out=build/soak-dashboard
readonly bin=build/default/bin

cmake --preset default >/dev/null
cmake --build --preset default --target orv_host gasctl_sim twotemp_sim climate_sim \
  portpick portconf portconf_dt >/dev/null
mkdir -p "$out"
log=$out/host.log
: >"$log"
"$bin/orv_host" --web 127.0.0.1:0 --duration 0 --devices 10 --speed 100 \
  --plugin "$bin/gasctl_sim.so" --plugin "$bin/twotemp_sim.so" --plugin "$bin/climate_sim.so" \
  >"$log" 2>&1 &
host=$!
trap 'kill -INT $host 2>/dev/null || true; wait $host 2>/dev/null || true' EXIT
url=""
for _ in $(seq 100); do
  url=$(sed -nE 's/.*dashboard at (http:[^ ,]*)\/.*/\1/p' "$log")
  [[ -n $url ]] && break
  sleep 0.1
done
[[ -n $url ]] || { cat "$log"; echo "soak_dashboard: the host did not start" >&2; exit 1; }
echo "soak_dashboard: $url, $seconds s"

node - "$url" "$host" "$seconds" "$out/rss.tsv" <<'JS'
const fs = require('fs');
const [url, pid, seconds, rssFile] = process.argv.slice(2);
const end = Date.now() + Number(seconds) * 1000;
const started = Date.now();
const counts = { requests: 0, errors: 0, gone: 0, adds: 0, removes: 0 };
const firstErrors = [];
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const fail = (what) => { ++counts.errors; if (firstErrors.length < 10) firstErrors.push(what); };
let token;

async function request(method, path, body) {
  ++counts.requests;
  try {
    const answer = await fetch(url + path, {
      method,
      headers: method === 'GET' ? {} : { 'X-Orv-Token': token, 'Content-Type': 'application/json' },
      body: body === undefined ? undefined : JSON.stringify(body),
    });
    const text = await answer.text();
    return { status: answer.status, text };
  } catch (error) {
    return { status: 0, text: String(error.cause || error) };
  }
}

async function client() {
  while (Date.now() < end) {
    const state = await request('GET', '/api/state');
    if (state.status !== 200) { fail(`state: ${state.status} ${state.text}`); continue; }
    const devices = JSON.parse(state.text).devices;
    for (let k = 0; k < 2 && devices.length; ++k) {
      const d = devices[Math.floor(Math.random() * devices.length)];
      const chart = await request('GET', `/api/drivers/${d.driver}/devices/${d.id}/chart?from=0&to=${d.historySeconds}&points=600`);
      if (chart.status === 404) ++counts.gone;
      else if (chart.status !== 200) fail(`chart: ${chart.status} ${chart.text}`);
    }
  }
}

async function churn(live) {
  for (let n = 0; Date.now() < end; ++n) {
    const tick = Date.now();
    const driver = n % 3;
    const added = await request('POST', `/api/drivers/${driver}/devices`, {});
    if (added.status === 200) { ++counts.adds; live.push(`/api/drivers/${driver}/devices/${JSON.parse(added.text).id}`); }
    else fail(`add: ${added.status} ${added.text}`);
    const removed = await request('DELETE', live.shift(), undefined);
    if (removed.status === 200) ++counts.removes; else fail(`remove: ${removed.status} ${removed.text}`);
    await sleep(Math.max(0, 1000 - (Date.now() - tick)));
  }
}

// Resident KiB and threads of the host.
function sample() {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return [Number(status.match(/VmRSS:\s+(\d+)/)[1]), Number(status.match(/Threads:\s+(\d+)/)[1])];
}

(async () => {
  const page = await (await fetch(url + '/')).text();
  token = page.match(/name="orv-token" content="([0-9a-f]+)"/)[1];
  const state = JSON.parse((await request('GET', '/api/state')).text);
  const live = state.devices.map((d) => `/api/drivers/${d.driver}/devices/${d.id}`);
  const rss = [];
  const sampler = setInterval(() => rss.push([(Date.now() - started) / 1000, ...sample()]), 5000);
  await Promise.all([churn(live), ...Array.from({ length: 20 }, client)]);
  clearInterval(sampler);
  fs.writeFileSync(rssFile, rss.map(([t, kib, threads]) => `${t.toFixed(0)}\t${kib}\t${threads}`).join('\n') + '\n');
  // Flat: after the first minute no trend, i.e. the second half of the
  // samples reaches no more than 5 % above the highest of the first half
  // (memory that leaks keeps setting new highs).
  const afterMinute = rss.filter(([t]) => t >= 60);
  const base = afterMinute.length ? afterMinute[0][1] : rss[rss.length - 1][1];
  const half = Math.ceil(afterMinute.length / 2);
  const highestOf = (samples) => Math.max(base, ...samples.map(([, kib]) => kib));
  const firstHalf = highestOf(afterMinute.slice(0, half));
  const secondHalf = highestOf(afterMinute.slice(half));
  const highest = Math.max(firstHalf, secondHalf);
  const last = rss[rss.length - 1][1];
  const mib = (kib) => (kib / 1024).toFixed(1);
  const flat = secondHalf <= firstHalf * 1.05;
  console.log(`requests ${counts.requests} (${(counts.requests / Number(seconds)).toFixed(0)}/s), errors ${counts.errors}, ` +
    `charts of devices removed meanwhile (404) ${counts.gone}, devices added ${counts.adds}, removed ${counts.removes}`);
  console.log(`resident memory: ${mib(rss[0][1])} MiB at 5 s, ${mib(base)} MiB after the first minute, ` +
    `highest in the first half after it ${mib(firstHalf)} MiB, in the second half ${mib(secondHalf)} MiB, ` +
    `last ${mib(last)} MiB: ${flat ? 'flat' : 'GROWING'}; ` +
    `host threads ${rss[0][2]} at 5 s, ${rss[rss.length - 1][2]} at the end`);
  for (const error of firstErrors) console.log(`error: ${error}`);
  process.exitCode = counts.errors === 0 && flat ? 0 : 1;
})().catch((error) => { console.log(`soak_dashboard: ${error.stack}`); process.exitCode = 1; });
JS
