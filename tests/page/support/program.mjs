// Runs the real kestrix off screen with loopback test sources, each run in a
// folder of its own (discovery, application data, temp) with a free port for
// the web engine's remote debugging, and drives its window over CDP.
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { existsSync, openSync, closeSync, readFileSync } from 'node:fs';
import { mkdtemp, mkdir, rm } from 'node:fs/promises';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { repoRoot } from './page.mjs';

// ctest names each built file; by hand they are taken from build/bin.
const binDir = path.join(repoRoot, 'build', 'bin');
export const programPath = process.env.KESTRIX_PROGRAM || path.join(binDir, 'kestrix');
export const testsrcPath = process.env.KESTRIX_TESTSRC || path.join(binDir, 'kestrix-testsrc');
export const probePath = process.env.KESTRIX_PROBE || path.join(binDir, 'kestrix-probe');
export const loopbackRuntime = process.env.KESTRIX_LOOPBACK_RUNTIME || path.join(binDir, 'libkestrix-ndi-loopback.so');
export const builtFilesNamed = !!process.env.KESTRIX_PROGRAM;

// The machine names that sources and the router's senders are announced with.
export const SOURCE_HOST = 'STUDIO';
// The router runs under the machine's own name: that is how it tells its own
// senders from the sources it finds.
export const ROUTER_HOST = os.hostname().toUpperCase();
export const PAGE_URL = 'qrc:/routing-web-ui.html';

// Generous: the web engine starts slowly on a loaded two-core machine.
export const START_DEADLINE_MS = 90000;
export const DEADLINE_MS = 30000;

