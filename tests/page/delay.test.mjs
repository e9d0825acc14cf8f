// The per-sender delay control and restored delays.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { delayControl, pagePerTest } from './support/page.mjs';

let page, bridge;
pagePerTest(async opened => {
  ({ page, bridge } = opened);
  await bridge.publishRouting({ Monitor: 2, 'Plover Sender': 2, 'Plover Sender 1': 8 }, []);
});

test('the slider\'s keys, a drag and the reset report each value, the label in step', async () => {
  const { slider, shown, reset } = await delayControl(page, 'Plover Sender 1');
  await slider.fill('250');
  await slider.press('ArrowLeft');
  await slider.press('ArrowLeft');
  assert.deepEqual(await shown(), ['248', 'Delay: 248 ms']);
  await reset.click();
  assert.deepEqual(await shown(), ['0', 'Delay: 0 ms']);
  assert.deepEqual(await bridge.takeCalls(), [250, 249, 248, 0].map(ms => ['setAVDelay', 'Plover Sender 1', ms]));

  // A drag reports as it moves, not only where it ends.
  const box = await slider.boundingBox();
  const at = fraction => [box.x + box.width * fraction, box.y + box.height / 2];
  await page.mouse.move(...at(0.5));
  await page.mouse.down();
  for (const fraction of [0.6, 0.3]) await page.mouse.move(...at(fraction), { steps: 5 });
  await page.mouse.up();
  const sent = (await bridge.takeCalls()).map(([slot, sender, ms]) => (slot === 'setAVDelay' && sender === 'Plover Sender 1' ? ms : slot));
  assert.ok(sent.length >= 3 && sent.every(ms => Number.isInteger(ms)), JSON.stringify(sent));
  assert.ok(sent.some(ms => ms > 0) && sent.at(-1) < 0, `right of the middle, then left: ${sent}`);
  assert.deepEqual(await shown(), [String(sent.at(-1)), `Delay: ${sent.at(-1)} ms`]);
});

test('a restored delay sets the sender of exactly that name and sends nothing back; a rebuilt tree starts at 0; a refused delay puts the slider back', async () => {
  await bridge.emit('setAVDelaySignal', { senderDelay: -120, senderName: 'Plover Sender 1' });
  // A sender without a delay control, and one the page does not know, are passed over.
  for (const senderName of ['Monitor', 'Nobody']) await bridge.emit('setAVDelaySignal', { senderDelay: 40, senderName });
  assert.deepEqual(await (await delayControl(page, 'Plover Sender 1')).shown(), ['-120', 'Delay: -120 ms']);
  assert.deepEqual(await (await delayControl(page, 'Plover Sender')).shown(), ['0', 'Delay: 0 ms']);
  assert.deepEqual(await bridge.takeCalls(), []);

  await bridge.publishRouting({ 'Plover Sender 1': 8 }, []);
  const { control, slider, shown } = await delayControl(page, 'Plover Sender 1');
  assert.deepEqual(await shown(), ['0', 'Delay: 0 ms']);

  // A delay the bridge refuses puts the slider back to the delay the sender keeps, with the reason beside it.
  await slider.fill('300');
  await bridge.refuse('setAVDelay', 'the delay line of "Plover Sender 1" cannot hold 1800 ms on its channels',
    { senderDelay: 300 });
  await slider.fill('1800');
  assert.deepEqual(await shown(), ['300', 'Delay: 300 ms']);
  const refusal = control.locator('.delay-error');
  assert.equal(await refusal.textContent(), 'The delay line of "Plover Sender 1" cannot hold 1800 ms on its channels');
  assert.ok(await refusal.isVisible());

  await bridge.refuse('setAVDelay', null);
  await slider.press('ArrowLeft');
  assert.equal(await refusal.isVisible(), false, 'the next move clears the reason');
  assert.deepEqual(await bridge.takeCalls(), [300, 1800, 299].map(ms => ['setAVDelay', 'Plover Sender 1', ms]));
});
