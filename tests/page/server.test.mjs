// The page in a browser, served by the real kestrix-server over HTTP: the
// sign-in, a link that kestrix-probe hears, two browsers kept in step; and
// the window's share switch, which serves the same way.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { readFile, writeFile, mkdir } from 'node:fs/promises';
import path from 'node:path';
import { afterEach, describe, test } from 'node:test';
import {
  channel, connectionRows, expand, highlighted, launchBrowser, repoRoot, treeItem, treeNames,
} from './support/page.mjs';
import {
  Run, builtFilesNamed, freePort, probeChannel, programsMissing, senderName, sleep, sourceName, until,
} from './support/program.mjs';

const serverPath = process.env.KESTRIX_SERVER || path.join(repoRoot, 'build', 'bin', 'kestrix-server');
const missing = [...programsMissing(), ...(existsSync(serverPath) ? [] : [serverPath])];
if (builtFilesNamed && missing.length > 0) throw new Error(`built programs missing: ${missing.join(', ')}`);
const skip = missing.length > 0 ? `build the programs first (missing ${missing.join(', ')})` : false;

const TONES = sourceName('Tones');
const PROBE_TIMEOUT_MS = 90000;

let run;
let browser;
afterEach(async () => {
  await browser?.close().catch(() => {});
  await run?.dispose();
  run = undefined;
  browser = undefined;
});

/** Starts the sources and kestrix-server; returns its address and token. */
async function startServer(label) {
  run = await Run.create(label);
  run.startSources(['Tones:4']);
  const port = await freePort();
  const tokenFile = path.join(run.folder, 'token');
  const server = run.spawnLogged(serverPath, ['--listen', `127.0.0.1:${port}`, '--token-file', tokenFile,
    '--mapping-file', path.join(run.folder, 'routing.ploverc')], run.env(null), 'server.log');
  const address = `http://127.0.0.1:${port}`;
  await until(async () => {
    try { return (await fetch(`${address}/api/v1/session`)).status; } catch { return 0; }
  }, status => status === 401, { what: `kestrix-server at ${address}:\n${run.log(server)}` });
  const token = (await readFile(tokenFile, 'utf8')).trim();
  return { address, token };
}

/** A page of its own (its own cookies), signed in through the page. */
async function signedInPage(address, token) {
  const context = await browser.newContext({ viewport: { width: 1200, height: 680 } });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', error => errors.push(error));
  await page.goto(address);
  await page.locator('#signInPopup').waitFor({ state: 'visible' });
  await page.locator('#signInToken').fill(token);
  await page.locator('#signInButton').click();
  await page.waitForFunction(() => document.title === 'Vireo' &&
    document.getElementById('mainLoader').classList.contains('hidden'), null, { timeout: 30000 });
  page.errors = errors;
  return page;
}

/** Waits until the source tree lists the tones with their four channels and video. */
async function sourceListed(page) {
  await until(() => page.evaluate(name => [...document.querySelectorAll('#availableSourcesList > li')]
    .filter(li => li.querySelector(':scope > .item-name').textContent === name)
    .map(li => li.querySelectorAll('.channel-item').length)[0], TONES),
  count => count === 5, { deadlineMs: PROBE_TIMEOUT_MS, what: `${TONES} listed with its channels` });
}

async function link(page, [source, sourceLabel], [sender, senderLabel]) {
  await (await channel(page, 'sources', source, sourceLabel)).click();
  await (await channel(page, 'senders', sender, senderLabel)).click();
  await page.click('#linkButton');
}

