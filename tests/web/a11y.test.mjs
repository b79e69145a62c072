// The extension's own pages for everyone, in Debian's chromium, once in English and once in
// Chinese (the browser's language set by --lang and LANGUAGE): axe-core finds no violation on the
// options page and the consent window; the window is an alert dialog a screen reader names by its
// question and describes by its details, with a live status; the keyboard alone answers it (the
// focus starts on Deny, Allow is out of reach for its first second, Tab reaches every control,
// Escape refuses). The texts shown are the language's own catalogue.
//
//   node tests/web/a11y.test.mjs     (exit status 77, skipped, when chromium is not installed)
//
// VELMOR, VELMOR_WEB_MODULES, VELMOR_WEB_OUT and VELMOR_CHROMIUM as for browser.test.mjs; the
// Chinese consent window's screenshot goes to VELMOR_WEB_OUT.
import assert from 'node:assert/strict';
import {existsSync, readFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {dirname, join} from 'node:path';
import {after, before, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {extensionDir, Fixture, installed, signOn} from './fixture.mjs';

const chromiumPath = process.env.VELMOR_CHROMIUM ?? '/usr/lib/chromium/chromium';
if (!existsSync(chromiumPath)) {
  console.log(`# SKIP: ${chromiumPath} is not installed`);
  process.exit(77);
}
const here = dirname(fileURLToPath(import.meta.url));
const require = createRequire(join(process.env.VELMOR_WEB_MODULES ?? here, 'package.json'));
const {chromium} = require('playwright-core');
const {AxeBuilder} = require('@axe-core/playwright');

const EXTENSION_ID = 'nfmifenlhpaglgpgnjmepjnnmcllmfpj';
const consentPage = `chrome-extension://${EXTENSION_ID}/consent.html`;
const optionsPage = `chrome-extension://${EXTENSION_ID}/options.html`;
const catalogue = (lang) => {
  const messages = JSON.parse(readFileSync(join(extensionDir, `_locales/${lang}/messages.json`), 'utf8'));
  return (key) => messages[key].message;
};

const fixture = new Fixture('a11y');
const out = process.env.VELMOR_WEB_OUT ?? fixture.tmp;
let siteUrl;
before(async () => {
  fixture.setUp();
  siteUrl = await fixture.serve('127.0.0.1');
});
after(() => fixture.tearDown());

async function launch(lang) {
  const profile = join(fixture.tmp, `profile-${lang}`);
  if (!installed) fixture.velmor('install-browser-host', '--user-data-dir', profile);
  const locale = lang.replace('_', '-');
  return chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    env: {...fixture.env, LANGUAGE: lang},
    ignoreDefaultArgs: ['--disable-extensions'],
    args: [`--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`, `--lang=${locale}`,
           '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-sync',
           '--disable-background-networking', '--disable-component-update'],
    viewport: {width: 1000, height: 800},
  });
}

async function noViolations(page, what) {
  const {violations} = await new AxeBuilder({page}).analyze();
  assert.deepEqual(violations.map((v) => `${v.id}: ${v.help} (${v.nodes.map((n) => n.target.join(' ')).join(', ')})`),
                   [], what);
}

// The ids Tab reaches from the focused element, in order, until the focus comes back or leaves.
async function tabOrder(page, presses) {
  const ids = [];
  for (let i = 0; i < presses; i++) {
    await page.keyboard.press('Tab');
    ids.push(await page.evaluate(() => document.activeElement?.id || document.activeElement?.tagName));
  }
  return ids;
}

// What the accessibility tree, as a screen reader gets it, says of the node with `role`.
async function spoken(page, role) {
  const session = await page.context().newCDPSession(page);
  const {nodes} = await session.send('Accessibility.getFullAXTree');
  await session.detach();
  const node = nodes.find((n) => n.role?.value === role && !n.ignored);
  assert.ok(node, `no ${role} in the accessibility tree`);
  const property = (name) => node.properties?.find((p) => p.name === name)?.value?.value;
  return {name: node.name?.value ?? '', description: node.description?.value ?? '', live: property('live'),
          modal: property('modal')};
}

