#!/usr/bin/env bash
# Browser tests of the web dashboard: the system's chromium, headless, driven
# by puppeteer-core (tests/browser, pinned by its package-lock.json; it
# downloads no browser) against the default build's orv_host and plug-ins.
# Screenshots land in build/default/browser-screenshots. Ends with node's
# "# pass N" and "# fail N" lines.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ! -d tests/browser/node_modules/puppeteer-core ]]; then
  (cd tests/browser && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund)
fi
cmake --preset default >/dev/null
cmake --build --preset default --target orv_host gasctl_sim twotemp_sim climate_sim \
  portpick portconf portconf_dt
export ORV_BIN_DIR=$PWD/build/default/bin
export ORV_SCREENSHOT_DIR=$PWD/build/default/browser-screenshots
cd tests/browser
exec node --test --test-concurrency=1 dashboard.test.mjs scenario.test.mjs
