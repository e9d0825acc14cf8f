// The add-sender popup: its checks, its messages, and the sender it makes.
import assert from 'node:assert/strict';
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import { launchBrowser, nestedTexts, openPage, treeNames } from './support/page.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

let page, bridge, context, errors;
beforeEach(async () => {
  ({ page, bridge, context, errors } = await openPage(browser));
  await bridge.publishRouting({ Monitor: 2, 'Plover Sender 1': 8 }, []);
});
afterEach(async () => {
  assert.deepEqual(errors, []);
  await context.close();
});

const nameBox = () => page.locator('#senderNameInput');
const channelsBox = () => page.locator('#senderChannelsInput');
const confirm = () => page.locator('#addSenderPopup').getByRole('button', { name: 'Add Sender' });

async function errorLine() {
  const line = page.locator('#addSenderError');
  return (await line.isVisible()) ? line.textContent() : null;
}

/** Opens the popup and types both boxes as a user would (a box left undefined is left as it is). */
async function fill({ name, channels }) {
  if (!(await page.locator('#addSenderPopup').isVisible())) await page.click('#addSenderButton');
  if (name !== undefined) {
    await nameBox().fill('');
    if (name !== '') await nameBox().pressSequentially(name);
  }
  if (channels !== undefined) {
    await channelsBox().fill('');
    if (channels !== '') await channelsBox().pressSequentially(channels);
  }
}

describe('add sender', () => {
  test('the popup opens over the overlay with its boxes, a hidden error line and a full-width button', async () => {
    await page.click('#addSenderButton');
    assert.ok(await page.locator('#addSenderPopup').isVisible());
    assert.ok(await page.locator('#mainOverlay').isVisible());
    assert.equal(await page.getByLabel('Sender Name').count(), 1);
    assert.equal(await page.getByLabel('Audio Channels').getAttribute('type'), 'number');
    assert.equal(await errorLine(), null);
    const [buttonWidth, formWidth] = await page.locator('#addSenderConfirmButton').evaluate(b =>
      [b.getBoundingClientRect().width, b.parentElement.getBoundingClientRect().width]);
    assert.equal(buttonWidth, formWidth);

    await nameBox().pressSequentially('x'.repeat(45));
    assert.equal((await nameBox().inputValue()).length, 40, 'names are at most 40 characters');
  });

  test('the three checks, in order, each keep the popup open and send nothing', async () => {
    await fill({ name: '', channels: '' });
    await confirm().click();
    assert.equal(await errorLine(), 'Error: Sender name is required');

    await fill({ name: '', channels: '2' });
    await confirm().click();
    assert.equal(await errorLine(), 'Error: Sender name is required');

    await fill({ name: 'Plover Sender 1', channels: '' });
    await confirm().click();
    assert.equal(await errorLine(), 'Error: Sender channels is required');

    await fill({ channels: '2' });
    await confirm().click();
    assert.equal(await errorLine(), 'Error: Sender name already in use');

    assert.ok(await page.locator('#addSenderPopup').isVisible());
    assert.deepEqual(await bridge.takeCalls(), []);
    assert.deepEqual(await treeNames(page, 'senders'), ['Monitor', 'Plover Sender 1']);
  });

  test('negative, fractional, malformed and absurd channel counts are refused', async () => {
    for (const channels of ['-1', '2.5', '1025', '100000000000', '1e', '-']) {
      await fill({ name: 'Studio Feed', channels });
      await confirm().click();
      assert.equal(await errorLine(), 'Error: Audio channels must be a whole number from 0 to 1024',
        `channel box ${JSON.stringify(channels)}`);
    }
    assert.ok(await page.locator('#addSenderPopup').isVisible());
    assert.deepEqual(await bridge.takeCalls(), []);
    assert.deepEqual(await treeNames(page, 'senders'), ['Monitor', 'Plover Sender 1']);
  });

  test('a valid sender is added to the tree, the popup closes and senderAdded gets the name as typed', async () => {
    await fill({ name: 'Studio Feed', channels: '-1' });
    await confirm().click();
    assert.notEqual(await errorLine(), null);

    await fill({ channels: '3' });
    await confirm().click();
    assert.equal(await page.locator('#addSenderPopup').isVisible(), false);
    assert.equal(await page.locator('#mainOverlay').isVisible(), false);
    assert.deepEqual(await treeNames(page, 'senders'), ['Monitor', 'Plover Sender 1', 'Studio Feed']);
    assert.deepEqual(await nestedTexts(page, 'senders', 'Studio Feed'),
      ['Select All', 'Remove Sender', 'Audio Delay', 'CH 1', 'CH 2', 'CH 3', 'Video']);

    // The boxes keep their values, the error line is gone; the name check is case-sensitive and
    // names are not trimmed; 0 channels makes a video-only sender.
    await page.click('#addSenderButton');
    assert.equal(await nameBox().inputValue(), 'Studio Feed');
    assert.equal(await channelsBox().inputValue(), '3');
    assert.equal(await errorLine(), null);
    await fill({ name: ' plover sender 1 ', channels: '0' });
    await confirm().click();
    assert.deepEqual(await nestedTexts(page, 'senders', ' plover sender 1 '), ['Select All', 'Remove Sender', 'Video']);

    await fill({ name: 'Studio Feed', channels: '2' });
    await confirm().click();
    assert.equal(await errorLine(), 'Error: Sender name already in use');

    assert.deepEqual(await bridge.takeCalls(), [['senderAdded', 'Studio Feed', 3], ['senderAdded', ' plover sender 1 ', 0]]);
  });

  test('names the router refuses keep the popup open with the reason, and so does a refusal of the bridge', async () => {
    await bridge.publishRouting({ 'Plover Sender 1': 8 }, []); // no sound output: no "Monitor" in the tree
    for (const [name, reason] of [
      ['   ', 'Error: The name is only blanks'],
      ['Stage\u200B', 'Error: The name holds control or invisible characters'],
      ['Monitor', 'Error: "Monitor" is reserved for the local sound output'],
    ]) {
      await fill({ name: '', channels: '2' });
      await nameBox().fill(name); // as pasted
      await confirm().click();
      assert.equal(await errorLine(), reason, JSON.stringify(name));
    }
    assert.deepEqual(await bridge.takeCalls(), []);

    await bridge.refuse('senderAdded', 'a sender named "Studio Feed" exists already');
    await fill({ name: 'Studio Feed', channels: '2' });
    await confirm().click();
    assert.equal(await errorLine(), 'Error: A sender named "Studio Feed" exists already');
    assert.ok(await page.locator('#addSenderPopup').isVisible());
    assert.deepEqual(await treeNames(page, 'senders'), ['Plover Sender 1']);
    assert.deepEqual(await bridge.takeCalls(), [['senderAdded', 'Studio Feed', 2]]);
  });

  test('Enter in a box submits the popup', async () => {
    await fill({ name: 'Keyboard Feed', channels: '2' });
    await channelsBox().press('Enter');
    assert.deepEqual(await bridge.takeCalls(), [['senderAdded', 'Keyboard Feed', 2]]);
    assert.equal(await page.locator('#addSenderPopup').isVisible(), false);
  });
});
