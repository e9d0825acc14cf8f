// Linking selected channels, and removing connections by trash button,
// Remove All and Remove Sender.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import {
  audioConnection, channel, connectionRows, expand, link, pagePerTest, takeError, treeNames, videoConnection,
} from './support/page.mjs';

const [MIXER, CAMERA, S1, S2] = ['HOST (Mixer)', 'HOST (Camera)', 'Plover Sender 1', 'Plover Sender 2'];
const SENDERS = { Monitor: 2, [S1]: 4, [S2]: 2 };

let page, bridge;
pagePerTest(async opened => {
  ({ page, bridge } = opened);
  await bridge.emit('sourcesUpdated', { [CAMERA]: 0, [MIXER]: 8 });
  await bridge.publishRouting(SENDERS, []);
});

const added = (...connection) => ['connectionAdded', ...connection];
const videoAdded = (...connection) => ['videoConnectionAdded', ...connection];

// [what, routing before, source picks, sender picks, calls, error shown]; picks are made in order,
// the first of a side by a click, the others by Ctrl-click.
const pairings = [
  ['one source channel and two sender channels make one link', [],
    [[MIXER, 'CH 2']], [[S1, 'CH 1'], [S1, 'CH 2']], [added(MIXER, 1, S1, 0)], null],
  ['pairs follow selection order across items', [],
    [[MIXER, 'CH 8'], [MIXER, 'CH 3']], [[S2, 'CH 2'], [S1, 'CH 4'], ['Monitor', 'CH 1']],
    [added(MIXER, 7, S2, 1), added(MIXER, 2, S1, 3)], null],
  ['a source Video takes the first sender Video at or after its position', [],
    [[CAMERA, 'Video']], [[S1, 'CH 1'], [S2, 'Video']], [videoAdded(CAMERA, S2)], null],
  // CH 1 against the sender Video finds the source Video after it; that source Video finds no sender Video after it.
  ['a sender Video takes the first source Video at or after its position', [],
    [[MIXER, 'CH 1'], [CAMERA, 'Video']], [[S1, 'Video'], [S1, 'CH 1']], [videoAdded(CAMERA, S1)], null],
  ['a source Video skips a sender Video before its own position', [],
    [[MIXER, 'CH 1'], [CAMERA, 'Video']], [[S1, 'Video'], [S2, 'Video']], [videoAdded(CAMERA, S1), videoAdded(CAMERA, S2)], null],
  ['a source Video never takes a sender Video that is connected', [videoConnection(CAMERA, S1)],
    [[CAMERA, 'Video']], [[S1, 'CH 1'], [S1, 'Video']], [], null],
  ['a connected sender channel is refused with the reason and the other pairs are linked',
    [audioConnection(MIXER, 0, S1, 1)],
    [[MIXER, 'CH 5'], [MIXER, 'CH 6']], [[S1, 'CH 2'], [S1, 'CH 3']], [added(MIXER, 5, S1, 2)], 'Sender channel already in use'],
  ['"in use" compares the exact sender name, not a prefix either way',
    [audioConnection(MIXER, 0, 'Plover Sender', 0), audioConnection(MIXER, 0, S1, 1)],
    [[MIXER, 'CH 3'], [MIXER, 'CH 4']], [[S1, 'CH 1'], ['Plover Sender', 'CH 2']],
    [added(MIXER, 2, S1, 0), added(MIXER, 3, 'Plover Sender', 1)], null],
];

test('Link pairs the selected channels in order, Video with Video, and leaves the selections empty', async () => {
  const outcomes = [];
  for (const [what, routing, sources, senders] of pairings) {
    await bridge.publishRouting({ ...SENDERS, 'Plover Sender': 2 }, routing);
    await link(page, sources, senders);
    const calls = await bridge.takeCalls();
    outcomes.push([what, calls, await takeError(page), (await connectionRows(page)).length - routing.length]);
    assert.deepEqual(await page.evaluate(() => globalState), { selectedSources: [], selectedSenders: [] }, what);
  }
  assert.deepEqual(outcomes, pairings.map(([what, , , , calls, error]) => [what, calls, error, calls.length]));
});

test('a link the bridge refuses is undone with the reason shown; the others of the same Link stay', async () => {
  await bridge.refuse('connectionAdded', '"Plover Sender 2" has 2 channels');
  await link(page, [[MIXER, 'CH 1']], [[S2, 'CH 2']]);
  assert.equal(await takeError(page), '"Plover Sender 2" has 2 channels');
  await bridge.refuse('connectionAdded', null);
  await link(page, [[MIXER, 'CH 3']], [[S1, 'CH 1']]);
  await bridge.refuse('videoConnectionAdded', 'there is no sender "Plover Sender 1"');
  await link(page, [[CAMERA, 'Video']], [[S1, 'Video']]);
  assert.equal(await takeError(page), 'There is no sender "Plover Sender 1"');
  assert.deepEqual(await connectionRows(page), [[MIXER, '>', 'CH 3', '|', 'CH 1', '<', S1]]);
  assert.deepEqual(await bridge.takeCalls(), [added(MIXER, 0, S2, 1), added(MIXER, 2, S1, 0), videoAdded(CAMERA, S1)]);
});

test('a trash button, Remove Sender and Remove All take rows away, each with its calls; a freed channel links again', async () => {
  await bridge.publishRouting(SENDERS, [audioConnection(MIXER, 1, S1, 0), videoConnection(CAMERA, S1),
    audioConnection(MIXER, 7, S2, 1), audioConnection(MIXER, 3, S2, 0), audioConnection(MIXER, 0, 'Monitor', 0)]);
  await page.locator('#connectedSenders > li').nth(2).locator('.trash-button').click();
  // Remove Sender takes the sender's rows, then its item and its selected channels, then the sender.
  await (await channel(page, 'senders', S1, 'CH 3')).click();
  await (await expand(page, 'senders', S1)).getByRole('button', { name: 'Remove Sender' }).click();
  assert.deepEqual(await page.evaluate(() => globalState.selectedSenders), []);
  assert.deepEqual(await treeNames(page, 'senders'), ['Monitor', S2]);
  assert.deepEqual(await connectionRows(page), [[MIXER, '>', 'CH 4', '|', 'CH 1', '<', S2], [MIXER, '>', 'CH 1', '|', 'CH 1', '<', 'Monitor']]);
  await link(page, [[MIXER, 'CH 2']], [[S2, 'CH 2']]);
  await page.click('#removeAllButton');
  assert.deepEqual(await connectionRows(page), []);
  assert.deepEqual(await bridge.takeCalls(), [
    ['connectionRemoved', MIXER, 7, S2, 1],
    ['connectionRemoved', MIXER, 1, S1, 0], ['videoConnectionRemoved', CAMERA, S1], ['senderRemoved', S1],
    added(MIXER, 1, S2, 1),
    ['connectionRemoved', MIXER, 3, S2, 0], ['connectionRemoved', MIXER, 0, 'Monitor', 0], ['connectionRemoved', MIXER, 1, S2, 1],
  ]);
});
