// What flows, shown on the page: meters and their ballistics, routes whose
// source is away, the status strip and the preview of a selected source.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { audioConnection, channel, ctrlClick, expand, meterReading, pagePerTest, videoConnection } from './support/page.mjs';

const MIXER = 'HOST (Mixer)';
const S1 = 'Plover Sender 1';
const NOTHING = { peak: -60, rms: -60, hold: -60 }; // the left end of the scale
let page, bridge;
pagePerTest(async opened => {
  ({ page, bridge } = opened);
  // Frames and time run only when the test says.
  await page.clock.install();
  await page.clock.pauseAt(Date.now() + 1000);
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, [MIXER]: 4 });
  await bridge.publishRouting({ [S1]: 2 }, [audioConnection(MIXER, 1, S1, 0), videoConnection('HOST (Camera)', S1)]);
});

const levels = async (sources, senders = {}) => {
  await bridge.emit('levelsUpdated', { sources, senders });
  await page.clock.runFor(50);
};

test('a peak shows at once, is held 1.5 s and falls back at 20 dB/s; the RMS falls with it', async () => {
  const mixer2 = await channel(page, 'sources', MIXER, 'CH 2');
  await levels({ [MIXER]: [null, [-10, -13], [-100, -100], null] });
  assert.deepEqual(await meterReading(mixer2), { peak: -10, rms: -13, hold: -10 });
  assert.deepEqual(await meterReading(await channel(page, 'sources', MIXER, 'CH 3')), NOTHING, 'digital silence reads nothing');

  await levels({}); // nothing arrives any more
  const after = async ms => { await page.clock.runFor(ms); return meterReading(mixer2); };
  // Meters are drawn every other frame: a reading may be a draw (0.7 dB of fall) behind.
  const near = (actual, expected) => Object.keys(expected).every(k => actual[k] - expected[k] >= 0 && actual[k] - expected[k] <= 0.7);
  const at1s = await after(950);
  assert.ok(near(at1s, { peak: -30, rms: -33, hold: -10 }), JSON.stringify(at1s));
  const at2s = await after(1000);
  assert.ok(near(at2s, { peak: -50, rms: -53, hold: -20 }), JSON.stringify(at2s));
  assert.deepEqual(await after(2500), NOTHING);
});

test('meters survive the trees being rebuilt, show the same level everywhere, and only changed ones are drawn', async () => {
  await expand(page, 'sources', MIXER);
  await expand(page, 'senders', S1);
  await levels({ [MIXER]: [[-30, -33], [-20, -23], null, null] }, { [S1]: [[-20, -23], null] });

  // Both trees rebuilt whole, and no new levels since: the new elements show the levels at once.
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, [MIXER]: 4 });
  await bridge.publishRouting({ [S1]: 2 }, [audioConnection(MIXER, 1, S1, 0)]);
  const routed = { peak: -20, rms: -23, hold: -20 };
  assert.deepEqual(await Promise.all([
    meterReading(await channel(page, 'sources', MIXER, 'CH 2')), meterReading(await channel(page, 'senders', S1, 'CH 1')),
    meterReading(page.locator('#connectedSources > li').first()), meterReading(page.locator('#connectedSenders > li').first()),
    meterReading(await channel(page, 'senders', S1, 'CH 2')),
  ]), [routed, routed, routed, routed, NOTHING]);

  // One channel changes: only its meters (its tree item and its row) are drawn again.
  await page.evaluate(() => {
    window.__drawn = new Set();
    new MutationObserver(changes => changes.forEach(c => window.__drawn.add(c.target.closest('.meter'))))
      .observe(document.body, { subtree: true, attributes: true, attributeFilter: ['style'] });
  });
  await levels({ [MIXER]: [[-30, -33], [-12, -15], null, null] }, { [S1]: [[-20, -23], null] });
  const drawn = await page.evaluate(() => [...window.__drawn].map(m =>
    m.closest('.channel-item') ? `tree ${m.closest('.tree-item').firstChild.textContent} ${m.closest('.channel-item').textContent}`
      : `row ${m.closest('ul').id}`).sort());
  assert.deepEqual(drawn, ['row connectedSources', `tree ${MIXER} CH 2`]);
});

