// Starts the daemon on a simulated host and the exporter in front of it, for
// the browser test and the endpoint benchmark. The daemon runs in private
// mount and PID namespaces whose /run is a temporary directory, so its socket
// /var/run/vethra.uds appears there and its single-instance check does not
// see other daemons on the machine; the exporter runs outside on that socket.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '../..');
const BUILD = process.env.VETHRA_BUILD_DIR || path.join(ROOT, 'build');
const VETHRA = process.env.VETHRA_BINARY || path.join(BUILD, 'src/vethra');
const VETHRACTL = process.env.VETHRACTL_BINARY || path.join(BUILD, 'tools/vethractl');

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    }).on('error', reject);
  });
}

async function until(what, fn, timeoutMs = 20000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    try {
      const v = await fn();
      if (v) return v;
    } catch (e) {
      if (Date.now() > end) throw e;
    }
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 200));
  }
}

// Starts both processes for the host description `host` with the daemon's
// options `args` and the exporter's extra options `exporterArgs`. Resolves to
// { dir, socket, base, control(request), killDaemon(), stop() }.
async function startHost(host, args = ['-a', '-s'], exporterArgs = []) {
  for (const f of [VETHRA, VETHRACTL]) if (!fs.existsSync(f)) throw new Error(`${f} is missing: build it first`);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vethra-browser-'));
  fs.mkdirSync(path.join(dir, 'run'));
  fs.writeFileSync(path.join(dir, 'host.json'), JSON.stringify(host));
  const daemon = spawn('unshare', ['--mount', '--pid', '--fork', '--kill-child', '--mount-proc', 'sh', '-c',
    `mount --bind "${dir}/run" /run && exec "${VETHRA}" ${args.join(' ')}`], {
    env: { ...process.env, HOSTSIM_CONFIG: path.join(dir, 'host.json'), HOSTSIM_CONTROL: path.join(dir, 'hostsim.ctl') },
    stdio: ['ignore', 'inherit', 'inherit'],
  });
  const socket = path.join(dir, 'run/vethra.uds');
  const port = await freePort();
  const base = `http://127.0.0.1:${port}`;
  let exporter = null;
  const stop = async () => {
    // unshare ignores SIGTERM while it waits; SIGKILL takes the daemon along (--kill-child).
    const stops = [[exporter, 'SIGTERM'], [daemon, 'SIGKILL']].filter(([p]) => p && p.exitCode === null)
      .map(([p, sig]) => new Promise((resolve) => { p.on('exit', resolve); p.kill(sig); }));
    await Promise.all(stops);
    fs.rmSync(dir, { recursive: true, force: true });
  };
  try {
    await until('the daemon socket', () => fs.existsSync(socket));
    exporter = spawn(VETHRACTL, ['--socket', socket, 'exporter', '--listen', `127.0.0.1:${port}`, ...exporterArgs],
      { stdio: ['ignore', 'inherit', 'inherit'] });
    await until('the exporter', async () => (await fetch(base + '/')).ok);
  } catch (e) {
    await stop();
    throw e;
  }
  const control = (request) => new Promise((resolve, reject) => {
    const sock = net.createConnection(path.join(dir, 'hostsim.ctl'));
    let data = '';
    sock.on('connect', () => sock.write(JSON.stringify(request) + '\n'));
    sock.on('data', (chunk) => {
      data += chunk;
      if (!data.includes('\n')) return;
      sock.end();
      const reply = JSON.parse(data);
      if (reply.error) reject(new Error(`hostsim ${request.op}: ${reply.error}`));
      else resolve(reply);
    });
    sock.on('error', reject);
  });
  const killDaemon = () => new Promise((resolve) => {
    if (daemon.exitCode !== null) return resolve();
    daemon.on('exit', resolve);
    daemon.kill('SIGKILL');
  });
  return { dir, socket, base, control, killDaemon, stop };
}

module.exports = { ROOT, VETHRACTL, freePort, startHost, until };
