// Opens the routing page in Debian's Chromium against a stand-in bridge, and
// offers the look-ups the page tests share.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { after, afterEach, before, beforeEach } from 'node:test';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repoRoot = path.resolve(here, '../../..');
const resourcesDir = path.join(repoRoot, 'resources');
export const DEADLINE_MS = 30000; // generous: the machine is shared with builds

export function launchBrowser() {
  return chromium.launch({ executablePath: process.env.KESTRIX_CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox',
    '--disable-gpu', '--disable-background-networking', '--disable-component-update', '--disable-sync', '--no-first-run'] });
}

export const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

/** Polls `read` until `accept` holds for its value; after the deadline, fails with the last value. */
export async function until(read, accept, { deadlineMs = DEADLINE_MS, what = 'condition', intervalMs = 200 } = {}) {
  for (const deadline = Date.now() + deadlineMs; ; await sleep(intervalMs)) {
    const value = await read();
    if (accept(value)) return value;
    if (Date.now() > deadline) assert.fail(`${what} not reached within ${deadlineMs} ms; last: ${JSON.stringify(value)}`);
  }
}

/** Polls `read` until its value is `expected` (compared as JSON). */
export const untilEqual = (read, expected, options = {}) =>
  until(read, value => JSON.stringify(value) === JSON.stringify(expected), { what: JSON.stringify(expected), ...options });

/** Opens the page in a fresh context; with holdChannel the channel is handed over only on bridge.release(). */
export async function openPage(browser, { holdChannel = false } = {}) {
  const context = await browser.newContext({ viewport: { width: 1200, height: 680 } });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', error => errors.push(error));
  page.on('dialog', dialog => { errors.push(new Error(`dialog opened: ${dialog.message()}`)); dialog.dismiss(); });
  await page.addInitScript(config => {
    window.__standInBridgeConfig = config;
    window.qt = { webChannelTransport: { send() {}, onmessage: null } };
  }, { holdChannel });
  const standIn = await readFile(path.join(here, 'stand-in-qwebchannel.js'), 'utf8');
  await page.route('qrc:///qtwebchannel/qwebchannel.js', route => route.fulfill({ contentType: 'text/javascript', body: standIn }));
  // Anything beyond its own files (a web-font service, say) must not be reached.
  await page.route(url => !['qrc:', 'data:', 'file:'].some(start => url.href.startsWith(start)),
    route => { errors.push(new Error(`the page reached for ${route.request().url()}`)); return route.abort(); });
  // From its folder, "../assets/x" and "fonts/x" resolve as they do under qrc:/.
  await page.goto(pathToFileURL(path.join(resourcesDir, 'routing-web-ui.html')).href);
  const bridge = standInBridge(page);
  if (!holdChannel) await bridge.waitUntilReady();
  return { page, context, bridge, errors };
}

/** A fresh page for each test of the file, after `setUp(opened)`; a script error, dialog or request that left the page fails the test. */
export function pagePerTest(setUp = () => {}) {
  const opened = {};
  before(async () => { opened.browser = await launchBrowser(); });
  after(() => opened.browser?.close());
  beforeEach(async () => { await setUp(Object.assign(opened, await openPage(opened.browser))); });
  afterEach(async () => {
    await opened.context.close();
    assert.deepEqual(opened.errors, []);
  });
  return opened;
}

function standInBridge(page) {
  const call = (name, ...args) => page.evaluate(([n, a]) => window.__bridge[n](...a), [name, args]);
  const bridge = {
    waitUntilReady: () => page.waitForFunction(() => window.__bridge?.calls.some(c => c[0] === 'uiReady'), null,
      { timeout: DEADLINE_MS }),
    release: () => call('release'),
    emit: (signal, value) => call('emit', signal, typeof value === 'string' ? value : JSON.stringify(value)),
    // As the real bridge does after a routing change: senders, then connections.
    publishRouting: async (senders, connections) => {
      await bridge.emit('sendersUpdated', senders);
      await bridge.emit('connectionsUpdated', connections);
    },
    // Every later call of `slot` refused with `reason` (and `extra` keys); null accepts again.
    refuse: (slot, reason, extra = {}) => call('refuse', slot, reason, extra),
    calls: () => page.evaluate(() => window.__bridge.calls.slice()),
    // Slot calls since the last take, but uiReady and previews (which follow the source selection).
    takeCalls: async () => (await page.evaluate(() => window.__bridge.calls.splice(0)))
      .filter(c => c[0] !== 'uiReady' && c[0] !== 'previewSource'),
  };
  return bridge;
}

export const audioConnection = (sourceName, sourceChannel, senderName, senderChannel) =>
  ({ senderChannel, senderName, sourceChannel, sourceName });
export const videoConnection = (sourceName, senderName) =>
  ({ senderChannel: 'Video', senderName, sourceChannel: 'Video', sourceName });

const listIds = { sources: '#availableSourcesList', senders: '#availableSendersList' };

