// The page in a browser, served by the real kestrix-server over HTTP: the
// sign-in, a link that kestrix-probe hears, two browsers kept in step; and the
// window's share switch, which serves the same way (Ember+ included).
import assert from 'node:assert/strict';
import { readFile, writeFile, mkdir } from 'node:fs/promises';
import path from 'node:path';
import { afterEach, describe, test } from 'node:test';
import {
  addSender, channel, connectionRows, expand, highlighted, launchBrowser, link, treeItem, treeNames, until, untilEqual,
} from './support/page.mjs';
import {
  carriesTone, freePort, Run, sessionStatus, signIn as signInAt, skipUnlessBuilt, sourceListed, sourceName,
} from './support/program.mjs';
import { KEEP_ALIVE_ANSWER, keepAliveAnswer } from './support/ember.mjs';

const TONES = sourceName('Tones');

let run;
let browser;
afterEach(async () => {
  await browser?.close().catch(() => {});
  await run?.dispose();
  run = browser = undefined;
});

const signIn = (address, token, options) => signInAt(browser, address, token, options);

const isOpen = async (page, sender) => (await treeItem(page, 'senders', sender)).locator(':scope > .nested').isVisible();

describe('the page served over HTTP', { skip: skipUnlessBuilt() }, () => {
  test('browsers sign in with the token and stay in step, each keeping what it has open; the acting page is not rebuilt', async () => {
    run = await Run.create('in-step');
    run.startSources(['Tones:4']);
    const { address, token } = await run.startServer();
    browser = await launchBrowser();
    const stranger = await signIn(address, 'not the token', { ready: false });
    await untilEqual(() => stranger.locator('#signInError').textContent(), 'Error: That is not the access token');

    const a = await signIn(address, token);
    await sourceListed(a, TONES, 4);
    assert.ok(await a.locator('#sharePage').isHidden(), 'the share switch is the window\'s own');
    // A's tree is marked to tell a rebuild: a page that comes up gets its documents alone, and A's own changes come
    // back to A without one.
    await a.evaluate(() => { window.senderTreeBefore = document.querySelector('#availableSendersList > li'); });
    const b = await signIn(address, token);
    await sourceListed(b, TONES, 4);
    await (await channel(b, 'senders', 'Plover Sender 2', 'CH 1')).click(); // B has a sender open and a channel selected
    await link(a, [[TONES, 'CH 3']], [['Plover Sender 2', 'CH 2']]);
    await untilEqual(() => connectionRows(b), [[TONES, '>', 'CH 3', '|', 'CH 2', '<', 'Plover Sender 2']]);
    await run.probeUntil('Plover Sender 2', carriesTone(1, 2), 'the link made in a browser carries Tones CH 3');
    // A new sender rebuilds B's tree: what B had open and selected stays.
    await addSender(a, 'Remote Booth', '2');
    await until(() => treeNames(b, 'senders'), names => names.includes('Remote Booth'), { what: 'the new sender on B' });
    assert.ok(await isOpen(b, 'Plover Sender 2'));
    assert.deepEqual(await highlighted(b, 'senders'), [['Plover Sender 2', 'CH 1']]);
    assert.ok(await a.evaluate(() => window.senderTreeBefore.isConnected), 'A\'s tree was not rebuilt');

    // A program's change reaches the pages too.
    assert.equal((await fetch(`${address}/api/v1/senders/delay`, { method: 'POST', body: '{"senderName":"Plover Sender 1","delayMs":250}',
      headers: { Authorization: `Bearer ${token}`, 'Content-Type': 'application/json' } })).status, 200);
    await untilEqual(() => expand(a, 'senders', 'Plover Sender 1').then(item => item.locator('.delay-label').textContent()),
      'Delay: 250 ms');
    assert.deepEqual([stranger.errors, a.errors, b.errors], [[], [], []]);
  });

  test('over HTTPS a page signs in, gets its channel over wss and keeps a cookie that is never sent in plain text', async () => {
    run = await Run.create('https');
    run.startSources(['Tones:4']);
    const { address, token } = await run.startServer({ tls: true });
    assert.match(address, /^https:/);
    browser = await launchBrowser();
    // The certificate is the server's own: this browser is told to take it, as a person would after a warning.
    const context = await browser.newContext({ ignoreHTTPSErrors: true });
    const page = await signIn(address, token, { context });
    await sourceListed(page, TONES, 4);
    const [cookie] = await context.cookies();
    assert.deepEqual([cookie.name, cookie.secure, cookie.httpOnly, cookie.sameSite], ['kestrix_session', true, true, 'Strict']);
    assert.deepEqual(page.errors, []);
    // Plain HTTP on the same port gets no answer: no token crosses the network readable.
    const plain = await fetch(`${address.replace('https:', 'http:')}/api/v1/senders`,
      { headers: { Authorization: `Bearer ${token}` }, signal: AbortSignal.timeout(5000) }).then(a => a.status, () => 0);
    assert.equal(plain, 0);
  });

  test('the window shares its page when the switch is turned on, and remembers it', async () => {
    run = await Run.create('share');
    const port = await freePort();
    const address = `http://127.0.0.1:${port}`;
    const settings = path.join(run.dataFolder, 'settings.ini');
    await mkdir(run.dataFolder, { recursive: true });
    const emberPort = await freePort();
    await writeFile(settings, `[General]\nlisten=127.0.0.1:${port}\nember=127.0.0.1:${emberPort}\n`);
    let window = await run.startProgram();
    const { page } = window;
    await page.click('#aboutButton');
    assert.equal(await page.locator('#sharePageSwitch').isChecked(), false, 'off by default');
    assert.equal(await sessionStatus(address), 0);
    await page.locator('#sharePageSwitch').check();
    const tokenFile = path.join(run.dataFolder, 'remote-access-token');
    await untilEqual(() => page.locator('#sharePageStatus').textContent(),
      `Shared at ${address}; sign in with the token in ${tokenFile}. Ember+ at 127.0.0.1:${emberPort}`);
    assert.equal(await sessionStatus(address), 401);
    assert.deepEqual(await keepAliveAnswer(emberPort), KEEP_ALIVE_ANSWER, 'Ember+ is shared too');
    // The API of the window's own router, with the token it wrote.
    const headers = { Authorization: `Bearer ${(await readFile(tokenFile, 'utf8')).trim()}` };
    // The start publishes its routing a little after the page is ready: both are read until they show it.
    const apiNames = async () => (await (await fetch(`${address}/api/v1/senders`, { headers })).json()).senders.map(s => s.name);
    await until(async () => [await apiNames(), await treeNames(page, 'senders')],
      ([api, shown]) => api.length > 0 && JSON.stringify(api) === JSON.stringify(shown), { what: 'the window\'s senders through the API' });
    assert.doesNotMatch(await readFile(run.mappingFile, 'utf8'), /share/i, 'never in the mapping file');

    await run.stopProgram(window);
    window = await run.startProgram();
    await until(() => sessionStatus(address), status => status === 401, { what: 'shared again after a restart' });
    await window.page.click('#aboutButton');
    assert.equal(await window.page.locator('#sharePageSwitch').isChecked(), true);
    await window.page.locator('#sharePageSwitch').uncheck();
    await until(() => sessionStatus(address), status => status === 0, { what: 'no longer shared' });
    await until(() => readFile(settings, 'utf8'), text => /sharePage=false/.test(text), { what: 'the switch kept off' });
  });
});
