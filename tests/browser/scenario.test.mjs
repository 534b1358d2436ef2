// A scenario in the dashboard: the climate controller's overheat example at
// 1000x, its events in the log panel as they come and marked on the device's
// chart at their seconds. The same set-up as dashboard.test.mjs.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';
import { sleep, waitFor } from './waiting.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const binDir = path.resolve(process.env.ORV_BIN_DIR || path.join(here, '../../build/default/bin'));
const shotDir = path.resolve(process.env.ORV_SCREENSHOT_DIR || path.join(binDir, '../browser-screenshots'));
const scenario = path.join(here, '../../scenarios/climate_overheat.toml');

let host;
let browser;
let page;

before(async () => {
  fs.mkdirSync(shotDir, { recursive: true });
  const args = ['--web', '127.0.0.1:0', '--devices', '1', '--interval', '0', '--duration', '0',
    '--speed', '1000', '--scenario', scenario, '--plugin', path.join(binDir, 'climate_sim.so')];
  host = spawn(path.join(binDir, 'orv_host'), args, { stdio: ['ignore', 'pipe', 'inherit'] });
  let output = '';
  host.stdout.on('data', (chunk) => { output += chunk; });
  const url = await waitFor('the dashboard URL', () => (output.match(/dashboard at (http:[^\s,]+)/) || [])[1]);
  browser = await puppeteer.launch({
    executablePath: process.env.ORV_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 1000 });
  await page.goto(url, { waitUntil: 'load' });
});

after(async () => {
  if (browser) await browser.close();
  if (host && host.exitCode === null) host.kill('SIGKILL');
});

test('the log panel shows the load line and each applied event', async () => {
  const lines = await waitFor('three scenario events in the log panel', async () => {
    const texts = await page.$$eval('#log-lines li.scenario', (items) => items.map((i) => i.textContent));
    return texts.length >= 3 && texts;
  });
  assert.deepEqual(lines.slice(0, 3), [
    'Scenario (VKA-Ctrl EMU): device 1 at second 600: set 4 (Heating Level) to 5; heating turned to full',
    'Scenario (VKA-Ctrl EMU): device 1 at second 610: hold 5 (Overheat) at 1 for 300 s; overheat',
    'Scenario (VKA-Ctrl EMU): device 1 at second 910: set 4 (Heating Level) to 1; heating back to 1',
  ]);
  const all = await page.$$eval('#log-lines li', (items) => items.map((i) => i.textContent));
  assert.ok(all.some((t) => t.startsWith('Scenario ORV_SCENARIO="') && t.endsWith('": 3 of 3 events are for this driver.')));
});

test('each event is marked on the device chart at its second', async () => {
  await page.select('#zoom', '3600');
  const marks = await waitFor('three marks on the chart', () =>
    page.$eval('.device[data-device="0-1"] canvas', (c) => Number(c.dataset.scenarioMarks || 0) >= 3 && c.dataset.scenarioMarks));
  assert.equal(marks, '3');
  await page.screenshot({ path: path.join(shotDir, 'scenario-overheat.png'), fullPage: true });
});
