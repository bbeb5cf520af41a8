// Starts the daemon on a simulated host and the exporter in front of it, for
// the browser tests and the endpoint benchmark. The daemon runs in private
// mount and PID namespaces whose /run is a temporary directory (its socket
// appears there, its single-instance check sees no other daemon); the exporter
// runs outside on that socket. With VETHRA_BROWSER_TLS=1 the exporter serves
// HTTPS with basic authentication; fetch() of the tests, host.contextOptions
// (Chromium) and host.scrapeConfig (Prometheus) trust its CA and log in.
'use strict';

const { spawn, execFileSync } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const https = require('node:https');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { buffer } = require('node:stream/consumers');
const { setTimeout: sleep } = require('node:timers/promises');

const ROOT = path.resolve(__dirname, '../..');
const BUILD = process.env.VETHRA_BUILD_DIR || path.join(ROOT, 'build');
const VETHRA = process.env.VETHRA_BINARY || path.join(BUILD, 'src/vethra');
const VETHRACTL = process.env.VETHRACTL_BINARY || path.join(BUILD, 'tools/vethractl');

const TLS = process.env.VETHRA_BROWSER_TLS === '1';
const USER = 'prometheus';
const PASSWORD = 'browser-test';
const PASSWORD_HASH = '$2b$04$f41r21DVDmmiZuMpgqIHbO5C9kyVJyYYFZ.5AGRINByUzqBDxBmCu';  // bcrypt of PASSWORD
let tlsCa = null;  // PEM of the CA of the running host

// GET over HTTPS with the CA above and the credentials.
async function httpsGet(url) {
  const headers = { authorization: 'Basic ' + Buffer.from(`${USER}:${PASSWORD}`).toString('base64') };
  const res = await new Promise((resolve, reject) => https.get(url, { ca: tlsCa, headers }, resolve).on('error', reject));
  return new Response(await buffer(res), { status: res.statusCode });
}
if (TLS) {
  const plainFetch = globalThis.fetch;
  globalThis.fetch = (url, opts) => (String(url).startsWith('https:') ? httpsGet(url) : plainFetch(url, opts));
}

// A CA, a certificate for 127.0.0.1 that it signed, and the web configuration.
function makeWebConfig(dir) {
  const ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes'];
  const run = (args) => execFileSync('openssl', args, { cwd: dir, stdio: 'ignore' });
  run(['req', '-x509', ...ec, '-keyout', 'ca.key', '-out', 'ca.crt', '-days', '2', '-subj', '/CN=browser test CA']);
  run(['req', ...ec, '-keyout', 'server.key', '-out', 'server.csr', '-subj', '/CN=localhost']);
  fs.writeFileSync(path.join(dir, 'ext'), 'subjectAltName=IP:127.0.0.1\n');
  run(['x509', '-req', '-in', 'server.csr', '-CA', 'ca.crt', '-CAkey', 'ca.key', '-CAcreateserial', '-days', '2',
    '-extfile', 'ext', '-out', 'server.crt']);
  tlsCa = fs.readFileSync(path.join(dir, 'ca.crt'));
  const file = path.join(dir, 'web.yml');
  fs.writeFileSync(file, `tls_server_config: {cert_file: server.crt, key_file: server.key}
basic_auth_users: {${USER}: "${PASSWORD_HASH}"}
`);
  return file;
}

async function freePort() {
  const srv = net.createServer().listen(0, '127.0.0.1');
  await once(srv, 'listening');
  const { port } = srv.address();
  await new Promise((resolve) => srv.close(resolve));
  return port;
}

// Polls fn until it returns something true; its errors count as false until the time is up.
async function until(what, fn, timeoutMs = 20000) {
  for (const end = Date.now() + timeoutMs; ; await sleep(200)) {
    const v = await Promise.resolve().then(fn).catch((e) => { if (Date.now() > end) throw e; });
    if (v) return v;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
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
  const base = `${TLS ? 'https' : 'http'}://127.0.0.1:${port}`;
  const webArgs = TLS ? ['--web.config.file', makeWebConfig(dir)] : [];
  let exporter = null;
  // Sends sig to p unless it has exited; resolves once it has.
  const end = (p, sig) => new Promise((resolve) => {
    if (!p || p.exitCode !== null || p.signalCode !== null) return resolve();
    p.on('exit', resolve);
    p.kill(sig);
  });
  const stop = async () => {
    // unshare ignores SIGTERM while it waits; SIGKILL takes the daemon along (--kill-child).
    await Promise.all([end(exporter, 'SIGTERM'), end(daemon, 'SIGKILL')]);
    fs.rmSync(dir, { recursive: true, force: true });
  };
  try {
    await until('the daemon socket', () => fs.existsSync(socket));
    exporter = spawn(VETHRACTL, ['--socket', socket, 'exporter', '--listen', `127.0.0.1:${port}`, ...webArgs, ...exporterArgs],
      { stdio: ['ignore', 'inherit', 'inherit'] });
    await until('the exporter', async () => (await fetch(base + '/')).ok);
  } catch (e) {
    await stop();
    throw e;
  }
  // One request to hostsim's control socket; its reply.
  const control = async (request) => {
    const sock = net.createConnection(path.join(dir, 'hostsim.ctl'));
    await once(sock, 'connect');
    sock.write(JSON.stringify(request) + '\n');
    const [line] = await once(readline.createInterface({ input: sock }), 'line');
    sock.end();
    const reply = JSON.parse(line);
    if (reply.error) throw new Error(`hostsim ${request.op}: ${reply.error}`);
    return reply;
  };
  const killDaemon = () => end(daemon, 'SIGKILL');
  const contextOptions = TLS ? { ignoreHTTPSErrors: true, httpCredentials: { username: USER, password: PASSWORD } } : {};
  const scrapeConfig = TLS ? `    scheme: https
    tls_config: {ca_file: "${dir}/ca.crt"}
    basic_auth: {username: ${USER}, password: ${PASSWORD}}
` : '';
  return { dir, socket, base, control, killDaemon, stop, contextOptions, scrapeConfig };
}

module.exports = { ROOT, VETHRACTL, freePort, startHost, until };