for (const lang of ['en', 'zh_CN']) {
  test(`the options page and the consent window in ${lang}`, async () => {
    const m = catalogue(lang);
    const context = await launch(lang);
    try {
      const options = await context.newPage();
      await options.goto(optionsPage);
      assert.equal(await options.evaluate(() => document.documentElement.lang), lang.replace('_', '-'));
      assert.equal(await options.textContent('#sites-heading'), m('sitesHeading'));
      assert.equal(await options.title(), m('optionsTitle'));

      // The keyboard alone: the field, its button, and then each Remove of the list.
      await options.focus('#new-origin');
      await options.keyboard.type(siteUrl);
      await options.keyboard.press('Enter');
      await options.waitForSelector(`#user-origins li[data-origin="${siteUrl}"]`);
      assert.equal(await options.textContent('#add-status'), m('originAdded').replace('$ORIGIN$', siteUrl));
      await options.keyboard.type('http://127.0.0.1');
      await options.keyboard.press('Enter');
      await options.waitForFunction(() => document.getElementById('add-error').textContent !== '');
      assert.equal(await options.textContent('#add-error'), m('badOrigin'));
      await options.click('h1');  // Tab goes on from the top of the page
      assert.deepEqual(await tabOrder(options, 3), ['BUTTON', 'new-origin', 'add-origin'],
                       'Tab from the top: the site\'s Remove, the field, its button');
      assert.equal(await options.getAttribute('#user-origins button', 'aria-label'),
                   m('removeOrigin').replace('$ORIGIN$', siteUrl));
      await noViolations(options, `options page (${lang})`);

      // A token the background does not know: a dialog that says there is nothing to approve.
      const empty = await context.newPage();
      await empty.goto(`${consentPage}?nothing`);
      await empty.waitForSelector('#nothing:not([hidden])');
      assert.equal(await empty.textContent('#status'), m('consentNothing'));
      assert.deepEqual(await spoken(empty, 'alertdialog'),
                       {name: m('consentTitle'), description: m('consentNothing'), live: undefined, modal: true});
      await noViolations(empty, `empty consent window (${lang})`);
      await empty.close();

      // A signature's window, answered by the keyboard.
      const page = await context.newPage();
      await page.goto(`${siteUrl}/demo/`);
      const shown = context.waitForEvent('page', {predicate: (p) => p.url().startsWith(consentPage), timeout: 15000});
      const result = signOn(fixture, page);
      const window = await shown;
      await window.waitForSelector('#question:not([hidden])');
      const state = () => window.evaluate(() => ({focus: document.activeElement?.id, allow: document.getElementById('allow').disabled,
                                                 status: document.getElementById('status').textContent}));
      assert.deepEqual(await state(), {focus: 'deny', allow: true, status: m('allowWaiting')}, 'as the window shows');
      for (let i = 0; i < 4; i++) {
        await window.keyboard.press('Tab');
        const now = await state();
        assert.ok(!(now.focus === 'allow' && now.allow), 'Tab reached an inert Allow');
      }
      await window.waitForSelector('#allow:not([disabled])');
      assert.equal((await state()).status, '');
      await window.focus('#deny');
      assert.deepEqual(await tabOrder(window, 1), ['allow']);
      await window.click('h1');
      assert.deepEqual(await tabOrder(window, 4), ['text', 'remember', 'deny', 'allow'],
                       'the signed text (it scrolls), the remember box, Deny, Allow');
      // Coming back to the window makes Allow inert again, and its keyboard user is put on Deny.
      await window.evaluate(() => dispatchEvent(new Event('focus')));
      assert.deepEqual(await state(), {focus: 'deny', allow: true, status: m('allowWaiting')}, 'after a refocus');
      await window.waitForSelector('#allow:not([disabled])');

      const dialog = await spoken(window, 'alertdialog');
      assert.equal(dialog.name, m('headingSign'));
      assert.equal(dialog.modal, true);
      for (const heard of [m('labelOrigin'), siteUrl, 'transfer 5.00', 'Alice', m('noteOnce')]) {
        assert.ok(dialog.description.includes(heard), `the dialog's description lacks "${heard}": ${dialog.description}`);
      }
      for (const unheard of [m('labelFrame'), m('labelPath'), m('consentNothing')]) {
        assert.ok(!dialog.description.includes(unheard), `the dialog's description has "${unheard}": ${dialog.description}`);
      }
      assert.equal((await spoken(window, 'status')).live, 'polite');
      await noViolations(window, `consent window (${lang})`);
      if (lang !== 'en') {
        await window.setViewportSize({width: 560, height: 600});  // the window's own size
        await window.screenshot({path: join(out, `a11y-consent-${lang}.png`)});
      }

      // Space ticks "always refuse", Escape refuses; the refusal closes the window, which may be
      // gone before the key press is done with.
      await window.focus('#remember');
      await window.keyboard.press('Space');
      await Promise.all([window.waitForEvent('close'), window.keyboard.press('Escape').catch(() => {})]);
      assert.equal(await result, 'E:DENIED');

      // The remembered refusal on the options page, in the language, with its Revoke named.
      await options.waitForSelector(`#remembered tr[data-kind="refuse"]`);
      assert.equal(await options.textContent('#remembered td:nth-child(2)'), m('kindRefuse'));
      assert.equal(await options.getAttribute('#remembered button', 'aria-label'),
                   m('revokeFor').replace('$ORIGIN$', siteUrl));
      await noViolations(options, `options page with a remembered refusal (${lang})`);
    } finally {
      await context.close();
    }
  });
}
