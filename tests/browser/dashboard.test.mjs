// The dashboard in a real browser: the system's chromium, headless, driven by
// puppeteer-core against an orv_host serving the three built plug-ins.
//   ORV_BIN_DIR         folder of orv_host and the plug-ins (default build/default/bin)
//   ORV_SCREENSHOT_DIR  where screenshots land (default <bin>/../browser-screenshots)
//   ORV_CHROMIUM        the browser (default /usr/bin/chromium)
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';
import { sleep, waitFor } from './waiting.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const binDir = path.resolve(process.env.ORV_BIN_DIR || path.join(here, '../../build/default/bin'));
const shotDir = path.resolve(process.env.ORV_SCREENSHOT_DIR || path.join(binDir, '../browser-screenshots'));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'orv-dashboard-'));
const downloads = path.join(work, 'downloads');
const exportDir = path.join(work, 'export');
const plugins = ['gasctl_sim', 'twotemp_sim', 'climate_sim'];

let host;
let hostExit;
const loadErrors = [];  // console errors, failed requests and answers >= 400 while the page loads
let loading = true;
let browser;
let page;
let url;

async function waitForFile(name) {
  const file = path.join(downloads, name);
  return waitFor(`download ${name}`, () => fs.existsSync(file) && fs.statSync(file).size > 0 && file);
}

const shot = (name) => page.screenshot({ path: path.join(shotDir, `${name}.png`), fullPage: true });
const card = (driver, id) => `.device[data-device="${driver}-${id}"]`;
const valueOf = (driver, id, index) =>
  page.$eval(`${card(driver, id)} td[data-value="${index}"]`, (cell) => cell.textContent);

before(async () => {
  fs.mkdirSync(shotDir, { recursive: true });
  fs.mkdirSync(downloads, { recursive: true });
  const args = ['--web', '127.0.0.1:0', '--devices', '0', '--duration', '0', '--export-dir', exportDir];
  for (const plugin of plugins) args.push('--plugin', path.join(binDir, `${plugin}.so`));
  host = spawn(path.join(binDir, 'orv_host'), args, { stdio: ['ignore', 'pipe', 'inherit'] });
  let output = '';
  hostExit = new Promise((resolve) => host.on('exit', (code) => resolve(code)));
  host.stdout.on('data', (chunk) => { output += chunk; });
  url = await waitFor('the dashboard URL', () => (output.match(/dashboard at (http:\S+)/) || [])[1]);
  browser = await puppeteer.launch({
    executablePath: process.env.ORV_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 1000 });
  const cdp = await page.createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
  page.on('console', (message) => { if (loading && message.type() === 'error') loadErrors.push(message.text()); });
  page.on('pageerror', (error) => { if (loading) loadErrors.push(String(error)); });
  page.on('requestfailed', (request) => { if (loading) loadErrors.push(`${request.url()} failed`); });
  page.on('response', (response) => {
    if (loading && response.status() >= 400) loadErrors.push(`${response.url()}: ${response.status()}`);
  });
  await page.goto(url, { waitUntil: 'load' });
});

after(async () => {
  if (browser) await browser.close();
  if (host && host.exitCode === null) host.kill('SIGKILL');
  fs.rmSync(work, { recursive: true, force: true });
});

test('the page names every driver', async () => {
  await page.waitForSelector('section.driver[data-driver="2"]');
  const titles = await page.$$eval('section.driver h2', (h) => h.map((e) => e.textContent));
  assert.equal(titles.length, 3);
  assert.match(titles[0], /CO2-Controller EMU/);
  assert.match(titles[1], /Heatrix 52-4 digital EMU/);
  assert.match(titles[2], /VKA-Controller 5100 digital EMU/);
});

test('the page loads without a console error, its favicon included', async () => {
  await sleep(2500);  // two polls of the state
  loading = false;
  assert.deepEqual(loadErrors, []);
  const icon = await page.evaluate(async () => {
    const link = document.querySelector('link[rel="icon"]');
    const answer = await fetch(link.href);
    return { status: answer.status, type: answer.headers.get('Content-Type'), size: (await answer.text()).length };
  });
  assert.equal(icon.status, 200);
  assert.equal(icon.type, 'image/svg+xml');
  assert.ok(icon.size > 100);
});

test('a device of each plug-in is added through its form', async () => {
  for (const driver of [0, 1, 2]) {
    await page.click(`section.driver[data-driver="${driver}"] form.add-device button`);
    await page.waitForSelector(card(driver, 1));
  }
  assert.equal(await valueOf(0, 1, 0).then((t) => t !== '--'), true);
});

test('the overview lists every device and links to its card', async () => {
  await page.click('section.driver[data-driver="0"] form.add-device button');
  await page.waitForSelector(card(0, 2));
  const rows = await waitFor('four overview rows', () => page.$$eval('#overview tbody tr', (trs) =>
    trs.length === 4 && trs.map((tr) => ({
      device: tr.dataset.device,
      target: tr.querySelector('a').getAttribute('href'),
      text: tr.textContent,
      shown: !document.getElementById('overview').hidden,
    }))));
  assert.deepEqual(rows.map((r) => r.device), ['0-1', '0-2', '1-1', '2-1']);
  for (const row of rows) {
    assert.equal(row.shown, true);
    assert.equal(row.target, `#device-${row.device}`);
    assert.ok(await page.$(`${row.target}.device`), `${row.target} names a card`);
    assert.match(row.text, /updating · recording/);
  }
  assert.match(rows[2].text, /Channel 1 Temp \d+\.\d\d \[°C\] · Channel 2 Temp/);
  await page.click(`#overview tr[data-device="2-1"] a`);
  assert.equal(await page.evaluate(() => location.hash), '#device-2-1');
  await page.click(`${card(0, 2)} button.remove`);
  await waitFor('three overview rows', async () => (await page.$$('#overview tbody tr')).length === 3);
});

