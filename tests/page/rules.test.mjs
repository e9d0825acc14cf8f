// The page's own copy of the router's rules, on the cases the engine's rules
// are tested against (tests/RoutingRulesCases.json): the same verdict and the
// same reason for every case.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { test } from 'node:test';
import { pagePerTest, repoRoot } from './support/page.mjs';

const opened = pagePerTest();

const ruleNames = {
  storedName: 'checkStoredName', sourceName: 'checkSourceName', senderName: 'checkSenderName', newSenderName: 'checkNewSenderName',
  channelCount: 'checkChannelCount', senderChannel: 'checkSenderChannel', sourceChannel: 'checkSourceChannel',
  storedSourceChannel: 'checkStoredSourceChannel', delay: 'checkDelay',
};

test('the page judges the shared cases as the engine does, with the same reason', async () => {
  const table = JSON.parse(await readFile(path.join(repoRoot, 'tests', 'RoutingRulesCases.json'), 'utf8'));
  assert.deepEqual(Object.keys(table).filter(k => k !== 'about').sort(), Object.keys(ruleNames).sort());
  const verdicts = await opened.page.evaluate(([cases, names]) => Object.entries(names).flatMap(([rule, check]) =>
    cases[rule].filter(c => !('utf8' in c)).map(c => {
      const value = 'value' in c ? c.value
        : 'utf16' in c ? String.fromCharCode(...c.utf16)
          : 'repeat' in c ? c.repeat.repeat(c.times) : c.name;
      return [rule, JSON.stringify(c), RoutingRules[check](value), c.refused ?? null];
    })), [table, ruleNames]);
  assert.ok(verdicts.length > 80, `${verdicts.length} cases`);
  for (const [rule, c, got, expected] of verdicts) assert.equal(got, expected, `${rule} ${c}`);
});
