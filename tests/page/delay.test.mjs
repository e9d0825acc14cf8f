// The per-sender delay control and restored delays.
import assert from 'node:assert/strict';
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import { expand, launchBrowser, openPage } from './support/page.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

let page, bridge, context, errors;
beforeEach(async () => {
  ({ page, bridge, context, errors } = await openPage(browser));
  await bridge.publishRouting({ Monitor: 2, 'Plover Sender': 2, 'Plover Sender 1': 8, 'Video Only': 0 }, []);
});
afterEach(async () => {
  assert.deepEqual(errors, []);
  await context.close();
});

/** Opens a sender's delay control and returns its parts. */
async function delayControl(name) {
  const item = await expand(page, 'senders', name);
  const control = item.locator('.delay-control');
  const container = control.locator('.delay-container');
  if (!(await container.isVisible())) await control.locator('.delay-caret').click();
  assert.ok(await container.isVisible());
  return {
    slider: control.locator('input[type=range]'),
    label: control.locator('.delay-label'),
    reset: control.getByRole('button', { name: '0 ms' }),
    control,
  };
}

async function state(name) {
  const { slider, label } = await delayControl(name);
  return [await slider.inputValue(), await label.textContent()];
}

describe('delay control', () => {
  test('it is collapsed under "Audio Delay" and opens with a slider from -2000 to 2000 at 0, its label, note and reset', async () => {
    const item = await expand(page, 'senders', 'Plover Sender 1');
    const caret = item.locator('.delay-caret');
    assert.equal(await caret.textContent(), 'Audio Delay');
    assert.equal(await item.locator('.delay-container').isVisible(), false);
    const { slider, label, reset, control } = await delayControl('Plover Sender 1');
    assert.deepEqual(await slider.evaluate(s => [s.min, s.max, s.step, s.value]), ['-2000', '2000', '1', '0']);
    assert.equal(await label.textContent(), 'Delay: 0 ms');
    assert.equal(await control.locator('.delay-note').textContent(), 'Use arrows for finer control');
    assert.equal(await reset.count(), 1);
    await caret.click();
    assert.equal(await item.locator('.delay-container').isVisible(), false);
    assert.deepEqual(await bridge.takeCalls(), []);
  });

  test('moving the slider, its arrow keys and the reset button report each value with the label in step', async () => {
    const { slider, label, reset } = await delayControl('Plover Sender 1');
    await slider.fill('250');
    assert.equal(await label.textContent(), 'Delay: 250 ms');
    await slider.press('ArrowLeft');
    await slider.press('ArrowLeft');
    assert.equal(await label.textContent(), 'Delay: 248 ms');
    await reset.click();
    assert.deepEqual(await state('Plover Sender 1'), ['0', 'Delay: 0 ms']);
    await slider.press('ArrowRight');
    assert.deepEqual(await bridge.takeCalls(), [
      ['setAVDelay', 'Plover Sender 1', 250],
      ['setAVDelay', 'Plover Sender 1', 249],
      ['setAVDelay', 'Plover Sender 1', 248],
      ['setAVDelay', 'Plover Sender 1', 0],
      ['setAVDelay', 'Plover Sender 1', 1],
    ]);
  });

  test('dragging the slider reports values continuously and ends where the slider ends', async () => {
    const { slider, label } = await delayControl('Plover Sender 1');
    const box = await slider.boundingBox();
    const y = box.y + box.height / 2;
    await page.mouse.move(box.x + box.width / 2, y);
    await page.mouse.down();
    await page.mouse.move(box.x + box.width * 0.6, y, { steps: 5 });
    await page.mouse.move(box.x + box.width * 0.3, y, { steps: 5 });
    await page.mouse.up();

    const calls = await bridge.takeCalls();
    assert.ok(calls.length >= 3, `a drag reports as it moves (${calls.length} calls)`);
    for (const call of calls) {
      assert.equal(call[0], 'setAVDelay');
      assert.equal(call[1], 'Plover Sender 1');
      assert.ok(Number.isInteger(call[2]) && call[2] >= -2000 && call[2] <= 2000);
    }
    const last = calls.at(-1)[2];
    assert.ok(last < 0, `the drag ended left of the middle (${last})`);
    assert.ok(calls.some(c => c[2] > 0), 'the drag passed right of the middle');
    assert.equal(await slider.inputValue(), String(last));
    assert.equal(await label.textContent(), `Delay: ${last} ms`);
  });

  test('a restored delay sets the named sender only, exactly by name, and sends nothing back', async () => {
    await bridge.emit('setAVDelaySignal', { senderDelay: -120, senderName: 'Plover Sender 1' });
    assert.deepEqual(await state('Plover Sender 1'), ['-120', 'Delay: -120 ms']);
    assert.deepEqual(await state('Plover Sender'), ['0', 'Delay: 0 ms']);

    // No delay control: nothing changes and nothing breaks.
    await bridge.emit('setAVDelaySignal', { senderDelay: 40, senderName: 'Monitor' });
    await bridge.emit('setAVDelaySignal', { senderDelay: 40, senderName: 'Video Only' });
    await bridge.emit('setAVDelaySignal', { senderDelay: 40, senderName: 'Nobody' });
    const monitor = await expand(page, 'senders', 'Monitor');
    assert.equal(await monitor.locator('.delay-control').count(), 0);
    const videoOnly = await expand(page, 'senders', 'Video Only');
    assert.equal(await videoOnly.locator('.delay-control').count(), 0);
    assert.deepEqual(await state('Plover Sender 1'), ['-120', 'Delay: -120 ms']);
    assert.deepEqual(await bridge.takeCalls(), []);
  });

  test('a delay the bridge refuses puts the slider back to the delay the sender keeps, with the reason beside it', async () => {
    const { slider, label, control } = await delayControl('Plover Sender 1');
    await slider.fill('300');
    await bridge.refuse('setAVDelay', 'the delay line of "Plover Sender 1" cannot hold 1800 ms on its channels',
      { senderDelay: 300 });
    await slider.fill('1800');
    assert.deepEqual([await slider.inputValue(), await label.textContent()], ['300', 'Delay: 300 ms']);
    const refusal = control.locator('.delay-error');
    assert.equal(await refusal.textContent(), 'The delay line of "Plover Sender 1" cannot hold 1800 ms on its channels');
    assert.ok(await refusal.isVisible());

    await bridge.refuse('setAVDelay', null);
    await slider.press('ArrowLeft');
    assert.equal(await refusal.isVisible(), false, 'the next move clears the reason');
    assert.deepEqual(await bridge.takeCalls(), [
      ['setAVDelay', 'Plover Sender 1', 300], ['setAVDelay', 'Plover Sender 1', 1800], ['setAVDelay', 'Plover Sender 1', 299]]);
  });

  test('a rebuilt sender tree starts the control at 0 again', async () => {
    const { slider } = await delayControl('Plover Sender 1');
    await slider.fill('700');
    await bridge.publishRouting({ Monitor: 2, 'Plover Sender 1': 8 }, []);
    assert.deepEqual(await state('Plover Sender 1'), ['0', 'Delay: 0 ms']);
  });
});
