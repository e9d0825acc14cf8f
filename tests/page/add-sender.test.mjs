// The add-sender popup: the router's rules for a new sender (tests/RoutingRulesCases.json),
// the popup's own checks, and the sender it makes.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { test } from 'node:test';
import { addSender, pagePerTest, repoRoot, treeNames } from './support/page.mjs';

let page, bridge;
pagePerTest(async opened => {
  ({ page, bridge } = opened);
  await bridge.publishRouting({ 'Plover Sender 1': 8 }, []); // no sound output: no "Monitor" in the tree
});

const CHANNELS_REFUSED = 'Error: Audio channels must be a whole number from 0 to 1024';

/** Submits [name, channels, expected] cases and answers them with what each showed: the reason, or 'closed'. */
async function outcomes(cases, options) {
  const shown = [];
  for (const [name, channels] of cases) {
    await addSender(page, name, channels, options);
    const reason = page.locator('#addSenderError');
    shown.push([name, channels, await page.locator('#addSenderPopup').isHidden() ? 'closed'
      : (await reason.isVisible()) ? await reason.textContent() : 'open without a reason']);
  }
  return shown;
}

test('the popup\'s own checks come first and send nothing; then the shared rules refuse with the router\'s reason, or the sender is added as typed; one the bridge refuses is not drawn and the popup shows why', async () => {
  const own = [
    ['', '', 'Error: Sender name is required'],
    ['Studio Feed', '', 'Error: Sender channels is required'],
    ['Plover Sender 1', '2', 'Error: Sender name already in use'],
    ['Studio Feed', '1e', CHANNELS_REFUSED],
  ];
  assert.deepEqual(await outcomes(own), own);
  assert.deepEqual(await bridge.takeCalls(), []);

  await bridge.refuse('senderAdded', 'a sender named "Studio Feed" exists already');
  const refused = [['Studio Feed', '2', 'Error: A sender named "Studio Feed" exists already']];
  assert.deepEqual(await outcomes(refused), refused);
  assert.deepEqual(await treeNames(page, 'senders'), ['Plover Sender 1']);
  assert.deepEqual(await bridge.takeCalls(), [['senderAdded', 'Studio Feed', 2]]);
  await bridge.refuse('senderAdded', null);

  const table = JSON.parse(await readFile(path.join(repoRoot, 'tests', 'RoutingRulesCases.json'), 'utf8'));
  // An accepted and a refused row of each table show the popup uses the rules; rules.test.mjs runs them all.
  const few = rows => [rows.find(c => !c.refused), rows.findLast(c => c.refused)];
  const refusal = reason => `Error: ${reason[0].toUpperCase()}${reason.slice(1)}`;
  const cases = [
    ...few(table.newSenderName).map(c => [c.name, '2', c.refused ? refusal(c.refused) : 'closed']),
    ...few(table.channelCount).map((c, i) => [`Feed ${i}`, String(c.value), c.refused ? CHANNELS_REFUSED : 'closed']),
  ];
  assert.deepEqual(await outcomes(cases, { withEnter: true }), cases);
  const added = cases.filter(c => c[2] === 'closed');
  assert.deepEqual(await bridge.takeCalls(), added.map(([name, channels]) => ['senderAdded', name, Number(channels)]));
  assert.deepEqual(await treeNames(page, 'senders'), ['Plover Sender 1', ...added.map(c => c[0])]);
});
