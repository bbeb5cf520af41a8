// vethra dashboard: polls the exporter's /api/v1/metrics and keeps one
// section per VM and one row per disk up to date. Elements are keyed by
// world group id and disk name and reused across refreshes, so open sections
// and the filter survive; VMs and disks that disappear are removed.
//
// History: /api/v1/history holds the exporter's own samples of the last
// minutes. The page loads the host totals of all of them at once, and each
// refresh asks only for the samples after the newest it has, with the disks
// of the VMs that have an open disk; opening a disk of another VM loads that
// VM's retained history once.
'use strict';

const REFRESH_MS = 3000;
const SIZE_BUCKETS = ['lt4k', 'eq4k', 'gt4lt8k', 'eq8k', 'gt8lt16k', 'eq16k', 'gt16lt32k', 'eq32k',
  'gt32lt64k', 'eq64k', 'gt64lt128k', 'eq128k', 'gt128lt256k', 'eq256k', 'gt256lt512k', 'eq512k',
  'gt512klt1m', 'eq1m', 'gt1m'];
const SIZE_LABELS = ['<4K', '4K', '4K-8K', '8K', '8K-16K', '16K', '16K-32K', '32K', '32K-64K', '64K',
  '64K-128K', '128K', '128K-256K', '256K', '256K-512K', '512K', '512K-1M', '1M', '>1M'];
const LAT_BUCKETS = ['1us', '10us', '100us', '500us', '1ms', '5ms', '10ms', '25ms', '50ms', '100ms', 'gt100ms'];
const LAT_LABELS = ['≤1µs', '≤10µs', '≤100µs', '≤500µs', '≤1ms', '≤5ms', '≤10ms', '≤25ms', '≤50ms', '≤100ms', '>100ms'];
// Counter names of each histogram; read and write differ by one letter.
const HISTOGRAMS = [
  ['readSize', 'Read sizes', SIZE_LABELS, SIZE_BUCKETS.map((b) => b + 'rio'), '#2f6fd6'],
  ['writeSize', 'Write sizes', SIZE_LABELS, SIZE_BUCKETS.map((b) => b + 'wio'), '#d9822b'],
  ['readLatency', 'Read latency', LAT_LABELS, LAT_BUCKETS.map((b) => 'rlat' + b), '#2f6fd6'],
  ['writeLatency', 'Write latency', LAT_LABELS, LAT_BUCKETS.map((b) => 'wlat' + b), '#d9822b'],
];
const RATE_FIELDS = ['readIops', 'writeIops', 'readBytesPerSec', 'writeBytesPerSec', 'sequentialPct', 'aligned4kPct'];
const CHANGE_FIELDS = ['changed5m', 'changed15m', 'changed60m'];

const $ = (sel) => document.querySelector(sel);
const vms = new Map();  // worldGroupId -> { el, meta, disks: Map(name -> disk) }

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function human(bytes, suffix) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB'];
  let i = 0;
  while (Math.abs(bytes) >= 1024 && i < units.length - 1) { bytes /= 1024; i++; }
  return (i ? bytes.toFixed(1) : String(Math.round(bytes))) + ' ' + units[i] + suffix;
}

const FORMAT = {
  readIops: (v) => v.toFixed(1), writeIops: (v) => v.toFixed(1),
  readBytesPerSec: (v) => human(v, '/s'), writeBytesPerSec: (v) => human(v, '/s'),
  sequentialPct: (v) => v.toFixed(1) + ' %', aligned4kPct: (v) => v.toFixed(1) + ' %',
  changed5m: (v) => human(v, ''), changed15m: (v) => human(v, ''), changed60m: (v) => human(v, ''),
};

function setField(span, field, value) {
  const known = value !== null && value !== undefined;
  span.dataset.value = known ? String(value) : '';
  span.textContent = known ? FORMAT[field](value) : '–';
  span.classList.toggle('na', !known);
}

// VM sections start open on small hosts and closed on big ones.
const OPEN_UP_TO_DISKS = 60;

