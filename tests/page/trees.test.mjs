// The source and sender trees, built from the bridge's documents, and the
// channel selection made on them.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { channel, ctrlClick, expand, highlighted, nestedTexts, pagePerTest, treeItem } from './support/page.mjs';

let page, bridge;
pagePerTest(opened => ({ page, bridge } = opened));

test('each item offers what its kind has: probing sources no channels yet, "Monitor" no Video, removal or delay', async () => {
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': -1, 'HOST (Mixer)': 3, 'HOST (Slides)': 0, Monitor: 2 });
  await bridge.publishRouting({ Monitor: 2, 'Plover Sender 1': 2, 'Video Only': 0 }, []);
  const expected = [
    ['sources', 'HOST (Camera)', 'Channels not known yet'],
    ['sources', 'HOST (Mixer)', 'Select All', 'CH 1', 'CH 2', 'CH 3', 'Video'],
    ['sources', 'HOST (Slides)', 'Select All', 'Video'],
    ['sources', 'Monitor', 'Select All', 'CH 1', 'CH 2'],
    ['senders', 'Monitor', 'Select All', 'CH 1', 'CH 2'],
    ['senders', 'Plover Sender 1', 'Select All', 'Remove Sender', 'Audio Delay', 'CH 1', 'CH 2', 'Video'],
    ['senders', 'Video Only', 'Select All', 'Remove Sender', 'Video'],
  ];
  const offered = [];
  for (const [side, name] of expected) offered.push([side, name, ...await nestedTexts(page, side, name)]);
  assert.deepEqual(offered, expected);
  assert.equal(await (await treeItem(page, 'sources', 'HOST (Camera)')).locator(':scope > .item-note').textContent(), 'probing…');
});

test('selection: a click selects one channel of its column, Ctrl-click adds and takes away, a click on a selected one clears the column, Select All toggles its item, a rebuild keeps what still exists', async () => {
  await bridge.emit('sourcesUpdated', { 'HOST (A)': 3, 'HOST (B)': 2 });
  await bridge.publishRouting({ 'Out 1': 2 }, []);
  await (await channel(page, 'senders', 'Out 1', 'CH 1')).click();
  // [how, source item, channel, the selection after it, in order], channels written "A 1" for HOST (A) CH 1.
  const allOfA = ['A 1', 'A 2', 'A 3', 'A Video'];
  const steps = [
    ['click', 'A', 'CH 1', ['A 1']], ['click', 'A', 'CH 3', ['A 3']], ['ctrl', 'B', 'Video', ['A 3', 'B Video']],
    ['ctrl', 'A', 'CH 1', ['A 3', 'B Video', 'A 1']], ['ctrl', 'B', 'Video', ['A 3', 'A 1']], ['click', 'A', 'CH 3', []],
    ['click', 'B', 'CH 2', ['B 2']], ['selectAll', 'A', '', allOfA], ['selectAll', 'A', '', []],
    ['selectAll', 'A', '', allOfA], ['ctrl', 'B', 'CH 2', [...allOfA, 'B 2']],
  ];
  // The selection in its order, and the highlighted channels in tree order.
  const short = (name, channelName) => `${name.slice(6, -1)} ${String(channelName).replace('CH ', '')}`;
  const state = async () => [(await page.evaluate(() => globalState.selectedSources)).map(s => short(s.name, s.channel)),
    (await highlighted(page, 'sources')).map(([name, label]) => short(name, label))];
  const seen = [];
  for (const [how, item, label] of steps) {
    const name = `HOST (${item})`;
    if (how === 'selectAll') await (await expand(page, 'sources', name)).getByRole('button', { name: 'Select All' }).click();
    else await (how === 'ctrl' ? ctrlClick : c => c.click())(await channel(page, 'sources', name, label));
    seen.push(await state());
  }
  // Sorted, these names read in tree order.
  assert.deepEqual(seen, steps.map(([, , , selection]) => [selection, [...selection].sort()]));
  assert.deepEqual(await highlighted(page, 'senders'), [['Out 1', 'CH 1']], 'the other column keeps its own');

  // A rebuilt tree keeps the selected channels that still exist, highlighted, and drops the others.
  await bridge.emit('sourcesUpdated', { 'HOST (A)': 2 });
  assert.deepEqual(await state(), [['A 1', 'A 2', 'A Video'], ['A 1', 'A 2', 'A Video']]);
});

test('a source opened while it is probed stays open with its channels; what the person scrolled to stays in place', async () => {
  const sources = Object.fromEntries(Array.from({ length: 40 }, (_, i) => [`HOST (Source ${String(i).padStart(2, '0')})`, 2]));
  await bridge.emit('sourcesUpdated', { ...sources, 'HOST (Camera)': -1 });
  await expand(page, 'sources', 'HOST (Camera)');
  await expand(page, 'sources', 'HOST (Source 05)');
  await (await channel(page, 'sources', 'HOST (Source 30)', 'CH 2')).click();
  // Where the person scrolled to: Source 30 at the top of the list.
  const top = (scroll = false) => page.evaluate(scroll => {
    const list = document.getElementById('availableSourcesList');
    const item = [...list.children].find(li => li.querySelector('.item-name').textContent === 'HOST (Source 30)');
    if (scroll) list.scrollTop += item.getBoundingClientRect().top - list.getBoundingClientRect().top;
    return Math.round(item.getBoundingClientRect().top - list.getBoundingClientRect().top);
  }, scroll);
  const before = await top(true);

  // The camera's channels are found, and a source above the one scrolled to gains channels.
  await bridge.emit('sourcesUpdated', { ...sources, 'HOST (Source 05)': 8, 'HOST (Camera)': 2 });
  const open = await page.locator('#availableSourcesList > li').evaluateAll(lis => lis
    .filter(li => li.querySelector(':scope > .nested').classList.contains('active'))
    .map(li => li.querySelector('.item-name').textContent));
  assert.deepEqual(open, ['HOST (Source 05)', 'HOST (Source 30)', 'HOST (Camera)']);
  assert.deepEqual(await nestedTexts(page, 'sources', 'HOST (Camera)'), ['Select All', 'CH 1', 'CH 2', 'Video']);
  assert.equal(await top(), before);
  assert.deepEqual(await highlighted(page, 'sources'), [['HOST (Source 30)', 'CH 2']]);
});
