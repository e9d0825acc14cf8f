// Ember+ consumers for the tests: npm's emberplus-connection (an Ember+
// implementation of its own, so the provider is judged by another's reading),
// and raw sockets for what no well-behaved consumer sends.
import net from 'node:net';
import { EmberClient } from 'emberplus-connection';
import { until } from './page.mjs';

const KEEP_ALIVE_REQUEST = [0xFE, 0x00, 0x0E, 0x01, 0x01, 0x94, 0xE4, 0xFF];
export const KEEP_ALIVE_ANSWER = [0xFE, 0x00, 0x0E, 0x02, 0x01, 0xFD, 0xDC, 0xCE, 0xFF];

/** A consumer connected to 127.0.0.1:`port` that has read the root; its errors and warnings gather in `problems`. */
export async function consumer(port) {
  const client = new EmberClient('127.0.0.1', port, 10000);
  client.problems = [];
  client.on('error', error => client.problems.push(error));
  client.on('warn', warning => client.problems.push(warning));
  const failed = await client.connect();
  if (failed) throw failed;
  await (await client.getDirectory(client.tree)).response;
  return client;
}

export async function closeConsumer(client) {
  await client?.disconnect().catch(() => {});
  client?.discard();
}

/** The element at a path of identifiers, numbers or descriptions ("Kestrix.senders.1"), its directory read. */
export async function element(client, path) {
  const found = await client.getElementByPath(path);
  if (found.contents.type !== 'PARAMETER') await (await client.getDirectory(found)).response;
  return found;
}

/** A node's children as {description or identifier: child}. */
export const childrenByName = node =>
  Object.fromEntries(Object.values(node.children ?? {}).map(child => [child.contents.description ?? child.contents.identifier, child]));

/** The matrix's labels, as a map from label to signal number, of "targets" or "sources" (their directory read). */
export async function labelNumbers(client, which) {
  const labels = await element(client, `Kestrix.labels.${which}`);
  return new Map(Object.values(labels.children ?? {}).map(label => [label.contents.value, label.number]));
}

/** What a target carries, as the consumer knows it: the source number, or null. */
export const carried = (matrix, target) => matrix.contents.connections?.[target]?.sources?.[0] ?? null;

/** A raw TCP connection: `received` gathers what comes back, `whenClosed` settles when the provider closes it. */
export function rawSocket(port) {
  const socket = net.connect(port, '127.0.0.1');
  socket.received = [];
  socket.on('data', data => socket.received.push(...data));
  socket.on('error', () => {});
  socket.whenClosed = new Promise(resolve => socket.on('close', resolve));
  socket.whenOpen = new Promise(resolve => socket.on('connect', resolve));
  return socket;
}

/** What the provider at `port` answers a keep-alive request with. */
export async function keepAliveAnswer(port) {
  const socket = rawSocket(port);
  await socket.whenOpen;
  socket.write(Buffer.from(KEEP_ALIVE_REQUEST));
  await until(() => socket.received.length, length => length >= KEEP_ALIVE_ANSWER.length, { what: 'a keep-alive answer' });
  socket.destroy();
  return socket.received;
}
