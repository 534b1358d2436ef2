// The dashboard: polls the host's state every second, keeps one card per
// device, draws each device's history from samples the host picks at evenly
// spaced offsets, and sends every control as one request.
'use strict';

const token = document.querySelector('meta[name="orv-token"]').content;
const kinds = { level: 1, quantity: 2, alarm: 4, switch: 5 };
const cards = new Map();  // "driver-id" -> card
let drivers = [];
let driverSections = [];

function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (key === 'on') {
      for (const [event, handler] of Object.entries(value)) node.addEventListener(event, handler);
    } else if (key in node && typeof value !== 'string') {
      node[key] = value;
    } else {
      node.setAttribute(key, value);
    }
  }
  for (const child of children) node.append(child);
  return node;
}

function showMessage(text, note = false) {
  const box = document.getElementById('message');
  box.textContent = text;
  box.className = note ? 'note' : '';
  box.hidden = !text;
}

// One request to the host; shows the host's message and throws when refused.
async function api(method, path, body, contentType = 'application/json') {
  const headers = { 'X-Orv-Token': token };
  if (body !== undefined) headers['Content-Type'] = contentType;
  const response = await fetch(path, {
    method, headers,
    body: body === undefined ? undefined : contentType === 'application/json' ? JSON.stringify(body) : body,
  });
  let answer = {};
  try { answer = await response.json(); } catch (e) { /* not JSON */ }
  if (!response.ok) {
    const text = answer.error || `${method} ${path}: ${response.status}`;
    showMessage(text);
    throw new Error(text);
  }
  return answer;
}

const rgb = (c) => `rgb(${Math.round(c.red * 255)}, ${Math.round(c.green * 255)}, ${Math.round(c.blue * 255)})`;
const hex = (c) => '#' + [c.red, c.green, c.blue].map((v) => Math.round(v * 255).toString(16).padStart(2, '0')).join('');
const fromHex = (text) => ({
  red: parseInt(text.slice(1, 3), 16) / 255,
  green: parseInt(text.slice(3, 5), 16) / 255,
  blue: parseInt(text.slice(5, 7), 16) / 255,
});

function formatValue(value, kind) {
  if (value === null) return '--';
  return kind === kinds.quantity ? value.toFixed(2) : String(Math.round(value));
}

// Local clock time of a sample: its FILETIME seconds are local wall-clock time.
function clock(seconds) {
  const day = ((Math.floor(seconds) % 86400) + 86400) % 86400;
  const two = (n) => String(n).padStart(2, '0');
  return `${two(Math.floor(day / 3600))}:${two(Math.floor(day / 60) % 60)}:${two(day % 60)}`;
}

function devicePath(d) { return `/api/drivers/${d.driver}/devices/${d.id}`; }
function cardId(d) { return `device-${d.driver}-${d.id}`; }

function buildDriverSection(driver) {
  const setting1 = el('input', { type: 'number', value: '0', step: '1', name: 'setting1' });
  const setting2 = el('input', { type: 'number', value: '0', step: '1', name: 'setting2' });
  const interval = el('input', { type: 'number', value: '0', min: '0', step: '1', name: 'interval' });
  const addForm = el('form', {
    class: 'inline add-device',
    on: {
      submit: async (event) => {
        event.preventDefault();
        const answer = await api('POST', `/api/drivers/${driver.index}/devices`, {
          setting1: Number(setting1.value), setting2: Number(setting2.value), interval: Number(interval.value),
        });
        showMessage(`${driver.shortName}: device ${answer.id} added`, true);
        poll();
      },
    },
  }, el('strong', {}, 'Add device:'),
  el('label', {}, 'setting 1 ', setting1), el('label', {}, 'setting 2 ', setting2),
  el('label', {}, 'interval [s] ', interval), el('button', { type: 'submit' }, 'Add'));

  const file = el('input', { type: 'file', name: 'image' });
  const restoreForm = el('form', {
    class: 'inline restore-device',
    on: {
      submit: async (event) => {
        event.preventDefault();
        if (!file.files.length) return showMessage('Choose an image file first');
        const bytes = await file.files[0].arrayBuffer();
        const answer = await api('POST', `/api/drivers/${driver.index}/restore`, bytes, 'application/octet-stream');
        showMessage(`${driver.shortName}: device ${answer.id} restored`, true);
        poll();
      },
    },
  }, el('strong', {}, 'Restore:'), file, el('button', { type: 'submit' }, 'Restore'));

  const devices = el('div', { class: 'devices' });
  const section = el('section', { class: 'driver', 'data-driver': String(driver.index) },
    el('h2', {}, driver.longName, ' ',
      el('small', {}, `${driver.shortName} · ${driver.fileName} · version ${driver.version}`)),
    addForm, restoreForm, devices);
  section.devices = devices;
  return section;
}