function newVm(wg, open) {
  const vm = { el: el('details', 'vm'), meta: el('span', 'meta'), name: el('span'), disks: new Map() };
  vm.el.open = open;
  vm.el.dataset.wg = wg;
  const summary = el('summary');
  summary.append(vm.name, vm.meta);
  vm.el.append(summary);
  $('#vms').append(vm.el);
  return vm;
}

function newDisk(vm, name) {
  const d = { el: el('details', 'disk'), fields: {}, charts: null };
  d.el.dataset.disk = name;
  const row = el('div', 'disk-grid');
  row.append(el('span', 'name', name));
  for (const f of RATE_FIELDS.concat(CHANGE_FIELDS)) {
    d.fields[f] = el('span');
    d.fields[f].dataset.field = f;
    row.append(d.fields[f]);
  }
  const summary = el('summary');
  summary.append(row);
  d.el.append(summary, el('div', 'charts'));
  // Charts exist only while the disk is open: 200 disks stay cheap.
  d.el.addEventListener('toggle', () => {
    if (!d.el.open) { destroyCharts(d); return; }
    drawCharts(d);
    if (!history.vms.has(d.wg)) {
      loadHistory(new Set([...openVms(), d.wg]), true).catch((e) => {
        $('#error').hidden = false;
        $('#error').textContent = 'Cannot load the history: ' + e.message;
      });
    }
  });
  vm.el.append(d.el);
  return d;
}

function drawCharts(d) {
  if (!d.counters) return;
  if (typeof Chart === 'undefined') {
    d.el.querySelector('.charts').textContent = 'The charting library is missing from this build.';
    return;
  }
  if (!d.charts) {
    d.charts = {};
    const lines = el('div', 'history-charts');
    const box = el('div', 'histograms');
    d.el.querySelector('.charts').append(lines, box);
    for (const [key, title, series, unit] of DISK_LINES) d.charts[key] = lineChart(lines, key, title, series, unit);
    for (const [key, title, labels, , color] of HISTOGRAMS) {
      const holder = el('div', 'chart');
      const canvas = el('canvas');
      canvas.dataset.chart = key;
      holder.append(canvas);
      box.append(holder);
      d.charts[key] = new Chart(canvas, {
        type: 'bar',
        data: { labels, datasets: [{ label: 'I/Os', data: [], backgroundColor: color }] },
        options: {
          animation: false, maintainAspectRatio: false,
          plugins: { legend: { display: false }, title: { display: true, text: title } },
          // Every bucket keeps its label: none is skipped for lack of room.
          scales: { x: { ticks: { autoSkip: false, maxRotation: 90, font: { size: 10 } } },
            y: { beginAtZero: true, ticks: { precision: 0 } } },
        },
      });
    }
  }
  drawHistory(d);
  const sinceAdded = $('#hist-mode').value === 'total';
  for (const [key, , , names] of HISTOGRAMS) {
    const chart = d.charts[key];
    // The last interval: this refresh's counters less the previous one's
    // (none yet, or counters that went back: nothing to show).
    chart.data.datasets[0].data = names.map((n) => {
      if (sinceAdded) return d.counters(n);
      const before = d.previous ? d.previous(n) : undefined;
      return before === undefined || d.counters(n) < before ? 0 : d.counters(n) - before;
    });
    chart.canvas.dataset.values = chart.data.datasets[0].data.join(',');
    chart.update('none');
  }
}

function destroyCharts(d) {
  if (!d.charts) return;
  Object.values(d.charts).forEach((c) => c.destroy());
  d.charts = null;
  d.el.querySelector('.charts').replaceChildren();
}

// Every word of the filter must occur in "VM-name world-group-id disk".
function applyFilter(openMatches) {
  const words = $('#filter').value.toLowerCase().split(/\s+/).filter(Boolean);
  const match = (text) => words.every((w) => text.toLowerCase().includes(w));
  for (const vm of vms.values()) {
    let visible = 0;
    for (const [name, d] of vm.disks) {
      d.el.hidden = !match(vm.label + ' ' + name);
      if (!d.el.hidden) visible++;
    }
    vm.el.hidden = words.length > 0 && visible === 0 && !match(vm.label);
    if (openMatches && words.length && !vm.el.hidden) vm.el.open = true;  // show what the filter found
  }
}

