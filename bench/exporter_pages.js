// Response times of the exporter's pages for a host with many disks: the
// daemon on a simulated host with VMS x DISKS traced disks (default 100 x 20),
// the exporter in front of it, and ROUNDS sequential requests per path.
// Prints one line per path: median, 95th percentile, maximum, size.
//   [DAEMON_ARGS="-a -c"] node bench/exporter_pages.js [VMS] [DISKS] [ROUNDS]
// (the daemon runs with DAEMON_ARGS, default "-a -s").
'use strict';

const { startHost, until } = require('../tests/browser/harness');

const [VMS, DISKS, ROUNDS] = [process.argv[2] || 100, process.argv[3] || 20, process.argv[4] || 30].map(Number);

const host = {
  vms: Array.from({ length: VMS }, (_, v) => ({
    worldGroupId: 80000 + v, displayName: `vm-${String(v).padStart(3, '0')}`,
    disks: Array.from({ length: DISKS }, (_, d) => ({
      handleId: 9000 + d, name: `scsi${d >> 4}:${d & 15}`,
      workload: { rate: 5, readFraction: 0.6, sizes: [{ bytes: 4096, weight: 3 }, { bytes: 65536, weight: 1 }] },
    })),
  })),
};

async function timeGet(url) {
  const t0 = process.hrtime.bigint();
  const reply = await fetch(url);
  const body = await reply.arrayBuffer();
  if (!reply.ok) throw new Error(`${url}: ${reply.status}`);
  return [Number(process.hrtime.bigint() - t0) / 1e6, body.byteLength];
}

(async () => {
  const h = await startHost(host, (process.env.DAEMON_ARGS || '-a -s').split(' '));
  try {
    await until(`${VMS * DISKS} disks`, async () => {
      const doc = await (await fetch(h.base + '/api/v1/metrics')).json();
      return doc.metrics && doc.metrics.metricValues.vmWorldGroups.reduce((n, v) => n + v.vmDisks.length, 0) === VMS * DISKS;
    }, 60000);
    console.log(`exporter for ${VMS} VMs x ${DISKS} disks = ${VMS * DISKS} disks, ${ROUNDS} requests per path`);
    for (const p of ['/', '/api/v1/metrics', '/metrics']) {
      const times = [];
      let size = 0;
      for (let i = 0; i < ROUNDS; i++) {
        const [ms, bytes] = await timeGet(h.base + p);
        times.push(ms);
        size = bytes;
      }
      times.sort((a, b) => a - b);
      const q = (f) => times[Math.min(times.length - 1, Math.floor(f * times.length))].toFixed(1);
      console.log(`${p.padEnd(16)} median ${q(0.5).padStart(6)} ms  p95 ${q(0.95).padStart(6)} ms  ` +
        `max ${times[times.length - 1].toFixed(1).padStart(6)} ms  ${(size / 1024).toFixed(0)} KiB`);
    }
  } finally {
    await h.stop();
  }
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