function buildChart(canvas, driver, device) {
  const scales = {
    x: {
      type: 'linear',
      // Without the range's own ends as extra ticks, whose labels would crowd their neighbours.
      ticks: { maxTicksLimit: 7, includeBounds: false, callback: (v) => clock(canvas.firstSeconds + v) },
    },
  };
  driver.axes.forEach((axis, i) => {
    const title = axis.unit ? `${axis.label} ${axis.unit}` : axis.label;
    scales[`y${i}`] = {
      type: 'linear', position: i === 0 ? 'right' : 'left', min: axis.minimum, max: axis.maximum,
      ticks: { stepSize: axis.step, color: rgb(axis) },
      grid: { drawOnChartArea: i === 1 },
      title: { display: true, text: title, color: rgb(axis) },
    };
  });
  const datasets = device.channels.map((c) => ({
    label: c.name, yAxisID: `y${c.axis}`, data: [], borderColor: rgb(c.config),
    backgroundColor: rgb(c.config), hidden: !c.config.shown, pointRadius: 0, borderWidth: 1.5,
    stepped: c.kind !== kinds.quantity,
  }));
  return new Chart(canvas, {
    type: 'line',
    data: { datasets },
    options: {
      animation: false, parsing: false, normalized: true, spanGaps: false,
      responsive: true, maintainAspectRatio: false,
      scales,
      plugins: { legend: { labels: { boxWidth: 12, filter: (item, data) => !data.datasets[item.datasetIndex].hidden } } },
    },
  });
}

// The control that writes a settable value: a check box for a switch, a
// choice of steps for a level, a number for the rest; '' when read-only.
function valueControl(c, path) {
  const set = (value) => api('POST', `${path}/values/${c.index}`, { value }).then(poll);
  if (c.settable && c.kind === kinds.switch) {
    return el('input', {
      type: 'checkbox', 'data-set': String(c.index),
      on: { change: (e) => set(e.target.checked ? 1 : 0) },
    });
  }
  if (c.settable && c.kind === kinds.level) {
    const control = el('select', { 'data-set': String(c.index), on: { change: (e) => set(Number(e.target.value)) } });
    for (let level = Math.ceil(c.minimum); level <= Math.floor(c.maximum); ++level) {
      control.append(el('option', { value: String(level) }, String(level)));
    }
    return control;
  }
  if (!c.settable) return '';
  const input = el('input', { type: 'number', step: '0.1', min: String(c.minimum), max: String(c.maximum), 'data-set': String(c.index) });
  return el('form', {
    class: 'inline',
    on: {
      submit: (e) => {
        e.preventDefault();
        if (input.value !== '') set(Number(input.value));
      },
    },
  }, input, el('button', { type: 'submit' }, 'Set'));
}

// One channel's row: its name, value, control and line settings.
function channelRow(c, path) {
  const valueCell = el('td', { class: 'value', 'data-value': String(c.index) }, '--');
  const control = valueControl(c, path);
  const config = (body) => api('POST', `${path}/channels/${c.index}/config`, body).then(poll);
  const shown = el('input', {
    type: 'checkbox', title: 'show the line', 'data-shown': String(c.index),
    on: { change: (e) => config({ shown: e.target.checked }) },
  });
  const colour = el('input', {
    type: 'color', title: 'line colour', 'data-colour': String(c.index),
    on: { change: (e) => config(fromHex(e.target.value)) },
  });
  const name = el('td', { class: 'name' });
  return { channel: c, row: el('tr', {}, name, valueCell, el('td', {}, control), el('td', {}, shown, ' ', colour)), name, valueCell, control, shown, colour };
}

