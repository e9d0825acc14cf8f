// Start-up, the static texts, the popups and the file buttons.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import { DEADLINE_MS, isHidden, launchBrowser, openPage } from './support/page.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

const popupIds = ['addSenderPopup', 'aboutPopup', 'configSavedPopup', 'errorPopup'];

async function visiblePopups(page) {
  const shown = [];
  for (const id of popupIds) if (await page.locator(`#${id}`).isVisible()) shown.push(id);
  return shown;
}

describe('start', () => {
  test('loader and overlay stay until the channel is ready, then the bridge texts appear and uiReady is called once after all four handlers', async () => {
    const { page, bridge, context, errors, strayRequests } = await openPage(browser, { holdChannel: true });
    try {
      assert.equal(await page.title(), 'Kestrix');
      assert.equal(await page.locator('#productTitle').textContent(), 'Kestrix');
      assert.ok(await page.locator('#mainLoader').isVisible());
      assert.ok(await page.locator('#mainOverlay').isVisible());
      assert.deepEqual(await visiblePopups(page), []);
      assert.deepEqual(await bridge.calls(), []);

      await bridge.release();
      await bridge.waitUntilReady();
      await page.locator('#mainLoader').waitFor({ state: 'hidden', timeout: DEADLINE_MS });
      assert.ok(await isHidden(page, '#mainOverlay'));

      assert.deepEqual(await bridge.calls(), [
        ['uiReady', { connectedSignals: ['sourcesUpdated', 'sendersUpdated', 'connectionsUpdated', 'setAVDelaySignal',
          'changeRefused', 'fileOperationDone', 'levelsUpdated', 'statusUpdated'] }],
      ]);
      assert.equal(await page.title(), 'Vireo');
      assert.equal(await page.locator('#productTitle').textContent(), 'Vireo');
      assert.equal(await page.locator('#productVersion').textContent(), 'v1.5.2');
      assert.equal(await page.locator('#aboutPopupNdiVersion').textContent(), 'NDI Lib v5.5.4.0');
      assert.equal(await page.locator('#logo').getAttribute('alt'), 'Morvane Logo');
      assert.deepEqual(errors, []);
      assert.deepEqual(strayRequests, [], 'the page must not reach for the network');
    } finally {
      await context.close();
    }
  });

  test('missing pictures and fonts do not break the page', async () => {
    const { page, bridge, context, errors } = await openPage(browser, { missingPaths: ['/assets/', '/fonts/'] });
    try {
      await page.locator('#mainLoader').waitFor({ state: 'hidden', timeout: DEADLINE_MS });
      assert.ok(await isHidden(page, '#logo'), 'a broken logo is hidden, not shown as a broken image');
      await bridge.emit('sourcesUpdated', { 'HOST (Mixer)': 2 });
      assert.ok(await page.locator('#availableSourcesList .item-name').isVisible());
      assert.deepEqual(errors, []);
    } finally {
      await context.close();
    }
  });
});

