// The source and sender trees, built from the bridge's documents, and the
// channel selection made on them.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { channel, ctrlClick, expand, highlighted, nestedTexts, pagePerTest, treeItem } from './support/page.mjs';

let page, bridge;
pagePerTest(opened => ({ page, bridge } = opened));

const selectedSources = () => page.evaluate(() => globalState.selectedSources);

test('each item offers what its kind has: probing sources no channels yet, "Monitor" no Video, removal or delay', async () => {
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': -1, 'HOST (Mixer)': 3, 'HOST (Slides)': 0, Monitor: 2 });
  await bridge.publishRouting({ Monitor: 2, 'Plover Sender 1': 2, 'Video Only': 0 }, []);
  const offered = async (side, name) => [side, name, ...await nestedTexts(page, side, name)];
  assert.deepEqual([
    await offered('sources', 'HOST (Camera)'), await offered('sources', 'HOST (Mixer)'),
    await offered('sources', 'HOST (Slides)'), await offered('sources', 'Monitor'),
    await offered('senders', 'Monitor'), await offered('senders', 'Plover Sender 1'), await offered('senders', 'Video Only'),
  ], [
    ['sources', 'HOST (Camera)', 'Channels not known yet'],
    ['sources', 'HOST (Mixer)', 'Select All', 'CH 1', 'CH 2', 'CH 3', 'Video'],
    ['sources', 'HOST (Slides)', 'Select All', 'Video'],
    ['sources', 'Monitor', 'Select All', 'CH 1', 'CH 2'],
    ['senders', 'Monitor', 'Select All', 'CH 1', 'CH 2'],
    ['senders', 'Plover Sender 1', 'Select All', 'Remove Sender', 'Audio Delay', 'CH 1', 'CH 2', 'Video'],
    ['senders', 'Video Only', 'Select All', 'Remove Sender', 'Video'],
  ]);
  assert.equal(await (await treeItem(page, 'sources', 'HOST (Camera)')).locator(':scope > .item-note').textContent(), 'probing…');
});

test('selection: a click selects one channel of its column, Ctrl-click adds and takes away, a click on a selected one clears the column, Select All toggles its item, a rebuild keeps what still exists', async () => {
  await bridge.emit('sourcesUpdated', { 'HOST (A)': 3, 'HOST (B)': 2 });
  await bridge.publishRouting({ 'Out 1': 2 }, []);
  const a1 = await channel(page, 'sources', 'HOST (A)', 'CH 1');
  const a3 = await channel(page, 'sources', 'HOST (A)', 'CH 3');
  const bVideo = await channel(page, 'sources', 'HOST (B)', 'Video');
  await (await channel(page, 'senders', 'Out 1', 'CH 1')).click();
  await a1.click();
  await a3.click();
  assert.deepEqual(await highlighted(page, 'sources'), [['HOST (A)', 'CH 3']]);
  await ctrlClick(bVideo);
  await ctrlClick(a1);
  await ctrlClick(bVideo);
  assert.deepEqual(await selectedSources(), [{ name: 'HOST (A)', channel: 3 }, { name: 'HOST (A)', channel: 1 }]);
  assert.deepEqual(await highlighted(page, 'sources'), [['HOST (A)', 'CH 1'], ['HOST (A)', 'CH 3']]);
  await a3.click();
  assert.deepEqual(await selectedSources(), []);
  assert.deepEqual(await highlighted(page, 'sources'), []);
  assert.deepEqual(await highlighted(page, 'senders'), [['Out 1', 'CH 1']], 'the other column keeps its own');

  // Select All selects every channel of its item in order, then clears them, then selects them again.
  const selectAll = (await expand(page, 'sources', 'HOST (A)')).getByRole('button', { name: 'Select All' });
  await (await channel(page, 'sources', 'HOST (B)', 'CH 2')).click();
  const all = [1, 2, 3, 'Video'].map(c => ({ name: 'HOST (A)', channel: c }));
  await selectAll.click();
  assert.deepEqual(await selectedSources(), all);
  await selectAll.click();
  assert.deepEqual(await selectedSources(), []);
  await selectAll.click();
  assert.deepEqual(await highlighted(page, 'sources'),
    [['HOST (A)', 'CH 1'], ['HOST (A)', 'CH 2'], ['HOST (A)', 'CH 3'], ['HOST (A)', 'Video']]);

  // A rebuilt tree keeps the selected channels that still exist, highlighted, and drops the others.
  await ctrlClick(await channel(page, 'sources', 'HOST (B)', 'CH 2'));
  await bridge.emit('sourcesUpdated', { 'HOST (A)': 2 });
  assert.deepEqual(await selectedSources(), [1, 2, 'Video'].map(c => ({ name: 'HOST (A)', channel: c })));
  assert.deepEqual(await highlighted(page, 'sources'), [['HOST (A)', 'CH 1'], ['HOST (A)', 'CH 2'], ['HOST (A)', 'Video']]);
});