export function programsMissing() {
  return [programPath, testsrcPath, probePath, loopbackRuntime].filter(p => !existsSync(p));
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export async function sleep(ms) {
  await new Promise(resolve => setTimeout(resolve, ms));
}

/** Polls `read` until `accept` holds for its value, or fails with the last value after the deadline. */
export async function until(read, accept, { deadlineMs = DEADLINE_MS, what = 'condition', intervalMs = 200 } = {}) {
  const deadline = Date.now() + deadlineMs;
  let value;
  for (;;) {
    value = await read();
    if (accept(value)) return value;
    if (Date.now() > deadline) assert.fail(`${what} not reached within ${deadlineMs} ms; last: ${JSON.stringify(value)}`);
    await sleep(intervalMs);
  }
}

/** One isolated run: its own discovery folder, data folder and temp folder. */
export class Run {
  static async create(label) {
    const folder = await mkdtemp(path.join(os.tmpdir(), `kestrix-e2e-${label}-`));
    // The loopback runtime refuses a discovery folder that others can open.
    for (const sub of ['loopback', 'data', 'tmp']) await mkdir(path.join(folder, sub), { mode: 0o700 });
    return new Run(folder);
  }

  constructor(folder) {
    this.folder = folder;
    this.children = [];
  }

  get mappingFile() { return path.join(this.folder, 'data', 'Morvane', 'Kestrix', 'sendersChannelMappings.ploverc'); }

  env(host, extra = {}) {
    const env = {
      ...process.env,
      KESTRIX_NDI_RUNTIME: loopbackRuntime,
      KESTRIX_LOOPBACK_DIR: path.join(this.folder, 'loopback'),
      XDG_DATA_HOME: path.join(this.folder, 'data'),
      TMPDIR: path.join(this.folder, 'tmp'),
      ...extra,
    };
    if (host) env.KESTRIX_LOOPBACK_HOSTNAME = host;
    else delete env.KESTRIX_LOOPBACK_HOSTNAME;
    return env;
  }

  spawnLogged(file, args, env, logName) {
    const log = path.join(this.folder, logName);
    const fd = openSync(log, 'a');
    const child = spawn(file, args, { env, stdio: ['ignore', fd, fd] });
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
    return this.spawnLogged(testsrcPath, args, this.env(SOURCE_HOST), `testsrc-${this.children.length}.log`);
  }

  /** Starts kestrix off screen and connects to its window; returns {program, browser, page}. */
  async startProgram() {
    try {
      return await this.startProgramOnce();
    } catch (error) {
      // A guard segment left by a killed instance elsewhere on this machine
      // can share the System V key of this run's fresh key file (ext4 reuses
      // inodes), and a start without the key file cannot clear it. The failed
      // start left the key file behind, so a second start clears the segment.
      if (!/Another instance is running/.test(error.message)) throw error;
      console.warn('kestrix refused to start over a stale guard segment; starting it once more');
      return this.startProgramOnce();
    }
  }

  async startProgramOnce() {
    const port = await freePort();
    const program = this.spawnLogged(programPath, [], this.env(null, {
      QT_QPA_PLATFORM: 'offscreen',
      QTWEBENGINE_DISABLE_SANDBOX: '1',
      QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${port}`,
    }), `kestrix-${this.children.length}.log`);
    const endpoint = `http://127.0.0.1:${port}`;
    let exited = null;
    program.exited.then(e => { exited = e; });
    await until(async () => {
      if (exited) assert.fail(`kestrix exited at start (${JSON.stringify(exited)}):\n${this.log(program)}`);
      try { return (await fetch(`${endpoint}/json/version`)).ok; } catch { return false; }
    }, ok => ok, { deadlineMs: START_DEADLINE_MS, what: 'the remote-debugging port' });
    return { program, ...(await this.connect(endpoint)) };
  }

  /** Connects to the window of a running kestrix once its page is ready; returns {browser, page, endpoint}. */
  async connect(endpoint) {
    const browser = await chromium.connectOverCDP(endpoint, { noDefaults: true });
    const page = await until(() => browser.contexts().flatMap(c => c.pages()).find(p => p.url() === PAGE_URL),
      p => !!p, { deadlineMs: START_DEADLINE_MS, what: 'the routing page' });
    // The page takes the bridge's title once its channel is up and uiReady was called.
    await page.waitForFunction(() => document.title === 'Vireo' &&
      document.getElementById('mainLoader').classList.contains('hidden'), null, { timeout: START_DEADLINE_MS });
    return { browser, page, endpoint };
  }

  /** Ends kestrix as a logout does (it writes the routing on the way out) and waits for it. */
  async stopProgram({ program, browser }) {
    await browser?.close().catch(() => {});
    program.kill('SIGTERM');
    const outcome = await Promise.race([program.exited, sleep(DEADLINE_MS).then(() => null)]);
    if (!outcome) {
      program.kill('SIGKILL');
      await program.exited;
      assert.fail(`kestrix did not end within ${DEADLINE_MS} ms of SIGTERM:\n${this.log(program)}`);
    }
    return outcome;
  }

  /** Receives one NDI source with kestrix-probe and returns its JSON report. */
  probe(name, { seconds = 1.5, wait = 10 } = {}) {
    return new Promise((resolve, reject) => {
      execFile(probePath, ['--source', name, '--seconds', String(seconds), '--wait', String(wait), '--json'],
        { env: this.env('PROBE'), timeout: (seconds + wait + 30) * 1000 }, (error, stdout, stderr) => {
          if (error) reject(new Error(`kestrix-probe ${name}: ${error.message}\n${stderr}`));
          else resolve(JSON.parse(stdout));
        });
    });
  }

  log(child) {
    try { return readFileSync(child.logPath, 'utf8').split('\n').slice(-40).join('\n'); } catch { return ''; }
  }

  /** Ends every process of the run: SIGTERM first, so kestrix releases its guard; SIGKILL after the deadline. */
  async dispose() {
    const running = this.children.filter(c => c.exitCode === null && c.signalCode === null);
    for (const child of running) child.kill('SIGTERM');
    await Promise.race([Promise.all(running.map(c => c.exited)), sleep(DEADLINE_MS)]);
    for (const child of running) {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGKILL');
        await child.exited;
      }
    }
    await rm(this.folder, { recursive: true, force: true });
  }
}

export const senderName = name => `${ROUTER_HOST} (${name})`;
export const sourceName = name => `${SOURCE_HOST} (${name})`;

/** The channel of a probe report, or undefined. */
export function probeChannel(report, channel) {
  return report.channels.find(c => c.channel === channel);
}
