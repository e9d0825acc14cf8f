// The whole program: the real kestrix off screen with loopback test sources,
// its window driven over the web engine's remote-debugging port, and what its
// senders publish measured by kestrix-probe.
import assert from 'node:assert/strict';
import { mkdir, readFile } from 'node:fs/promises';
import path from 'node:path';
import { afterEach, describe, test } from 'node:test';
import {
  artifactsDir, channel, connectionRows, ctrlClick, expand, meterReading, nestedTexts, treeNames,
} from './support/page.mjs';
import {
  PAGE_URL, Run, builtFilesNamed, probeChannel, programsMissing, senderName, sleep, sourceName, until,
} from './support/program.mjs';

// Under ctest the build is named and must be there; by hand, a missing build skips the suite.
const missing = programsMissing();
if (builtFilesNamed && missing.length > 0)
  throw new Error(`built programs missing: ${missing.join(', ')}`);
const skip = missing.length > 0 ? `build the programs first (missing ${missing.join(', ')})` : false;

const TONES = sourceName('Tones');
const CAMERA = sourceName('Camera');
// Tone of a test source's channel c (0-based): 375·(c+1) Hz at -20 dBFS.
const toneHz = c => 375 * (c + 1);
const PROBE_TIMEOUT_MS = 90000;

let run;
let windowHandle;
afterEach(async () => {
  if (run) {
    if (windowHandle) await windowHandle.browser.close().catch(() => {});
    await run.dispose();
  }
  run = undefined;
  windowHandle = undefined;
});

async function start(label, sources) {
  run = await Run.create(label);
  for (const [names, options] of sources) run.startSources(names, options);
  windowHandle = await run.startProgram();
  return windowHandle.page;
}

async function restart() {
  await run.stopProgram(windowHandle);
  windowHandle = await run.startProgram();
  return windowHandle.page;
}

/** Waits until the source tree lists `name` with exactly these channel labels. */
async function sourceListed(page, name, labels) {
  await until(async () => ((await treeNames(page, 'sources')).includes(name) ? nestedTexts(page, 'sources', name) : null),
    texts => JSON.stringify(texts) === JSON.stringify(['Select All', ...labels]),
    { deadlineMs: PROBE_TIMEOUT_MS, what: `source ${name} with ${labels.join(', ')}` });
}

async function link(page, sourcePicks, senderPicks) {
  for (const [i, [name, label]] of sourcePicks.entries()) {
    const item = await channel(page, 'sources', name, label);
    await (i === 0 ? item.click() : ctrlClick(item));
  }
  for (const [i, [name, label]] of senderPicks.entries()) {
    const item = await channel(page, 'senders', name, label);
    await (i === 0 ? item.click() : ctrlClick(item));
  }
  await page.click('#linkButton');
}

async function errorShown(page) {
  return (await page.locator('#errorPopup').isVisible()) ? page.locator('#errorPopupMessage').textContent() : null;
}

/** Probes a sender of the router until `accept` holds for the report. */
function probeUntil(name, accept, what) {
  return until(() => run.probe(senderName(name)).catch(() => null), r => r !== null && accept(r),
    { deadlineMs: PROBE_TIMEOUT_MS, what: `${senderName(name)}: ${what}`, intervalMs: 100 });
}

const carriesTone = (c, hz) => r => {
  const ch = probeChannel(r, c);
  return !!ch && ch.silentFraction === 0 && Math.abs(ch.frequencyHz - hz) < 5 && Math.abs(ch.levelDbfs + 20) < 0.5;
};
const silent = c => r => probeChannel(r, c)?.silentFraction === 1;

