// Runs the real kestrix (or kestrix-server) with loopback test sources, each
// run in a folder of its own (discovery, application data, temp), drives its
// page over CDP or HTTP, and hears its senders with kestrix-probe.
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { existsSync, openSync, closeSync, readFileSync } from 'node:fs';
import { mkdtemp, mkdir, rm } from 'node:fs/promises';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { promisify } from 'node:util';
import { chromium } from 'playwright-core';
import { DEADLINE_MS, nestedTexts, repoRoot, sleep, treeNames, until, untilEqual } from './page.mjs';

// ctest names each built file; by hand they are taken from build/bin.
const binDir = path.join(repoRoot, 'build', 'bin');
export const built = {
  program: process.env.KESTRIX_PROGRAM || path.join(binDir, 'kestrix'),
  server: process.env.KESTRIX_SERVER || path.join(binDir, 'kestrix-server'),
  testsrc: process.env.KESTRIX_TESTSRC || path.join(binDir, 'kestrix-testsrc'),
  probe: process.env.KESTRIX_PROBE || path.join(binDir, 'kestrix-probe'),
  loopback: process.env.KESTRIX_LOOPBACK_RUNTIME || path.join(binDir, 'libkestrix-ndi-loopback.so'),
};

// The router announces under the machine's own name: that is how it tells its senders from the sources.
const SOURCE_HOST = 'STUDIO';
const ROUTER_HOST = os.hostname().toUpperCase();
const PAGE_URL = 'qrc:/routing-web-ui.html';
export const senderName = name => `${ROUTER_HOST} (${name})`;
export const sourceName = name => `${SOURCE_HOST} (${name})`;

// Generous: the web engine starts slowly on a loaded machine, and a source is probed before it is listed.
export const START_DEADLINE_MS = 90000;

// A probe's report: channel c of a sender carries the tone of a test source's channel s (both 0-based), 375·(s+1) Hz
// at -20 dBFS.
export const carriesTone = (c, s) => report => {
  const heard = report.channels.find(h => h.channel === c);
  return !!heard && heard.silentFraction === 0 && Math.abs(heard.frequencyHz - 375 * (s + 1)) < 5 &&
    Math.abs(heard.levelDbfs + 20) < 0.5;
};

export const programsMissing = () => Object.values(built).filter(p => !existsSync(p));

/** The suite's skip: under ctest (the built files named) a missing build fails instead. */
export function skipUnlessBuilt() {
  const missing = programsMissing();
  if (process.env.KESTRIX_PROGRAM && missing.length > 0) throw new Error(`built programs missing: ${missing.join(', ')}`);
  return missing.length > 0 ? `build the programs first (missing ${missing.join(', ')})` : false;
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer().on('error', reject);
    server.listen(0, '127.0.0.1', () => { const { port } = server.address(); server.close(() => resolve(port)); });
  });
}

/** What kestrix-server (or a shared window) answers a request without the token: 401 while it serves, 0 when nothing answers. */
export const sessionStatus = address => fetch(`${address}/api/v1/session`).then(answer => answer.status, () => 0);

/** The page has its channel and the documents it asked for (evaluated in the page). */
export const pageIsReady = () => bridge !== null && document.getElementById('mainLoader').classList.contains('hidden');

/** A page of `browser` with cookies of its own at `address`, after a sign-in through the page with `token`. */
export async function signIn(browser, address, token, { ready = true, context = null } = {}) {
  const page = await (context ?? browser).newPage();
  page.errors = [];
  page.on('pageerror', error => page.errors.push(error));
  await page.goto(address);
  await page.locator('#signInToken').fill(token);
  await page.locator('#signInButton').click();
  if (ready) await page.waitForFunction(pageIsReady, null, { timeout: START_DEADLINE_MS });
  return page;
}

/** Waits until the source tree lists `name` with its `channels` audio channels and its Video. */
export function sourceListed(page, name, channels) {
  const labels = [...Array.from({ length: channels }, (_, i) => `CH ${i + 1}`), 'Video'];
  return untilEqual(async () => ((await treeNames(page, 'sources')).includes(name) ? nestedTexts(page, 'sources', name) : null),
    ['Select All', ...labels], { deadlineMs: START_DEADLINE_MS, what: `source ${name} with ${labels.join(', ')}` });
}

/** One isolated run: its own discovery folder, data folder and temp folder. */
export class Run {
  static async create(label) {
    const folder = await mkdtemp(path.join(os.tmpdir(), `kestrix-e2e-${label}-`));
    // The loopback runtime refuses a discovery folder that others can open.
    for (const sub of ['loopback', 'data', 'tmp']) await mkdir(path.join(folder, sub), { mode: 0o700 });
    return new Run(folder);
  }

  constructor(folder) { this.folder = folder; this.children = []; }

  get dataFolder() { return path.join(this.folder, 'data', 'Morvane', 'Kestrix'); }
  get mappingFile() { return path.join(this.dataFolder, 'sendersChannelMappings.ploverc'); }

  /** The environment of a process of this run; `host` names the machine its senders are announced from. */
  env(host, extra = {}) {
    const { KESTRIX_LOOPBACK_HOSTNAME, ...env } = process.env;
    return { ...env, KESTRIX_NDI_RUNTIME: built.loopback, KESTRIX_LOOPBACK_DIR: path.join(this.folder, 'loopback'),
      XDG_DATA_HOME: path.join(this.folder, 'data'), TMPDIR: path.join(this.folder, 'tmp'),
      ...(host ? { KESTRIX_LOOPBACK_HOSTNAME: host } : {}), ...extra };
  }