function render(data) {
  window.vethraLastData = data;  // the document on screen, for the console
  const error = [data.metricsError, data.changeRateError].filter((e) => e && e !== 'Change rate estimation is disabled');
  $('#error').hidden = error.length === 0;
  $('#error').textContent = error.join(' · ');
  if (!data.metrics) {
    $('#status').textContent = 'No answer from the daemon' + (vms.size ? ' · showing the last sample' : '');
    return;
  }

  const index = new Map(data.metrics.vethraMetrics.metricFields.map((n, i) => [n, i]));
  const key = (wg, disk) => wg + '/' + disk;
  const rates = new Map((data.rates.disks || []).map((r) => [key(r.worldGroupId, r.vscsiDevName), r]));
  const changes = new Map();
  for (const vm of data.changeRate ? data.changeRate.changeRateValues.vmWorldGroups : []) {
    for (const d of vm.vmDisks) changes.set(key(vm.worldGroupId, d.vscsiDevName), d.changeRates);
  }

  const seen = new Set();
  let diskCount = 0;
  const all = data.metrics.metricValues.vmWorldGroups;
  const open = all.reduce((n, v) => n + v.vmDisks.length, 0) <= OPEN_UP_TO_DISKS;
  for (const v of all) {
    seen.add(v.worldGroupId);
    const vm = vms.get(v.worldGroupId) || vms.set(v.worldGroupId, newVm(v.worldGroupId, open)).get(v.worldGroupId);
    vm.label = v.vmName + ' ' + v.worldGroupId;
    vm.name.textContent = v.vmName;
    vm.meta.textContent = `world group ${v.worldGroupId} · ${v.uuid} · ${v.vmDisks.length} disk(s)`;
    const diskSeen = new Set();
    for (const disk of v.vmDisks) {
      diskSeen.add(disk.vscsiDevName);
      diskCount++;
      const d = vm.disks.get(disk.vscsiDevName) || vm.disks.set(disk.vscsiDevName, newDisk(vm, disk.vscsiDevName)).get(disk.vscsiDevName);
      const r = rates.get(key(v.worldGroupId, disk.vscsiDevName)) || {};
      RATE_FIELDS.forEach((f) => setField(d.fields[f], f, r[f]));
      const c = changes.get(key(v.worldGroupId, disk.vscsiDevName)) || [];
      CHANGE_FIELDS.forEach((f, i) => setField(d.fields[f], f, c[i]));
      d.previous = d.counters && d.countersTime < data.metrics.metricValues.timeStamp ? d.counters : d.previous;
      d.countersTime = data.metrics.metricValues.timeStamp;
      d.counters = (name) => disk.ioCounters[index.get(name)];
      d.wg = v.worldGroupId;
      d.key = key(v.worldGroupId, disk.vscsiDevName);
      if (d.el.open) drawCharts(d);
    }
    for (const [name, d] of vm.disks) {
      if (!diskSeen.has(name)) { destroyCharts(d); d.el.remove(); vm.disks.delete(name); }
    }
  }
  for (const [wg, vm] of vms) {
    if (!seen.has(wg)) { vm.disks.forEach(destroyCharts); vm.el.remove(); vms.delete(wg); }
  }
  applyFilter();
  $('#empty').hidden = vms.size > 0;
  const interval = data.rates.intervalSeconds;
  const cr = data.changeRate ? '' : ' · change rate off';
  $('#status').textContent = `${vms.size} VM(s), ${diskCount} disk(s) · updated ` +
    new Date(data.metrics.metricValues.timeStamp * 1000).toLocaleTimeString() +
    (interval ? ` · rates over ${interval.toFixed(1)} s` : ' · rates from the next refresh') + cr;
}