describe('popups and file buttons', () => {
  test('About shows the about popup; a click on the overlay closes it', async () => {
    const { page, bridge, context } = await openPage(browser);
    try {
      await page.click('#aboutButton');
      assert.deepEqual(await visiblePopups(page), ['aboutPopup']);
      assert.ok(await page.locator('#mainOverlay').isVisible());
      assert.equal(await page.locator('#aboutPopup').evaluate(e => e.getBoundingClientRect().width), 420);
      assert.equal(await page.locator('#aboutPopup button').count(), 0, 'the about popup has no button of its own');
      await page.mouse.click(20, 650);
      assert.deepEqual(await visiblePopups(page), []);
      assert.ok(await isHidden(page, '#mainOverlay'));
      assert.deepEqual(await bridge.takeCalls(), []);
    } finally {
      await context.close();
    }
  });

  test('the file buttons show "Configuration Saved" only after a save that worked, and what went wrong otherwise', async () => {
    const { page, bridge, context, errors } = await openPage(browser);
    const outcome = (action, done, reason = '') => bridge.emit('fileOperationDone',
      { action, cancelled: false, done, path: '/shows/tonight.ploverc', reason });
    const errorText = () => page.locator('#errorPopupMessage').textContent();
    try {
      await page.click('#saveConfigButton');
      await page.click('#loadConfigButton');
      await page.click('#saveConfigAsButton');
      assert.deepEqual(await bridge.takeCalls(), [['saveFileButtonPressed'], ['loadFileButtonPressed'], ['saveAsFileButtonPressed']]);
      assert.deepEqual(await visiblePopups(page), [], 'nothing is shown before the bridge answers');

      await outcome('save', false, 'Cannot create path /shows');
      assert.deepEqual(await visiblePopups(page), ['errorPopup']);
      assert.equal(await errorText(), 'The configuration could not be saved to /shows/tonight.ploverc: Cannot create path /shows');
      await page.locator('#errorPopup').getByRole('button', { name: 'Close' }).click();

      await outcome('load', false, 'not valid JSON at byte 3');
      assert.equal(await errorText(), 'The configuration could not be loaded from /shows/tonight.ploverc: not valid JSON at byte 3');
      await page.locator('#errorPopup').getByRole('button', { name: 'Close' }).click();

      await bridge.emit('fileOperationDone', { action: 'saveAs', cancelled: true, done: false, path: '', reason: '' });
      await outcome('load', true);
      assert.deepEqual(await visiblePopups(page), [], 'a cancelled dialog and a load that worked show nothing');

      await outcome('saveAs', true);
      assert.deepEqual(await visiblePopups(page), ['configSavedPopup']);
      assert.equal(await page.locator('#configSavedPopup h2').textContent(), 'Configuration Saved');
      await page.locator('#configSavedPopup').getByRole('button', { name: 'Close' }).click();
      assert.deepEqual(await visiblePopups(page), []);
      assert.ok(await isHidden(page, '#mainOverlay'));
      assert.deepEqual(errors, []);
    } finally {
      await context.close();
    }
  });

  test('a dropped file or link is ignored, text may still be dropped into a box, and the reload keys do nothing', async () => {
    const { page, context, errors } = await openPage(browser);
    try {
      const defaultPrevented = await page.evaluate(() => {
        const drop = (target, type, fill) => {
          const data = new DataTransfer();
          fill(data);
          const event = new DragEvent(type, { dataTransfer: data, bubbles: true, cancelable: true });
          target.dispatchEvent(event);
          return event.defaultPrevented;
        };
        const file = data => data.items.add(new File(['{}'], 'show.ploverc'));
        const link = data => data.setData('text/uri-list', 'https://example.invalid/');
        const text = data => data.setData('text/plain', 'Stage');
        const box = document.getElementById('senderNameInput');
        const key = init => {
          const event = new KeyboardEvent('keydown', { ...init, bubbles: true, cancelable: true });
          document.body.dispatchEvent(event);
          return event.defaultPrevented;
        };
        return [drop(document.body, 'dragover', file), drop(document.body, 'drop', file),
          drop(document.body, 'drop', link), drop(box, 'drop', file), drop(box, 'drop', text),
          key({ key: 'F5' }), key({ key: 'r', ctrlKey: true }), key({ key: 'a', ctrlKey: true })];
      });
      assert.deepEqual(defaultPrevented, [true, true, true, true, false, true, true, false]);
      assert.deepEqual(errors, []);
    } finally {
      await context.close();
    }
  });

  test('the button bar has the buttons in order with their texts', async () => {
    const { page, context } = await openPage(browser);
    try {
      const buttons = await page.locator('.button-bar button').evaluateAll(bs => bs.map(b => [b.id, b.textContent]));
      assert.deepEqual(buttons, [
        ['aboutButton', 'About'], ['loadConfigButton', 'Load Config'], ['saveConfigButton', 'Save Config'],
        ['saveConfigAsButton', 'Save Config As'], ['addSenderButton', 'Add Sender'],
        ['linkButton', 'Link'], ['removeAllButton', 'Remove All'],
      ]);
    } finally {
      await context.close();
    }
  });
});
