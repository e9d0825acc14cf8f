// How the page looks: bundled font, pictures, colours, layout, and a
// screenshot kept in artifacts/page.png for a person to look at.
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  artifactsDir, audioConnection, channel, ctrlClick, expand, launchBrowser, openPage, videoConnection,
} from './support/page.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

describe('look', () => {
  test('a routed page uses the bundled Lato, its pictures, colours and three columns; screenshot kept', async () => {
    const { page, bridge, context, errors, strayRequests } = await openPage(browser);
    try {
      await bridge.emit('sourcesUpdated', {
        'HOST (Unknown)': -1, 'LAPTOP (Slides)': 0, 'STUDIO-PC (Camera 1)': 2, 'STUDIO-PC (Mixer)': 8,
      });
      await bridge.publishRouting({ Monitor: 2, 'Plover Sender 1': 8, 'Stream Out': 2 }, [
        audioConnection('STUDIO-PC (Mixer)', 1, 'Plover Sender 1', 0),
        audioConnection('STUDIO-PC (Mixer)', 2, 'Plover Sender 1', 1),
        videoConnection('STUDIO-PC (Camera 1)', 'Plover Sender 1'),
        audioConnection('STUDIO-PC (Camera 1)', 0, 'Monitor', 0),
      ]);
      await bridge.emit('setAVDelaySignal', { senderDelay: 120, senderName: 'Plover Sender 1' });
      await (await channel(page, 'sources', 'STUDIO-PC (Mixer)', 'CH 4')).click();
      await ctrlClick(await channel(page, 'sources', 'STUDIO-PC (Mixer)', 'CH 5'));
      const sender = await expand(page, 'senders', 'Plover Sender 1');
      await sender.locator('.delay-caret').click();
      await (await channel(page, 'senders', 'Plover Sender 1', 'CH 3')).click();

      const facts = await page.evaluate(async () => {
        await document.fonts.ready;
        const root = getComputedStyle(document.documentElement);
        const logo = document.getElementById('logo');
        const columns = ['availableSourcesSection', 'connectionsSection', 'availableSendersSection']
          .map(id => Math.round(document.getElementById(id).getBoundingClientRect().width));
        return {
          fonts: [...document.fonts].filter(f => f.status === 'loaded').map(f => `${f.family.replace(/"/g, '')} ${f.weight}`).sort(),
          bodyFont: getComputedStyle(document.body).fontFamily,
          background: getComputedStyle(document.body).backgroundImage,
          logoWidth: logo.naturalWidth,
          colours: ['--color-bg', '--color-bg-opaque', '--color-white', '--color-primary', '--color-primary-button',
            '--color-primary-button-dark', '--color-primary-dark', '--color-light-gray', '--color-dark-gray',
            '--color-red', '--color-red-dark', '--color-green', '--color-green-dark']
            .map(name => root.getPropertyValue(name).trim()),
          selectedBackground: getComputedStyle(document.querySelector('.channel-item.selected')).backgroundColor,
          linkBackground: getComputedStyle(document.getElementById('linkButton')).backgroundColor,
          trashSize: (r => [Math.round(r.width * 100) / 100, r.height])(document.querySelector('.trash-button svg').getBoundingClientRect()),
          columns,
          bodyScroll: [document.scrollingElement.scrollHeight <= innerHeight, getComputedStyle(document.body).overflow],
        };
      });
      assert.deepEqual(facts.fonts, ['Lato 400', 'Lato 700']);
      assert.match(facts.bodyFont, /^"?Lato"?, sans-serif$/);
      assert.match(facts.background, /\/assets\/background\.jpg"\)$/);
      assert.equal(facts.logoWidth, 480);
      assert.deepEqual(facts.colours, ['#3d3d3d00', '#1d1e40e0', '#FFFFFF', '#42566b', '#fbd603f8', '#ffe70bbd',
        '#111923', '#53535345', '#34343438', '#d32f2f', '#b71c1c', '#009900', '#006100']);
      assert.equal(facts.selectedBackground, 'rgb(66, 86, 107)');
      assert.equal(facts.linkBackground, 'rgb(0, 153, 0)');
      assert.deepEqual(facts.trashSize, [17.33, 20]); // layout units are 1/64 px
      assert.deepEqual(facts.columns, [200, 800, 200]);
      assert.deepEqual(facts.bodyScroll, [true, 'hidden']);
      assert.deepEqual(strayRequests, []);
      assert.deepEqual(errors, []);

      await mkdir(artifactsDir, { recursive: true });
      await page.screenshot({ path: path.join(artifactsDir, 'page.png') });

      // The about and add-sender popups over the same page, for the eye as well.
      await page.click('#aboutButton');
      await page.screenshot({ path: path.join(artifactsDir, 'page-about.png') });
      await page.mouse.click(20, 650);
      await page.click('#addSenderButton');
      await page.locator('#addSenderConfirmButton').click();
      assert.ok(await page.locator('#addSenderError').isVisible());
      await page.screenshot({ path: path.join(artifactsDir, 'page-add-sender.png') });
    } finally {
      await context.close();
    }
  });
});
