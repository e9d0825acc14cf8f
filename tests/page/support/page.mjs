// Opens the routing page in Debian's Chromium against a stand-in bridge, and
// offers the few look-ups the page tests share.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repoRoot = path.resolve(here, '../../..');
export const resourcesDir = path.join(repoRoot, 'resources');
export const artifactsDir = path.resolve(here, '../artifacts');

// The page is served from a made-up origin with the resource folder as its
// root, so "../assets/x" and "fonts/x" resolve as they do under qrc:/.
export const PAGE_ORIGIN = 'http://kestrix.page.test';
export const PAGE_URL = `${PAGE_ORIGIN}/routing-web-ui.html`;
const QWEBCHANNEL_URL = 'qrc:///qtwebchannel/qwebchannel.js';

export const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run'];

export const BRIDGE_PROPERTIES = { productVersion: '1.5.2', ndiLibVersion: '5.5.4.0', getTitle: 'Vireo' };

// A generous deadline for anything the page does on its own (filters, start).
export const DEADLINE_MS = 15000;

export async function launchBrowser() {
  return chromium.launch({
    executablePath: process.env.KESTRIX_CHROMIUM || '/usr/bin/chromium',
    args: CHROMIUM_ARGS,
  });
}

const contentTypes = { '.html': 'text/html; charset=utf-8', '.png': 'image/png', '.jpg': 'image/jpeg', '.ttf': 'font/ttf' };

/**
 * Opens the page in a fresh context. Options: holdChannel (the channel is
 * handed over only on bridge.release()), missingPaths (URL path prefixes that
 * answer 404, e.g. ['/assets/', '/fonts/']), viewport.
 */
export async function openPage(browser, options = {}) {
  const context = await browser.newContext({ viewport: options.viewport || { width: 1200, height: 680 } });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', error => errors.push(error));
  page.on('dialog', dialog => { errors.push(new Error(`dialog opened: ${dialog.message()}`)); dialog.dismiss(); });

  await page.addInitScript(config => {
    window.__standInBridgeConfig = config;
    window.qt = { webChannelTransport: { send() {}, onmessage: null } };
  }, { ...BRIDGE_PROPERTIES, holdChannel: !!options.holdChannel });

  const standIn = await readFile(path.join(here, 'stand-in-qwebchannel.js'), 'utf8');
  await page.route(QWEBCHANNEL_URL, route => route.fulfill({ contentType: 'text/javascript', body: standIn }));
  await page.route(`${PAGE_ORIGIN}/**`, async route => {
    const urlPath = decodeURIComponent(new URL(route.request().url()).pathname);
    const file = path.join(resourcesDir, path.normalize(urlPath));
    if (!file.startsWith(resourcesDir + path.sep) || (options.missingPaths || []).some(p => urlPath.startsWith(p)))
      return route.fulfill({ status: 404, body: '' });
    try {
      const body = await readFile(file);
      return route.fulfill({ body, contentType: contentTypes[path.extname(file)] || 'application/octet-stream' });
    } catch {
      return route.fulfill({ status: 404, body: '' });
    }
  });
  // Anything else (a web-font service, say) must not be reached.
  const strayRequests = [];
  await page.route(url => !url.href.startsWith(PAGE_ORIGIN) && !url.href.startsWith('qrc:') && !url.href.startsWith('data:'),
    route => { strayRequests.push(route.request().url()); return route.abort(); });

  await page.goto(PAGE_URL);
  const bridge = new StandInBridge(page);
  if (!options.holdChannel) await bridge.waitUntilReady();
  return { page, context, bridge, errors, strayRequests };
}

export class StandInBridge {
  constructor(page) { this.page = page; }

  async waitUntilReady() {
    await this.page.waitForFunction(() => window.__bridge && window.__bridge.calls.some(c => c[0] === 'uiReady'),
      null, { timeout: DEADLINE_MS });
  }

  release() { return this.page.evaluate(() => window.__bridge.release()); }