describe('end to end', { skip }, () => {
  test('sources appear with their channels; a link carries the tone and Remove All silences it; a video link carries the pictures', async () => {
    const page = await start('routing', [[['Tones:4']], [['Camera:2'], { video: '320x180@30/1' }]]);
    await sourceListed(page, TONES, ['CH 1', 'CH 2', 'CH 3', 'CH 4', 'Video']);
    await sourceListed(page, CAMERA, ['CH 1', 'CH 2', 'Video']);
    assert.deepEqual(await treeNames(page, 'senders'), ['Plover Sender 1', 'Plover Sender 2', 'Plover Sender 3']);
    assert.deepEqual(await nestedTexts(page, 'senders', 'Plover Sender 1'),
      ['Select All', 'Remove Sender', 'Audio Delay', 'CH 1', 'CH 2', 'CH 3', 'CH 4', 'Video']);

    await link(page, [[TONES, 'CH 2']], [['Plover Sender 1', 'CH 1'], ['Plover Sender 1', 'CH 2']]);
    assert.deepEqual(await connectionRows(page), [[TONES, '>', 'CH 2', '|', 'CH 1', '<', 'Plover Sender 1']]);
    const routed = await probeUntil('Plover Sender 1', r => carriesTone(0, toneHz(1))(r) && silent(1)(r),
      'channel 0 carries 750 Hz, channel 1 silence');
    assert.equal(routed.audio.channelCount, 4);

    await link(page, [[TONES, 'CH 3']], [['Plover Sender 1', 'CH 1']]);
    assert.equal(await errorShown(page), 'Sender channel already in use');
    await page.locator('#errorPopup').getByRole('button', { name: 'Close' }).click();

    await link(page, [[CAMERA, 'Video']], [['Plover Sender 2', 'Video']]);
    const video = await probeUntil('Plover Sender 2',
      r => r.video.frames > 0 && r.video.consecutiveCounters > 0, 'the test pattern passed through');
    assert.deepEqual([video.video.width, video.video.height], [320, 180]);
    assert.deepEqual(await connectionRows(page), [
      [TONES, '>', 'CH 2', '|', 'CH 1', '<', 'Plover Sender 1'],
      [CAMERA, '>', 'Video', '|', 'Video', '<', 'Plover Sender 2'],
    ]);

    await mkdir(artifactsDir, { recursive: true });
    await expand(page, 'sources', TONES);
    await expand(page, 'senders', 'Plover Sender 1');
    await page.screenshot({ path: path.join(artifactsDir, 'window.png') });

    await page.click('#removeAllButton');
    assert.deepEqual(await connectionRows(page), []);
    await probeUntil('Plover Sender 1', silent(0), 'channel 0 silent after Remove All');
    await probeUntil('Plover Sender 2', r => r.video.frames === 0, 'no pictures after Remove All');
  });

  test('Add Sender refuses bad input, then publishes the sender; Remove Sender withdraws it', async () => {
    const page = await start('senders', [[['Tones:4']]]);
    await sourceListed(page, TONES, ['CH 1', 'CH 2', 'CH 3', 'CH 4', 'Video']);

    const popupError = async () => page.locator('#addSenderError').textContent();
    const submit = async (name, channels) => {
      if (!(await page.locator('#addSenderPopup').isVisible())) await page.click('#addSenderButton');
      await page.locator('#senderNameInput').fill(name);
      await page.locator('#senderChannelsInput').fill(channels);
      await page.locator('#addSenderConfirmButton').click();
    };
    await submit('', '2');
    assert.equal(await popupError(), 'Error: Sender name is required');
    await submit('Studio Feed', '');
    assert.equal(await popupError(), 'Error: Sender channels is required');
    await submit('Plover Sender 2', '2');
    assert.equal(await popupError(), 'Error: Sender name already in use');
    await submit('Studio Feed', '-3');
    assert.equal(await popupError(), 'Error: Audio channels must be a whole number from 0 to 1024');
    await submit('Monitor', '2'); // no sound output here, so no "Monitor" in the tree
    assert.equal(await popupError(), 'Error: "Monitor" is reserved for the local sound output');
    await submit('Studio Feed', '2');
    await page.locator('#addSenderPopup').waitFor({ state: 'hidden' }); // once the bridge took it
    assert.deepEqual(await nestedTexts(page, 'senders', 'Studio Feed'),
      ['Select All', 'Remove Sender', 'Audio Delay', 'CH 1', 'CH 2', 'Video']);

    await link(page, [[TONES, 'CH 1']], [['Studio Feed', 'CH 2']]);
    const report = await probeUntil('Studio Feed', carriesTone(1, toneHz(0)), 'channel 1 carries 375 Hz');
    assert.equal(report.audio.channelCount, 2);

    const item = await expand(page, 'senders', 'Studio Feed');
    await item.getByRole('button', { name: 'Remove Sender' }).click();
    assert.deepEqual(await treeNames(page, 'senders'), ['Plover Sender 1', 'Plover Sender 2', 'Plover Sender 3']);
    assert.deepEqual(await connectionRows(page), []);
    await until(() => run.probe(senderName('Studio Feed'), { seconds: 0.6, wait: 3 }).then(() => 'found', () => 'gone'),
      state => state === 'gone', { deadlineMs: PROBE_TIMEOUT_MS, what: 'the removed sender leaves the network' });
  });

  test('Save Config keeps the routing and the slider\'s delay; a restart shows and plays them again', async () => {
    let page = await start('restart', [[['Tones:4']]]);
    await sourceListed(page, TONES, ['CH 1', 'CH 2', 'CH 3', 'CH 4', 'Video']);
    await link(page, [[TONES, 'CH 2']], [['Plover Sender 3', 'CH 6']]);
    const sender = await expand(page, 'senders', 'Plover Sender 3');
    await sender.locator('.delay-caret').click();
    await sender.locator('input[type=range]').fill('250');
    assert.equal(await sender.locator('.delay-label').textContent(), 'Delay: 250 ms');

    // The delay is applied by a task of its own: save until the file shows it.
    const saved = await until(async () => {
      await page.click('#saveConfigButton');
      await page.locator('#configSavedPopup').getByRole('button', { name: 'Close' }).click(); // once it is saved
      return JSON.parse(await readFile(run.mappingFile, 'utf8'));
    }, file => file.senderDelayMappings.some(d => d.senderName === 'Plover Sender 3' && d.delay === 250),
    { what: 'the delay in the saved file', intervalMs: 500 });
    const stored = saved.senderChannelMappings.find(s => s.senderName === 'Plover Sender 3');
    assert.deepEqual(stored.senderChannelMappings[5], { sourceChannel: 2, sourceName: TONES });

    page = await restart();
    await until(() => connectionRows(page), rows => rows.length === 1, { what: 'the restored connection row' });
    assert.deepEqual(await connectionRows(page), [[TONES, '>', 'CH 2', '|', 'CH 6', '<', 'Plover Sender 3']]);
    // Restored delays reach the page a little after it is ready, and the
    // routing the start publishes may rebuild the tree (closing the item) meanwhile.
    await until(async () => {
      try {
        const restored = await expand(page, 'senders', 'Plover Sender 3');
        if (!(await restored.locator('.delay-container').isVisible())) await restored.locator('.delay-caret').click();
        return [await restored.locator('input[type=range]').inputValue(), await restored.locator('.delay-label').textContent()];
      } catch {
        return null; // rebuilt under the click
      }
    }, v => v?.[0] === '250' && v?.[1] === 'Delay: 250 ms', { what: 'the restored delay on the slider' });
    await probeUntil('Plover Sender 3', carriesTone(5, toneHz(1)), 'channel 5 carries 750 Hz after the restart');
  });

  test('the window keeps its page: nothing navigates or reloads it, and a renderer that fails comes back with the routing and delays', async () => {
    const page = await start('window', [[['Tones:2']]]);
    await sourceListed(page, TONES, ['CH 1', 'CH 2', 'Video']);
    await link(page, [[TONES, 'CH 1']], [['Plover Sender 2', 'CH 2']]);
    const sender = await expand(page, 'senders', 'Plover Sender 2');
    await sender.locator('.delay-caret').click();
    await sender.locator('input[type=range]').fill('-300');

    // Where a clicked link or a dropped file would take it, a reload from the page and one from outside.
    await page.evaluate(() => { window.__samePage = true; });
    await page.evaluate(() => { location.href = 'file:///etc/hostname'; }).catch(() => {});
    await page.evaluate(() => location.reload()).catch(() => {});
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Page.reload').catch(() => {});
    await sleep(2000);
    assert.equal(page.url(), PAGE_URL);
    assert.equal(await page.evaluate(() => window.__samePage), true, 'the page was never replaced');

    // The renderer fails: the window loads the page again, which asks for the routing and the delays.
    await cdp.send('Page.crash').catch(() => {});
    await windowHandle.browser.close().catch(() => {});
    const endpoint = windowHandle.endpoint;
    windowHandle = { ...windowHandle, ...(await until(() => run.connect(endpoint).catch(() => null), h => h !== null,
      { what: 'the page back after its renderer failed' })) };
    const back = windowHandle.page;
    assert.equal(await back.evaluate(() => window.__samePage), undefined, 'a fresh page');
    await until(() => connectionRows(back), rows => rows.length === 1, { what: 'the routing on the fresh page' });
    assert.deepEqual(await connectionRows(back), [[TONES, '>', 'CH 1', '|', 'CH 2', '<', 'Plover Sender 2']]);
    const restored = await expand(back, 'senders', 'Plover Sender 2');
    await restored.locator('.delay-caret').click();
    assert.deepEqual([await restored.locator('input[type=range]').inputValue(),
      await restored.locator('.delay-label').textContent()], ['-300', 'Delay: -300 ms']);
  });

  test('meters: a routed -20 dBFS tone reads -20 on its source channel, sender channel and row; a source that leaves marks its row until it is back; a selected source is previewed', async t => {
    const LEAVING = sourceName('Leaving');
    const SPARE = sourceName('Spare');
    const page = await start('meters', [[['Tones:2', 'Spare:2']]]);
    let leaving = run.startSources(['Leaving:2']);
    for (const name of [TONES, LEAVING, SPARE]) await sourceListed(page, name, ['CH 1', 'CH 2', 'Video']);
    await link(page, [[TONES, 'CH 1']], [['Plover Sender 1', 'CH 1']]);
    await link(page, [[LEAVING, 'CH 2']], [['Plover Sender 2', 'CH 1']]);

    const reference = r => Math.abs(r.peak + 20) <= 1 && Math.abs(r.rms + 20) <= 1;
    const nothing = { peak: -60, rms: -60, hold: -60 };
    const meterOf = (side, name, label) => async () => meterReading(await channel(page, side, name, label));
    const rowMeters = index => async () => Promise.all(['connectedSources', 'connectedSenders'].map(id =>
      meterReading(page.locator(`#${id} > li`).nth(index))));
    const reads = (read, accept, what) => until(read, accept, { deadlineMs: PROBE_TIMEOUT_MS, what });

    await reads(meterOf('sources', TONES, 'CH 1'), reference, 'the tone on its source channel');
    await reads(meterOf('senders', 'Plover Sender 1', 'CH 1'), reference, 'the tone on its sender channel');
    await reads(rowMeters(0), halves => halves.every(reference), 'the tone on both halves of its row');
    assert.deepEqual(await meterOf('senders', 'Plover Sender 1', 'CH 2')(), nothing, 'an unconnected sender channel');
    await mkdir(artifactsDir, { recursive: true });
    await page.screenshot({ path: path.join(artifactsDir, 'meters.png') });

    const strip = await page.locator('#statusStrip > span').allTextContents();
    assert.match(strip[0], /^NDI runtime: libkestrix-ndi-loopback\.so /);
    assert.deepEqual(strip.slice(1, 2), ['Clock: software']);
    assert.match(strip[2], /^Engine load: \d+\.\d % \(p99 \d+\.\d %\)$/);

    // Selected, an unrouted source is received for its meters; let go a little after.
    const spare = await channel(page, 'sources', SPARE, 'CH 1');
    await spare.click();
    await reads(meterOf('sources', SPARE, 'CH 2'), reference, 'the previewed source');
    await spare.click(); // nothing selected any more
    await reads(meterOf('sources', SPARE, 'CH 2'), r => r.peak === -60, 'the source let go');

    // A source killed mid-show: its row is marked at once and kept, and clears when it is back.
    const mark = () => page.evaluate(() => [...document.querySelectorAll('#connectedSources > li')]
      .map(li => (li.classList.contains('row-unavailable') ? li.title : null)));
    await reads(rowMeters(1), halves => halves.every(reference), 'the leaving source on its row');
    leaving.kill('SIGKILL');
    const killedAt = Date.now();
    await reads(mark, marks => marks[0] === null && /^".*\(Leaving\)" is off line/.test(marks[1]), 'the row marked');
    const markedAfterMs = Date.now() - killedAt;
    t.diagnostic(`row marked ${markedAfterMs} ms after its source was killed`);
    assert.ok(markedAfterMs <= 3000, `marked after ${markedAfterMs} ms`);
    assert.equal((await connectionRows(page)).length, 2);
    leaving = run.startSources(['Leaving:2']);
    await reads(mark, marks => marks.every(m => m === null), 'the mark cleared');
    await reads(rowMeters(1), halves => halves.every(reference), 'the returned source on its row');
  });

  test('a source with markup in its name is shown literally, runs nothing, and is routed', async () => {
    const stream = '<img src=x onerror="window.__pwned=1"> & "Co" <b>';
    const hostile = sourceName(stream);
    const page = await start('names', [[[`${stream}:2`]]]);
    await sourceListed(page, hostile, ['CH 1', 'CH 2', 'Video']);
    await link(page, [[hostile, 'CH 2']], [['Plover Sender 2', 'CH 1']]);
    assert.deepEqual(await connectionRows(page), [[hostile, '>', 'CH 2', '|', 'CH 1', '<', 'Plover Sender 2']]);
    await probeUntil('Plover Sender 2', carriesTone(0, toneHz(1)), 'channel 0 carries 750 Hz');
    assert.deepEqual(await page.evaluate(() => [window.__pwned, document.querySelectorAll('img:not(#logo), b').length]),
      [undefined, 0]);
  });
});
