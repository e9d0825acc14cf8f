// Undo and Redo of the routing changes made on the page: one step per action,
// taken back and made again through the same slots, from what this page had.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import {
  addSender, audioConnection, connectionRows, delayControl, expand, link, pagePerTest, takeError, treeNames,
  videoConnection,
} from './support/page.mjs';

const [MIXER, CAMERA, S1, S2] = ['HOST (Mixer)', 'HOST (Camera)', 'Plover Sender 1', 'Plover Sender 2'];
const SENDERS = { [S1]: 4, [S2]: 2 };
const ROUTING = [audioConnection(MIXER, 0, S1, 0), videoConnection(CAMERA, S1)];

let page, bridge;
pagePerTest(async opened => {
  ({ page, bridge } = opened);
  await bridge.emit('sourcesUpdated', { [CAMERA]: 0, [MIXER]: 8 });
  await bridge.publishRouting(SENDERS, ROUTING);
});

const undo = () => page.click('#undoButton');
const redo = () => page.click('#redoButton');
const buttons = () => page.evaluate(() => ['undoButton', 'redoButton'].map(id => {
  const button = document.getElementById(id);
  return button.disabled ? null : button.title;
}));
const rowsBefore = [[MIXER, '>', 'CH 1', '|', 'CH 1', '<', S1], [CAMERA, '>', 'Video', '|', 'Video', '<', S1]];

test('a Link and Remove All are a step each: Undo takes back the last, Redo makes it again, by button and by key', async () => {
  assert.deepEqual(await buttons(), [null, null]);
  await link(page, [[MIXER, 'CH 2'], [MIXER, 'CH 3']], [[S2, 'CH 1'], [S2, 'CH 2']]);
  await page.click('#removeAllButton');
  assert.deepEqual(await buttons(), ['Undo Remove All (Ctrl+Z)', null]);
  await bridge.takeCalls();

  // Remove All comes back whole, in the order the rows were taken away.
  await undo();
  const linked = [[MIXER, '>', 'CH 2', '|', 'CH 1', '<', S2], [MIXER, '>', 'CH 3', '|', 'CH 2', '<', S2]];
  assert.deepEqual(await connectionRows(page), [...rowsBefore, ...linked].reverse());
  assert.deepEqual(await bridge.takeCalls(), [['connectionAdded', MIXER, 2, S2, 1], ['connectionAdded', MIXER, 1, S2, 0],
    ['videoConnectionAdded', CAMERA, S1], ['connectionAdded', MIXER, 0, S1, 0]]);
  assert.deepEqual(await buttons(), ['Undo Link (Ctrl+Z)', 'Redo Remove All (Ctrl+Shift+Z)']);

  await page.keyboard.press('Control+z');
  assert.deepEqual((await connectionRows(page)).length, 2);
  assert.deepEqual(await bridge.takeCalls(), [['connectionRemoved', MIXER, 2, S2, 1], ['connectionRemoved', MIXER, 1, S2, 0]]);
  assert.deepEqual(await buttons(), [null, 'Redo Link (Ctrl+Shift+Z)']);

  await page.keyboard.press('Control+Shift+Z');
  await redo();
  assert.deepEqual(await connectionRows(page), []);
  assert.deepEqual(await bridge.takeCalls(), [['connectionAdded', MIXER, 1, S2, 0], ['connectionAdded', MIXER, 2, S2, 1],
    ['connectionRemoved', MIXER, 0, S1, 0], ['videoConnectionRemoved', CAMERA, S1],
    ['connectionRemoved', MIXER, 1, S2, 0], ['connectionRemoved', MIXER, 2, S2, 1]]);

  // A new step ends what could be redone; a text box keeps its own Ctrl+Z.
  await undo();
  await page.locator('#connectedSenders .trash-button').first().click();
  assert.deepEqual(await buttons(), ['Undo Remove connection (Ctrl+Z)', null]);
  await page.locator('#filterInputs').press('Control+z');
  assert.equal((await connectionRows(page)).length, 3);
});

test('a settled delay, an added and a removed sender are steps: a removed sender comes back with its delay and routes', async () => {
  const { slider, shown } = await delayControl(page, S1);
  await slider.fill('40');
  for (let i = 0; i < 60; ++i) await slider.press('ArrowRight'); // each key a step: more than 50 are kept
  await addSender(page, 'Band 👨‍👩‍👧', '2');
  await (await expand(page, 'senders', S1)).getByRole('button', { name: 'Remove Sender' }).click();
  assert.deepEqual(await treeNames(page, 'senders'), [S2, 'Band 👨‍👩‍👧']);
  await bridge.takeCalls();

  await undo();
  assert.deepEqual(await bridge.takeCalls(), [['senderAdded', S1, 4], ['setAVDelay', S1, 100],
    ['videoConnectionAdded', CAMERA, S1], ['connectionAdded', MIXER, 0, S1, 0]]);
  await bridge.emit('sendersUpdated', { ...SENDERS, 'Band 👨‍👩‍👧': 2 }); // as the bridge publishes it
  await bridge.emit('connectionsUpdated', ROUTING);
  await bridge.emit('setAVDelaySignal', { senderDelay: 100, senderName: S1 });
  await undo();
  assert.deepEqual(await bridge.takeCalls(), [['senderRemoved', 'Band 👨‍👩‍👧']]);
  for (let i = 0; i < 61; ++i) await undo();
  assert.deepEqual(await (await delayControl(page, S1)).shown(), ['0', 'Delay: 0 ms']);
  assert.deepEqual((await bridge.takeCalls()).at(-1), ['setAVDelay', S1, 0]);
  assert.deepEqual(await buttons(), [null, 'Redo Delay (Ctrl+Shift+Z)']);
  await redo();
  assert.deepEqual(await shown(), ['40', 'Delay: 40 ms']);
});

test('an undo after another page changed the same thing restores what this page had, and says why the bridge refused a part', async () => {
  await link(page, [[MIXER, 'CH 2']], [[S2, 'CH 1']]);
  // Another page puts another source on that channel; this page removes all; then the other page removes the
  // sender whose video this page had.
  const replaced = audioConnection(MIXER, 6, S2, 0);
  await bridge.emit('routingChanged', { senders: SENDERS, connections: [videoConnection(CAMERA, S1), replaced], delays: {} });
  await page.click('#removeAllButton');
  await bridge.emit('routingChanged', { senders: { [S2]: 2 }, connections: [], delays: {} });
  await bridge.takeCalls();

  await bridge.refuse('videoConnectionAdded', `there is no sender "${S1}"`);
  await undo();
  assert.equal(await takeError(page), `Undo could not be done in full: There is no sender "${S1}"`);
  assert.deepEqual(await connectionRows(page), [[MIXER, '>', 'CH 7', '|', 'CH 1', '<', S2]]);
  await bridge.refuse('videoConnectionAdded', null);
  await undo(); // the link this page made: the channel is free again, as it was here before it
  assert.deepEqual(await connectionRows(page), []);
  assert.deepEqual((await bridge.takeCalls()).at(-1), ['connectionRemoved', MIXER, 6, S2, 0]);

  // A link the bridge refuses never happened: there is nothing to undo.
  await redo();
  await page.click('#removeAllButton');
  await bridge.refuse('connectionAdded', '"Plover Sender 2" has 2 channels');
  await link(page, [[MIXER, 'CH 1']], [[S2, 'CH 2']]);
  assert.deepEqual(await buttons(), ['Undo Remove All (Ctrl+Z)', null]);
});
