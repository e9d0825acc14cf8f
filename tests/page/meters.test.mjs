// What flows, shown on the page: meters and their ballistics, routes whose
// source is away, the status strip and the preview of a selected source.
import assert from 'node:assert/strict';
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import {
  audioConnection, channel, connectionRows, ctrlClick, expand, launchBrowser, meterReading, openPage,
  videoConnection,
} from './support/page.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

let page, bridge, context, errors;
beforeEach(async () => {
  ({ page, bridge, context, errors } = await openPage(browser));
  // Frames and time run only when the test says.
  await page.clock.install();
  await page.clock.pauseAt(Date.now() + 1000);
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, 'HOST (Mixer)': 4 });
  await bridge.publishRouting({ 'Plover Sender 1': 2 }, [
    audioConnection('HOST (Mixer)', 1, 'Plover Sender 1', 0),
    videoConnection('HOST (Camera)', 'Plover Sender 1'),
  ]);
});
afterEach(async () => {
  assert.deepEqual(errors, []);
  await context.close();
});

const levels = (sources, senders = {}) => ({ sources, senders });
const rowHalves = () => [page.locator('#connectedSources > li').first(), page.locator('#connectedSenders > li').first()];

describe('meters', () => {
  test('a peak shows at once, is held 1.5 s and falls back at 20 dB/s; the RMS falls with it', async () => {
    const mixer2 = await channel(page, 'sources', 'HOST (Mixer)', 'CH 2');
    const mixer3 = await channel(page, 'sources', 'HOST (Mixer)', 'CH 3');
    await bridge.emit('levelsUpdated', levels({ 'HOST (Mixer)': [null, [-10, -13], [-100, -100], null] }));
    await page.clock.runFor(50);
    assert.deepEqual(await meterReading(mixer2), { peak: -10, rms: -13, hold: -10 });
    assert.deepEqual(await meterReading(mixer3), { peak: -60, rms: -60, hold: -60 }, 'digital silence reads nothing');

    await bridge.emit('levelsUpdated', levels({})); // nothing arrives any more
    const after = async ms => { await page.clock.runFor(ms); return meterReading(mixer2); };
    // Meters are drawn every other frame: a reading may be a draw (0.7 dB of fall) behind.
    const near = (actual, expected) => Object.keys(expected).every(k => actual[k] - expected[k] >= 0 && actual[k] - expected[k] <= 0.7);
    const at1s = await after(1000);
    assert.ok(near(at1s, { peak: -30, rms: -33, hold: -10 }), JSON.stringify(at1s));
    const at2s = await after(1000);
    assert.ok(near(at2s, { peak: -50, rms: -53, hold: -20 }), JSON.stringify(at2s));
    assert.deepEqual(await after(2500), { peak: -60, rms: -60, hold: -60 });
  });

  test('meters survive the trees being rebuilt, show the same level everywhere, and only changed ones are drawn', async () => {
    await expand(page, 'sources', 'HOST (Mixer)');
    await expand(page, 'senders', 'Plover Sender 1');
    await bridge.emit('levelsUpdated', levels({ 'HOST (Mixer)': [[-30, -33], [-20, -23], null, null] },
      { 'Plover Sender 1': [[-20, -23], null] }));
    await page.clock.runFor(50);

    // Both trees rebuilt whole, and no new levels since: the new elements show the levels at once.
    await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, 'HOST (Mixer)': 4 });
    await bridge.publishRouting({ 'Plover Sender 1': 2 }, [audioConnection('HOST (Mixer)', 1, 'Plover Sender 1', 0)]);
    const [left, right] = rowHalves();
    const routed = { peak: -20, rms: -23, hold: -20 };
    assert.deepEqual(await meterReading(await channel(page, 'sources', 'HOST (Mixer)', 'CH 2')), routed);
    assert.deepEqual(await meterReading(await channel(page, 'senders', 'Plover Sender 1', 'CH 1')), routed);
    assert.deepEqual(await meterReading(left), routed);
    assert.deepEqual(await meterReading(right), routed);
    assert.deepEqual(await meterReading(await channel(page, 'senders', 'Plover Sender 1', 'CH 2')),
      { peak: -60, rms: -60, hold: -60 }, 'an unconnected sender channel reads nothing');

    // One channel changes: only its meters (its tree item and its row) are drawn again.
    await page.evaluate(() => {
      window.__drawn = new Set();
      new MutationObserver(changes => changes.forEach(c => window.__drawn.add(c.target.closest('.meter'))))
        .observe(document.body, { subtree: true, attributes: true, attributeFilter: ['style'] });
    });
    await bridge.emit('levelsUpdated', levels({ 'HOST (Mixer)': [[-30, -33], [-12, -15], null, null] },
      { 'Plover Sender 1': [[-20, -23], null] }));
    await page.clock.runFor(50);
    const drawn = await page.evaluate(() => [...window.__drawn].map(m =>
      m.closest('.channel-item') ? `tree ${m.closest('.tree-item').firstChild.textContent} ${m.closest('.channel-item').textContent}`
        : `row ${m.closest('ul').id}`).sort());
    assert.deepEqual(drawn, ['row connectedSources', 'tree HOST (Mixer) CH 2']);
  });

  test('a route whose source leaves or lacks the channel is marked with the reason and kept; the mark clears when it is back', async () => {
    await bridge.publishRouting({ 'Plover Sender 1': 2 }, [
      audioConnection('HOST (Mixer)', 1, 'Plover Sender 1', 0),
      audioConnection('HOST (Mixer)', 5, 'Plover Sender 1', 1),
      videoConnection('HOST (Camera)', 'Plover Sender 1'),
    ]);
    const marks = () => page.evaluate(() => ['connectedSources', 'connectedSenders'].map(id =>
      [...document.getElementById(id).children].map(li =>
        li.classList.contains('row-unavailable') ? li.title : null)));
    const noMarks = [[null, null, null], [null, null, null]];
    const lacks = '"HOST (Mixer)" has 4 channels: there is no CH 6';
    assert.deepEqual(await marks(), [[null, lacks, null], [null, lacks, null]]);

    await bridge.emit('sourcesUpdated', { 'HOST (Mixer)': 8 });
    const away = '"HOST (Camera)" is off line; the route is kept and carries again when the source is back';
    assert.deepEqual(await marks(), [[null, null, away], [null, null, away]]);
    await bridge.emit('sourcesUpdated', { 'HOST (Camera)': -1, 'HOST (Mixer)': 8 }); // back, still being probed
    assert.deepEqual(await marks(), noMarks);
    assert.equal((await connectionRows(page)).length, 3);
    assert.deepEqual(await bridge.takeCalls(), [], 'the bridge is told nothing: the routes stay');
  });
});

