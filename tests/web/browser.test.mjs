// End to end in Debian's chromium: the demonstration page, served on loopback, drives a control
// through the extension (loaded unpacked) and the native host (its manifest in the profile), on
// a certificate and key this test issues itself. openssl checks the signatures.
//
//   node tests/web/browser.test.mjs     (exit status 77, skipped, when chromium is not installed)
//
// VELMOR names the velmor command (default build/bin/velmor), VELMOR_WEB_MODULES the folder
// holding node_modules/playwright-core (default: beside this file), VELMOR_WEB_OUT where the
// screenshot goes (default: the temporary folder); VELMOR_INSTALLED=1 tests the installed
// package (see fixture.mjs).
import assert from 'node:assert/strict';
import {existsSync, readFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {dirname, join} from 'node:path';
import {after, before, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {
  bigRoundTrips, demoSignAndVerify, extensionDir, Fixture, hostProcesses, installed, measureRoundTrip, signOn, until,
} from './fixture.mjs';

const chromiumPath = process.env.VELMOR_CHROMIUM ?? '/usr/lib/chromium/chromium';
if (!existsSync(chromiumPath)) {
  console.log(`# SKIP: ${chromiumPath} is not installed`);
  process.exit(77);
}
const here = dirname(fileURLToPath(import.meta.url));
const {chromium} = createRequire(join(process.env.VELMOR_WEB_MODULES ?? here, 'package.json'))('playwright-core');

const EXTENSION_ID = 'nfmifenlhpaglgpgnjmepjnnmcllmfpj';
const consentPage = `chrome-extension://${EXTENSION_ID}/consent.html`;
const optionsPage = `chrome-extension://${EXTENSION_ID}/options.html`;

const fixture = new Fixture('chromium');
const out = process.env.VELMOR_WEB_OUT ?? fixture.tmp;  // screenshots of the page and the consent window
const profile = join(fixture.tmp, 'profile');  // a fresh user-data directory every run
const hostManifest = installed ? '/etc/chromium/native-messaging-hosts/org.velmor.host.json'
                               : join(profile, 'NativeMessagingHosts/org.velmor.host.json');
let context;
let allowedUrl;  // http://127.0.0.1:P
let localhostUrl;  // http://localhost:P, another origin on the default list
let otherUrl;  // http://127.0.0.2:Q, an origin not on the list

async function waitForContentScripts() {
  const isOurs = (w) => w.url().includes(EXTENSION_ID);
  const worker = context.serviceWorkers().find(isOurs) ??
                 await context.waitForEvent('serviceworker', {predicate: isOurs});
  for (let i = 0; i < 100; i++) {
    const ids = await worker.evaluate(async () =>
      (await chrome.scripting.getRegisteredContentScripts()).map((s) => s.id));
    if (ids.length === 2) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error('the extension did not register its content scripts');
}

before(async () => {
  fixture.setUp();
  if (!installed) fixture.velmor('install-browser-host', '--user-data-dir', profile);
  allowedUrl = await fixture.serve('127.0.0.1');
  localhostUrl = allowedUrl.replace('127.0.0.1', 'localhost');
  otherUrl = await fixture.serve('127.0.0.2');
  context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    env: fixture.env,  // the host inherits it: XDG_DATA_HOME leads it to this test's registry and store
    ignoreDefaultArgs: ['--disable-extensions'],
    args: [`--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`,
           '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-sync',
           '--disable-background-networking', '--disable-component-update'],
    viewport: {width: 1180, height: 900},
  });
  await waitForContentScripts();
});

after(async () => {
  await context?.close();
  fixture.tearDown();
});

// consentWindow waits for the extension's consent window and checks the origin it shows.
async function consentWindow(origin) {
  const window = await context.waitForEvent('page', {predicate: (p) => p.url().startsWith(consentPage), timeout: 15000});
  await window.waitForLoadState();
  assert.equal(await window.textContent('#origin'), origin);
  return window;
}

// answer clicks Allow or Deny; the window closes as the extension takes the answer, maybe while
// the click is still being reported.
async function answer(window, button) {
  await window.click(button).catch((error) => {
    if (!window.isClosed()) throw error;
  });
}

async function demoPage(url) {
  const page = await context.newPage();
  await page.goto(`${url}/demo/?issuer=${fixture.caSerial}`);
  return page;
}

// Each test fails after a minute rather than wait for a window or an answer that never comes.
const limit = {timeout: 60_000};
let demo;  // the demonstration page on the allowed origin, kept for the later tests

test('the demonstration page signs after consent, verifies, encrypts and decrypts; openssl agrees', limit, async () => {
  demo = await demoPage(allowedUrl);
  await demoSignAndVerify(fixture, demo, async () => {
    const consent = await consentWindow(allowedUrl);
    assert.equal(await consent.textContent('#certificate'), `Alice (serial ${fixture.serial})`);
    await consent.setViewportSize({width: 520, height: 340});
    await consent.screenshot({path: join(out, 'browser-consent.png')});
    await answer(consent, '#allow');
  });
  await demo.screenshot({path: join(out, 'browser-demo.png'), fullPage: true});
});

test('results over 1 MiB come back whole, both ways', limit, () => bigRoundTrips(fixture, demo));

test('a refusal answers E:DENIED, is remembered, and the options page revokes it', limit, async () => {
  const page = await demoPage(localhostUrl);
  let asked = consentWindow(localhostUrl);
  let signing = signOn(fixture, page);
  await answer(await asked, '#deny');
  assert.equal(await signing, 'E:DENIED');

  // Remembered: no window this time.
  let windows = 0;
  const count = (p) => { if (p.url().startsWith(consentPage)) windows++; };
  context.on('page', count);
  assert.equal(await signOn(fixture, page), 'E:DENIED');
  context.off('page', count);
  assert.equal(windows, 0);

  const options = await context.newPage();
  await options.goto(optionsPage);
  await options.waitForSelector(`#decisions tr[data-origin="${localhostUrl}"]`);
  const rows = await options.$$eval('#decisions tbody tr', (trs) =>
    trs.map((tr) => [tr.dataset.origin, tr.cells[1].textContent]));
  assert.deepEqual(rows.sort(), [[allowedUrl, 'allow'], [localhostUrl, 'deny']].sort());
  await options.click(`#decisions tr[data-origin="${localhostUrl}"] button.revoke`);
  await options.waitForSelector(`#decisions tr[data-origin="${localhostUrl}"]`, {state: 'detached'});

  // Revoked: the window comes back; closing it refuses this request only, and allowing works.
  asked = consentWindow(localhostUrl);
  signing = signOn(fixture, page);
  await (await asked).close();
  assert.equal(await signing, 'E:DENIED');
  asked = consentWindow(localhostUrl);
  signing = signOn(fixture, page);
  await answer(await asked, '#allow');
  assert.match(await signing, /^A:\d{8}transfer 5\.00/);
  await options.close();

  // The page's host process ends with the page.
  const host = JSON.parse(readFileSync(hostManifest, 'utf8')).path;
  const running = hostProcesses(host, fixture);
  await page.close();
  await until(() => hostProcesses(host, fixture) === running - 1, `${hostProcesses(host, fixture)} host processes, ${running - 1} expected`);
});

test('a page from an origin not on the allow-list gets no window.velmor', limit, async () => {
  const page = await demoPage(otherUrl);
  assert.equal(await page.evaluate(() => typeof window.velmor), 'undefined');
  assert.match(await page.textContent('#status'), /velmor is not available/);
  await page.close();
});

test('round trip of one SignData get, page to host and back (200 calls)', limit, (t) => measureRoundTrip(demo, t, 'chromium'));