// The settings dialog's form: the interval, and the channel names where the
// driver has them.
function settingsForm(device, path) {
  const interval = el('input', { type: 'number', min: '0', step: '1', name: 'interval' });
  const name1 = el('input', { type: 'text', maxlength: '15', name: 'name1' });
  const name2 = el('input', { type: 'text', maxlength: '15', name: 'name2' });
  const names = el('span', { hidden: true }, name1, ' ', name2);
  const form = el('form', {
    class: 'inline settings',
    on: {
      submit: async (e) => {
        e.preventDefault();
        const body = {};
        if (interval.value !== '') body.interval = Number(interval.value);
        if (!names.hidden) { body.name1 = name1.value; body.name2 = name2.value; }
        await api('POST', `${path}/settings`, body);
        showMessage(`Device ${device.id}: settings applied`, true);
        poll();
      },
    },
  }, 'interval [s] ', interval, names, el('button', { type: 'submit' }, 'Apply'));
  return { form, interval, names, name1, name2 };
}

// The export's separator and decimal character and its link.
function exportControls(path) {
  const separator = el('select', { name: 'separator' }, ...[';', ',', 'tab'].map((s) => el('option', { value: s }, s)));
  const decimal = el('select', { name: 'decimal' }, ...['.', ','].map((s) => el('option', { value: s }, s)));
  const link = el('a', { href: '#', class: 'export', download: '' }, 'Export');
  const refresh = () => {
    // A separator equal to the decimal character is never offered: its lines could not be read back.
    for (const option of separator.options) option.disabled = option.value === decimal.value;
    for (const option of decimal.options) option.disabled = option.value === separator.value;
    link.href = `${path}/export?separator=${encodeURIComponent(separator.value)}&decimal=${encodeURIComponent(decimal.value)}`;
  };
  separator.addEventListener('change', refresh);
  decimal.addEventListener('change', refresh);
  refresh();
  return ['separator ', separator, ' decimal ', decimal, ' ', link];
}

function removeButton(path) {
  const remove = el('button', {
    type: 'button', class: 'remove',
    on: {
      click: async () => {
        remove.disabled = true;
        await api('DELETE', path).catch(() => { remove.disabled = false; });
        poll();
      },
    },
  }, 'Remove');
  return remove;
}

function buildCard(driver, device) {
  const path = devicePath(device);
  const card = el('div', { class: 'device', id: cardId(device), 'data-device': `${device.driver}-${device.id}` });
  const title = el('small', {});
  card.append(el('h3', {}, `Device ${device.id}`, title));

  const rows = device.channels.map((c) => channelRow(c, path));
  card.append(el('table', { class: 'values' }, el('tbody', {}, ...rows.map((r) => r.row))));

  const canvas = el('canvas', { 'data-chart': `${device.driver}-${device.id}` });
  canvas.firstSeconds = 0;
  card.append(el('div', { class: 'chart-box' }, canvas));
  const chart = buildChart(canvas, driver, device);

  const toggle = (what) => el('input', { type: 'checkbox', name: what, on: { change: (e) => api('POST', `${path}/${what}`, { on: e.target.checked }).then(poll) } });
  const updating = toggle('updating');
  const recording = toggle('recording');
  const settings = settingsForm(device, path);

  card.append(el('div', { class: 'controls' },
    el('label', {}, updating, ' updating'), el('label', {}, recording, ' recording'),
    el('button', { type: 'button', on: { click: () => api('POST', `${path}/clear`).then(poll) } }, 'Clear history'),
    el('fieldset', {}, el('legend', {}, 'settings'), settings.form),
    el('fieldset', {}, el('legend', {}, 'history'), ...exportControls(path)),
    el('a', { href: `${path}/image`, class: 'save', download: '' }, 'Save image'),
    removeButton(path)));

  const { interval, names, name1, name2 } = settings;
  return { card, title, rows, chart, canvas, updating, recording, interval, names, name1, name2, device };
}

