// A bank's managed machines in Debian's chromium: the extension's policy in
// /etc/chromium/policies/managed names the allowed and the pre-approved origins, and chromium
// hands it to the extension as managed storage. A pre-approved origin signs without a consent
// window; another origin of this machine that the policy leaves out gets no window.velmor.
//
//   VELMOR_POLICY_TEST=1 node tests/web/chromium-policy.test.mjs   (as root: it writes, then
//   removes, /etc/chromium/policies/managed/velmor-test.json; exit status 77 otherwise)
import assert from 'node:assert/strict';
import {existsSync, mkdirSync, rmSync, writeFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {dirname, join} from 'node:path';
import {after, before, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {extensionDir, Fixture, installed, measureRoundTrip, signOn} from './fixture.mjs';

const chromiumPath = process.env.VELMOR_CHROMIUM ?? '/usr/lib/chromium/chromium';
if (process.env.VELMOR_POLICY_TEST !== '1' || process.getuid() !== 0 || !existsSync(chromiumPath)) {
  console.log('# SKIP: needs VELMOR_POLICY_TEST=1, root and chromium (it writes a system policy)');
  process.exit(77);
}
const here = dirname(fileURLToPath(import.meta.url));
const {chromium} = createRequire(join(process.env.VELMOR_WEB_MODULES ?? here, 'package.json'))('playwright-core');

const EXTENSION_ID = 'nfmifenlhpaglgpgnjmepjnnmcllmfpj';
const policyDir = '/etc/chromium/policies/managed';
const policyFile = join(policyDir, 'velmor-test.json');

const fixture = new Fixture('chromium-policy');
const profile = join(fixture.tmp, 'profile');
let context;
let allowedUrl;    // http://127.0.0.1:P, allowed and pre-approved by the policy
let localhostUrl;  // http://localhost:P, not on the policy's list

before(async () => {
  fixture.setUp();
  if (!installed) fixture.velmor('install-browser-host', '--user-data-dir', profile);
  allowedUrl = await fixture.serve('127.0.0.1');
  localhostUrl = allowedUrl.replace('127.0.0.1', 'localhost');
  mkdirSync(policyDir, {recursive: true});
  writeFileSync(policyFile, JSON.stringify({
    '3rdparty': {extensions: {[EXTENSION_ID]: {
      allowedOrigins: [allowedUrl], preapprovedOrigins: [allowedUrl]}}},
  }));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    env: fixture.env,
    ignoreDefaultArgs: ['--disable-extensions'],
    args: [`--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`,
           '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-sync',
           '--disable-background-networking', '--disable-component-update'],
  });
});

after(async () => {
  await context?.close();
  rmSync(policyFile, {force: true});
  fixture.tearDown();
});

const limit = {timeout: 60_000};

test('the policy reaches the extension as managed storage', limit, async () => {
  const isOurs = (w) => w.url().includes(EXTENSION_ID);
  const worker = context.serviceWorkers().find(isOurs) ??
                 await context.waitForEvent('serviceworker', {predicate: isOurs});
  let managed = {};
  for (let i = 0; i < 100 && !managed.allowedOrigins; i++) {
    managed = await worker.evaluate(() => chrome.storage.managed.get(null));
    if (!managed.allowedOrigins) await new Promise((r) => setTimeout(r, 100));
  }
  assert.deepEqual(managed.allowedOrigins, [allowedUrl]);
});

test('a pre-approved origin signs without a consent window; round trip of 200 SignData gets', limit, async (t) => {
  let windows = 0;
  context.on('page', (p) => { if (p.url().includes('consent.html')) windows++; });
  const page = await context.newPage();
  await page.goto(`${allowedUrl}/demo/`);
  await page.waitForFunction(() => typeof window.velmor === 'object', null, {timeout: 15000});
  const signed = await signOn(fixture, page);
  assert.match(signed, /^A:00000013transfer 5\.00/);
  assert.equal(windows, 0);
  await measureRoundTrip(page, t, 'chromium');
});

test('an origin the policy leaves out gets no window.velmor', limit, async () => {
  const page = await context.newPage();
  await page.goto(`${localhostUrl}/demo/`);
  await page.waitForLoadState('load');
  await new Promise((r) => setTimeout(r, 1000));
  assert.equal(await page.evaluate(() => typeof window.velmor), 'undefined');
});