  spawnLogged(file, args, env, logName) {
    const log = path.join(this.folder, logName);
    const fd = openSync(log, 'a');
    // Through util-linux's setpriv: a child ends with this process, however it is stopped or killed.
    const child = spawn('setpriv', ['--pdeathsig', 'TERM', '--', file, ...args], { env, stdio: ['ignore', fd, fd] });
    closeSync(fd);
    child.logPath = log;
    child.exited = new Promise(resolve => child.on('exit', (code, signal) => resolve({ code, signal })));
    this.children.push(child);
    return child;
  }

  /** Publishes test sources: `sources` as "Name:channels", optionally a video pattern. */
  startSources(sources, { video } = {}) {
    const args = sources.flatMap(s => ['--source', s]);
    if (video) args.push('--video', video);
    return this.spawnLogged(built.testsrc, args, this.env(SOURCE_HOST), `testsrc-${this.children.length}.log`);
  }

  /**
   * Starts kestrix-server on a free port of 127.0.0.1; with `tls`, over HTTPS with a self-signed certificate; with
   * `ember`, Ember+ is served on another free port (`emberPort`), without, it is off; `args` are added to its command
   * line. Returns {address, token, emberPort, server}.
   */
  async startServer({ tls = false, ember = false, args = [] } = {}) {
    const port = await freePort();
    const emberPort = ember ? await freePort() : undefined;
    const tokenFile = path.join(this.folder, 'token');
    const options = ['--listen', `127.0.0.1:${port}`, '--token-file', tokenFile,
      '--mapping-file', path.join(this.folder, 'routing.ploverc'), '--ember', ember ? `127.0.0.1:${emberPort}` : 'off',
      ...args];
    if (tls) {
      const [key, certificate] = [path.join(this.folder, 'kestrix.key'), path.join(this.folder, 'kestrix.crt')];
      await promisify(execFile)('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-keyout', key,
        '-out', certificate, '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1']);
      options.push('--tls-cert', certificate, '--tls-key', key);
    }
    const server = this.spawnLogged(built.server, options, this.env(null), 'server.log');
    const address = `${tls ? 'https' : 'http'}://127.0.0.1:${port}`;
    // Node's fetch does not trust the certificate: the server tells where it serves once it does.
    await until(() => (tls ? this.log(server).includes(`Serving the routing page and the API at ${address}`) && 401
      : sessionStatus(address)), status => status === 401, { what: `kestrix-server at ${address}:\n${this.log(server)}` });
    return { address, token: readFileSync(tokenFile, 'utf8').trim(), emberPort, server };
  }

  /** Starts kestrix off screen and connects to its window; returns {program, browser, page, endpoint}. */
  async startProgram() {
    const port = await freePort();
    const program = this.spawnLogged(built.program, [], this.env(null, { QT_QPA_PLATFORM: 'offscreen',
      QTWEBENGINE_DISABLE_SANDBOX: '1', QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${port}` }), `kestrix-${this.children.length}.log`);
    const endpoint = `http://127.0.0.1:${port}`;
    await until(async () => {
      if (!running(program)) assert.fail(`kestrix exited at start (${program.exitCode ?? program.signalCode}):\n${this.log(program)}`);
      try { return (await fetch(`${endpoint}/json/version`)).ok; } catch { return false; }
    }, ok => ok, { deadlineMs: START_DEADLINE_MS, what: 'the remote-debugging port' });
    return { program, ...(await this.connect(endpoint)) };
  }

  /** Connects to the window of a running kestrix once its page is ready; returns {browser, page, endpoint}. */
  async connect(endpoint) {
    const browser = await chromium.connectOverCDP(endpoint, { noDefaults: true });
    const page = await until(() => browser.contexts().flatMap(c => c.pages()).find(p => p.url() === PAGE_URL),
      p => !!p, { deadlineMs: START_DEADLINE_MS, what: 'the routing page' });
    await page.waitForFunction(pageIsReady, null, { timeout: START_DEADLINE_MS });
    return { browser, page, endpoint };
  }

  /** Ends kestrix as a logout does (it writes the routing on the way out) and waits for it. */
  async stopProgram({ program, browser }) {
    await browser?.close().catch(() => {});
    if (!(await end(program))) assert.fail(`kestrix did not end within ${DEADLINE_MS} ms of SIGTERM:\n${this.log(program)}`);
  }

  /** Receives one NDI source with kestrix-probe and returns its JSON report. */
  async probe(name, { seconds = 1.5, wait = 10 } = {}) {
    const { stdout } = await promisify(execFile)(built.probe, ['--source', name, '--seconds', String(seconds),
      '--wait', String(wait), '--json'], { env: this.env('PROBE'), timeout: (seconds + wait + 30) * 1000 });
    return JSON.parse(stdout);
  }

  /** Probes a sender of the router until `accept` holds for the report. */
  probeUntil(name, accept, what) {
    return until(() => this.probe(senderName(name)).catch(() => null), r => r !== null && accept(r),
      { deadlineMs: START_DEADLINE_MS, what: `${senderName(name)}: ${what}`, intervalMs: 100 });
  }

  log(child) {
    try { return readFileSync(child.logPath, 'utf8').split('\n').slice(-40).join('\n'); } catch { return ''; }
  }

  /** Ends every process of the run, then removes its folder. */
  async dispose() {
    await Promise.all(this.children.filter(running).map(end));
    await rm(this.folder, { recursive: true, force: true });
  }
}

const running = child => child.exitCode === null && child.signalCode === null;

/** SIGTERM first, so kestrix releases its guard; SIGKILL after the deadline. Answers whether SIGTERM sufficed. */
async function end(child) {
  child.kill('SIGTERM');
  if (await Promise.race([child.exited, sleep(DEADLINE_MS)])) return true;
  child.kill('SIGKILL');
  await child.exited;
  return false;
}
