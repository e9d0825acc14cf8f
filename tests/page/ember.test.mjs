// Kestrix as an Ember+ provider, judged by an independent consumer (npm's
// emberplus-connection) against the real kestrix-server with loopback test
// sources, a page and the API beside it.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { after, before, describe, test } from 'node:test';
import { S101Codec } from 'emberplus-connection';
import { connectionRows, launchBrowser, link, until, untilEqual } from './support/page.mjs';
import { built, carriesTone, Run, signIn, skipUnlessBuilt, sourceListed, sourceName } from './support/program.mjs';
import { carried, childrenByName, closeConsumer, consumer, element, labelNumbers, rawSocket } from './support/ember.mjs';

const TONES = sourceName('Tones');
// Data, wherever it shows: quotes, a backslash, markup, an entity, a dot and letters beyond ASCII.
const HOSTILE_STREAM = 'Evil "q" \\ <script>alert(1)</script> &amp; a.b ünï ✓';
const HOSTILE = sourceName(HOSTILE_STREAM);
const HOSTILE_SENDER = 'Stage "B" <b>&amp;</b> \\ a.b ✓';
// GetDirectory on the matrix (1.2), framed by the consumer library's own S101 codec.
const GET_MATRIX_DIRECTORY = Buffer.concat(new S101Codec().encodeBER(Buffer.from([0x60, 0x19, 0x6B, 0x17, 0xA0, 0x15,
  0x71, 0x13, 0xA0, 0x04, 0x0D, 0x02, 0x01, 0x02, 0xA2, 0x0B, 0x64, 0x09, 0xA0, 0x07, 0x62, 0x05, 0xA0, 0x03, 0x02, 0x01,
  0x20])));

