// The three filter boxes and their shared timer.
import assert from 'node:assert/strict';
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import {
  audioConnection, DEADLINE_MS, launchBrowser, openPage, videoConnection,
} from './support/page.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

let page, bridge, context, errors;
beforeEach(async () => {
  ({ page, bridge, context, errors } = await openPage(browser));
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, 'HOST (Mixer)': 8, 'LAPTOP (Slides)': 2 });
  await bridge.publishRouting({ 'Plover Sender 1': 8, 'Stream Out': 2 }, [
    audioConnection('HOST (Mixer)', 1, 'Plover Sender 1', 0),
    videoConnection('HOST (Camera)', 'Plover Sender 1'),
    audioConnection('LAPTOP (Slides)', 0, 'Stream Out', 1),
    audioConnection('HOST (Mixer)', 3, 'Stream Out', 0),
  ]);
});
afterEach(async () => {
  assert.deepEqual(errors, []);
  await context.close();
});

/** Replaces a box's text with key presses, as typing does. */
async function type(id, text) {
  const box = page.locator(`#${id}`);
  await box.click();
  await box.press('Control+A');
  await box.press('Backspace');
  if (text) await box.pressSequentially(text);
}

function visibleSourceNames() {
  return page.locator('#availableSourcesList > li').evaluateAll(lis => lis
    .filter(li => li.offsetParent !== null).map(li => li.querySelector('.item-name').textContent));
}

/** Row indexes visible in each half, read at one moment; both halves must agree. */
async function visibleRows() {
  const [left, right] = await page.evaluate(() => ['connectedSources', 'connectedSenders'].map(id =>
    [...document.getElementById(id).children].map((li, i) => (li.offsetParent !== null ? i : -1)).filter(i => i >= 0)));
  assert.deepEqual(right, left);
  return left;
}

async function eventually(read, expected) {
  const deadline = Date.now() + DEADLINE_MS;
  let actual;
  while (Date.now() < deadline) {
    actual = await read();
    if (JSON.stringify(actual) === JSON.stringify(expected)) return;
    await new Promise(resolve => setTimeout(resolve, 50));
  }
  assert.deepEqual(actual, expected);
}

describe('filters', () => {
  test('the inputs filter shows sources whose name holds the query, in any case, and all when empty', async () => {
    await type('filterInputs', 'HOST');
    await eventually(visibleSourceNames, ['HOST (Camera)', 'HOST (Mixer)']);
    await type('filterInputs', 'mIxEr');
    await eventually(visibleSourceNames, ['HOST (Mixer)']);
    // A rebuilt tree keeps the filter that is typed.
    await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, 'HOST (Mixer)': 8, 'STUDIO (Mixer 2)': 2 });
    assert.deepEqual(await visibleSourceNames(), ['HOST (Mixer)', 'STUDIO (Mixer 2)']);
    await type('filterInputs', '');
    await eventually(visibleSourceNames, ['HOST (Camera)', 'HOST (Mixer)', 'STUDIO (Mixer 2)']);
    assert.deepEqual(await visibleRows(), [0, 1, 2, 3], 'the source filter leaves the rows alone');
  });

  test('the sender filter matches the right half of each row; the source filter, when it holds text, wins', async () => {
    await type('filterDest', 'stream');
    await eventually(visibleRows, [2, 3]);
    await type('filterDest', 'ch 1 <');
    await eventually(visibleRows, [0, 3]);

    await type('filterSources', 'host');
    await eventually(visibleRows, [0, 1, 3]);
    await type('filterSources', 'video');
    await eventually(visibleRows, [1]);

    // Typing in the sender filter while the source filter holds text is ignored: "stream"
    // alone would show rows 2 and 3.
    await type('filterDest', 'stream');
    await type('filterSources', 'mixer');
    await eventually(visibleRows, [0, 3]);

    await type('filterSources', '');
    await eventually(visibleRows, [2, 3]);
    await type('filterDest', '');
    await eventually(visibleRows, [0, 1, 2, 3]);
    assert.deepEqual(await visibleSourceNames(), ['HOST (Camera)', 'HOST (Mixer)', 'LAPTOP (Slides)']);
  });

  test('the label "Filter" floats small while the box has focus or text', async () => {
    const labelSize = () => page.locator('label[for=filterInputs]').evaluate(l => getComputedStyle(l).fontSize);
    const settled = async expected => eventually(labelSize, expected);
    assert.equal(await page.locator('label[for=filterInputs]').textContent(), 'Filter');
    const resting = await labelSize();
    assert.notEqual(resting, '9px');
    await page.locator('#filterInputs').focus();
    await settled('9px');
    await page.locator('#filterInputs').pressSequentially('x');
    await page.locator('#filterSources').focus();
    await settled('9px');
    await type('filterInputs', '');
    await page.locator('#filterSources').focus();
    await settled(resting);
  });
});
