// What the meters cost the page, in the real window: kestrix off screen with
// 64 loopback sources × 8 channels routed one to one into 32 senders × 16
// channels (512 connection rows), every tree item expanded, so that 512 source
// channel meters, 512 sender channel meters and 1024 row meters are on the
// page. Measured over the remote-debugging port, for a while each:
//   steady  — the real levels of the test tones (steady, so hardly redrawn);
//   moving  — every meter moving: the page's levels handler fed 20 documents
//             a second in which every channel changed (the real signal
//             disconnected meanwhile);
//   idle    — no levels at all.
// Printed per phase: the renderer process's CPU (share of one core, from
// /proc), its main thread's busy share (CDP Performance TaskDuration), the
// longest main-thread task (CDP Tracing) and the longest interval between two
// animation frames. Not a test: it prints figures and never fails on them.
//
//   node benchmarks/page-meters.mjs [seconds-per-phase] [--collapsed]
//
// (--collapsed: the trees as they open, so only the rows' meters show.)
//
// It runs on the page tests' support and their packages (tests/page/support,
// tests/page/node_modules; tests/page/run-tests.sh installs them).
// KESTRIX_PROGRAM, KESTRIX_TESTSRC, KESTRIX_PROBE and KESTRIX_LOOPBACK_RUNTIME
// name the built files; by default they are taken from build/bin.
import { existsSync, readdirSync, readFileSync } from 'node:fs';
import { mkdir, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const pageTests = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../tests/page');
if (!existsSync(path.join(pageTests, 'node_modules/playwright-core/package.json'))) {
  console.error(`install the page tests' packages first: (cd ${pageTests} && npm ci)`);
  process.exit(2);
}
const { sleep, until } = await import(pathToFileURL(path.join(pageTests, 'support/page.mjs')).href);
const { Run, programsMissing, sourceName } = await import(pathToFileURL(path.join(pageTests, 'support/program.mjs')).href);

const seconds = Number(process.argv.slice(2).find(a => /^\d/.test(a)) || 10);
// The trees as they open at start; by default every item is expanded.
const collapsed = process.argv.includes('--collapsed');
const SOURCES = 64, SOURCE_CHANNELS = 8, SENDERS = 32, SENDER_CHANNELS = 16;
const DEADLINE_MS = 300000;

const missing = programsMissing();
if (missing.length > 0) {
  console.error(`build the programs first (missing ${missing.join(', ')})`);
  process.exit(2);
}

const stream = i => `Meters ${String(i).padStart(2, '0')}`;
const sender = i => `Meter Out ${String(i).padStart(2, '0')}`;

// Sender s channel c is fed by the (s·16 + c)-th source channel.
function routing() {
  const senders = [];
  for (let s = 0; s < SENDERS; ++s) {
    const mappings = [];
    for (let c = 0; c < SENDER_CHANNELS; ++c) {
      const n = s * SENDER_CHANNELS + c;
      mappings.push({ sourceChannel: (n % SOURCE_CHANNELS) + 1, sourceName: sourceName(stream(Math.floor(n / SOURCE_CHANNELS))) });
    }
    senders.push({ senderChannelMappings: mappings, senderName: sender(s) });
  }
  return { senderChannelMappings: senders, senderDelayMappings: [] };
}

// CPU seconds of a process (user + system).
function cpuSeconds(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
  return (Number(fields[11]) + Number(fields[12])) / 100; // USER_HZ is 100 on Linux
}

// The web engine's renderer: forked by a zygote that kestrix started (it
// keeps the zygote's command line), or started with --type=renderer.
function rendererOf(programPid) {
  const parents = new Map();
  const commands = new Map();
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = readFileSync(`/proc/${entry}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
      parents.set(Number(entry), Number(stat[1]));
      commands.set(Number(entry), readFileSync(`/proc/${entry}/cmdline`, 'utf8'));
    } catch { /* gone meanwhile */ }
  }
  const zygote = pid => (commands.get(pid) || '').includes('--type=zygote');
  for (const [pid, command] of commands) {
    const parent = parents.get(pid);
    const renderer = command.includes('--type=renderer') || (zygote(pid) && zygote(parent));
    if (renderer && (parent === programPid || parents.get(parent) === programPid)) return pid;
  }
  return undefined;
}

async function readTrace(cdp) {
  const done = new Promise(resolve => cdp.once('Tracing.tracingComplete', resolve));
  await cdp.send('Tracing.end');
  const { stream: handle } = await done;
  let text = '';
  for (;;) {
    const chunk = await cdp.send('IO.read', { handle });
    text += chunk.base64Encoded ? Buffer.from(chunk.data, 'base64').toString() : chunk.data;
    if (chunk.eof) break;
  }
  await cdp.send('IO.close', { handle });
  const parsed = JSON.parse(text);
  return Array.isArray(parsed) ? parsed : parsed.traceEvents;
}

// Where the renderer's main thread spent its time, by trace event (nested ones overlap).
function busiest(events) {
  const main = new Set(events.filter(e => e.ph === 'M' && e.name === 'thread_name' && e.args?.name === 'CrRendererMain')
    .map(e => `${e.pid}:${e.tid}`));
  const sums = new Map();
  for (const e of events)
    if (e.ph === 'X' && main.has(`${e.pid}:${e.tid}`)) sums.set(e.name, (sums.get(e.name) || 0) + e.dur / 1000);
  return [...sums].sort((a, b) => b[1] - a[1]).filter(([n]) => !/RunTask$/.test(n)).slice(0, 6)
    .map(([n, ms]) => `${n} ${ms.toFixed(0)} ms`).join(', ');
}

function longestMainThreadTaskMs(events) {
  const main = new Set(events.filter(e => e.ph === 'M' && e.name === 'thread_name' && e.args?.name === 'CrRendererMain')
    .map(e => `${e.pid}:${e.tid}`));
  let longest = 0;
  for (const e of events)
    if (e.ph === 'X' && /RunTask$/.test(e.name) && main.has(`${e.pid}:${e.tid}`)) longest = Math.max(longest, e.dur / 1000);
  return longest;
}

async function measure(label, page, cdp, rendererPid) {
  const metric = async () => Object.fromEntries((await cdp.send('Performance.getMetrics')).metrics.map(m => [m.name, m.value]));
  await page.evaluate(() => {
    window.__frames = { last: null, longest: 0, count: 0, stop: false };
    const tick = now => {
      const f = window.__frames;
      if (f.last !== null) f.longest = Math.max(f.longest, now - f.last);
      f.last = now;
      f.count += 1;
      if (!f.stop) requestAnimationFrame(tick);
    };
    requestAnimationFrame(tick);
  });
  await cdp.send('Tracing.start', {
    categories: 'toplevel,devtools.timeline,disabled-by-default-devtools.timeline', transferMode: 'ReturnAsStream',
  });
  const before = await metric();
  const cpuBefore = cpuSeconds(rendererPid);
  const startedAt = Date.now();
  await sleep(seconds * 1000);
  const wall = (Date.now() - startedAt) / 1000;
  const cpu = cpuSeconds(rendererPid) - cpuBefore;
  const after = await metric();
  const frames = await page.evaluate(() => { window.__frames.stop = true; return window.__frames; });
  const events = await readTrace(cdp);
  const longestTask = longestMainThreadTaskMs(events);
  const share = x => `${(x * 100).toFixed(1)} %`;
  console.log(`${label.padEnd(7)} renderer CPU ${share(cpu / wall)} of a core; main thread busy ${share((after.TaskDuration - before.TaskDuration) / wall)}` +
    ` (script ${share((after.ScriptDuration - before.ScriptDuration) / wall)}, style ${share((after.RecalcStyleDuration - before.RecalcStyleDuration) / wall)},` +
    ` layout ${share((after.LayoutDuration - before.LayoutDuration) / wall)}); longest task ${longestTask.toFixed(1)} ms;` +
    ` ${(frames.count / wall).toFixed(1)} frames/s, longest frame interval ${frames.longest.toFixed(1)} ms`);
  console.log(`        busiest: ${busiest(events)}`);
}

// Documents in which every channel moves, made before the measure so that making them costs the page nothing.
function movingDocuments(count) {
  const value = () => { const peak = -6 - Math.round(Math.random() * 340) / 10; return [peak, Math.round((peak - 3) * 10) / 10]; };
  const documents = [];
  for (let d = 0; d < count; ++d) {
    const sources = {}, senders = {};
    for (let i = 0; i < SOURCES; ++i) sources[sourceName(stream(i))] = Array.from({ length: SOURCE_CHANNELS }, value);
    for (let i = 0; i < SENDERS; ++i) senders[sender(i)] = Array.from({ length: SENDER_CHANNELS }, value);
    documents.push(JSON.stringify({ senders, sources }));
  }
  return documents;
}

const run = await Run.create('measure');
let handle;
try {
  run.startSources(Array.from({ length: SOURCES }, (_, i) => `${stream(i)}:${SOURCE_CHANNELS}`));
  await mkdir(path.dirname(run.mappingFile), { recursive: true });
  await writeFile(run.mappingFile, JSON.stringify(routing()));
  handle = await run.startProgram();
  const { page, program } = handle;

  await until(() => page.evaluate(() => [document.querySelectorAll('#connectedSources > li').length,
    document.querySelectorAll('#availableSourcesList > li:not(.probing)').length]),
  ([rows, sources]) => rows === SENDERS * SENDER_CHANNELS && sources === SOURCES,
  { deadlineMs: DEADLINE_MS, what: 'every row and every source with its channels', intervalMs: 1000 });
  await sleep(3000); // the last documents settle
  const meters = await page.evaluate(collapsed => {
    for (const caret of document.querySelectorAll('.tree-item > .item-name'))
      if (!caret.classList.contains('caret-down') && !collapsed) caret.click();
    return document.querySelectorAll('.meter').length;
  }, collapsed);
  const rendererPid = rendererOf(program.pid);
  console.log(`${meters} meters on the page; renderer pid ${rendererPid}; ${seconds} s per phase`);
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Performance.enable');

  await measure('steady', page, cdp, rendererPid);
  await page.evaluate(documents => {
    bridge.levelsUpdated.disconnect(onLevelsUpdated);
    let next = 0;
    window.__moving = setInterval(() => onLevelsUpdated(documents[next++ % documents.length]), 50);
  }, movingDocuments(40));
  await measure('moving', page, cdp, rendererPid);
  await page.evaluate(() => { clearInterval(window.__moving); onLevelsUpdated('{"sources":{},"senders":{}}'); });
  await sleep(5000); // every meter falls back and rests
  await measure('idle', page, cdp, rendererPid);
  console.log(`reproduce: node benchmarks/page-meters.mjs ${seconds}${collapsed ? ' --collapsed' : ''}`);
} finally {
  if (handle) await run.stopProgram(handle).catch(() => {});
  await run.dispose();
}