describe('Ember+ with kestrix-server', { skip: skipUnlessBuilt() }, () => {
  let run, server, browser, page, client;

  const api = async (call, body) => {
    const answer = await fetch(`${server.address}/api/v1${call}`, body === undefined
      ? { headers: { Authorization: `Bearer ${server.token}` } }
      : { method: 'POST', body: JSON.stringify(body),
        headers: { Authorization: `Bearer ${server.token}`, 'Content-Type': 'application/json' } });
    return { status: answer.status, body: await answer.json() };
  };
  const serverLog = () => readFileSync(server.server.logPath, 'utf8');
  // The provider's lines of the log match `pattern` (a failure shows them all).
  const assertLogged = pattern => {
    const lines = serverLog().split('\n').filter(line => line.includes('Ember+'));
    assert.ok(lines.some(line => pattern.test(line)), `${pattern} in:\n${lines.join('\n')}`);
  };

  before(async () => {
    run = await Run.create('ember');
    run.startSources(['Tones:4', `${HOSTILE_STREAM}:2`]);
    server = await run.startServer({ ember: true });
    browser = await launchBrowser();
    page = await signIn(browser, server.address, server.token);
    await sourceListed(page, TONES, 4);
    await sourceListed(page, HOSTILE, 2);
    client = await consumer(server.emberPort);
  });

  after(async () => {
    await closeConsumer(client);
    await browser?.close().catch(() => {});
    await run?.dispose();
  });

  test('a consumer browses the whole tree: identity, the matrix and its labels, every sender and source', async () => {
    await client.expand(client.tree);
    const kestrix = client.tree[1];
    assert.equal(kestrix.contents.identifier, 'Kestrix');
    const top = childrenByName(kestrix);
    assert.deepEqual(Object.keys(top), ['Identity', 'Routing', 'Names', 'Senders', 'Sources']);

    const identity = Object.fromEntries(Object.values(top.Identity.children).map(p => [p.contents.identifier, p.contents.value]));
    assert.equal(identity.product, 'Kestrix');
    assert.equal(identity.version, '1.5.2');
    assert.equal(identity.ndiRuntime, 'libkestrix-ndi-loopback.so');
    assert.match(identity.ndiRuntimeVersion, /LOOPBACK/);

    // The matrix: a target per sender channel, a source per source channel, named by the labels convention.
    const { senders } = (await api('/senders')).body;
    const matrix = top.Routing;
    assert.equal(matrix.contents.matrixType, 'ONE_TO_N');
    assert.equal(matrix.contents.addressingMode, 'NON_LINEAR');
    const expectedTargets = senders.flatMap(s => Array.from({ length: s.channels }, (_, c) => `${s.name} CH ${c + 1}`));
    const targetLabels = await labelNumbers(client, 'targets');
    assert.deepEqual(matrix.contents.targets.map(n => [...targetLabels].find(([, m]) => m === n)[0]), expectedTargets);
    assert.equal(matrix.contents.targetCount, expectedTargets.length);
    const sourceLabels = [...(await labelNumbers(client, 'sources')).keys()];
    assert.deepEqual(sourceLabels.sort(), [...[1, 2].map(c => `${HOSTILE} CH ${c}`), ...[1, 2, 3, 4].map(c => `${TONES} CH ${c}`)].sort());
    assert.deepEqual(Object.values(matrix.contents.connections).map(c => c.sources), expectedTargets.map(() => []));
    assert.deepEqual(matrix.contents.labels.map(l => [l.basePath, l.description]), [['1.3', 'Names']]);

    // Every sender with its settings and levels; every source with its state.
    assert.deepEqual(Object.keys(childrenByName(top.Senders)), senders.map(s => s.name));
    for (const sender of Object.values(top.Senders.children)) {
      const fields = childrenByName(sender);
      const shown = senders.find(s => s.name === sender.contents.description);
      assert.equal(fields.Channels.contents.value, shown.channels);
      assert.deepEqual([fields['Video source'].contents.value, fields['Video source'].contents.access], ['', 'READ_WRITE']);
      const delay = Object.values(sender.children).find(p => p.contents.identifier === 'delay').contents;
      assert.deepEqual([delay.value, delay.minimum, delay.maximum, delay.access], [0, -5000, 5000, 'READ_WRITE']);
      assert.equal(Object.keys(fields.Levels.children).length, shown.channels);
    }
    const sources = childrenByName(top.Sources);
    for (const [name, channels] of [[TONES, 4], [HOSTILE, 2]]) {
      const fields = Object.fromEntries(Object.values(sources[name].children).map(p => [p.contents.identifier, p]));
      assert.deepEqual([fields.online.contents.value, fields.channels.contents.value, fields.sampleRate.contents.value],
        [true, channels, 48000]);
      const peak = Object.values(fields.levels.children)[0].children[1].contents;
      assert.deepEqual([peak.identifier, peak.parameterType, peak.streamDescriptor.format], ['peak', 'REAL', 'Float32LE']);
    }
    assert.deepEqual(client.problems, []);
  });

  test('a link made by a consumer is heard on the sender and shown on the page; one made on the page reaches the consumer', async () => {
    const matrix = await element(client, 'Kestrix.routing');
    const targets = await labelNumbers(client, 'targets');
    const sources = await labelNumbers(client, 'sources');
    const answer = await (await client.matrixConnect(matrix, targets.get('Plover Sender 1 CH 1'), [sources.get(`${TONES} CH 3`)])).response;
    const reported = answer.contents.connections[targets.get('Plover Sender 1 CH 1')];
    assert.deepEqual([reported.sources, reported.disposition], [[sources.get(`${TONES} CH 3`)], 'MODIFIED']);
    await run.probeUntil('Plover Sender 1', carriesTone(0, 2), 'the link a consumer made carries Tones CH 3');
    await untilEqual(() => connectionRows(page), [[TONES, '>', 'CH 3', '|', 'CH 1', '<', 'Plover Sender 1']]);

    await link(page, [[HOSTILE, 'CH 2']], [['Plover Sender 2', 'CH 1']]);
    await until(() => carried(matrix, targets.get('Plover Sender 2 CH 1')), source => source === sources.get(`${HOSTILE} CH 2`),
      { what: 'the page\'s link at the consumer' });

    // The source's levels stream to a consumer that subscribes: the test tone's -20 dBFS.
    const peak = await element(client, `Kestrix.sources.${TONES}.levels.CH 3.peak`);
    const heard = [];
    client.on('streamUpdate', (path, value) => heard.push([path, value]));
    await client.subscribe(peak);
    const [, level] = await until(() => heard.find(([, value]) => Math.abs(value + 20) < 1), found => !!found,
      { what: 'Tones CH 3 at -20 dBFS in the peak stream' });
    await client.unsubscribe(peak);
    assert.ok(Math.abs(level + 20) < 1);
    // A disconnect through Ember+ leaves the sender channel silent.
    await (await client.matrixDisconnect(matrix, targets.get('Plover Sender 1 CH 1'), [sources.get(`${TONES} CH 3`)])).response;
    await untilEqual(() => connectionRows(page), [[HOSTILE, '>', 'CH 2', '|', 'CH 1', '<', 'Plover Sender 2']]);
  });

  test('a delay set by a consumer reads back through the API, and one the router refuses is answered with the delay kept', async () => {
    const delay = await element(client, 'Kestrix.senders.Plover Sender 2.delay');
    assert.equal((await (await client.setValue(delay, -120)).response).contents.value, -120);
    const delayOf = async name => (await api('/senders')).body.senders.find(s => s.name === name).delayMs;
    assert.equal(await delayOf('Plover Sender 2'), -120);
    assert.equal((await (await client.setValue(delay, 6000)).response).contents.value, -120);
    assert.equal(await delayOf('Plover Sender 2'), -120);
    assertLogged(/Ember\+ consumer 127\.0\.0\.1:\d+: a change was refused: "a delay must be/);
    // A delay set through the API reaches the consumer.
    assert.equal((await api('/senders/delay', { senderName: 'Plover Sender 2', delayMs: 40 })).status, 200);
    await until(() => delay.contents.value, value => value === 40, { what: 'the API\'s delay at the consumer' });
  });

  test('a sender added through the API grows the matrix at the consumer; hostile names arrive as data', async () => {
    const matrix = await element(client, 'Kestrix.routing');
    const before = matrix.contents.targetCount;
    await element(client, 'Kestrix.senders');
    assert.equal((await api('/senders/add', { senderName: HOSTILE_SENDER, channels: 2 })).status, 200);
    await until(() => matrix.contents.targetCount, count => count === before + 2, { what: 'two more targets' });
    const targets = await labelNumbers(client, 'targets');
    assert.ok(targets.has(`${HOSTILE_SENDER} CH 1`) && targets.has(`${HOSTILE_SENDER} CH 2`), [...targets.keys()].join('\n'));
    assert.ok(matrix.contents.targets.includes(targets.get(`${HOSTILE_SENDER} CH 2`)));

    // Its video source, set through Ember+: a source the router has not found is refused with the name quoted.
    const senders = await element(client, 'Kestrix.senders');
    const added = Object.values(senders.children).find(node => node.contents.description === HOSTILE_SENDER);
    const video = await element(client, `Kestrix.senders.${added.number}.videoSource`);
    const nowhere = 'NOWHERE (line\nbreak)';
    assert.equal((await (await client.setValue(video, nowhere)).response).contents.value, '');
    assertLogged(/refused: "there is no source \\"NOWHERE \(line\\nbreak\)\\""/);
    assert.equal((await (await client.setValue(video, HOSTILE)).response).contents.value, HOSTILE);
    const shown = (await api('/senders')).body.senders.find(s => s.name === HOSTILE_SENDER);
    assert.equal(shown.videoSource, HOSTILE);

    // Removed, the matrix loses its targets.
    assert.equal((await api('/senders/remove', { senderName: HOSTILE_SENDER })).status, 200);
    await until(() => matrix.contents.targetCount, count => count === before, { what: 'the targets gone' });
    assert.deepEqual(client.problems, []);
  });

  test('many consumers are served at once, and one that misbehaves is closed alone', async () => {
    // Twenty consumers hear of one change.
    const many = await Promise.all(Array.from({ length: 20 }, () => consumer(server.emberPort)));
    try {
      const matrices = await Promise.all(many.map(c => element(c, 'Kestrix.routing')));
      const targets = await labelNumbers(client, 'targets');
      const sources = await labelNumbers(client, 'sources');
      const target = targets.get('Plover Sender 1 CH 2');
      await (await client.matrixConnect(await element(client, 'Kestrix.routing'), target, [sources.get(`${TONES} CH 1`)])).response;
      await until(() => matrices.filter(m => carried(m, target) === sources.get(`${TONES} CH 1`)).length, n => n === 20,
        { what: 'every consumer hearing of the link' });
    } finally {
      await Promise.all(many.map(closeConsumer));
    }

    // One that asks beyond its pace (2000 at once, then 500 a second) is read later: 4000 requests take seconds.
    const hasty = rawSocket(server.emberPort);
    await hasty.whenOpen;
    const started = Date.now();
    const getRoot = new S101Codec().encodeBER(Buffer.from([0x60, 0x0B, 0x6B, 0x09, 0xA0, 0x07, 0x62, 0x05, 0xA0, 0x03, 0x02, 0x01, 0x20]));
    hasty.write(Buffer.concat(Array.from({ length: 4000 }, () => getRoot).flat()));
    await until(() => hasty.received.filter(b => b === 0xFF).length, n => n === 4000, { what: 'the answers to the hasty one' });
    assert.ok(Date.now() - started >= 2000, `answered in ${Date.now() - started} ms`);
    hasty.destroy();

    // A frame whose CRC is wrong, and bytes that are not Glow: each closes its own connection only.
    for (const bytes of [
      [0xFE, 0x00, 0x0E, 0x00, 0x01, 0xC0, 0x01, 0x02, 0x1F, 0x02, 0x60, 0x0B, 0x6B, 0x09, 0xA0, 0x07, 0x62, 0x05, 0xA0,
        0x03, 0x02, 0x01, 0x20, 0xB4, 0xED, 0xFF],
      [0xFE, 0x00, 0x0E, 0x00, 0x01, 0xC0, 0x01, 0x02, 0x1F, 0x02, 0x30, 0x00, 0x6A, 0x2E, 0xFF]]) {
      const rogue = rawSocket(server.emberPort);
      await rogue.whenOpen;
      rogue.write(Buffer.from(bytes));
      await rogue.whenClosed;
    }
    assertLogged(/is closed: it sent a frame that is not S101 \(a frame's CRC does not match\)/);
    assertLogged(/is closed: it sent a message that is not Glow/);

    // A consumer that asks and never reads is closed once what waits for it piles up; the others go on.
    const { address } = server;
    for (let k = 0; k < 2; ++k)
      assert.equal((await api('/senders/add', { senderName: `Wide ${k}`, channels: 1024 })).status, 200, address);
    const matrix = await element(client, 'Kestrix.routing');
    await until(() => matrix.contents.targetCount, count => count >= 2048, { what: 'the wide senders' });
    const deaf = rawSocket(server.emberPort);
    await deaf.whenOpen;
    deaf.pause();
    for (let i = 0; i < 600; ++i) deaf.write(GET_MATRIX_DIRECTORY);
    await until(() => serverLog(), log => /is closed: it does not read what it is sent/.test(log),
      { what: 'the consumer that does not read closed' });
    deaf.destroy();
    assert.equal((await (await client.getDirectory(matrix)).response).contents.targetCount, matrix.contents.targetCount);
  });
});

describe('Ember+ options of kestrix-server', { skip: skipUnlessBuilt() }, () => {
  test('--ember-allow serves only the networks it names; a value that is not an address is refused', async () => {
    const run = await Run.create('ember-allow');
    try {
      const { emberPort, server } = await run.startServer({ ember: true, args: ['--ember-allow', '10.0.0.0/8'] });
      const turnedAway = rawSocket(emberPort);
      await turnedAway.whenClosed;
      await until(() => readFileSync(server.logPath, 'utf8'), log => /Ember\+ client 127\.0\.0\.1 is not served: its address is not among/.test(log),
        { what: 'the refusal in the log' });
      const refused = run.spawnLogged(built.server, ['--ember', 'everywhere'], run.env(null), 'refused.log');
      assert.deepEqual(await refused.exited, { code: 2, signal: null });
      assert.match(run.log(refused), /--ember needs an IP address and a port from 1 to 65535, as 127\.0\.0\.1:9000, or off; got 'everywhere'/);
    } finally {
      await run.dispose();
    }
  });
});
