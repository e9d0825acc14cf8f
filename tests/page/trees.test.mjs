// The source and sender trees, built from the bridge's documents, and the
// channel selection made on them.
import assert from 'node:assert/strict';
import { after, before, beforeEach, afterEach, describe, test } from 'node:test';
import {
  channel, ctrlClick, expand, highlighted, launchBrowser, nestedTexts, openPage, treeItem, treeNames,
} from './support/page.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

let page, bridge, context, errors;
beforeEach(async () => { ({ page, bridge, context, errors } = await openPage(browser)); });
afterEach(async () => {
  assert.deepEqual(errors, []);
  await context.close();
});

describe('trees', () => {
  test('sources: unknown counts are listed as probing, 0 channels gives only Video, "Monitor" has no Video', async () => {
    await bridge.emit('sourcesUpdated', { 'HOST (Camera)': -1, 'HOST (Mixer)': 3, 'HOST (Slides)': 0, Monitor: 2 });
    assert.deepEqual(await treeNames(page, 'sources'), ['HOST (Camera)', 'HOST (Mixer)', 'HOST (Slides)', 'Monitor']);
    const probing = await treeItem(page, 'sources', 'HOST (Camera)');
    assert.equal(await probing.locator(':scope > .item-note').textContent(), 'probing…');
    assert.deepEqual(await nestedTexts(page, 'sources', 'HOST (Camera)'), ['Channels not known yet']);
    assert.deepEqual(await nestedTexts(page, 'sources', 'HOST (Mixer)'), ['Select All', 'CH 1', 'CH 2', 'CH 3', 'Video']);
    assert.deepEqual(await nestedTexts(page, 'sources', 'HOST (Slides)'), ['Select All', 'Video']);
    assert.deepEqual(await nestedTexts(page, 'sources', 'Monitor'), ['Select All', 'CH 1', 'CH 2']);
  });

  test('senders: "Monitor" has no Remove Sender, delay or Video; 0 channels shows Select All, Remove Sender and Video', async () => {
    await bridge.publishRouting({ Monitor: 2, 'Plover Sender 1': 2, 'Video Only': 0 }, []);
    assert.deepEqual(await treeNames(page, 'senders'), ['Monitor', 'Plover Sender 1', 'Video Only']);
    assert.deepEqual(await nestedTexts(page, 'senders', 'Monitor'), ['Select All', 'CH 1', 'CH 2']);
    assert.deepEqual(await nestedTexts(page, 'senders', 'Plover Sender 1'),
      ['Select All', 'Remove Sender', 'Audio Delay', 'CH 1', 'CH 2', 'Video']);
    assert.deepEqual(await nestedTexts(page, 'senders', 'Video Only'), ['Select All', 'Remove Sender', 'Video']);
  });

  test('names that are array indices come first in numeric order, the others in the order of the JSON text', async () => {
    await bridge.emit('sourcesUpdated', '{"A (x)":1,"B":1,"10":1,"2":1,"02":1,"Z":1}');
    assert.deepEqual(await treeNames(page, 'sources'), ['2', '10', 'A (x)', 'B', '02', 'Z']);
  });

  test('a caret click toggles the nested list and turns the caret', async () => {
    await bridge.emit('sourcesUpdated', { 'HOST (Mixer)': 1 });
    const item = await treeItem(page, 'sources', 'HOST (Mixer)');
    const caret = item.locator(':scope > .item-name');
    const nested = item.locator(':scope > .nested');
    assert.equal(await nested.isVisible(), false);
    await caret.click();
    assert.ok(await nested.isVisible());
    assert.match(await caret.getAttribute('class'), /caret-down/);
    await caret.click();
    assert.equal(await nested.isVisible(), false);
    assert.doesNotMatch(await caret.getAttribute('class'), /caret-down/);
  });

  test('every document rebuilds the tree whole', async () => {
    await bridge.emit('sourcesUpdated', { 'HOST (A)': 1, 'HOST (B)': 1 });
    await expand(page, 'sources', 'HOST (A)');
    await bridge.emit('sourcesUpdated', { 'HOST (A)': 2 });
    assert.deepEqual(await treeNames(page, 'sources'), ['HOST (A)']);
    const item = await treeItem(page, 'sources', 'HOST (A)');
    assert.equal(await item.locator(':scope > .nested').isVisible(), false, 'expansion starts afresh');
    assert.deepEqual(await nestedTexts(page, 'sources', 'HOST (A)'), ['Select All', 'CH 1', 'CH 2', 'Video']);
  });
});

