// The browser test in Debian's firefox-esr, driven over WebDriver BiDi by puppeteer-core: the
// extension installed as a temporary add-on, the host manifest and the extension's managed
// storage (the bank's policy: 127.0.0.1 allowed and pre-approved) in a home folder of its own.
//
//   node tests/web/firefox.test.mjs     (exit status 77, skipped, when firefox-esr is not installed)
import assert from 'node:assert/strict';
import {existsSync, mkdirSync, writeFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {dirname, join} from 'node:path';
import {after, before, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {bigRoundTrips, demoSignAndVerify, extensionDir, Fixture, measureRoundTrip} from './fixture.mjs';

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
let allowedUrl;
let localhostUrl;  // on the default list, but not on the policy's, which replaces it

before(async () => {
  fixture.setUp();
  fixture.env.HOME = home;
  fixture.velmor('install-browser-host', '--firefox-dir', join(home, '.mozilla/native-messaging-hosts'));
  mkdirSync(join(home, '.mozilla/managed-storage'), {recursive: true});
  writeFileSync(join(home, '.mozilla/managed-storage/extension@velmor.json'), JSON.stringify({
    name: 'extension@velmor', description: 'velmor policy', type: 'storage',
    data: {allowedOrigins: ['http://127.0.0.1:*'], preapprovedOrigins: ['http://127.0.0.1:*']},
  }));
  allowedUrl = await fixture.serve('127.0.0.1');
  localhostUrl = allowedUrl.replace('127.0.0.1', 'localhost');
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

let demo;

test('firefox: a pre-approved origin signs without asking, verifies, encrypts and decrypts; openssl agrees', async () => {
  demo = await demoPage(allowedUrl);
  await demoSignAndVerify(fixture, demo);
});

test('firefox: results over 1 MiB come back whole, both ways', () => bigRoundTrips(fixture, demo));

test('firefox: the policy\'s list replaces the default one', async () => {
  const page = await demoPage(localhostUrl, false);
  assert.equal(await page.evaluate(() => typeof window.velmor), 'undefined');
  await page.close();
});

test('firefox: round trip of one SignData get (200 calls)', (t) => measureRoundTrip(demo, t, 'firefox'));
