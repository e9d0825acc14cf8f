// Linking selected channels, and removing connections by trash button,
// Remove All and Remove Sender.
import assert from 'node:assert/strict';
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import {
  audioConnection, channel, connectionRows, ctrlClick, expand, highlighted, launchBrowser, openPage,
  treeNames, videoConnection,
} from './support/page.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

let page, bridge, context, errors;
beforeEach(async () => {
  ({ page, bridge, context, errors } = await openPage(browser));
  await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, 'HOST (Mixer)': 8 });
  await bridge.publishRouting({ Monitor: 2, 'Plover Sender 1': 4, 'Plover Sender 2': 2 }, []);
});
afterEach(async () => {
  assert.deepEqual(errors, []);
  await context.close();
});

async function pick(side, name, label, { add = false } = {}) {
  const item = await channel(page, side, name, label);
  await (add ? ctrlClick(item) : item.click());
}

async function errorPopupText() {
  return (await page.locator('#errorPopup').isVisible()) ? page.locator('#errorPopupMessage').textContent() : null;
}

async function closeErrorPopup() {
  await page.locator('#errorPopup').getByRole('button', { name: 'Close' }).click();
}

describe('link', () => {
  test('a link the bridge refuses is undone with the reason shown; the others of the same Link stay', async () => {
    await bridge.refuse('connectionAdded', '"Plover Sender 2" has 2 channels');
    await pick('sources', 'HOST (Mixer)', 'CH 1');
    await pick('senders', 'Plover Sender 2', 'CH 2');
    await page.click('#linkButton');
    assert.equal(await errorPopupText(), '"Plover Sender 2" has 2 channels');
    await closeErrorPopup();
    await bridge.refuse('connectionAdded', null);
    await pick('sources', 'HOST (Mixer)', 'CH 3');
    await pick('senders', 'Plover Sender 1', 'CH 1');
    await page.click('#linkButton');
    await bridge.refuse('videoConnectionAdded', 'there is no sender "Plover Sender 1"');
    await pick('sources', 'HOST (Camera)', 'Video');
    await pick('senders', 'Plover Sender 1', 'Video');
    await page.click('#linkButton');

    assert.equal(await errorPopupText(), 'There is no sender "Plover Sender 1"');
    assert.deepEqual(await connectionRows(page), [['HOST (Mixer)', '>', 'CH 3', '|', 'CH 1', '<', 'Plover Sender 1']]);
    assert.deepEqual(await bridge.takeCalls(), [
      ['connectionAdded', 'HOST (Mixer)', 0, 'Plover Sender 2', 1],
      ['connectionAdded', 'HOST (Mixer)', 2, 'Plover Sender 1', 0],
      ['videoConnectionAdded', 'HOST (Camera)', 'Plover Sender 1'],
    ]);
  });

  test('one source channel and two sender channels make exactly one link and clear both selections', async () => {
    await pick('sources', 'HOST (Mixer)', 'CH 2');
    await pick('senders', 'Plover Sender 1', 'CH 1');
    await pick('senders', 'Plover Sender 1', 'CH 2', { add: true });
    await page.click('#linkButton');

    assert.deepEqual(await bridge.takeCalls(), [['connectionAdded', 'HOST (Mixer)', 1, 'Plover Sender 1', 0]]);
    assert.deepEqual(await connectionRows(page), [['HOST (Mixer)', '>', 'CH 2', '|', 'CH 1', '<', 'Plover Sender 1']]);
    assert.deepEqual(await page.evaluate(() => globalState), { selectedSources: [], selectedSenders: [] });
    assert.deepEqual(await highlighted(page, 'sources'), []);
    assert.deepEqual(await highlighted(page, 'senders'), []);
    assert.equal(await errorPopupText(), null);
  });

  test('pairs follow selection order across sources and senders', async () => {
    await pick('sources', 'HOST (Mixer)', 'CH 8');
    await pick('sources', 'HOST (Mixer)', 'CH 3', { add: true });
    await pick('senders', 'Plover Sender 2', 'CH 2');
    await pick('senders', 'Plover Sender 1', 'CH 4', { add: true });
    await pick('senders', 'Monitor', 'CH 1', { add: true });
    await page.click('#linkButton');

    assert.deepEqual(await bridge.takeCalls(), [
      ['connectionAdded', 'HOST (Mixer)', 7, 'Plover Sender 2', 1],
      ['connectionAdded', 'HOST (Mixer)', 2, 'Plover Sender 1', 3],
    ]);
    assert.deepEqual(await connectionRows(page), [
      ['HOST (Mixer)', '>', 'CH 8', '|', 'CH 2', '<', 'Plover Sender 2'],
      ['HOST (Mixer)', '>', 'CH 3', '|', 'CH 4', '<', 'Plover Sender 1'],
    ]);
  });

  test('source Video against sender CH 1 + Video links to the first Video at or after its position', async () => {
    await pick('sources', 'HOST (Camera)', 'Video');
    await pick('senders', 'Plover Sender 1', 'CH 1');
    await pick('senders', 'Plover Sender 2', 'Video', { add: true });
    await page.click('#linkButton');
    assert.deepEqual(await bridge.takeCalls(), [['videoConnectionAdded', 'HOST (Camera)', 'Plover Sender 2']]);
    assert.deepEqual(await connectionRows(page), [['HOST (Camera)', '>', 'Video', '|', 'Video', '<', 'Plover Sender 2']]);
  });

  test('source Video with no sender Video at or after its position makes no link', async () => {
    await pick('sources', 'HOST (Mixer)', 'CH 1');
    await pick('sources', 'HOST (Camera)', 'Video', { add: true });
    await pick('senders', 'Plover Sender 1', 'CH 1');
    await pick('senders', 'Plover Sender 1', 'CH 2', { add: true });
    await page.click('#linkButton');
    assert.deepEqual(await bridge.takeCalls(), [['connectionAdded', 'HOST (Mixer)', 0, 'Plover Sender 1', 0]]);
    assert.deepEqual(await connectionRows(page), [['HOST (Mixer)', '>', 'CH 1', '|', 'CH 1', '<', 'Plover Sender 1']]);
    assert.deepEqual(await page.evaluate(() => globalState), { selectedSources: [], selectedSenders: [] });
  });

  test('a sender Video pairs with the first source Video at or after its position', async () => {
    await pick('sources', 'HOST (Mixer)', 'CH 1');
    await pick('sources', 'HOST (Camera)', 'Video', { add: true });
    await pick('senders', 'Plover Sender 1', 'Video');
    await pick('senders', 'Plover Sender 1', 'CH 1', { add: true });
    await page.click('#linkButton');
    // i = 0: CH 1 against the sender Video finds the source Video at 1 and links it.
    // i = 1: that source Video finds no sender Video at or after 1.
    assert.deepEqual(await bridge.takeCalls(), [['videoConnectionAdded', 'HOST (Camera)', 'Plover Sender 1']]);
    assert.deepEqual(await connectionRows(page), [['HOST (Camera)', '>', 'Video', '|', 'Video', '<', 'Plover Sender 1']]);
  });

  test('a source Video skips a sender Video before its own position', async () => {
    await bridge.emit('sourcesUpdated', { 'HOST (Camera)': 0, 'HOST (Mixer)': 8, 'HOST (Slides)': 0 });
    await pick('sources', 'HOST (Mixer)', 'CH 1');
    await pick('sources', 'HOST (Camera)', 'Video', { add: true });
    await pick('senders', 'Plover Sender 1', 'Video');
    await pick('senders', 'Plover Sender 2', 'Video', { add: true });
    await page.click('#linkButton');
    // i = 0 pairs the sender Video at 0 with the source Video at 1; i = 1 then
    // takes the sender Video at 1, not the one at 0.
    assert.deepEqual(await bridge.takeCalls(), [
      ['videoConnectionAdded', 'HOST (Camera)', 'Plover Sender 1'],
      ['videoConnectionAdded', 'HOST (Camera)', 'Plover Sender 2'],
    ]);
    assert.equal(await errorPopupText(), null);
  });

  test('a source Video never takes a sender Video that is already connected', async () => {
    await bridge.publishRouting({ 'Plover Sender 1': 4 }, [videoConnection('HOST (Camera)', 'Plover Sender 1')]);
    await pick('sources', 'HOST (Camera)', 'Video');
    await pick('senders', 'Plover Sender 1', 'CH 1');
    await pick('senders', 'Plover Sender 1', 'Video', { add: true });
    await page.click('#linkButton');
    assert.deepEqual(await bridge.takeCalls(), []);
    assert.equal(await errorPopupText(), null);
    assert.equal((await connectionRows(page)).length, 1);
  });

  test('a connected sender channel gives "Sender channel already in use" and the other pairs are still linked', async () => {
    await bridge.publishRouting({ 'Plover Sender 1': 4 }, [audioConnection('HOST (Mixer)', 0, 'Plover Sender 1', 1)]);
    await pick('sources', 'HOST (Mixer)', 'CH 5');
    await pick('sources', 'HOST (Mixer)', 'CH 6', { add: true });
    await pick('senders', 'Plover Sender 1', 'CH 2');
    await pick('senders', 'Plover Sender 1', 'CH 3', { add: true });
    await page.click('#linkButton');

    assert.equal(await errorPopupText(), 'Sender channel already in use');
    assert.equal(await page.locator('#errorPopup h2').textContent(), 'Error');
    assert.deepEqual(await bridge.takeCalls(), [['connectionAdded', 'HOST (Mixer)', 5, 'Plover Sender 1', 2]]);
    assert.deepEqual(await connectionRows(page), [
      ['HOST (Mixer)', '>', 'CH 1', '|', 'CH 2', '<', 'Plover Sender 1'],
      ['HOST (Mixer)', '>', 'CH 6', '|', 'CH 3', '<', 'Plover Sender 1'],
    ]);
    await closeErrorPopup();
    assert.equal(await errorPopupText(), null);
    assert.equal(await page.locator('#mainOverlay').isVisible(), false);
  });

  test('"in use" compares the exact sender name, not a prefix either way', async () => {
    await bridge.publishRouting({ 'Out': 2, 'Out 1': 2 }, [
      audioConnection('HOST (Mixer)', 0, 'Out', 0),
      audioConnection('HOST (Mixer)', 0, 'Out 1', 1),
    ]);
    await pick('sources', 'HOST (Mixer)', 'CH 3');
    await pick('sources', 'HOST (Mixer)', 'CH 4', { add: true });
    await pick('senders', 'Out 1', 'CH 1');
    await pick('senders', 'Out', 'CH 2', { add: true });
    await page.click('#linkButton');
    assert.equal(await errorPopupText(), null);
    assert.deepEqual(await bridge.takeCalls(), [
      ['connectionAdded', 'HOST (Mixer)', 2, 'Out 1', 0],
      ['connectionAdded', 'HOST (Mixer)', 3, 'Out', 1],
    ]);
  });
});

