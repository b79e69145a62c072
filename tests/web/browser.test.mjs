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
import {createHash} from 'node:crypto';
import {existsSync, readFileSync, writeFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {dirname, join} from 'node:path';
import {after, before, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {
  bigRoundTrips, demoSignAndVerify, extensionDir, Fixture, hostProcesses, installed, reportWindowTimes, signOn, until,
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
let allowedUrl;  // http://127.0.0.1:P, typed into the options page as a user would
let localhostUrl;  // http://localhost:P, allowed the same way
let otherUrl;  // http://127.0.0.2:Q, an origin not on the list
let otherPortUrl;  // http://127.0.0.1:R: another local user's server, say; not on the list
let framesUrl;  // http://127.0.0.2:S: pages with frames, and a sandboxed page (not on the list)
let worker;  // the extension's service worker

async function waitForContentScripts() {
  const isOurs = (w) => w.url().includes(EXTENSION_ID);
  worker = context.serviceWorkers().find(isOurs) ??
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
  otherPortUrl = await fixture.serve('127.0.0.1');
  framesUrl = await fixture.serveHtml('127.0.0.2', {
    '/frame.html': {body: `<!doctype html><iframe id="f" src="${allowedUrl}/demo/"></iframe>`},
    '/sandboxed.html': {body: '<!doctype html><p>sandboxed</p>', headers: {'content-security-policy': 'sandbox allow-scripts'}},
  });
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
  // Nothing is allowed until the user types the origins in the options page.
  const options = await context.newPage();
  await options.goto(optionsPage);
  for (const url of [allowedUrl, localhostUrl]) {
    await options.fill('#new-origin', url);
    await options.click('#add-origin');
    await options.waitForSelector(`#user-origins li[data-origin="${url}"]`);
  }
  await options.fill('#new-origin', 'http://127.0.0.1');
  await options.click('#add-origin');
  assert.match(await options.textContent('#add-error'), /Not taken/);
  await options.close();
  await waitForContentScripts();
});

after(async () => {
  await context?.close();
  fixture.tearDown();
});


// Consent windows as they come: each is answered by `policy` (a function of the window returning
// '#allow', '#deny', 'close' or null to leave it), after its Allow has become live. Every window
// is recorded with what it showed.
const seen = [];
let policy = async () => '#allow';
async function onWindow(window) {
  if (!window.url().startsWith(consentPage)) return;
  await window.waitForLoadState();
  const shown = await window.waitForSelector('#question:not([hidden]), #nothing:not([hidden])', {timeout: 15000})
      .then(() => true, () => false);
  if (!shown || window.isClosed()) return;
  const record = await window.evaluate(() => {
    const t = (id) => document.getElementById(id)?.textContent ?? '';
    return {heading: t('heading'), origin: t('origin'), frame: t('frame'), subject: t('subject'), issuer: t('issuer'),
            serial: t('serial'), valid: t('valid'), text: t('text'), path: t('path'), size: t('size'),
            sha256: t('sha256'), output: t('output'), recipient: t('recipient'), nothing: t('nothing')};
  }).catch(() => null);
  if (!record) return;
  record.window = window;
  seen.push(record);
  const what = await policy(record);
  if (what === 'close') await window.close();
  else if (what) {
    await window.waitForSelector(`${what}:not([disabled])`, {timeout: 5000}).catch(() => {});
    await window.click(what).catch((error) => {
      if (!window.isClosed()) throw error;
    });
  }
}

async function demoPage(url) {
  const page = await context.newPage();
  await page.goto(`${url}/demo/?issuer=${fixture.caSerial}`);
  return page;
}

// run makes one request from `page` with a fresh control, after `setup` (puts), and resolves
// to its result, or to "error: ..." when it is refused.
function run(page, setup, request) {
  return page.evaluate(async ([serial, setup, request]) => {
    const ctl = await window.velmor.create();
    for (const [name, value] of setup) await ctl.put(name, value.replace('SERIAL', serial));
    try {
      if (request.op === 'put') return await ctl.put(request.name, 'x').then(() => 'ok');
      if (request.op === 'get') return await ctl.get(request.name);
      return await ctl.call(request.name, ...(request.args ?? []));
    } catch (error) {
      return `error: ${error.message}`;
    } finally {
      ctl.release();
    }
  }, [fixture.serial, setup, request]);
}

const limit = {timeout: 90_000};
const cn = [['CN', '08CN=AliceSERIAL'.replace('SERIAL', '16SERIAL')], ['DecryptCN', 'SERIAL']];
let demo;

test('before', () => { context.on('page', onWindow); });

test('the demonstration page asks for each operation, signs, verifies, encrypts and decrypts; openssl agrees', limit, async () => {
  demo = await demoPage(allowedUrl);
  policy = async (w) => {
    if (/Sign this text/.test(w.heading) && !existsSync(join(out, 'browser-consent.png'))) {
      await w.window.setViewportSize({width: 560, height: 640});
      await w.window.screenshot({path: join(out, 'browser-consent.png')});
    }
    return '#allow';
  };
  const before = seen.length;
  await demoSignAndVerify(fixture, demo);
  const windows = seen.slice(before);
  // The list, SignData, Signature, PKCS7Data, SignCert and Decrypt: each its own window.
  assert.equal(windows.length, 6, windows.map((w) => w.heading).join(' / '));
  const signing = windows.find((w) => /Sign this text/.test(w.heading));
  assert.equal(signing.origin, allowedUrl);
  assert.equal(signing.subject, 'Alice');  // as the store names it
  assert.match(signing.issuer, /CN=velmor browser test CA/);
  assert.equal(signing.serial, fixture.serial);
  assert.match(signing.valid, /^\d{4}-\d\d-\d\dT/);
  // The text as signed: the part before ~!~ laid out to 64 characters.
  assert.equal(signing.text, `${'Pay 100.00 EUR to 1234-5678'.padEnd(61)}~!~reference 42`);
  await demo.screenshot({path: join(out, 'browser-demo.png'), fullPage: true});
});

test('results over 1 MiB come back whole, both ways', limit, () => bigRoundTrips(fixture, demo));

// Every member under every kind of request, nothing remembered: what needs consent gets a window
// of its own each time (allowed here), a wrong kind is refused without one, the rest need none.
test('every member under get, put and call: a window for each request that needs one', limit, async () => {
  const members = JSON.parse(fixture.velmor('typelib', '--json'));
  const args = {Encrypt: ['x'], VerifyPKCS7: ['x'], Decrypt: ['x'], VerifySignature: ['a', 'b', 'c'],
                EncryptFile: [fixture.file('none.txt')], DecryptFile: [fixture.file('none.txt.enc')]};
  policy = async () => '#allow';
  for (const m of members) {
    for (const op of ['get', 'put', 'call']) {
      const before = seen.length;
      const result = await run(demo, cn, {op, name: m.name, args: args[m.name] ?? []});
      const fits = m.kind === 'property' ? op !== 'call' : op === 'call';
      const asks = fits && op !== 'put' && m.consent.length > 0;
      if (!fits) assert.match(result, /^error: refused: .* is a (property|method)/, `${op} ${m.name}`);
      else assert.doesNotMatch(String(result), /^error|E:DENIED/, `${op} ${m.name}: ${result}`);
      assert.equal(seen.length - before, asks ? 1 : 0, `${op} ${m.name}: windows`);
    }
  }
});

test('a second signature of another text asks again and shows that text', limit, async () => {
  policy = async () => '#allow';
  const before = seen.length;
  for (const text of ['first text', 'second\u202Etxt.exe']) {
    assert.match(await run(demo, [...cn, ['SignData', text]], {op: 'get', name: 'SignData'}), /^A:/);
  }
  const texts = seen.slice(before).map((w) => w.text);
  // A bidirectional override is shown as its code point, never applied.
  assert.deepEqual(texts, ['first text', 'second[U+202E]txt.exe']);
});

test('SignFile and EncryptFile windows show the file, its digest, the output and the recipient; a refusal writes nothing', limit, async () => {
  const file = fixture.file('payment order.txt');
  writeFileSync(file, 'pay 250.00 EUR to 9876-5432\n');
  const sha256 = createHash('sha256').update(readFileSync(file)).digest('hex');
  policy = async (w) => {
    await w.window.setViewportSize({width: 560, height: 640});
    const name = /Sign this file/.test(w.heading) ? 'browser-consent-signfile.png' : 'browser-consent-encryptfile.png';
    await w.window.screenshot({path: join(out, name)});
    return /Encrypt/.test(w.heading) ? '#deny' : '#allow';
  };
  const before = seen.length;
  assert.match(await run(demo, [...cn, ['SignFile', file]], {op: 'get', name: 'SignFile'}), /^F:/);
  const certificate = (await run(demo, cn, {op: 'call', name: 'SignCert'}));
  assert.equal(await run(demo, [['EncryptCN', certificate]], {op: 'call', name: 'EncryptFile', args: [file]}), 'E:DENIED');
  const [signing, , encrypting] = seen.slice(before);
  assert.equal(signing.path, file);
  assert.equal(signing.size, '28 bytes');
  assert.equal(signing.sha256, sha256);
  assert.equal(signing.subject, 'Alice');
  assert.equal(encrypting.path, file);
  assert.equal(encrypting.output, `${file}.enc`);
  assert.match(encrypting.recipient, /^Alice \(/);
  assert.equal(existsSync(`${file}.enc`), false);
});

test('a window opened by its address with a made-up token shows nothing to approve', limit, async () => {
  const before = seen.length;
  const forged = await context.newPage();
  await forged.goto(`${consentPage}?${'0'.repeat(32)}`);
  await forged.waitForSelector('#nothing:not([hidden])');
  assert.equal(await forged.isVisible('#allow'), false);
  await forged.close();
  assert.equal(seen.slice(before).every((w) => w.nothing !== ''), true);
});

test('a page looping on a refused request gets a window every few seconds, then E:THROTTLED', limit, async () => {
  const page = await demoPage(localhostUrl);
  policy = async () => '#deny';
  const before = seen.length;
  const started = Date.now();
  const results = await page.evaluate(async (serial) => {
    const ctl = await window.velmor.create();
    await ctl.put('SignData', 'loop');
    const out = [];
    for (let i = 0; i < 6; i++) out.push([await ctl.get('SignData'), Date.now()]);
    return out;
  }, fixture.serial);
  assert.equal(seen.length - before, 3);
  assert.deepEqual(results.map(([r]) => r), ['E:DENIED', 'E:DENIED', 'E:DENIED', 'E:THROTTLED', 'E:THROTTLED', 'E:THROTTLED']);
  assert.ok(results[2][1] - started >= 6000, 'three windows in under six seconds');
  await page.close();
});

test('closing the page while its window is open closes the window and starts no host', limit, async () => {
  const host = JSON.parse(readFileSync(hostManifest, 'utf8')).path;
  const page = await demoPage(allowedUrl);
  const running = hostProcesses(host, fixture);
  let shown;
  const asked = new Promise((r) => { shown = r; });
  policy = async (w) => { shown(w); return null; };
  page.evaluate(() => window.velmor.create().then((c) => c.put('SignData', 'x').then(() => c.get('SignData')))).catch(() => {});
  const w = await asked;
  await page.close();
  await until(() => w.window.isClosed(), 'the window stayed open after its page closed');
  await until(() => hostProcesses(host, fixture) <= running, 'the host outlived its page');
  await new Promise((r) => setTimeout(r, 1000));
  assert.ok(hostProcesses(host, fixture) <= running);
});

test('origins off the list get no window.velmor: another port of 127.0.0.1, another address', limit, async () => {
  for (const url of [otherPortUrl, otherUrl]) {
    const page = await demoPage(url);
    assert.equal(await page.evaluate(() => typeof window.velmor), 'undefined', url);
    assert.match(await page.textContent('#status'), /velmor is not available/);
    await page.close();
  }
});

test('a frame of an allowed origin gets nothing under a page that is not allowed', limit, async () => {
  const page = await context.newPage();
  await page.goto(`${framesUrl}/frame.html`);
  const frame = await (await page.waitForSelector('#f')).contentFrame();
  await frame.waitForLoadState('load');
  await new Promise((r) => setTimeout(r, 1000));
  assert.equal(await frame.evaluate(() => typeof window.velmor), 'undefined');
  await page.close();
});

test('at most 8 hosts run at once; a further page gets a clear error', limit, async () => {
  const host = JSON.parse(readFileSync(hostManifest, 'utf8')).path;
  const pages = [];
  let refused = null;
  for (let i = 0; i < 10 && !refused; i++) {
    const page = await context.newPage();
    await page.goto(`${allowedUrl}/demo/`);
    pages.push(page);
    const outcome = await page.evaluate(() => window.velmor.create().then(() => 'created', (e) => e.message));
    if (outcome !== 'created') refused = outcome;
  }
  assert.match(refused ?? '', /too many pages use velmor at once \(at most 8\)/);
  assert.ok(hostProcesses(host, fixture) <= 8, `${hostProcesses(host, fixture)} hosts`);
  for (const page of pages) await page.close();
});

test('create() in a sandboxed page rejects with a clear error', limit, async () => {
  // The sandboxed page is not on the list; give it window.velmor by hand to see create() fail.
  const page = await context.newPage();
  await page.goto(`${framesUrl}/sandboxed.html`);
  await page.addScriptTag({path: join(extensionDir, 'page.js')});
  assert.match(await page.evaluate(() => window.velmor.create().then(() => 'created', (e) => e.message)), /sandbox/);
  await page.close();
});

test('the options page lists remembered refusals and revokes them', limit, async () => {
  const page = await demoPage(allowedUrl);
  await new Promise((r) => setTimeout(r, 3500));  // the pace after the refused EncryptFile
  policy = async (w) => {
    await w.window.check('#remember');
    return '#deny';
  };
  assert.equal(await signOn(fixture, page), 'E:DENIED');
  const before = seen.length;
  assert.equal(await signOn(fixture, page), 'E:DENIED');
  assert.equal(seen.length, before, 'a remembered refusal asked again');
  const options = await context.newPage();
  await options.goto(optionsPage);
  await options.click(`#remembered tr[data-origin="${allowedUrl}"][data-kind="refuse"] button.revoke`);
  await options.waitForSelector(`#remembered tr[data-origin="${allowedUrl}"]`, {state: 'detached'});
  await options.close();
  policy = async () => '#allow';
  await new Promise((r) => setTimeout(r, 3000));
  assert.match(await signOn(fixture, page), /^A:\d{8}transfer 5\.00/);

  // The list of certificates is the one Allow that may be remembered.
  policy = async (w) => {
    await w.window.check('#remember');
    return '#allow';
  };
  const list = () => run(page, [], {op: 'call', name: 'getCertList'});
  assert.match(await list(), new RegExp(fixture.serial));
  const asked = seen.length;
  assert.match(await list(), new RegExp(fixture.serial));
  assert.equal(seen.length, asked, 'a remembered certificate list asked again');
  const listed = await context.newPage();
  await listed.goto(optionsPage);
  await listed.waitForSelector(`#remembered tr[data-origin="${allowedUrl}"][data-kind="certlist"]`);
  await listed.screenshot({path: join(out, 'browser-options.png'), fullPage: true});
  await listed.close();
  await page.close();
});

test('time from a request to its window (report)', async (t) => {
  reportWindowTimes(await worker.evaluate(() => globalThis.velmorWindowTimes), t, 'chromium');
});