async function refresh() {
  try {
    const reply = await fetch('/api/v1/metrics', { cache: 'no-store' });
    if (!reply.ok) throw new Error(`the exporter answered ${reply.status}`);
    render(await reply.json());
    await loadHistory(openVms(), false);
  } catch (e) {
    $('#error').hidden = false;
    $('#error').textContent = 'Cannot reach the exporter: ' + e.message;
  }
  document.body.dataset.refreshes = Number(document.body.dataset.refreshes || 0) + 1;
  setTimeout(refresh, REFRESH_MS);
}

/* ==== History ==== */

const HOST_LINES = [
  ['hostIops', 'Host IOPS', [['readIops', 'read', '--read'], ['writeIops', 'write', '--write']], 'iops'],
  ['hostThroughput', 'Host throughput', [['readBytesPerSecond', 'read', '--read'],
    ['writeBytesPerSecond', 'write', '--write']], 'bytes'],
];
const DISK_LINES = [
  ['iops', 'IOPS', [['readIops', 'read', '--read'], ['writeIops', 'write', '--write']], 'iops'],
  ['throughput', 'Throughput', [['readBytesPerSecond', 'read', '--read'], ['writeBytesPerSecond', 'write', '--write']], 'bytes'],
  ['latency', 'Latency', [['readLatencyP50Seconds', 'read p50', '--read'], ['readLatencyP99Seconds', 'read p99', '--read-dark'],
    ['writeLatencyP50Seconds', 'write p50', '--write'], ['writeLatencyP99Seconds', 'write p99', '--write-dark']], 'seconds'],
];
const UNIT_FORMAT = {
  iops: (v) => v.toFixed(1) + ' IOPS',
  bytes: (v) => human(v, '/s'),
  seconds: (v) => (v >= 0.1 ? v.toFixed(2) + ' s' : v >= 0.001 ? (v * 1e3).toFixed(2) + ' ms' : (v * 1e6).toFixed(0) + ' µs'),
};

// Samples the page holds: host totals of every sample, and per disk the
// points of the VMs whose history has been loaded ("wg/disk" -> Map(time -> point)).
const history = { interval: 5, span: 900, last: null, times: [], totals: new Map(), disks: new Map(), vms: new Set() };

const leadingDigit = (v) => Math.round(v / 10 ** Math.floor(Math.log10(v) + 1e-9));
const cssVar = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();
const clock = (ms) => new Date(ms).toLocaleTimeString();

function lineChart(box, key, title, series, unit) {
  const holder = el('div', 'chart line');
  const canvas = el('canvas');
  canvas.dataset.chart = key;
  holder.append(canvas);
  box.append(holder);
  if (typeof Chart === 'undefined') return null;
  return new Chart(canvas, {
    type: 'line',
    data: { datasets: series.map(([field, label, color]) => ({ label, field, data: [], borderColor: cssVar(color),
      backgroundColor: cssVar(color), pointRadius: 0, borderWidth: 1.5, spanGaps: false })) },
    options: {
      animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
      interaction: { mode: 'index', intersect: false },
      plugins: { title: { display: true, text: title }, legend: { labels: { boxWidth: 12 } },
        tooltip: { callbacks: { title: (items) => (items.length ? clock(items[0].parsed.x) : ''),
          label: (item) => `${item.dataset.label}: ${UNIT_FORMAT[unit](item.parsed.y)}` } } },
      // Latencies span decades (p50 in µs, p99 in ms): a logarithmic axis shows both.
      scales: { x: { type: 'linear', ticks: { callback: clock, maxTicksLimit: 8 } },
        y: unit === 'seconds'
          ? { type: 'logarithmic', ticks: { callback: (v) => ([1, 5].includes(leadingDigit(v)) ? UNIT_FORMAT[unit](v) : '') } }
          : { beginAtZero: true, ticks: { callback: (v) => UNIT_FORMAT[unit](v), maxTicksLimit: 6 } } },
    },
  });
}