describe('status strip', () => {
  const status = (engine, sources = {}, senders = {}) => ({
    engine: { blockLoadMedian: 0.043, blockLoadP99: 0.125, blocks: 1000, clock: 'software', clockStandsIn: false,
      lateBlocks: 0, outputDevice: '', runtime: 'libndi.so.6', runtimeVersion: 'NDI SDK LINUX 6.0.1', ...engine },
    senders, sources,
  });
  const strip = () => page.evaluate(() => ({
    texts: [...document.querySelectorAll('#statusStrip > span')].map(s => s.textContent),
    warnings: [...document.querySelectorAll('#statusStrip .warning')].map(s => s.id),
    strip: document.getElementById('statusStrip').classList.contains('warning'),
  }));

  test('shows the runtime, the clock, the load and late blocks, warning while blocks are late or the software clock stands in', async () => {
    await bridge.emit('statusUpdated', status({}, {
      'HOST (Mixer)': { channels: 4, dropouts: 3, online: true, receiving: true, sampleRate: 44100 },
    }, { 'Plover Sender 1': { audioBlocksSent: 10, channels: 2, connections: 1, videoFramesSent: 0, videoLive: false } }));
    assert.deepEqual(await strip(), {
      texts: ['NDI runtime: libndi.so.6 NDI SDK LINUX 6.0.1', 'Clock: software', 'Engine load: 4.3 % (p99 12.5 %)',
        'Late blocks: 0'],
      warnings: [], strip: false,
    });
    const source = (await expand(page, 'sources', 'HOST (Mixer)')).locator(':scope > .item-name');
    assert.equal(await source.getAttribute('title'), 'on line · 44100 Hz · received · 3 dropouts in the last seconds');
    const sender = (await expand(page, 'senders', 'Plover Sender 1')).locator(':scope > .item-name');
    assert.equal(await sender.getAttribute('title'), '1 receiver connected');

    await bridge.emit('statusUpdated', status({ lateBlocks: 2 }));
    assert.deepEqual((await strip()).warnings, ['statusLate']);
    await page.clock.runFor(11000);
    await bridge.emit('statusUpdated', status({ lateBlocks: 2, clockStandsIn: true, outputDevice: 'Built-in Output' }));
    assert.deepEqual(await strip(), {
      texts: ['NDI runtime: libndi.so.6 NDI SDK LINUX 6.0.1',
        'Clock: software, standing in for the lost output (Built-in Output)', 'Engine load: 4.3 % (p99 12.5 %)',
        'Late blocks: 2'],
      warnings: ['statusClock'], strip: true,
    });
    await bridge.emit('statusUpdated', status({ clock: 'hardware', outputDevice: 'Built-in Output', lateBlocks: 2 }));
    assert.deepEqual(await strip(), {
      texts: ['NDI runtime: libndi.so.6 NDI SDK LINUX 6.0.1', 'Clock: sound output (Built-in Output)',
        'Engine load: 4.3 % (p99 12.5 %)', 'Late blocks: 2'],
      warnings: [], strip: false,
    });
  });
});

describe('preview', () => {
  test('the source of the last selected source channel is previewed, and none once nothing is selected', async () => {
    const previews = async () => (await bridge.calls()).filter(c => c[0] === 'previewSource');
    await (await channel(page, 'sources', 'HOST (Mixer)', 'CH 1')).click();
    await (await channel(page, 'sources', 'HOST (Mixer)', 'CH 3')).click();
    await ctrlClick(await channel(page, 'sources', 'HOST (Camera)', 'Video'));
    await (await channel(page, 'sources', 'HOST (Camera)', 'Video')).click();
    assert.deepEqual(await previews(),
      [['previewSource', 'HOST (Mixer)'], ['previewSource', 'HOST (Camera)'], ['previewSource', '']]);
  });
});