// Writes the latest state into a card without disturbing a control in use.
function updateCard(view, driver, device) {
  view.device = device;
  const status = [device.updating ? 'updating' : 'stopped', device.recording ? 'recording' : 'not recording',
    `history ${device.historySeconds.toFixed(0)} s`, `connection ${device.settings.join(", ")}`];
  if (device.interval !== null) status.push(`interval ${device.interval} s`);
  view.title.textContent = `${driver.shortName} · ${status.join(' · ')}`;
  device.channels.forEach((c, i) => {
    const row = view.rows[i];
    if (!row) return;
    row.name.textContent = c.unit ? `${c.name} ${c.unit}` : c.name;
    row.valueCell.textContent = formatValue(c.value, c.kind);
    const focused = document.activeElement;
    if (row.control && row.control.tagName === 'INPUT' && row.control !== focused) row.control.checked = c.value === 1;
    if (row.control && row.control.tagName === 'SELECT' && row.control !== focused && c.value !== null) row.control.value = String(Math.round(c.value));
    if (row.shown !== focused) row.shown.checked = c.config.shown;
    if (row.colour !== focused) row.colour.value = hex(c.config);
    const dataset = view.chart.data.datasets[i];
    dataset.label = c.name;
    dataset.hidden = !c.config.shown;
    dataset.borderColor = dataset.backgroundColor = rgb(c.config);
  });
  if (document.activeElement !== view.updating) view.updating.checked = device.updating;
  if (document.activeElement !== view.recording) view.recording.checked = device.recording;
  const hasNames = Array.isArray(device.channelNames);
  view.names.hidden = !hasNames;
  if (document.activeElement !== view.interval && device.interval !== null) view.interval.value = device.interval;
  if (hasNames) {
    if (document.activeElement !== view.name1) view.name1.value = device.channelNames[0];
    if (document.activeElement !== view.name2) view.name2.value = device.channelNames[1];
  }
}

async function poll() {
  let state;
  try {
    state = await api('GET', '/api/state');
  } catch (e) {
    return;
  }
  const main = document.getElementById('drivers');
  if (driverSections.length !== state.drivers.length) {
    drivers = state.drivers;
    driverSections = drivers.map(buildDriverSection);
    main.replaceChildren(...driverSections);
  }
  drivers = state.drivers;
  document.getElementById('host-info').textContent =
    `${drivers.length} driver${drivers.length === 1 ? '' : 's'} · ${state.devices.length} device${state.devices.length === 1 ? '' : 's'}` +
    (state.host.speed !== 1 ? ` · speed ×${state.host.speed}` : '');
  const seen = new Set();
  for (const device of state.devices) {
    const key = `${device.driver}-${device.id}`;
    const driver = drivers[device.driver];
    seen.add(key);
    let view = cards.get(key);
    if (!view) {
      view = buildCard(driver, device);
      cards.set(key, view);
      driverSections[device.driver].devices.append(view.card);
      refreshChart(view);
    }
    updateCard(view, driver, device);
  }
  for (const [key, view] of cards) {
    if (!seen.has(key)) {
      view.chart.destroy();
      view.card.remove();
      cards.delete(key);
    }
  }
  updateOverview(state);
}

// The overview at the top: one row per device (driver, id linking to its
// card, the measured values, updating and recording), shown from two devices on.
const overviewRows = new Map();  // "driver-id" -> row

function buildOverviewRow(driver, device) {
  const measured = el('td', { class: 'measured' });
  const switches = el('td', { class: 'switches' });
  const row = el('tr', { 'data-device': `${device.driver}-${device.id}` },
    el('td', {}, driver.shortName),
    el('td', {}, el('a', { href: `#${cardId(device)}` }, `Device ${device.id}`)),
    measured, switches);
  return { row, measured, switches };
}

function updateOverview(state) {
  const section = document.getElementById('overview');
  const body = section.querySelector('tbody');
  const seen = new Set();
  for (const device of state.devices) {
    const key = `${device.driver}-${device.id}`;
    seen.add(key);
    let view = overviewRows.get(key);
    if (!view) {
      view = buildOverviewRow(state.drivers[device.driver], device);
      overviewRows.set(key, view);
    }
    body.append(view.row);  // in the state's order: by driver, then by creation
    view.measured.textContent = device.channels.filter((c) => !c.settable)
      .map((c) => `${c.name} ${formatValue(c.value, c.kind)}${c.unit ? ` ${c.unit}` : ''}`).join(' · ');
    view.switches.textContent = `${device.updating ? 'updating' : 'stopped'} · ${device.recording ? 'recording' : 'not recording'}`;
    view.row.classList.toggle('stopped', !device.updating);
  }
  for (const [key, view] of overviewRows) {
    if (!seen.has(key)) {
      view.row.remove();
      overviewRows.delete(key);
    }
  }
  section.hidden = state.devices.length < 2;
}