// Series of one chart on the shared time axis; a missing sample (no base,
// or the daemon did not answer) is a gap, never a zero.
function fillChart(chart, valueAt) {
  if (!chart) return;
  const xs = history.times;
  let points = 0;
  for (const ds of chart.data.datasets) {
    ds.data = [];
    for (let i = 0; i < xs.length; i++) {
      if (i > 0 && xs[i] - xs[i - 1] > 1.5 * history.interval) ds.data.push({ x: (xs[i - 1] + history.interval) * 1000, y: null });
      const v = valueAt(xs[i], ds.field);
      ds.data.push({ x: xs[i] * 1000, y: v === undefined ? null : v });
      if (v !== undefined) points++;
    }
  }
  if (xs.length) {
    chart.options.scales.x.min = Math.max(xs[0], xs[xs.length - 1] - history.span) * 1000;
    chart.options.scales.x.max = xs[xs.length - 1] * 1000;
  }
  chart.canvas.dataset.points = String(points);
  chart.canvas.dataset.first = xs.length ? String(xs[0]) : '';
  chart.update('none');
}

function drawHistory(d) {
  if (!d.charts) return;
  const series = history.disks.get(d.key);
  for (const [key] of DISK_LINES) fillChart(d.charts[key], (t, field) => series && series.get(t) && series.get(t)[field]);
}

function drawHost() {
  if (!history.hostCharts) {
    history.hostCharts = {};
    for (const [key, title, series, unit] of HOST_LINES) history.hostCharts[key] = lineChart($('#host'), key, title, series, unit);
  }
  for (const [key] of HOST_LINES) fillChart(history.hostCharts[key], (t, field) => (history.totals.get(t) || {})[field]);
}

// World group ids of the VMs with an open disk.
function openVms() {
  const open = new Set();
  for (const [wg, vm] of vms) for (const d of vm.disks.values()) if (d.el.open) open.add(wg);
  return open;
}

// One request: the new samples of the host, with the disks of `wgs`; with
// `full`, every retained sample of those VMs (a disk was just opened).
async function loadHistory(wgs, full) {
  const params = [];
  if (!full && history.last !== null) params.push('since=' + history.last);
  for (const wg of wgs) params.push('worldGroupId=' + wg);
  if (!wgs.size) params.push('disks=none');
  const reply = await fetch('/api/v1/history?' + params.join('&'), { cache: 'no-store' });
  if (!reply.ok) throw new Error(`the exporter answered ${reply.status} for the history`);
  const doc = await reply.json();
  history.interval = doc.intervalSeconds;
  history.span = doc.historySeconds || history.span;
  for (const s of doc.samples) {
    if (!history.totals.has(s.time)) { history.totals.set(s.time, s.totals); history.times.push(s.time); }
    for (const p of s.disks) {
      const k = p.worldGroupId + '/' + p.disk;
      if (!history.disks.has(k)) history.disks.set(k, new Map());
      history.disks.get(k).set(s.time, p);
    }
  }
  history.times.sort((a, b) => a - b);
  if (history.times.length) history.last = history.times[history.times.length - 1];
  // What the exporter no longer keeps goes here too.
  const oldest = history.last - history.span;
  while (history.times.length && history.times[0] <= oldest) history.totals.delete(history.times.shift());
  for (const [k, series] of history.disks) {
    for (const t of series.keys()) if (t <= oldest) series.delete(t);
    if (!series.size) history.disks.delete(k);
  }
  for (const wg of wgs) history.vms.add(wg);
  for (const wg of history.vms) if (!wgs.has(wg)) history.vms.delete(wg);  // closed: reloaded in full when opened again
  drawHost();
  for (const vm of vms.values()) for (const d of vm.disks.values()) if (d.el.open) drawHistory(d);
  document.body.dataset.historySamples = String(history.times.length);
}

$('#filter').addEventListener('input', () => applyFilter(true));
$('#hist-mode').addEventListener('change', () => {
  for (const vm of vms.values()) for (const d of vm.disks.values()) if (d.el.open) drawCharts(d);
});
refresh();