test('a route whose source leaves or lacks the channel is marked with the reason and kept; the mark clears when it is back', async () => {
  await bridge.publishRouting({ [S1]: 2 }, [
    audioConnection(MIXER, 1, S1, 0), audioConnection(MIXER, 5, S1, 1), videoConnection('HOST (Camera)', S1),
  ]);
  const marks = () => page.evaluate(() => ['connectedSources', 'connectedSenders'].map(id =>
    [...document.getElementById(id).children].map(li => (li.classList.contains('row-unavailable') ? li.title : null))));
  const lacks = `"${MIXER}" has 4 channels: there is no CH 6`;
  assert.deepEqual(await marks(), [[null, lacks, null], [null, lacks, null]]);
  await bridge.emit('sourcesUpdated', { [MIXER]: 8 });
  const away = '"HOST (Camera)" is off line; the route is kept and carries again when the source is back';
  assert.deepEqual(await marks(), [[null, null, away], [null, null, away]]);
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': -1, [MIXER]: 8 }); // back, still being probed
  assert.deepEqual(await marks(), [[null, null, null], [null, null, null]]);
  assert.deepEqual(await bridge.takeCalls(), [], 'the bridge is told nothing: the routes stay');
});

test('the status strip tells the runtime, clock, load, late blocks and whether the routing is saved, warning while blocks are late, the software clock stands in or the file cannot be written; items tell their status', async () => {
  const status = { senders: { [S1]: { audioBlocksSent: 10, channels: 2, connections: 1, videoFramesSent: 0, videoLive: false } },
    sources: { [MIXER]: { channels: 4, dropouts: 3, online: true, receiving: true, sampleRate: 44100 } } };
  const engine = { blockLoadMedian: 0.043, blockLoadP99: 0.125, blocks: 1000, clock: 'software', clockStandsIn: false,
    lateBlocks: 0, outputDevice: 'Built-in Output', runtime: 'libndi.so.6', runtimeVersion: 'NDI SDK LINUX 6.0.1' };
  const mappingFile = { path: '/data/routing.ploverc', writeError: '', writeFailing: false };
  // The strip's texts, each marked where it warns, and last whether the strip as a whole warns.
  const strip = async (changes, fileChanges = {}) => {
    await bridge.emit('statusUpdated', { ...status, engine: { ...engine, ...changes }, mappingFile: { ...mappingFile, ...fileChanges } });
    return page.locator('#statusStrip').evaluate(shown => [...shown.querySelectorAll(':scope > span')]
      .map(s => s.textContent + (s.matches('.warning') ? ' (warns)' : '')).concat(shown.matches('.warning') ? ['the strip warns'] : []));
  };
  const [runtime, load] = ['NDI runtime: libndi.so.6 NDI SDK LINUX 6.0.1', 'Engine load: 4.3 % (p99 12.5 %)'];
  assert.deepEqual(await strip({}), [runtime, 'Clock: software', load, 'Late blocks: 0', 'Routing saved']);
  assert.equal(await page.locator('#statusMappingFile').getAttribute('title'), '/data/routing.ploverc');
  assert.deepEqual(await strip({}, { writeError: 'No space left on device', writeFailing: true }), [runtime, 'Clock: software', load,
    'Late blocks: 0', 'Routing not saved: No space left on device (warns)', 'the strip warns']);
  const title = async (side, name) => (await expand(page, side, name)).locator(':scope > .item-name').getAttribute('title');
  assert.deepEqual([await title('sources', MIXER), await title('senders', S1)],
    ['on line · 44100 Hz · received · 3 dropouts in the last seconds', '1 receiver connected']);

  assert.deepEqual(await strip({ lateBlocks: 2 }), [runtime, 'Clock: software', load, 'Late blocks: 2 (warns)', 'Routing saved', 'the strip warns']);
  await page.clock.runFor(11000); // late blocks warn for a while after the last one
  assert.deepEqual(await strip({ lateBlocks: 2, clockStandsIn: true }), [runtime,
    'Clock: software, standing in for the lost output (Built-in Output) (warns)', load, 'Late blocks: 2', 'Routing saved', 'the strip warns']);
  assert.deepEqual(await strip({ lateBlocks: 2, clock: 'hardware' }),
    [runtime, 'Clock: sound output (Built-in Output)', load, 'Late blocks: 2', 'Routing saved']);
});

test('the source of the last selected source channel is previewed, and none once nothing is selected', async () => {
  await (await channel(page, 'sources', MIXER, 'CH 1')).click();
  await (await channel(page, 'sources', MIXER, 'CH 3')).click();
  await ctrlClick(await channel(page, 'sources', 'HOST (Camera)', 'Video'));
  await (await channel(page, 'sources', 'HOST (Camera)', 'Video')).click();
  assert.deepEqual((await bridge.calls()).filter(c => c[0] === 'previewSource'),
    [['previewSource', MIXER], ['previewSource', 'HOST (Camera)'], ['previewSource', '']]);
});
