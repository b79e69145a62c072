// The extension as the package installs it, with no --load-extension and no temporary add-on:
// chromium installs the packed, signed velmor.crx named in /usr/share/chromium/extensions, and
// firefox-esr the velmor.xpi that the bank's Firefox policy (written here into
// /etc/firefox/policies, then removed) installs. In each, a page of a policy-allowed origin gets
// window.velmor and signs, which openssl verifies.
//
//   VELMOR_INSTALLED=1 VELMOR_POLICY_TEST=1 node tests/web/packaged-extension.test.mjs
//   (as root, after the package is installed; exit status 77 otherwise)
import assert from 'node:assert/strict';
import {existsSync, mkdirSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {dirname, join} from 'node:path';
import {after, before, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {Fixture, installed, signOn} from './fixture.mjs';

const chromiumPath = process.env.VELMOR_CHROMIUM ?? '/usr/lib/chromium/chromium';
const firefoxPath = process.env.VELMOR_FIREFOX ?? '/usr/lib/firefox-esr/firefox-esr';
const EXTENSION_ID = 'nfmifenlhpaglgpgnjmepjnnmcllmfpj';
if (!installed || process.env.VELMOR_POLICY_TEST !== '1' || process.getuid() !== 0 ||
    !existsSync(`/usr/share/chromium/extensions/${EXTENSION_ID}.json`)) {
  console.log('# SKIP: needs the installed package, VELMOR_POLICY_TEST=1 and root (it writes system policies)');
  process.exit(77);
}
const here = dirname(fileURLToPath(import.meta.url));
const modules = createRequire(join(process.env.VELMOR_WEB_MODULES ?? here, 'package.json'));

const chromiumPolicy = '/etc/chromium/policies/managed/velmor-packaged-test.json';
const firefoxPolicyDir = '/etc/firefox/policies';
const firefoxPolicy = join(firefoxPolicyDir, 'policies.json');
const ownFirefoxPolicy = !existsSync(firefoxPolicy);  // never overwrite a machine's own policy
const madeFirefoxDir = !existsSync('/etc/firefox');   // and leave no folder of ours behind

const fixture = new Fixture('packaged');
let url;
before(async () => {
  fixture.setUp();
  url = await fixture.serve('127.0.0.1');
});
after(() => {
  rmSync(chromiumPolicy, {force: true});
  if (ownFirefoxPolicy) rmSync(firefoxPolicy, {force: true});
  if (madeFirefoxDir) rmSync('/etc/firefox', {recursive: true, force: true});
  fixture.tearDown();
});

// signsOnPage opens the demonstration page until the extension, installed on the browser's first
// start, has given it window.velmor, then signs there and has openssl check the signature.
async function signsOnPage(page) {
  let present = false;
  for (let i = 0; i < 60 && !present; i++) {
    await page.goto(`${url}/demo/`);
    present = await page.evaluate(() => typeof window.velmor === 'object');
    if (!present) await new Promise((r) => setTimeout(r, 250));
  }
  assert.ok(present, 'the installed extension never gave the page window.velmor');
  const signed = await signOn(fixture, page);
  assert.match(signed, /^A:00000013transfer 5\.00/);
  fixture.checkSignData(signed);
}

const limit = {timeout: 120_000};

test('chromium installs the packed extension from its external-extensions folder', limit, async () => {
  mkdirSync(dirname(chromiumPolicy), {recursive: true});
  writeFileSync(chromiumPolicy, JSON.stringify({
    '3rdparty': {extensions: {[EXTENSION_ID]: {
      allowedOrigins: [url], preapprovedOrigins: [url]}}},
  }));
  const profile = join(fixture.tmp, 'chromium');
  const context = await modules('playwright-core').chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath, headless: true, env: fixture.env,
    // playwright's --disable-default-apps also turns off the external-extensions folders, which
    // a user's chromium reads.
    ignoreDefaultArgs: ['--disable-extensions', '--disable-default-apps'],
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-sync',
           '--disable-background-networking', '--disable-component-update'],
  });
  try {
    // The extension installs on the first start; the policy reaches it a moment later.
    const isOurs = (w) => w.url().includes(EXTENSION_ID);
    const worker = context.serviceWorkers().find(isOurs) ??
                   await context.waitForEvent('serviceworker', {predicate: isOurs, timeout: 60_000});
    let managed = {};
    for (let i = 0; i < 100 && !managed.preapprovedOrigins; i++) {
      managed = await worker.evaluate(() => chrome.storage.managed.get(null));
      if (!managed.preapprovedOrigins) await new Promise((r) => setTimeout(r, 100));
    }
    assert.deepEqual(managed.preapprovedOrigins, [url]);
    await signsOnPage(await context.newPage());
  } finally {
    await context.close();
  }
  // Written when the browser ends: installed from the .crx (an unpacked one keeps its folder).
  const settings = JSON.parse(readFileSync(join(profile, 'Default/Preferences'), 'utf8')).extensions.settings;
  const {version} = JSON.parse(readFileSync('/usr/share/velmor/extension/manifest.json', 'utf8'));
  assert.equal(settings[EXTENSION_ID].path, `${EXTENSION_ID}/${version}_0`);
});

test('firefox-esr installs velmor.xpi by the bank\'s policy', {...limit, skip: !existsSync(firefoxPath) || !ownFirefoxPolicy},
     async () => {
  mkdirSync(firefoxPolicyDir, {recursive: true});
  const policy = JSON.parse(readFileSync('/usr/share/velmor/firefox/policies.json', 'utf8'));
  policy.policies['3rdparty'] = {Extensions: {'extension@velmor': {
    allowedOrigins: [url], preapprovedOrigins: [url]}}};
  writeFileSync(firefoxPolicy, JSON.stringify(policy));
  const browser = await modules('puppeteer-core').default.launch({
    browser: 'firefox', executablePath: firefoxPath, headless: true, env: {...fixture.env, HOME: join(fixture.tmp, 'home')},
    userDataDir: join(fixture.tmp, 'firefox'),
  });
  try {
    await signsOnPage(await browser.newPage());
  } finally {
    await browser.close();
  }
});