describe('the page served over HTTP', { skip }, () => {
  test('a browser signs in with the token and routes a tone that kestrix-probe hears', async () => {
    const { address, token } = await startServer('browser');
    browser = await launchBrowser();
    const context = await browser.newContext({ viewport: { width: 1200, height: 680 } });
    const page = await context.newPage();
    await page.goto(address);
    await page.locator('#signInPopup').waitFor({ state: 'visible' });
    assert.deepEqual(await treeNames(page, 'senders'), [], 'nothing of the routing before the sign-in');
    await page.locator('#signInToken').fill('not the token');
    await page.locator('#signInButton').click();
    await page.locator('#signInError').waitFor({ state: 'visible' });
    assert.equal(await page.locator('#signInError').textContent(), 'Error: That is not the access token');

    const signedIn = await signedInPage(address, token);
    await sourceListed(signedIn);
    assert.deepEqual(await treeNames(signedIn, 'senders'), ['Plover Sender 1', 'Plover Sender 2', 'Plover Sender 3']);
    assert.ok(await signedIn.locator('#sharePage').isHidden(), 'the share switch is the window\'s own');
    await link(signedIn, [TONES, 'CH 2'], ['Plover Sender 1', 'CH 1']);
    assert.deepEqual(await connectionRows(signedIn), [[TONES, '>', 'CH 2', '|', 'CH 1', '<', 'Plover Sender 1']]);
    await until(() => run.probe(senderName('Plover Sender 1')).catch(() => null), r => {
      const c = r && probeChannel(r, 0);
      return !!c && c.silentFraction === 0 && Math.abs(c.frequencyHz - 750) < 5 && Math.abs(c.levelDbfs + 20) < 0.5;
    }, { deadlineMs: PROBE_TIMEOUT_MS, what: 'Plover Sender 1 carries 750 Hz on channel 0', intervalMs: 100 });
    assert.deepEqual(signedIn.errors, []);
  });

  test('two browsers stay in step, each keeping what it has open; the acting page is not rebuilt', async t => {
    const { address, token } = await startServer('in-step');
    browser = await launchBrowser();
    const a = await signedInPage(address, token);
    await sourceListed(a);
    await expand(a, 'senders', 'Plover Sender 3');
    // A page that comes up gets its documents alone: A is left as it is.
    const b = await signedInPage(address, token);
    await sourceListed(b);
    assert.ok(await (await treeItem(a, 'senders', 'Plover Sender 3')).locator(':scope > .nested').isVisible());

    // B has a sender open and a channel selected; A's own tree is marked to tell a rebuild.
    await (await channel(b, 'senders', 'Plover Sender 2', 'CH 1')).click();
    await a.evaluate(() => { window.senderTreeBefore = document.querySelector('#availableSendersList > li'); });
    const rowOnB = async () => (await connectionRows(b)).length;

    // Both browsers read the same clock: when A's Link was clicked, and when B's row appeared.
    await a.evaluate(() => document.getElementById('linkButton').addEventListener('click',
      () => { window.linkClickedAt = Date.now(); }, { capture: true }));
    await b.evaluate(() => new MutationObserver(() => { window.rowShownAt ??= Date.now(); })
      .observe(document.getElementById('connectedSources'), { childList: true }));
    await link(a, [TONES, 'CH 3'], ['Plover Sender 2', 'CH 2']);
    await until(rowOnB, n => n === 1, { what: 'the row on the other page' });
    const inStepMs = (await b.evaluate(() => window.rowShownAt)) - (await a.evaluate(() => window.linkClickedAt));
    t.diagnostic(`the other page showed the link ${inStepMs} ms after the click on Link`);
    assert.deepEqual(await connectionRows(b), [[TONES, '>', 'CH 3', '|', 'CH 2', '<', 'Plover Sender 2']]);

    // A new sender rebuilds B's tree: what B had open and selected stays.
    await a.click('#addSenderButton');
    await a.locator('#senderNameInput').fill('Remote Booth');
    await a.locator('#senderChannelsInput').fill('2');
    await a.locator('#addSenderConfirmButton').click();
    await until(() => treeNames(b, 'senders'), names => names.includes('Remote Booth'), { what: 'the new sender on B' });
    assert.ok(await (await treeItem(b, 'senders', 'Plover Sender 2')).locator(':scope > .nested').isVisible());
    assert.deepEqual(await highlighted(b, 'senders'), [['Plover Sender 2', 'CH 1']]);
    assert.ok(await a.evaluate(() => window.senderTreeBefore.isConnected), 'A\'s own changes did not rebuild its tree');

    // A program's change reaches both pages; B's removal reaches A.
    const answer = await fetch(`${address}/api/v1/senders/delay`, {
      method: 'POST', headers: { Authorization: `Bearer ${token}`, 'Content-Type': 'application/json' },
      body: JSON.stringify({ senderName: 'Plover Sender 1', delayMs: 250 }),
    });
    assert.equal(answer.status, 200);
    for (const page of [a, b]) {
      const sender = await expand(page, 'senders', 'Plover Sender 1');
      await until(() => sender.locator('.delay-label').textContent(), text => text === 'Delay: 250 ms',
        { what: 'the delay set through the API' });
    }
    await b.locator('#connectedSenders .trash-button').first().click();
    await until(() => connectionRows(a), rows => rows.length === 0, { what: 'the row removed on B gone from A' });
    assert.deepEqual([a.errors, b.errors], [[], []]);
  });

  test('the window shares its page when the switch is turned on, and remembers it', async () => {
    run = await Run.create('share');
    const port = await freePort();
    const folder = path.join(run.folder, 'data', 'Morvane', 'Kestrix');
    await mkdir(folder, { recursive: true });
    await writeFile(path.join(folder, 'settings.ini'), `[General]\nlisten=127.0.0.1:${port}\n`);
    const address = `http://127.0.0.1:${port}`;
    const serving = async () => { try { return (await fetch(`${address}/api/v1/session`)).status; } catch { return 0; } };

    let window = await run.startProgram();
    await window.page.click('#aboutButton');
    assert.ok(await window.page.locator('#sharePage').isVisible());
    assert.equal(await window.page.locator('#sharePageSwitch').isChecked(), false, 'off by default');
    assert.equal(await serving(), 0);
    await window.page.locator('#sharePageSwitch').check();
    const tokenFile = path.join(folder, 'remote-access-token');
    await until(() => window.page.locator('#sharePageStatus').textContent(),
      text => text === `Shared at ${address}; sign in with the token in ${tokenFile}`, { what: 'the shared state' });
    assert.equal(await serving(), 401);
    const token = (await readFile(tokenFile, 'utf8')).trim();
    const routing = await (await fetch(`${address}/api/v1/senders`, { headers: { Authorization: `Bearer ${token}` } })).json();
    assert.deepEqual(routing.senders.map(s => s.name), ['Plover Sender 1', 'Plover Sender 2', 'Plover Sender 3']);
    assert.match(await readFile(path.join(folder, 'settings.ini'), 'utf8'), /sharePage=true/);
    assert.doesNotMatch(await readFile(run.mappingFile, 'utf8'), /share/i, 'never in the mapping file');

    await run.stopProgram(window);
    window = await run.startProgram();
    await until(serving, status => status === 401, { what: 'shared again after a restart' });
    await window.page.click('#aboutButton');
    assert.equal(await window.page.locator('#sharePageSwitch').isChecked(), true);
    await window.page.locator('#sharePageSwitch').uncheck();
    await until(serving, status => status === 0, { what: 'no longer shared' });
    await sleep(100);
    assert.match(await readFile(path.join(folder, 'settings.ini'), 'utf8'), /sharePage=false/);
    await run.stopProgram(window);
  });
});