  /** Emits a bridge signal; objects are sent as compact JSON, strings as they are. */
  emit(signal, value) {
    const text = typeof value === 'string' ? value : JSON.stringify(value);
    return this.page.evaluate(([s, t]) => window.__bridge.emit(s, t), [signal, text]);
  }

  /** Sends what the real bridge sends after a routing change: senders, then connections. */
  async publishRouting(senders, connections) {
    await this.emit('sendersUpdated', senders);
    await this.emit('connectionsUpdated', connections);
  }

  /** Refuses every later call of `slot` as the real bridge does, with `reason` (and `extra` keys); null accepts again. */
  refuse(slot, reason, extra = {}) {
    return this.page.evaluate(([s, r, e]) => window.__bridge.refuse(s, r, e), [slot, reason, extra]);
  }

  calls() { return this.page.evaluate(() => window.__bridge.calls.slice()); }

  /** Slot calls since the last take, uiReady and previews (which follow the source selection) excluded. */
  async takeCalls() {
    const calls = await this.page.evaluate(() => window.__bridge.calls.splice(0));
    return calls.filter(c => c[0] !== 'uiReady' && c[0] !== 'previewSource');
  }
}

export function audioConnection(sourceName, sourceChannel, senderName, senderChannel) {
  return { senderChannel, senderName, sourceChannel, sourceName };
}

export function videoConnection(sourceName, senderName) {
  return { senderChannel: 'Video', senderName, sourceChannel: 'Video', sourceName };
}

const listIds = { sources: '#availableSourcesList', senders: '#availableSendersList' };

/** The tree item whose name is exactly `name` (not a substring, not normalised). */
export async function treeItem(page, side, name) {
  const items = page.locator(`${listIds[side]} > li`);
  const index = await items.evaluateAll(
    (lis, n) => lis.findIndex(li => li.querySelector(':scope > .item-name').textContent === n), name);
  assert.ok(index >= 0, `no ${side} item named ${JSON.stringify(name)}`);
  return items.nth(index);
}

/** Names of the tree items of one side, in document order. */
export function treeNames(page, side) {
  return page.locator(`${listIds[side]} > li > .item-name`).evaluateAll(els => els.map(e => e.textContent));
}

/** Expands the item (if needed) and returns it. */
export async function expand(page, side, name) {
  const item = await treeItem(page, side, name);
  const nested = item.locator(':scope > .nested');
  if (!(await nested.isVisible())) await item.locator(':scope > .item-name').click();
  assert.ok(await nested.isVisible());
  return item;
}

/** A channel item ("CH n" or "Video") of an item, expanding the item first. */
export async function channel(page, side, name, label) {
  const item = await expand(page, side, name);
  return item.locator(':scope > .nested > .channel-item').filter({ hasText: new RegExp(`^${label}$`) });
}

/** Texts of an item's nested entries, in order, as a user reads them. */
export async function nestedTexts(page, side, name) {
  const item = await expand(page, side, name);
  return item.locator(':scope > .nested > li').evaluateAll(lis => lis.map(li => {
    const first = li.querySelector('button, .caret');
    return first ? first.textContent : li.textContent;
  }));
}

/** Highlighted channels of one side as [name, label] pairs, in document order. */
export function highlighted(page, side) {
  return page.locator(`${listIds[side]} .channel-item.selected`).evaluateAll(els => els.map(e => [
    e.closest('.tree-item').querySelector(':scope > .item-name').textContent, e.textContent]));
}

/** Connection rows, both halves read at one moment, as [...left texts, '|', ...right texts]. */
export async function connectionRows(page) {
  const [left, right] = await page.evaluate(() => ['connectedSources', 'connectedSenders'].map(id =>
    [...document.getElementById(id).children].map(li => [...li.querySelectorAll('span')].map(s => s.textContent))));
  assert.equal(left.length, right.length, 'both halves of the rows must stay in step');
  return left.map((l, i) => [...l, '|', ...right[i]]);
}

/** Clicks with Ctrl held. */
export function ctrlClick(locator) {
  return locator.click({ modifiers: ['Control'] });
}

export async function isHidden(page, selector) {
  return !(await page.locator(selector).isVisible());
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
