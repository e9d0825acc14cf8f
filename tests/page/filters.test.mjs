// The three filter boxes and their shared timer.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { audioConnection, pagePerTest, untilEqual, videoConnection } from './support/page.mjs';

let page, bridge;
pagePerTest(async opened => {
  ({ page, bridge } = opened);
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, 'HOST (Mixer)': 8, 'LAPTOP (Slides)': 2 });
  await bridge.publishRouting({ 'Plover Sender 1': 8, 'Stream Out': 2 }, [
    audioConnection('HOST (Mixer)', 1, 'Plover Sender 1', 0),
    videoConnection('HOST (Camera)', 'Plover Sender 1'),
    audioConnection('LAPTOP (Slides)', 0, 'Stream Out', 1),
    audioConnection('HOST (Mixer)', 3, 'Stream Out', 0),
  ]);
});

/** Replaces a box's text with key presses, as typing does. */
async function type(id, text) {
  const box = page.locator(`#${id}`);
  await box.press('Control+A');
  await box.press('Backspace');
  await box.pressSequentially(text);
}

/** What shows: source names, and row indexes (both halves of a row must agree). */
async function shown() {
  return page.evaluate(() => {
    const visible = li => li.offsetParent !== null;
    const rows = ['connectedSources', 'connectedSenders'].map(id =>
      [...document.getElementById(id).children].flatMap((li, i) => (visible(li) ? [i] : [])).join());
    return {
      sources: [...document.querySelectorAll('#availableSourcesList > li')].filter(visible)
        .map(li => li.querySelector('.item-name').textContent),
      rows: rows[0] === rows[1] ? rows[0] : rows,
    };
  });
}

test('the inputs filter shows the sources whose name holds the query in any case, across a rebuilt tree; the sender filter matches the right half of each row; the source filter, while it holds text, wins', async () => {
  const ALL = ['HOST (Camera)', 'HOST (Mixer)', 'LAPTOP (Slides)'];
  // [box, text typed, sources shown, rows shown then]; "stream", typed in the sender filter while the source filter
  // holds text, is ignored (alone it shows rows 2 and 3).
  const steps = [['filterInputs', 'mIxEr', ['HOST (Mixer)'], '0,1,2,3'], ['filterInputs', '', ALL, '0,1,2,3'],
    ['filterDest', 'ch 1 <', ALL, '0,3'], ['filterSources', 'video', ALL, '1'], ['filterDest', 'stream', ALL, '1'],
    ['filterSources', 'mixer', ALL, '0,3'], ['filterSources', '', ALL, '2,3'], ['filterDest', '', ALL, '0,1,2,3'],
    ['filterInputs', 'mixer', ['HOST (Mixer)'], '0,1,2,3']];
  for (const [box, text, sources, rows] of steps) {
    await type(box, text);
    await untilEqual(shown, { sources, rows });
  }
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, 'HOST (Mixer)': 8, 'STUDIO (Mixer 2)': 2 });
  assert.deepEqual(await shown(), { sources: ['HOST (Mixer)', 'STUDIO (Mixer 2)'], rows: '0,1,2,3' });
});
