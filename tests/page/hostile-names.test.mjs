// Names come from the network and from the user: they must show literally,
// run nothing, and reach the bridge unchanged.
import assert from 'node:assert/strict';
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import {
  audioConnection, channel, connectionRows, launchBrowser, openPage, treeNames, videoConnection,
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

const IMG = '<img src=x onerror="window.__pwned=1">';
const SCRIPT = 'HOST (<script>window.__pwned=2</script>)';
const QUOTES = `Tom's "Cam" & <b>bold</b> > me`;
const SPACES = '  two  spaces\tand a tab ';
const ENTITY = 'A &amp; B &lt;i&gt;';
const PROTO = '__proto__';

async function noInjectedMarkup() {
  const counts = await page.evaluate(() => [
    document.querySelectorAll('img:not(#logo), b, i').length, document.querySelectorAll('script').length]);
  assert.deepEqual(counts, [0, 2], 'no element may come out of a name');
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
}

describe('hostile names', () => {
  test('sources and senders with markup, quotes, entities and spaces show literally and link exactly', async () => {
    const sources = { [IMG]: 2, [SCRIPT]: 1, [QUOTES]: 1, [SPACES]: 1, [ENTITY]: 1 };
    await bridge.emit('sourcesUpdated', `{"${PROTO}":1,${JSON.stringify(sources).slice(1)}`);
    assert.deepEqual(await treeNames(page, 'sources'), [PROTO, IMG, SCRIPT, QUOTES, SPACES, ENTITY]);

    await bridge.publishRouting({ [QUOTES]: 2, [IMG]: 1 }, [
      audioConnection(IMG, 1, QUOTES, 0),
      videoConnection(SCRIPT, IMG),
    ]);
    assert.deepEqual(await treeNames(page, 'senders'), [QUOTES, IMG]);
    assert.deepEqual(await connectionRows(page), [
      [IMG, '>', 'CH 2', '|', 'CH 1', '<', QUOTES],
      [SCRIPT, '>', 'Video', '|', 'Video', '<', IMG],
    ]);

    // What a person sees keeps the spaces too.
    const item = page.locator('#availableSourcesList .item-name').filter({ hasText: 'two' });
    assert.equal(await item.evaluate(e => e.innerText), SPACES);

    await (await channel(page, 'sources', SPACES, 'CH 1')).click();
    await (await channel(page, 'senders', QUOTES, 'CH 2')).click();
    await page.click('#linkButton');
    await (await channel(page, 'sources', PROTO, 'CH 1')).click();
    await (await channel(page, 'senders', QUOTES, 'CH 1')).click();
    await page.click('#linkButton');
    assert.equal(await page.locator('#errorPopupMessage').textContent(), 'Sender channel already in use');
    await page.locator('#errorPopup').getByRole('button', { name: 'Close' }).click();

    await bridge.emit('setAVDelaySignal', { senderDelay: 35, senderName: QUOTES });
    await page.locator('#connectedSenders > li').nth(1).locator('.trash-button').click();
    assert.deepEqual(await bridge.takeCalls(), [
      ['connectionAdded', SPACES, 0, QUOTES, 1],
      ['videoConnectionRemoved', SCRIPT, IMG],
    ]);
    await noInjectedMarkup();
  });

  test('a sender typed with markup is added and reported literally', async () => {
    await bridge.publishRouting({ Monitor: 2 }, []);
    await page.click('#addSenderButton');
    await page.locator('#senderNameInput').fill(IMG);
    await page.locator('#senderChannelsInput').fill('1');
    await page.locator('#addSenderConfirmButton').click();
    assert.deepEqual(await treeNames(page, 'senders'), ['Monitor', IMG]);
    await page.click('#addSenderButton');
    await page.locator('#addSenderConfirmButton').click();
    assert.equal(await page.locator('#addSenderError').textContent(), 'Error: Sender name already in use');
    assert.deepEqual(await bridge.takeCalls(), [['senderAdded', IMG, 1]]);
    await noInjectedMarkup();
  });
});