describe('connection rows from the bridge', () => {
  test('connectionsUpdated shows channels 1-based and "Video"; sendersUpdated clears the rows without calls', async () => {
    await bridge.publishRouting({ 'Plover Sender 1': 4 }, [
      audioConnection('HOST (Mixer)', 1, 'Plover Sender 1', 0),
      videoConnection('HOST (Camera)', 'Plover Sender 1'),
    ]);
    assert.deepEqual(await connectionRows(page), [
      ['HOST (Mixer)', '>', 'CH 2', '|', 'CH 1', '<', 'Plover Sender 1'],
      ['HOST (Camera)', '>', 'Video', '|', 'Video', '<', 'Plover Sender 1'],
    ]);
    await bridge.emit('sendersUpdated', { 'Plover Sender 1': 4 });
    assert.deepEqual(await connectionRows(page), []);
    assert.deepEqual(await bridge.takeCalls(), []);
  });
});

describe('removing connections', () => {
  const routing = [
    audioConnection('HOST (Mixer)', 1, 'Plover Sender 1', 0),
    videoConnection('HOST (Camera)', 'Plover Sender 1'),
    audioConnection('HOST (Mixer)', 7, 'Plover Sender 2', 1),
    audioConnection('HOST (Mixer)', 0, 'Monitor', 0),
  ];
  beforeEach(async () => {
    await bridge.publishRouting({ Monitor: 2, 'Plover Sender 1': 4, 'Plover Sender 2': 2 }, routing);
  });

  test('a trash button removes its row and reports the connection with 0-based channels', async () => {
    await page.locator('#connectedSenders > li').nth(2).locator('.trash-button').click();
    await page.locator('#connectedSenders > li').nth(1).locator('.trash-button').click();
    assert.deepEqual(await bridge.takeCalls(), [
      ['connectionRemoved', 'HOST (Mixer)', 7, 'Plover Sender 2', 1],
      ['videoConnectionRemoved', 'HOST (Camera)', 'Plover Sender 1'],
    ]);
    assert.deepEqual(await connectionRows(page), [
      ['HOST (Mixer)', '>', 'CH 2', '|', 'CH 1', '<', 'Plover Sender 1'],
      ['HOST (Mixer)', '>', 'CH 1', '|', 'CH 1', '<', 'Monitor'],
    ]);
  });

  test('Remove All removes every row, top to bottom, with the same calls', async () => {
    await page.click('#removeAllButton');
    assert.deepEqual(await bridge.takeCalls(), [
      ['connectionRemoved', 'HOST (Mixer)', 1, 'Plover Sender 1', 0],
      ['videoConnectionRemoved', 'HOST (Camera)', 'Plover Sender 1'],
      ['connectionRemoved', 'HOST (Mixer)', 7, 'Plover Sender 2', 1],
      ['connectionRemoved', 'HOST (Mixer)', 0, 'Monitor', 0],
    ]);
    assert.deepEqual(await connectionRows(page), []);
  });

  test('Remove Sender removes its rows, then the item, then calls senderRemoved', async () => {
    const item = await expand(page, 'senders', 'Plover Sender 1');
    await pick('senders', 'Plover Sender 1', 'CH 3');
    await item.getByRole('button', { name: 'Remove Sender' }).click();
    assert.deepEqual(await bridge.takeCalls(), [
      ['connectionRemoved', 'HOST (Mixer)', 1, 'Plover Sender 1', 0],
      ['videoConnectionRemoved', 'HOST (Camera)', 'Plover Sender 1'],
      ['senderRemoved', 'Plover Sender 1'],
    ]);
    assert.deepEqual(await connectionRows(page), [
      ['HOST (Mixer)', '>', 'CH 8', '|', 'CH 2', '<', 'Plover Sender 2'],
      ['HOST (Mixer)', '>', 'CH 1', '|', 'CH 1', '<', 'Monitor'],
    ]);
    assert.deepEqual(await treeNames(page, 'senders'), ['Monitor', 'Plover Sender 2']);
    // Its pending channel went with it: a Link now has nothing to pair.
    assert.deepEqual(await page.evaluate(() => globalState.selectedSenders), []);
  });

  test('a removed sender channel can be linked again', async () => {
    await page.locator('#connectedSenders > li').nth(0).locator('.trash-button').click();
    await pick('sources', 'HOST (Mixer)', 'CH 4');
    await pick('senders', 'Plover Sender 1', 'CH 1');
    await page.click('#linkButton');
    assert.equal(await errorPopupText(), null);
    assert.deepEqual(await bridge.takeCalls(), [
      ['connectionRemoved', 'HOST (Mixer)', 1, 'Plover Sender 1', 0],
      ['connectionAdded', 'HOST (Mixer)', 3, 'Plover Sender 1', 0],
    ]);
  });
});
