// The fleet kit against the real exporter: a Prometheus server (Debian's
// `prometheus`) scrapes it with the sample rules loaded; every query of the
// Grafana dashboard must return data, the recording rules must see the slow
// disk, and only its alert may go pending. Skipped without the prometheus binary.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { ROOT, freePort, startHost, until } = require('./harness');

const havePrometheus = spawnSync('prometheus', ['--version'], { stdio: 'ignore' }).status === 0;

// db-01 scsi0:0 answers half of its I/Os in 30 ms: its VethraDiskSlowIO goes pending.
const HOST = { vms: [
  { worldGroupId: 70001, displayName: 'db-01', disks: [
    { handleId: 1, name: 'scsi0:0', workload: { rate: 50, readFraction: 0.5,
      latency: { histogram: [{ us: 30000, weight: 1 }, { us: 200, weight: 1 }] } } },
    { handleId: 2, name: 'scsi0:1', workload: { rate: 100, readFraction: 0.2, sequentialFraction: 0.5 } }] },
  { worldGroupId: 70002, displayName: 'web-01', disks: [{ handleId: 3, name: 'scsi0:0', workload: { rate: 20 } }] }] };

let host, prom, promBase;

async function query(expr) {
  const r = await (await fetch(`${promBase}/api/v1/query?query=${encodeURIComponent(expr)}`)).json();
  assert.equal(r.status, 'success', `${expr}: ${JSON.stringify(r)}`);
  return r.data.result;
}

before(async () => {
  if (!havePrometheus) return;
  host = await startHost(HOST, ['-a', '-s']);
  const dir = path.join(host.dir, 'prometheus');
  fs.mkdirSync(dir);
  fs.copyFileSync(path.join(ROOT, 'contrib/prometheus/vethra-rules.yml'), path.join(dir, 'vethra-rules.yml'));
  fs.writeFileSync(path.join(dir, 'prometheus.yml'), `global: {scrape_interval: 1s, evaluation_interval: 1s}
rule_files: [vethra-rules.yml]
scrape_configs:
  - job_name: vethra
${host.scrapeConfig}    static_configs: [{targets: ["${new URL(host.base).host}"], labels: {host: "hv-test"}}]
`);
  const port = await freePort();
  promBase = `http://127.0.0.1:${port}`;
  prom = spawn('prometheus', [`--config.file=${dir}/prometheus.yml`, `--storage.tsdb.path=${dir}/data`,
    `--web.listen-address=127.0.0.1:${port}`], { stdio: ['ignore', 'ignore', fs.openSync(path.join(dir, 'log'), 'w')] });
  await until('Prometheus', async () => (await fetch(`${promBase}/-/ready`)).ok, 30000);
  await until('ten scrapes', async () => Number((await query('count_over_time(vethra_up[1m])'))[0].value[1]) >= 10, 60000);
});

after(async () => {
  if (prom && prom.exitCode === null) await new Promise((r) => { prom.on('exit', r); prom.kill('SIGTERM'); });
  if (host) await host.stop();
});

test('every query of the Grafana dashboard returns data', { skip: !havePrometheus && 'prometheus is not installed' }, async () => {
  const dash = JSON.parse(fs.readFileSync(path.join(ROOT, 'contrib/grafana/vethra.json'), 'utf8'));
  const targets = [];
  const walk = (panels) => panels.forEach((p) => {
    (p.targets || []).forEach((t) => targets.push([p.title, t.expr]));
    walk(p.panels || []);
  });
  walk(dash.panels);
  assert.ok(targets.length >= 20);
  for (const [title, expr] of targets) {
    const filled = expr.replace(/\$__rate_interval/g, '10s').replace(/\$\{?window\}?/g, '5m|15m|60m')
      .replace(/\$\{?(host|vm|disk)\}?/g, '.*');
    assert.ok((await query(filled)).length > 0, `${title}: ${filled}`);
  }
  for (const v of dash.templating.list.filter((x) => x.type === 'query')) {
    const selector = v.query.query.replace(/^label_values\((.*),\s*(\w+)\)$/, '$1').replace(/\$\{?(\w+)\}?/g, '.*');
    assert.ok((await query(selector)).length > 0, `variable ${v.name}`);
  }
});

test('the rules see the slow disk and nothing else', { skip: !havePrometheus && 'prometheus is not installed' }, async () => {
  const ratio = await query('disk:vethra_io_slower_than_25ms:ratio_rate5m > 0.3');
  assert.deepEqual(ratio.map((s) => `${s.metric.vm} ${s.metric.disk} ${s.metric.direction}`).sort(),
    ['db-01 scsi0:0 read', 'db-01 scsi0:0 write']);
  await until('the pending alerts', async () => (await query('ALERTS{alertname="VethraDiskSlowIO"}')).length === 2);
  const alerts = await query('ALERTS');
  assert.deepEqual(alerts.map((a) => `${a.metric.alertname} ${a.metric.alertstate} ${a.metric.disk} ${a.metric.direction}`).sort(),
    ['VethraDiskSlowIO pending scsi0:0 read', 'VethraDiskSlowIO pending scsi0:0 write']);
  assert.equal((await query('host:vethra_disk_reads:rate5m{host="hv-test"}')).length, 1);
});
