// Start-up, the file buttons' outcomes, and what must not take the page away.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { openPage, pagePerTest } from './support/page.mjs';

const opened = pagePerTest();
const shownPopups = page => page.evaluate(() => [...document.querySelectorAll('.popup')].filter(p => p.checkVisibility()).map(p => p.id));

test('loader and overlay keep the page from a person until the channel is ready; uiReady comes after every handler is connected', async () => {
  const { page, bridge, context, errors } = await openPage(opened.browser, { holdChannel: true });
  assert.deepEqual([await page.locator('#mainLoader').isVisible(), await page.locator('#mainOverlay').isVisible()], [true, true]);
  assert.deepEqual(await bridge.calls(), []);
  await bridge.release();
  await bridge.waitUntilReady();
  assert.deepEqual([await page.locator('#mainLoader').isVisible(), await page.locator('#mainOverlay').isVisible()], [false, false]);
  assert.deepEqual(await bridge.calls(), [['uiReady', { unconnectedSignals: [] }]]);
  await context.close();
  assert.deepEqual(errors, []);
});

test('the file buttons show "Configuration Saved" only after a save that worked, and what went wrong otherwise', async () => {
  const { page, bridge } = opened;
  // What the popup the outcome brings says, closing it.
  const outcome = async (action, done, reason = '', cancelled = false) => {
    await bridge.emit('fileOperationDone', { action, cancelled, done, path: cancelled ? '' : '/shows/tonight.ploverc', reason });
    const said = [];
    for (const id of await shownPopups(page)) {
      said.push(id, ...await page.locator(`#${id}`).locator('h2, p').allTextContents());
      await page.locator(`#${id}`).getByRole('button', { name: 'Close' }).click();
    }
    return said;
  };
  await page.click('#saveConfigButton');
  await page.click('#loadConfigButton');
  await page.click('#saveConfigAsButton');
  assert.deepEqual(await bridge.takeCalls(), [['saveFileButtonPressed'], ['loadFileButtonPressed'], ['saveAsFileButtonPressed']]);
  assert.deepEqual(await shownPopups(page), [], 'nothing is shown before the bridge answers');
  assert.deepEqual([
    await outcome('save', false, 'Cannot create path /shows'), await outcome('load', false, 'not valid JSON at byte 3'),
    await outcome('saveAs', false, '', true), await outcome('load', true), await outcome('saveAs', true),
  ], [
    ['errorPopup', 'Error', 'The configuration could not be saved to /shows/tonight.ploverc: Cannot create path /shows'],
    ['errorPopup', 'Error', 'The configuration could not be loaded from /shows/tonight.ploverc: not valid JSON at byte 3'],
    [], [], ['configSavedPopup', 'Configuration Saved'],
  ]);
  assert.deepEqual([await shownPopups(page), await page.locator('#mainOverlay').isVisible()], [[], false]);
});

test('a dropped file or link is ignored, text may still be dropped into a box, and the reload keys do nothing', async () => {
  const defaultPrevented = await opened.page.evaluate(() => {
    const prevented = (target, event) => { target.dispatchEvent(event); return event.defaultPrevented; };
    const drop = (target, type, fill) => {
      const dataTransfer = new DataTransfer();
      fill(dataTransfer);
      return prevented(target, new DragEvent(type, { dataTransfer, bubbles: true, cancelable: true }));
    };
    const key = init => prevented(document.body, new KeyboardEvent('keydown', { ...init, bubbles: true, cancelable: true }));
    const file = data => data.items.add(new File(['{}'], 'show.ploverc'));
    const box = document.getElementById('senderNameInput');
    return [drop(document.body, 'dragover', file), drop(document.body, 'drop', file),
      drop(document.body, 'drop', data => data.setData('text/uri-list', 'https://example.invalid/')),
      drop(box, 'drop', file), drop(box, 'drop', data => data.setData('text/plain', 'Stage')),
      key({ key: 'F5' }), key({ key: 'r', ctrlKey: true }), key({ key: 'a', ctrlKey: true })];
  });
  assert.deepEqual(defaultPrevented, [true, true, true, true, false, true, true, false]);
});
