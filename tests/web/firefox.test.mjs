// The browser test in Debian's firefox-esr, driven over WebDriver BiDi by puppeteer-core: the
// extension installed as a temporary add-on, the host manifest and the extension's managed
// storage (the bank's policy: the test's 127.0.0.1 and localhost origins allowed, localhost
// pre-approved, 127.0.0.1 with a session scope) in a home folder of its own.
//
//   node tests/web/firefox.test.mjs     (exit status 77, skipped, when firefox-esr is not installed)
import assert from 'node:assert/strict';
import {existsSync, mkdirSync, writeFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {dirname, join} from 'node:path';
import {after, before, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {bigRoundTrips, demoSignAndVerify, extensionDir, Fixture, installed, measureRoundTrip, signOn} from './fixture.mjs';

const firefoxPath = process.env.VELMOR_FIREFOX ?? '/usr/lib/firefox-esr/firefox-esr';
if (!existsSync(firefoxPath)) {
  console.log(`# SKIP: ${firefoxPath} is not installed`);
  process.exit(77);
}
const here = dirname(fileURLToPath(import.meta.url));
const {default: puppeteer} = createRequire(join(process.env.VELMOR_WEB_MODULES ?? here, 'package.json'))('puppeteer-core');

const fixture = new Fixture('firefox');
const home = join(fixture.tmp, 'home');  // Firefox finds host manifests and managed storage under it
let browser;
let allowedUrl;  // http://127.0.0.1:P, allowed: the user is asked
let localhostUrl;  // http://localhost:P, allowed and pre-approved
let otherUrl;  // http://127.0.0.2:Q, not on the list
let otherPortUrl;  // http://127.0.0.1:R, another port of an allowed address: not on the list

before(async () => {
  fixture.setUp();
  fixture.env.HOME = home;
  if (!installed) fixture.velmor('install-browser-host', '--firefox-dir', join(home, '.mozilla/native-messaging-hosts'));
  allowedUrl = await fixture.serve('127.0.0.1');
  localhostUrl = allowedUrl.replace('127.0.0.1', 'localhost');
  otherUrl = await fixture.serve('127.0.0.2');
  otherPortUrl = await fixture.serve('127.0.0.1');
  mkdirSync(join(home, '.mozilla/managed-storage'), {recursive: true});
  writeFileSync(join(home, '.mozilla/managed-storage/extension@velmor.json'), JSON.stringify({
    name: 'extension@velmor', description: 'velmor policy', type: 'storage',
    data: {allowedOrigins: [allowedUrl, localhostUrl], preapprovedOrigins: [localhostUrl], sessionOrigins: [allowedUrl]},
  }));
  browser = await puppeteer.launch({
    browser: 'firefox', executablePath: firefoxPath, headless: true, env: fixture.env,
    userDataDir: join(fixture.tmp, 'profile'), defaultViewport: {width: 1180, height: 900},
  });
  await browser.installExtension(extensionDir);
});

after(async () => {
  await browser?.close();
  fixture.tearDown();
});

// demoPage opens the page, again while the extension is still registering its scripts.
async function demoPage(url, expectVelmor = true) {
  const page = await browser.newPage();
  for (let i = 0; i < 50; i++) {
    await page.goto(`${url}/demo/?issuer=${fixture.caSerial}`);
    if (!expectVelmor || await page.evaluate(() => typeof window.velmor === 'object')) break;
    await new Promise((r) => setTimeout(r, 100));
  }
  return page;
}

// consentWindow finds the extension's consent window (BiDi reports its address as about:blank,
// so each page is asked its own) and checks the origin it shows.
async function consentWindow(origin) {
  for (let i = 0; i < 150; i++) {
    for (const page of await browser.pages()) {
      const href = await page.evaluate(() => location.href).catch(() => '');
      if (href.startsWith('moz-extension://') && href.includes('/consent.html')) {
        await page.waitForSelector('#question:not([hidden])');
        assert.equal(await page.evaluate(() => document.getElementById('origin').textContent), origin);
        return page;
      }
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error('no consent window');
}

// Each test fails after a minute rather than wait for a window or an answer that never comes.
const limit = {timeout: 60_000};
let demo;

test('firefox: the demonstration page of a pre-approved origin signs, verifies, encrypts and decrypts; openssl agrees', limit, async () => {
  demo = await demoPage(localhostUrl);
  await demoSignAndVerify(fixture, demo);
});

test('firefox: a signature on an origin that is only allowed asks, showing the text and the certificate; a session scope covers the next', limit, async () => {
  const page = await demoPage(allowedUrl);
  const signing = signOn(fixture, page);
  const consent = await consentWindow(allowedUrl);
  const shown = await consent.evaluate(() => ['text', 'subject', 'serial'].map((id) => document.getElementById(id).textContent));
  assert.deepEqual(shown, ['transfer 5.00', 'Alice', fixture.serial]);
  await consent.waitForSelector('#allow:not([disabled])');
  // The window closes as the extension takes the answer, maybe while the click is reported.
  await consent.click('#allow').catch((error) => {
    if (!consent.isClosed()) throw error;
  });
  assert.match(await signing, /^A:\d{8}transfer 5\.00/);
  // The bank gave this origin a session scope: the page's next signature needs no window.
  assert.match(await signOn(fixture, page), /^A:\d{8}transfer 5\.00/);
  await page.close();
});

test('firefox: results over 1 MiB come back whole, both ways', limit, () => bigRoundTrips(fixture, demo));

test('firefox: a pre-approved origin signs without asking', limit, async () => {
  const page = await demoPage(localhostUrl);
  assert.match(await signOn(fixture, page), /^A:\d{8}transfer 5\.00/);
  await page.close();
});

// Firefox's match patterns cannot name a port, so the page may see window.velmor; the
// background's check of the exact origin refuses it everything.
test('firefox: another port of 127.0.0.1 gets nothing with a policy naming one origin', limit, async () => {
  const page = await demoPage(otherPortUrl, false);
  const outcome = await page.evaluate(() => (typeof window.velmor === 'undefined' ? 'no velmor'
    : window.velmor.create().then(() => 'created', (e) => e.message)));
  assert.match(outcome, /^no velmor$|not available/);
  await page.close();
});

test('firefox: a page from an origin not on the list gets no window.velmor', limit, async () => {
  const page = await demoPage(otherUrl, false);
  assert.equal(await page.evaluate(() => typeof window.velmor), 'undefined');
  await page.close();
});

test('firefox: round trip of one SignData get (200 calls)', limit, (t) => measureRoundTrip(demo, t, 'firefox'));