test('raising a nominal moves the live value', async () => {
  await waitFor('a first CO2 value', async () => (await valueOf(0, 1, 0)) === '5.00');
  await page.type(`${card(0, 1)} input[data-set="1"]`, '8');
  await page.click(`${card(0, 1)} input[data-set="1"] + button`);
  await waitFor('the nominal', async () => (await valueOf(0, 1, 1)) === '8.00');
  await waitFor('CO2 rising', async () => Number(await valueOf(0, 1, 0)) > 5.15);
});

test('the chart is drawn with the axes the driver describes', async () => {
  await sleep(2500);  // a chart refresh after a few samples
  for (const [driver, label] of [[0, 'CO2 [%]'], [1, 'Tmp [°C]'], [2, 'CO2 [%]']]) {
    const drawn = await waitFor(`chart of driver ${driver}`, () => page.$eval(`${card(driver, 1)} canvas`, (canvas) => {
      const chart = Chart.getChart(canvas);
      const area = chart.chartArea;
      const scale = window.devicePixelRatio;
      const pixels = canvas.getContext('2d').getImageData(area.left * scale, area.top * scale,
        area.width * scale, area.height * scale).data;
      // Pixels of the first (shown) line's colour inside the plot area.
      const [r, g, b] = chart.data.datasets[0].borderColor.match(/\d+/g).map(Number);
      let line = 0;
      for (let i = 0; i < pixels.length; i += 4) {
        if (Math.abs(pixels[i] - r) < 40 && Math.abs(pixels[i + 1] - g) < 40 && Math.abs(pixels[i + 2] - b) < 40) ++line;
      }
      const points = chart.data.datasets[0].data.length;
      return points >= 2 && line > 20 &&
        { line, y0: chart.options.scales.y0.title.text, y1: chart.options.scales.y1.title.text };
    }));
    assert.equal(drawn.y0, 'Lvl');
    assert.equal(drawn.y1, label);
  }
  await shot('dashboard');
});

test('a hidden line stays hidden', async () => {
  await page.click(`${card(1, 1)} input[data-shown="3"]`);
  await waitFor('line hidden', () => page.$eval(`${card(1, 1)} canvas`,
    (canvas) => Chart.getChart(canvas).data.datasets[3].hidden === true));
  const state = await page.evaluate(() => fetch('/api/drivers/1/devices/1').then((r) => r.json()));
  assert.equal(state.channels[3].config.shown, false);
});

test('the page does not offer a separator equal to the decimal character', async () => {
  const select = (name, value) => page.select(`${card(2, 1)} select[name="${name}"]`, value);
  const offered = () => page.$eval(card(2, 1), (c) => ({
    separators: [...c.querySelectorAll('select[name="separator"] option:not([disabled])')].map((o) => o.value),
    decimals: [...c.querySelectorAll('select[name="decimal"] option:not([disabled])')].map((o) => o.value),
    href: c.querySelector('a.export').getAttribute('href'),
  }));
  await select('decimal', ',');
  assert.deepEqual((await offered()).separators, [';', 'tab']);
  await select('decimal', '.');
  await select('separator', ',');
  const chosen = await offered();
  assert.deepEqual(chosen.decimals, ['.']);
  assert.match(chosen.href, /separator=%2C&decimal=\.$/);
  await select('separator', ';');
});

test('the exported download is the file ExportHistory writes', async () => {
  await page.click(`${card(2, 1)} input[name="updating"]`);
  await waitFor('device stopped', async () =>
    (await page.$eval(`${card(2, 1)} h3 small`, (e) => e.textContent)).includes('stopped'));
  await page.click(`${card(2, 1)} a.export`);
  const file = await waitForFile('history-2-1.csv');
  const text = fs.readFileSync(file, 'utf8');
  assert.match(text.split('\n')[0], /^Second;CO2;CO2_Nominal;/);
  fs.copyFileSync(file, path.join(work, 'downloaded.csv'));
});

test('a saved device is removed and restored, a wrong image refused', async () => {
  await page.click(`${card(1, 1)} a.save`);
  const image = await waitForFile('device-1-1.img');
  await page.click(`${card(1, 1)} button.remove`);
  await waitFor('card removed', async () => (await page.$(card(1, 1))) === null);

  const wrong = await page.$('section.driver[data-driver="0"] form.restore-device input[type=file]');
  await wrong.uploadFile(image);
  await page.click('section.driver[data-driver="0"] form.restore-device button');
  // The box still holds the last note (an earlier "device added"): wait for the refusal itself.
  const refusal = await waitFor('refusal shown', () => page.$eval('#message',
    (m) => !m.hidden && m.className !== 'note' && m.textContent));
  assert.match(refusal, /not compatible with the loaded driver/);

  const input = await page.$('section.driver[data-driver="1"] form.restore-device input[type=file]');
  await input.uploadFile(image);
  await page.click('section.driver[data-driver="1"] form.restore-device button');
  await page.waitForSelector(card(1, 2));
  const restored = await page.evaluate(() => fetch('/api/drivers/1/devices/2').then((r) => r.json()));
  assert.equal(restored.channels[3].config.shown, false, 'the hidden line stays hidden');
  assert.equal(restored.hasHistory, true);
  await shot('restored');
});

test('the host exports the same history on stop', async () => {
  host.kill('SIGINT');
  assert.equal(await hostExit, 0);
  const written = fs.readFileSync(path.join(exportDir, 'history-2-1.csv'));
  assert.deepEqual(fs.readFileSync(path.join(work, 'downloaded.csv')), written);
});
