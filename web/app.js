// vethra dashboard: polls the exporter's /api/v1/metrics and keeps one
// section per VM and one row per disk up to date. Elements are keyed by
// world group id and disk name and reused across refreshes, so open sections
// and the filter survive; VMs and disks that disappear are removed.
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
    if (d.el.open) { drawCharts(d); } else { destroyCharts(d); }
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
    const box = d.el.querySelector('.charts');
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
          scales: { y: { beginAtZero: true, ticks: { precision: 0 } } },
        },
      });
    }
  }
  for (const [key, , , names] of HISTOGRAMS) {
    const chart = d.charts[key];
    chart.data.datasets[0].data = names.map((n) => d.counters(n));
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
      d.counters = (name) => disk.ioCounters[index.get(name)];
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
  } catch (e) {
    $('#error').hidden = false;
    $('#error').textContent = 'Cannot reach the exporter: ' + e.message;
  }
  document.body.dataset.refreshes = Number(document.body.dataset.refreshes || 0) + 1;
  setTimeout(refresh, REFRESH_MS);
}

$('#filter').addEventListener('input', () => applyFilter(true));
refresh();
