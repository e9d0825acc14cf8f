// Names come from the network and from the user: they must show literally,
// run nothing, and reach the bridge unchanged.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import {
  addSender, audioConnection, connectionRows, link, pagePerTest, takeError, treeNames, videoConnection,
} from './support/page.mjs';

let page, bridge;
pagePerTest(opened => ({ page, bridge } = opened));

const IMG = '<img src=x onerror="window.__pwned=1">';
const SCRIPT = 'HOST (<script>window.__pwned=2</script>)';
const QUOTES = `Tom's "Cam" & <b>bold</b> > me`;
const SPACES = '  two  spaces\tand a tab ';
const ENTITY = 'A &amp; B &lt;i&gt;';
const PROTO = '__proto__';

test('names with markup, quotes, entities and spaces, from the network or typed, show literally and reach the bridge exactly', async () => {
  const sources = { [IMG]: 2, [SCRIPT]: 1, [QUOTES]: 1, [SPACES]: 1, [ENTITY]: 1 };
  await bridge.emit('sourcesUpdated', `{"${PROTO}":1,${JSON.stringify(sources).slice(1)}`);
  assert.deepEqual(await treeNames(page, 'sources'), [PROTO, IMG, SCRIPT, QUOTES, SPACES, ENTITY]);
  await bridge.publishRouting({ [QUOTES]: 2, [IMG]: 1 }, [audioConnection(IMG, 1, QUOTES, 0), videoConnection(SCRIPT, IMG)]);
  assert.deepEqual(await treeNames(page, 'senders'), [QUOTES, IMG]);
  assert.deepEqual(await connectionRows(page), [
    [IMG, '>', 'CH 2', '|', 'CH 1', '<', QUOTES],
    [SCRIPT, '>', 'Video', '|', 'Video', '<', IMG],
  ]);
  // What a person sees keeps the spaces too.
  const item = page.locator('#availableSourcesList .item-name').filter({ hasText: 'two' });
  assert.equal(await item.evaluate(e => e.innerText), SPACES);

  await link(page, [[SPACES, 'CH 1']], [[QUOTES, 'CH 2']]);
  await link(page, [[PROTO, 'CH 1']], [[QUOTES, 'CH 1']]);
  assert.equal(await takeError(page), 'Sender channel already in use');
  await bridge.emit('setAVDelaySignal', { senderDelay: 35, senderName: QUOTES });
  await page.locator('#connectedSenders > li').nth(1).locator('.trash-button').click();
  await addSender(page, SCRIPT, '1');
  assert.deepEqual(await treeNames(page, 'senders'), [QUOTES, IMG, SCRIPT]);
  assert.deepEqual(await bridge.takeCalls(), [
    ['connectionAdded', SPACES, 0, QUOTES, 1],
    ['videoConnectionRemoved', SCRIPT, IMG],
    ['senderAdded', SCRIPT, 1],
  ]);
  const counts = await page.evaluate(() => [
    document.querySelectorAll('img:not(#logo), b, i').length, document.querySelectorAll('script').length]);
  assert.deepEqual(counts, [0, 2], 'no element may come out of a name');
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
});
