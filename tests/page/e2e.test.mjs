// The whole program: the real kestrix off screen with loopback test sources,
// its window driven over the web engine's remote-debugging port, and what its
// senders publish heard by kestrix-probe.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { afterEach, describe, test } from 'node:test';
import {
  addSender, channel, connectionRows, delayControl, expand, link, meterReading, sleep, until, untilEqual,
} from './support/page.mjs';
import { carriesTone, Run, senderName, skipUnlessBuilt, sourceListed, sourceName, START_DEADLINE_MS } from './support/program.mjs';

const TONES = sourceName('Tones');
const silent = c => report => report.channels.find(h => h.channel === c)?.silentFraction === 1;

let run;
let opened;
afterEach(async () => {
  await opened?.browser.close().catch(() => {});
  await run?.dispose();
  run = opened = undefined;
});

/** Starts a run with one test-source process per [sources, options] ("Name:channels"), then kestrix, and waits until it lists every source. */
async function start(label, ...processes) {
  run = await Run.create(label);
  for (const [sources, options] of processes) run.startSources(sources, options);
  opened = await run.startProgram();
  for (const [name, channels] of processes.flatMap(([sources]) => sources.map(source => source.split(':')))) {
    await sourceListed(opened.page, sourceName(name), Number(channels));
  }
  return opened.page;
}

