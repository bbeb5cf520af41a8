// Drives the exporter's dashboard in the system's headless Chromium against a
// real daemon on a simulated host (see ./harness). Each test opens a page of its
// own on the shared host, so that no page state carries over to the next test.
// Environment: VETHRA_BUILD_DIR (default <repo>/build), VETHRA_BINARY,
// VETHRACTL_BINARY, CHROMIUM (default /usr/bin/chromium), SCREENSHOT (where
// to write the page's picture; default a temporary file, or
// docs/images/dashboard.png with VETHRA_UPDATE_SCREENSHOT=1).
'use strict';

const { test, before, after, beforeEach, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { ROOT, VETHRACTL, startHost, until } = require('./harness');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const SCREENSHOT = process.env.SCREENSHOT || (process.env.VETHRA_UPDATE_SCREENSHOT === '1'
  ? path.join(ROOT, 'docs/images/dashboard.png') : path.join(os.tmpdir(), 'vethra-dashboard.png'));
const CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Three VMs: db-01 busy on one disk and silent on the other (the injection
// target), web-01 busy, batch-01 silent (powered off during the test), and a
// VM with twelve quiet disks for the filter.
const HOST = {
  vms: [
    { worldGroupId: 70001, displayName: 'db-01', disks: [
      { handleId: 8001, name: 'scsi0:0', workload: { rate: 400, readFraction: 0.7, sizes: [{ bytes: 8192, weight: 1 }],
        latency: { histogram: [{ us: 150, weight: 6 }, { us: 800, weight: 3 }, { us: 30000, weight: 1 }] } } },
      { handleId: 8002, name: 'scsi0:1' }] },
    { worldGroupId: 70002, displayName: 'web-01', disks: [
      { handleId: 8003, name: 'scsi0:0', workload: { rate: 200, readFraction: 0.95, sequentialFraction: 0.9,
        sizes: [{ bytes: 65536, weight: 2 }, { bytes: 4096, weight: 1 }] } }] },
    { worldGroupId: 70003, displayName: 'batch-01', disks: [{ handleId: 8005, name: 'scsi0:0' }] },
    { worldGroupId: 70004, displayName: 'fileserver-01',
      disks: Array.from({ length: 12 }, (_, i) => ({ handleId: 8100 + i, name: `scsi${i >> 2}:${i & 3}`,
        workload: { rate: 5 + i, readFraction: 0.5 } })) },
  ],
};

let host, context, page, base;
const origins = new Set();  // the exporters the pages may fetch from
let consoleErrors, foreignRequests, apiBodies;

const api = async () => (await fetch(base + '/api/v1/metrics')).json();

// The counter `name` of disk `disk` of VM `wg` in a document of the JSON endpoint.
function counter(doc, wg, disk, name) {
  const d = doc.metrics.metricValues.vmWorldGroups.find((v) => v.worldGroupId === wg).vmDisks.find((x) => x.vscsiDevName === disk);
  return d.ioCounters[doc.metrics.vethraMetrics.metricFields.indexOf(name)];
}

// Waits until the page has rendered a refresh that started after this call.
async function nextRefresh() {
  const n = await page.evaluate(() => Number(document.body.dataset.refreshes || 0));
  await page.waitForFunction((k) => Number(document.body.dataset.refreshes || 0) >= k + 2, n, { timeout: 15000 });
}

const diskSelector = (wg, disk) => `details.vm[data-wg="${wg}"] details.disk[data-disk="${disk}"]`;

// How many pixels of the canvas at `sel` on page `p` are painted.
const painted = (p, sel) => p.$eval(sel, (c) => c.getContext('2d').getImageData(0, 0, c.width, c.height).data
  .filter((v, i) => i % 4 === 3 && v > 0).length);

before(async () => {
  assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} is missing`);
  // Samples every 2 s, so that the history fills in a few seconds.
  host = await startHost(HOST, ['-a', '-s'], ['--sample-interval', '2']);
  base = host.base;
  origins.add(base);
  assert.match(await (await fetch(base + '/')).text(), /id="vms"/, 'this vethractl does not serve the dashboard page');
  await until('four VMs in the metrics', async () => (await api()).metrics.metricValues.vmWorldGroups.length === 4);

  context = await chromium.launchPersistentContext(path.join(host.dir, 'profile'), {
    executablePath: CHROMIUM, headless: true, args: CHROMIUM_FLAGS, viewport: { width: 1280, height: 1000 },
    ...host.contextOptions,
  });
  // Everything must come from the exporter: any other address is refused and noted.
  await context.route('**/*', (route) => {
    const url = new URL(route.request().url());
    if (origins.has(url.origin) || url.protocol === 'data:') return route.continue();
    foreignRequests.push(url.href);
    return route.abort();
  });
});

// A fresh page on `url`, with its console errors, foreign requests and API
// replies noted from the start.
async function openPage(url) {
  consoleErrors = [];
  foreignRequests = [];
  apiBodies = [];
  page = await context.newPage();
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => consoleErrors.push(String(e)));
  page.on('response', async (r) => {
    if (r.url().endsWith('/api/v1/metrics')) apiBodies.push(await r.json().catch(() => null));
  });
  await page.goto(url + '/');
  await nextRefresh();
}

beforeEach(() => openPage(base));
afterEach(() => page.close());

after(async () => {
  if (context) await context.close();
  if (host) await host.stop();
});

test('lists every VM and disk that the daemon reports, with the values that the JSON endpoint returned', async () => {
  await nextRefresh();
  const { data, vms, cells } = await page.evaluate(() => ({
    data: window.vethraLastData,
    vms: [...document.querySelectorAll('details.vm')].map((vm) => ({
      wg: Number(vm.dataset.wg), name: vm.querySelector('summary > span').textContent,
      disks: [...vm.querySelectorAll('details.disk')].map((d) => d.dataset.disk),
    })),
    cells: [...document.querySelectorAll('details.disk')].map((d) => ({
      wg: Number(d.closest('details.vm').dataset.wg), disk: d.dataset.disk,
      fields: Object.fromEntries([...d.querySelectorAll('[data-field]')].map((s) => [s.dataset.field, [s.dataset.value, s.textContent]])),
    })),
  }));
  assert.deepEqual(vms, data.metrics.metricValues.vmWorldGroups.map((v) => ({ wg: v.worldGroupId, name: v.vmName, disks: v.vmDisks.map((d) => d.vscsiDevName) })));
  assert.deepEqual(vms.map((v) => `${v.name} ${v.disks.length}`).sort(), ['batch-01 1', 'db-01 2', 'fileserver-01 12', 'web-01 1']);
  // What the page shows is what the exporter sent it.
  assert.ok(apiBodies.some((b) => JSON.stringify(b) === JSON.stringify(data)), 'rendered data was never served');
  assert.ok(data.rates.intervalSeconds > 0);
  const busy = data.rates.disks.find((r) => r.worldGroupId === 70001 && r.vscsiDevName === 'scsi0:0');
  assert.ok(busy.readIops > 0 && busy.writeIops > 0, 'the busy disk shows I/O');
  for (const c of cells) {
    const r = data.rates.disks.find((x) => x.worldGroupId === c.wg && x.vscsiDevName === c.disk) || {};
    for (const f of ['readIops', 'writeIops', 'readBytesPerSec', 'writeBytesPerSec', 'sequentialPct', 'aligned4kPct']) {
      assert.equal(c.fields[f][0], r[f] === null || r[f] === undefined ? '' : String(r[f]), `${c.wg}/${c.disk} ${f}`);
    }
    const cr = data.changeRate.changeRateValues.vmWorldGroups.find((v) => v.worldGroupId === c.wg)
      .vmDisks.find((d) => d.vscsiDevName === c.disk).changeRates;
    assert.deepEqual(['changed5m', 'changed15m', 'changed60m'].map((f) => Number(c.fields[f][0])), cr);
  }
  const cell = cells.find((c) => c.wg === 70001 && c.disk === 'scsi0:0').fields;
  assert.equal(cell.readIops[1], busy.readIops.toFixed(1));
  assert.match(cell.readBytesPerSec[1], /^\d+(\.\d)? (B|KiB|MiB)\/s$/);
});

// Opens the disk unless it is open already.
async function openDisk(wg, disk) {
  if (!await page.$eval(diskSelector(wg, disk), (d) => d.open)) await page.click(diskSelector(wg, disk) + ' > summary');
}

test('draws the size and latency histograms of an opened disk, every bucket labelled', async () => {
  const sel = diskSelector(70001, 'scsi0:0');
  await page.selectOption('#hist-mode', 'total');
  await openDisk(70001, 'scsi0:0');
  await nextRefresh();
  const { data, charts } = await page.evaluate((s) => ({  // the charts and the data of one refresh
    data: window.vethraLastData,
    charts: [...document.querySelectorAll(s + ' .histograms canvas')].map((c) => [c.dataset.chart, c.dataset.values.split(',').map(Number)]),
  }), sel);
  assert.deepEqual(charts.map(([key]) => key), ['readSize', 'writeSize', 'readLatency', 'writeLatency']);
  for (const [key] of charts) {
    assert.ok(await painted(page, `${sel} canvas[data-chart="${key}"]`) > 1000, `${key} has pixels`);
  }
  const [[, readSize], [, writeSize], [, readLat], [, writeLat]] = charts;
  const n = (name) => counter(data, 70001, 'scsi0:0', name);
  assert.ok(n('eq8krio') > 0 && n('wio') > 0);
  assert.equal(readSize[3], n('eq8krio'));  // the 8K bucket
  assert.equal(writeSize[3], n('eq8kwio'));
  assert.equal(readLat[3], n('rlat500us'));  // 150 µs
  assert.equal(readLat[4], n('rlat1ms'));    // 800 µs
  assert.equal(writeLat[8], n('wlat50ms'));  // 30 ms
  assert.equal(writeSize.reduce((a, b) => a + b), n('wio'), 'every write is in one size bucket');

  // At 1280 px no bucket label is skipped, and neighbouring labels do not overlap.
  const scales = await page.$$eval(sel + ' .histograms canvas', (cs) => cs.map((c) => {
    const x = Chart.getChart(c).scales.x;
    const px = x.ticks.map((_, i) => x.getPixelForTick(i));
    const gap = Math.min(...px.slice(1).map((p, i) => p - px[i]));
    const size = x.options.ticks.font.size;
    const rad = (x.labelRotation * Math.PI) / 180;
    x.ctx.save();
    x.ctx.font = `${size}px ${Chart.defaults.font.family}`;
    const widest = Math.max(...x.ticks.map((t) => x.ctx.measureText(t.label).width));
    x.ctx.restore();
    return { labels: x.getLabels().length, ticks: x.ticks.length, gap, need: Math.min(widest * Math.cos(rad) + size * Math.sin(rad), size / Math.sin(rad || 1e-9)) };
  }));
  for (const sc of scales) {
    assert.equal(sc.ticks, sc.labels, 'every bucket has its label');
    assert.ok(sc.gap >= sc.need, `labels ${sc.gap.toFixed(1)} px apart need ${sc.need.toFixed(1)} px`);
  }
});

test('updates after new records are injected; the last interval shows only the new ones', async () => {
  await page.selectOption('#hist-mode', 'total');
  const sel = diskSelector(70001, 'scsi0:1');
  await openDisk(70001, 'scsi0:1');
  await nextRefresh();
  const values = (key) => page.$eval(`${sel} canvas[data-chart="${key}"]`, (c) => c.dataset.values.split(',').map(Number));
  assert.deepEqual(await values('readSize'), new Array(19).fill(0), 'the silent disk starts empty');
  const records = (n, opcode, length, lba, latency) => Array.from({ length: n }, (_, i) => ({ opcode, worldGroupId: 70001,
    handleId: 8002, length, lba: lba + (length / 512) * i, latency }));
  const reads = records(10, 0x28, 4096, 0, 150), writes = records(5, 0x2a, 65536, 4096, 7000);
  assert.equal((await host.control({ op: 'inject', records: reads.concat(writes) })).appended, 15);
  await host.control({ op: 'drain' });
  await until('the injected records on the page', async () => (await values('readSize'))[1] === 10);
  assert.equal((await values('writeSize'))[9], 5);     // the 64K bucket
  assert.equal((await values('readLatency'))[3], 10);  // ≤ 500 µs
  assert.equal((await values('writeLatency'))[6], 5);  // ≤ 10 ms
  // Since then nothing happened on this disk: the last interval is empty.
  await page.selectOption('#hist-mode', 'interval');
  await nextRefresh();
  assert.deepEqual(await values('readSize'), new Array(19).fill(0));
  assert.deepEqual(await values('writeLatency'), new Array(11).fill(0));
  await page.selectOption('#hist-mode', 'total');
  assert.equal((await values('readSize'))[1], 10);
});

test('a freshly opened page shows the history from before it was opened; values agree with counter deltas', async () => {
  const rio = (doc) => counter(doc, 70001, 'scsi0:0', 'rio');
  const history = async (query = '') => (await fetch(base + '/api/v1/history' + query)).json();
  // The daemon's counters now, then again after a few of the exporter's samples.
  const t1 = Date.now() / 1000;
  const d1 = await api();
  await until('four samples after the first reading', async () => (await history('?since=' + t1)).samples.length >= 4);
  const d2 = await api();
  const t2 = Date.now() / 1000;
  const h = await history('?worldGroupId=70001');
  assert.equal(h.intervalSeconds, 2);
  // Each sample covers the interval since the one before it.
  let sum = 0, largest = 0;
  for (let i = 1; i < h.samples.length; i++) {
    const s = h.samples[i];
    if (s.time <= t1 || s.time > t2) continue;
    const p = s.disks.find((x) => x.disk === 'scsi0:0');
    assert.ok(p, `a point at ${s.time}`);
    const n = p.readIops * (s.time - h.samples[i - 1].time);
    sum += n;
    largest = Math.max(largest, n);
  }
  const delta = rio(d2) - rio(d1);
  assert.ok(delta > 0);
  assert.ok(Math.abs(sum - delta) <= largest * 1.1, `history ${sum.toFixed(0)} reads, daemon ${delta} (one sample: ${largest.toFixed(0)})`);

  await page.close();  // the page of this test is opened now
  const opened = Date.now() / 1000;
  await openPage(base);
  await page.waitForFunction(() => Number(document.querySelector('#host canvas[data-chart="hostIops"]')?.dataset.points) > 0);
  const first = Number(await page.$eval('#host canvas[data-chart="hostIops"]', (c) => c.dataset.first));
  assert.ok(first < opened - 4, `the host chart starts at ${first}, the page was opened at ${opened}`);
  assert.ok(await painted(page, '#host canvas[data-chart="hostThroughput"]') > 1000, 'the throughput chart is drawn');
  // Opening a disk draws its history at once, points from before it was opened included.
  const sel = diskSelector(70002, 'scsi0:0');
  await page.click(sel + ' > summary');
  await page.waitForFunction((s) => Number(document.querySelector(s + ' canvas[data-chart="latency"]')?.dataset.points) > 0, sel);
  for (const key of ['iops', 'throughput', 'latency']) {
    const c = await page.$eval(`${sel} canvas[data-chart="${key}"]`, (x) => ({ points: Number(x.dataset.points), first: Number(x.dataset.first) }));
    assert.ok(c.points >= 4 && c.first < opened, `${key}: ${c.points} points from ${c.first}`);
  }
  // Hovering shows the values at a time.
  const box = await page.$eval(`${sel} canvas[data-chart="iops"]`, (c) => { const r = c.getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; });
  await page.mouse.move(box[0] + box[2] * 0.8, box[1] + box[3] / 2);
  const tip = await page.$eval(`${sel} canvas[data-chart="iops"]`, (c) => Chart.getChart(c).tooltip.body.map((b) => b.lines.join(' ')));
  assert.ok(tip.some((t) => /^read: \d+\.\d IOPS$/.test(t)), tip.join(' | '));
});

test('filters VMs and disks', async () => {
  await page.fill('#filter', 'web');
  const visible = () => page.$$eval('details.vm', (vms) => vms.filter((v) => !v.hidden).map((v) => v.dataset.wg));
  assert.deepEqual(await visible(), ['70002']);
  await page.fill('#filter', 'scsi2:');
  assert.deepEqual(await visible(), ['70004']);
  assert.equal(await page.$$eval('details.vm[data-wg="70004"] details.disk:not([hidden])', (d) => d.length), 4);
  await page.fill('#filter', 'DB  scsi0:1');  // every word must match, in any case
  assert.deepEqual(await visible(), ['70001']);
  assert.deepEqual(await page.$$eval('details.vm[data-wg="70001"] details.disk:not([hidden])', (d) => d.map((x) => x.dataset.disk)), ['scsi0:1']);
  await page.fill('#filter', '');
  assert.equal((await visible()).length, 4);
});

test('keeps working when a VM is powered off and when one is added', async () => {
  await host.control({ op: 'powerOff', worldGroupId: 70003 });
  await page.waitForSelector('details.vm[data-wg="70003"]', { state: 'detached', timeout: 15000 });
  await nextRefresh();
  assert.equal(await page.$$eval('details.vm', (v) => v.length), 3);
  assert.match(await page.textContent('#status'), /^3 VM\(s\), 15 disk\(s\)/);

  await host.control({ op: 'powerOn', worldGroupId: 70003 });
  execFileSync(VETHRACTL, ['--socket', host.socket, 'add', '70003']);
  await page.waitForSelector(diskSelector(70003, 'scsi0:0'), { timeout: 15000 });
  assert.equal(await page.$$eval('details.vm', (v) => v.length), 4);
});

test('takes a screenshot, with no console errors and nothing fetched from elsewhere', async () => {
  await page.evaluate(() => {  // one disk open in the picture, with its history
    document.querySelectorAll('details.disk[open]').forEach((d) => { d.open = false; });
    document.querySelector('details.vm[data-wg="70004"]').open = false;
  });
  await page.selectOption('#hist-mode', 'interval');
  await openDisk(70001, 'scsi0:0');
  await page.waitForFunction((sel) => Number(document.querySelector(sel + ' canvas[data-chart="iops"]')?.dataset.points) > 4,
    diskSelector(70001, 'scsi0:0'), { timeout: 20000 });
  await nextRefresh();
  fs.mkdirSync(path.dirname(SCREENSHOT), { recursive: true });
  await page.screenshot({ path: SCREENSHOT, fullPage: true });
  assert.deepEqual(consoleErrors, []);
  assert.deepEqual(foreignRequests, []);
});

test('reports a daemon that went away and keeps the last sample', async () => {
  // A host of its own: the shared one stays up for the other tests.
  const own = await startHost({ vms: HOST.vms.slice(0, 2) });
  try {
    origins.add(own.base);
    await page.close();
    await openPage(own.base);
    await own.killDaemon();
    await page.waitForSelector('#error:not([hidden])', { timeout: 15000 });
    assert.match(await page.textContent('#error'), /vethra is not running/);
    assert.match(await page.textContent('#status'), /^No answer from the daemon · showing the last sample/);
    assert.equal(await page.$$eval('details.vm', (v) => v.length), 2);
    assert.deepEqual(consoleErrors, []);
  } finally {
    await own.stop();
  }
});