// Asks the host for as many samples as the chart is wide over the visible range.
async function refreshChart(view) {
  const device = view.device;
  const windowSeconds = Number(document.getElementById('zoom').value);
  const to = device.historySeconds;
  const from = windowSeconds > 0 ? Math.max(0, to - windowSeconds) : 0;
  const points = Math.max(2, Math.min(2000, view.canvas.clientWidth || 600));
  let chart;
  try {
    chart = await api('GET', `${devicePath(device)}/chart?from=${from}&to=${to}&points=${points}`);
  } catch (e) {
    return;
  }
  view.canvas.firstSeconds = chart.firstSeconds;
  chart.values.forEach((values, i) => {
    const dataset = view.chart.data.datasets[i];
    if (dataset) dataset.data = chart.offsets.map((x, k) => ({ x, y: values[k] }));
  });
  const scale = view.chart.options.scales.x;
  scale.min = windowSeconds > 0 ? to - windowSeconds : 0;
  scale.max = Math.max(to, 1);
  view.chart.update('none');
  view.canvas.dataset.points = String(chart.offsets.length);
}

function refreshCharts() {
  for (const view of cards.values()) refreshChart(view);
}

document.getElementById('zoom').addEventListener('change', refreshCharts);
poll();
setInterval(poll, 1000);
setInterval(refreshCharts, 2000);

// The drivers' log lines in a panel of their own, newest last, and on each
// device's chart a mark at the second of every scenario event applied to it.
const scenarioLine = /^Scenario \((.+?)\): device (\d+) at second (\d+(?:\.\d+)?): (.*)$/;
const scenarioMarks = new Map();  // "shortName|id" -> [{ second, what }]
const keptLogLines = 500;
let logAfter = 0;

function buildLogPanel() {
  const list = el('ol', { id: 'log-lines' });
  const panel = el('section', { id: 'log-panel' }, el('h2', {}, 'Driver log'), list);
  document.getElementById('drivers').after(panel);
  return list;
}

async function pollLog(list) {
  let answer;
  try {
    answer = await api('GET', `/api/log?after=${logAfter}`);
  } catch (e) {
    return;
  }
  const atBottom = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
  for (const line of answer.lines) {
    logAfter = line.number;
    const item = el('li', {}, line.text);
    const event = scenarioLine.exec(line.text);
    if (event) {
      item.classList.add('scenario');
      const key = `${event[1]}|${event[2]}`;
      if (!scenarioMarks.has(key)) scenarioMarks.set(key, []);
      scenarioMarks.get(key).push({ second: Number(event[3]), what: event[4] });
    }
    list.append(item);
  }
  while (list.childElementCount > keptLogLines) list.firstElementChild.remove();
  if (atBottom && answer.lines.length) list.scrollTop = list.scrollHeight;
}

// Draws the marks of the chart's device inside the visible range; the count
// drawn is left on the canvas for tests.
Chart.register({
  id: 'scenarioMarks',
  afterDatasetsDraw(chart) {
    const card = chart.canvas.closest('.device');
    if (!card) return;
    const [driver, id] = card.dataset.device.split('-').map(Number);
    const marks = drivers[driver] ? scenarioMarks.get(`${drivers[driver].shortName}|${id}`) : null;
    const { ctx, chartArea, scales } = chart;
    let shown = 0;
    ctx.save();
    ctx.strokeStyle = ctx.fillStyle = '#c2410c';
    ctx.font = '11px sans-serif';
    ctx.setLineDash([4, 3]);
    for (const mark of marks || []) {
      const x = scales.x.getPixelForValue(mark.second);
      if (!(x >= chartArea.left && x <= chartArea.right)) continue;
      shown += 1;
      ctx.beginPath();
      ctx.moveTo(x, chartArea.top);
      ctx.lineTo(x, chartArea.bottom);
      ctx.stroke();
      // The label to the right of its line, or to the left where it would
      // run past the chart's right edge.
      const label = mark.what.split(';').pop().trim().slice(0, 24);
      const fits = x + 3 + ctx.measureText(label).width <= chartArea.right;
      ctx.textAlign = fits ? 'left' : 'right';
      ctx.fillText(label, fits ? x + 3 : x - 3, chartArea.top + 11 * shown);
    }
    ctx.restore();
    chart.canvas.dataset.scenarioMarks = String(shown);
  },
});

const logList = buildLogPanel();
pollLog(logList);
setInterval(() => pollLog(logList), 1000);