describe('end to end', { skip: skipUnlessBuilt() }, () => {
  test('an added sender carries the routed tone and silence elsewhere, a video link the pictures; Remove All ends both, Undo brings them back, Redo ends them again, and Remove Sender takes the sender off the network', async () => {
    const CAMERA = sourceName('Camera');
    const page = await start('routing', [['Tones:4']], [['Camera:2'], { video: '320x180@30/1' }]);
    await addSender(page, 'Studio Feed', '2');
    await page.locator('#addSenderPopup').waitFor({ state: 'hidden' }); // once the bridge took it

    await link(page, [[TONES, 'CH 2']], [['Studio Feed', 'CH 1']]);
    await link(page, [[CAMERA, 'Video']], [['Plover Sender 2', 'Video']]);
    await run.probeUntil('Studio Feed', r => r.audio.channelCount === 2 && carriesTone(0, 1)(r) && silent(1)(r),
      'two channels: 750 Hz on channel 0, silence on channel 1');
    await run.probeUntil('Plover Sender 2', r => r.video.consecutiveCounters > 0 && r.video.width === 320 &&
      r.video.height === 180, 'the 320×180 test pattern passed through');

    await page.click('#removeAllButton');
    await run.probeUntil('Studio Feed', silent(0), 'channel 0 silent after Remove All');
    await run.probeUntil('Plover Sender 2', r => r.video.frames === 0, 'no pictures after Remove All');

    // Undo brings every row back, and the tone with it; Redo takes them away again.
    await page.click('#undoButton');
    await untilEqual(() => connectionRows(page), [[CAMERA, '>', 'Video', '|', 'Video', '<', 'Plover Sender 2'],
      [TONES, '>', 'CH 2', '|', 'CH 1', '<', 'Studio Feed']]);
    await run.probeUntil('Studio Feed', carriesTone(0, 1), '750 Hz on channel 0 again after Undo');
    await run.probeUntil('Plover Sender 2', r => r.video.consecutiveCounters > 0, 'pictures again after Undo');
    await page.click('#redoButton');
    await untilEqual(() => connectionRows(page), []);
    await run.probeUntil('Studio Feed', silent(0), 'channel 0 silent after Redo');
    await (await expand(page, 'senders', 'Studio Feed')).getByRole('button', { name: 'Remove Sender' }).click();
    await until(() => run.probe(senderName('Studio Feed'), { seconds: 0.6, wait: 3 }).then(() => 'found', () => 'gone'),
      state => state === 'gone', { deadlineMs: START_DEADLINE_MS, what: 'the removed sender leaves the network' });
  });

  test('the window keeps its page through navigations and reloads; after a failed renderer and after a restart from the saved file the routing and delays are back and play', async () => {
    let page = await start('restart', [['Tones:4']]);
    await link(page, [[TONES, 'CH 2']], [['Plover Sender 3', 'CH 6']]);
    await (await delayControl(page, 'Plover Sender 3')).slider.fill('250');
    // Restored delays reach the page a little after it is ready, and the
    // routing the start publishes may rebuild the tree (closing the item) meanwhile.
    const restored = async () => {
      await untilEqual(() => connectionRows(page), [[TONES, '>', 'CH 2', '|', 'CH 6', '<', 'Plover Sender 3']]);
      await untilEqual(() => delayControl(page, 'Plover Sender 3').then(d => d.shown()).catch(() => null),
        ['250', 'Delay: 250 ms']);
    };

    // Where a clicked link or a dropped file would take it, a reload from the page and one from outside.
    await page.evaluate(() => { window.__samePage = true; });
    await page.evaluate(() => { location.href = 'file:///etc/hostname'; }).catch(() => {});
    await page.evaluate(() => location.reload()).catch(() => {});
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Page.reload').catch(() => {});
    await sleep(2000);
    assert.equal(await page.evaluate(() => window.__samePage), true, 'the page was never replaced');

    // The renderer fails: the window loads the page again, which asks for the routing and the delays.
    await cdp.send('Page.crash').catch(() => {});
    await opened.browser.close().catch(() => {});
    opened = { ...opened, ...(await until(() => run.connect(opened.endpoint).catch(() => null), h => h !== null,
      { what: 'the page back after its renderer failed' })) };
    page = opened.page;
    assert.equal(await page.evaluate(() => window.__samePage), undefined, 'a fresh page');
    await restored();

    // The delay is applied by a task of its own: save until the file shows it.
    await until(async () => {
      await page.click('#saveConfigButton');
      await page.locator('#configSavedPopup').getByRole('button', { name: 'Close' }).click(); // once it is saved
      return JSON.parse(await readFile(run.mappingFile, 'utf8'));
    }, file => file.senderDelayMappings.some(d => d.senderName === 'Plover Sender 3' && d.delay === 250),
    { what: 'the delay in the saved file', intervalMs: 500 });
    await run.stopProgram(opened);
    opened = await run.startProgram();
    page = opened.page;
    await restored();
    await run.probeUntil('Plover Sender 3', carriesTone(5, 1), 'channel 5 carries 750 Hz after the restart');
  });

  test('meters: a routed -20 dBFS tone reads -20 on its source channel, sender channel and row; a source that leaves marks its row; a selected source is previewed', async t => {
    const [LEAVING, SPARE] = [sourceName('Leaving'), sourceName('Spare')];
    const page = await start('meters', [['Tones:2', 'Spare:2']], [['Leaving:2']]);
    await link(page, [[TONES, 'CH 1']], [['Plover Sender 1', 'CH 1']]);
    await link(page, [[LEAVING, 'CH 2']], [['Plover Sender 2', 'CH 1']]);

    const reference = r => Math.abs(r.peak + 20) <= 1 && Math.abs(r.rms + 20) <= 1;
    const meterOf = (side, name, label) => async () => meterReading(await channel(page, side, name, label));
    const rowMeters = index => async () => Promise.all(['connectedSources', 'connectedSenders'].map(id =>
      meterReading(page.locator(`#${id} > li`).nth(index))));
    const reads = (read, accept, what) => until(read, accept, { deadlineMs: START_DEADLINE_MS, what });

    await reads(meterOf('sources', TONES, 'CH 1'), reference, 'the tone on its source channel');
    await reads(meterOf('senders', 'Plover Sender 1', 'CH 1'), reference, 'the tone on its sender channel');
    await reads(rowMeters(0), halves => halves.every(reference), 'the tone on both halves of its row');
    // What the engine reports, in the words of the page.
    assert.match((await page.locator('#statusStrip > span').allTextContents()).join(' | '),
      /^NDI runtime: libkestrix-ndi-loopback\.so .* \| Clock: software \| Engine load: \d+\.\d % \(p99 \d+\.\d %\) \| Late blocks: \d+ \| Routing saved$/);

    // Selected, an unrouted source is received for its meters; let go a little after.
    const spare = await channel(page, 'sources', SPARE, 'CH 1');
    await spare.click();
    await reads(meterOf('sources', SPARE, 'CH 2'), reference, 'the previewed source');
    await spare.click(); // nothing selected any more
    await reads(meterOf('sources', SPARE, 'CH 2'), r => r.peak === -60, 'the source let go');

    // A source killed mid-show: its row is marked at once (clearing and carrying again once it is back are the
    // page's meter test's and the engine's).
    const mark = () => page.evaluate(() => [...document.querySelectorAll('#connectedSources > li')]
      .map(li => (li.classList.contains('row-unavailable') ? li.title : null)));
    await reads(rowMeters(1), halves => halves.every(reference), 'the leaving source on its row');
    run.children.find(child => child.spawnargs.includes('Leaving:2')).kill('SIGKILL');
    const killedAt = Date.now();
    await reads(mark, marks => marks[0] === null && /^".*\(Leaving\)" is off line/.test(marks[1]), 'the row marked');
    const markedAfterMs = Date.now() - killedAt;
    t.diagnostic(`row marked ${markedAfterMs} ms after its source was killed`);
    assert.ok(markedAfterMs <= 3000, `marked after ${markedAfterMs} ms`);
  });
});