describe('selection', () => {
  beforeEach(async () => {
    await bridge.emit('sourcesUpdated', { 'HOST (A)': 3, 'HOST (B)': 2 });
    await bridge.publishRouting({ 'Out 1': 2 }, []);
  });

  test('plain click selects one item only; Ctrl-click adds and removes; plain click on a selected item clears the column', async () => {
    const a1 = await channel(page, 'sources', 'HOST (A)', 'CH 1');
    const a3 = await channel(page, 'sources', 'HOST (A)', 'CH 3');
    const bVideo = await channel(page, 'sources', 'HOST (B)', 'Video');
    const out1 = await channel(page, 'senders', 'Out 1', 'CH 1');

    await out1.click();
    await a1.click();
    await a3.click();
    assert.deepEqual(await highlighted(page, 'sources'), [['HOST (A)', 'CH 3']]);

    await ctrlClick(bVideo);
    await ctrlClick(a1);
    assert.deepEqual(await highlighted(page, 'sources'), [['HOST (A)', 'CH 1'], ['HOST (A)', 'CH 3'], ['HOST (B)', 'Video']]);
    assert.deepEqual(await page.evaluate(() => globalState.selectedSources), [
      { name: 'HOST (A)', channel: 3 }, { name: 'HOST (B)', channel: 'Video' }, { name: 'HOST (A)', channel: 1 }]);

    await ctrlClick(bVideo);
    assert.deepEqual(await page.evaluate(() => globalState.selectedSources), [
      { name: 'HOST (A)', channel: 3 }, { name: 'HOST (A)', channel: 1 }]);
    assert.deepEqual(await highlighted(page, 'sources'), [['HOST (A)', 'CH 1'], ['HOST (A)', 'CH 3']]);

    await a3.click();
    assert.deepEqual(await highlighted(page, 'sources'), []);
    assert.deepEqual(await page.evaluate(() => globalState.selectedSources), []);

    // The sender column kept its own selection throughout.
    assert.deepEqual(await highlighted(page, 'senders'), [['Out 1', 'CH 1']]);
  });

  test('Select All: first click selects all channels in order, second clears, third selects again', async () => {
    const item = await expand(page, 'sources', 'HOST (A)');
    const selectAll = item.getByRole('button', { name: 'Select All' });
    await (await channel(page, 'sources', 'HOST (B)', 'CH 2')).click();

    await selectAll.click();
    const all = [{ name: 'HOST (A)', channel: 1 }, { name: 'HOST (A)', channel: 2 },
      { name: 'HOST (A)', channel: 3 }, { name: 'HOST (A)', channel: 'Video' }];
    assert.deepEqual(await page.evaluate(() => globalState.selectedSources), all);
    assert.deepEqual(await highlighted(page, 'sources'),
      [['HOST (A)', 'CH 1'], ['HOST (A)', 'CH 2'], ['HOST (A)', 'CH 3'], ['HOST (A)', 'Video']]);

    await selectAll.click();
    assert.deepEqual(await page.evaluate(() => globalState.selectedSources), []);
    assert.deepEqual(await highlighted(page, 'sources'), []);

    await selectAll.click();
    assert.deepEqual(await page.evaluate(() => globalState.selectedSources), all);
    assert.equal(await page.locator('#availableSourcesList .channel-item.selected').count(), 4);
  });

  test('a rebuild keeps selected channels that still exist, highlighted, and drops the others', async () => {
    await (await channel(page, 'sources', 'HOST (A)', 'CH 3')).click();
    await ctrlClick(await channel(page, 'sources', 'HOST (B)', 'CH 2'));
    await ctrlClick(await channel(page, 'sources', 'HOST (A)', 'CH 1'));

    await bridge.emit('sourcesUpdated', { 'HOST (A)': 2 });
    assert.deepEqual(await page.evaluate(() => globalState.selectedSources), [{ name: 'HOST (A)', channel: 1 }]);
    assert.deepEqual(await highlighted(page, 'sources'), [['HOST (A)', 'CH 1']]);
  });
});