/** The tree item whose name is exactly `name` (not a substring, not normalised). */
export async function treeItem(page, side, name) {
  const items = page.locator(`${listIds[side]} > li`);
  const index = await items.evaluateAll(
    (lis, n) => lis.findIndex(li => li.querySelector(':scope > .item-name').textContent === n), name);
  assert.ok(index >= 0, `no ${side} item named ${JSON.stringify(name)}`);
  return items.nth(index);
}

export const treeNames = (page, side) =>
  page.locator(`${listIds[side]} > li > .item-name`).evaluateAll(els => els.map(e => e.textContent));

export async function expand(page, side, name) {
  const item = await treeItem(page, side, name);
  if (!(await item.locator(':scope > .nested').isVisible())) await item.locator(':scope > .item-name').click();
  return item;
}

/** A channel item ("CH n" or "Video") of an item, expanded first. */
export async function channel(page, side, name, label) {
  const item = await expand(page, side, name);
  return item.locator(':scope > .nested > .channel-item').filter({ hasText: new RegExp(`^${label}$`) });
}

export const ctrlClick = locator => locator.click({ modifiers: ['Control'] });

/** Picks [name, label] channels as a person does (a click on the first of a side, Ctrl-click on the others) and presses Link. */
export async function link(page, sources, senders) {
  for (const [side, picks] of [['sources', sources], ['senders', senders]]) {
    for (const [i, [name, label]] of picks.entries()) await (i ? ctrlClick : c => c.click())(await channel(page, side, name, label));
  }
  await page.click('#linkButton');
}

/** Opens a sender's delay control; `shown()` answers [slider value, label]. */
export async function delayControl(page, name) {
  const control = (await expand(page, 'senders', name)).locator('.delay-control');
  if (!(await control.locator('.delay-container').isVisible())) await control.locator('.delay-caret').click();
  const slider = control.locator('input[type=range]');
  const shown = async () => [await slider.inputValue(), await control.locator('.delay-label').textContent()];
  return { control, slider, shown, reset: control.getByRole('button', { name: '0 ms' }) };
}

/** Fills the add-sender popup as a person types it and submits it, with the button or Enter. */
export async function addSender(page, name, channels, { withEnter = false } = {}) {
  if (await page.locator('#addSenderPopup').isHidden()) await page.click('#addSenderButton');
  await page.locator('#senderNameInput').fill(name); // as pasted
  const channelsBox = page.locator('#senderChannelsInput');
  await channelsBox.fill('');
  await channelsBox.pressSequentially(channels);
  await (withEnter ? channelsBox.press('Enter') : page.click('#addSenderConfirmButton'));
}

/** The error popup's message, closing the popup; null when none is shown. */
export async function takeError(page) {
  const popup = page.locator('#errorPopup');
  if (!(await popup.isVisible())) return null;
  const message = await page.locator('#errorPopupMessage').textContent();
  await popup.getByRole('button', { name: 'Close' }).click();
  return message;
}

/** Texts of an item's nested entries, as a person reads them. */
export const nestedTexts = async (page, side, name) => (await expand(page, side, name)).locator(':scope > .nested > li')
  .evaluateAll(lis => lis.map(li => (li.querySelector('button, .caret') || li).textContent));

/** Highlighted channels of one side as [name, label] pairs. */
export const highlighted = (page, side) => page.locator(`${listIds[side]} .channel-item.selected`).evaluateAll(els =>
  els.map(e => [e.closest('.tree-item').querySelector(':scope > .item-name').textContent, e.textContent]));

/** Connection rows, both halves read at one moment, as [...left texts, '|', ...right texts]. */
export async function connectionRows(page) {
  const [left, right] = await page.evaluate(() => ['connectedSources', 'connectedSenders'].map(id =>
    [...document.getElementById(id).children].map(li => [...li.querySelectorAll('span')].map(s => s.textContent))));
  assert.equal(left.length, right.length, 'both halves of the rows must stay in step');
  return left.map((l, i) => [...l, '|', ...right[i]]);
}

/**
 * What the first meter inside `locator` shows, read from the gradients it is
 * drawn with: {peak, rms, hold} in dBFS on the meter's scale (-60 at its left
 * end, which also stands for nothing, 0 at its right end), to 0.1 dB.
 */
export function meterReading(locator) {
  return locator.locator('.meter-bars').first().evaluate(bars => {
    // Upper bar: lit up to the peak, then covered, the tick ending at the hold; lower bar: lit up to the RMS.
    const [, upper, lower] = bars.style.backgroundImage.split(/\),\s*linear-gradient\(/); // after the reference mark
    const firstStop = gradient => gradient ? parseFloat(gradient.match(/(-?[\d.]+)%/)[1]) : 0;
    const tick = (upper || '').match(/calc\(([\d.]+)% - 2px\)/);
    const db = percent => Math.round((-60 + 0.6 * percent) * 10) / 10;
    return { peak: db(firstStop(upper)), rms: db(firstStop(lower)), hold: db(tick ? parseFloat(tick[1]) : 0) };
  });
}
