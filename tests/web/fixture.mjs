// What the browser tests share: a temporary data folder with a CA, Alice's certificate and key
// (issued here with openssl) imported and the module registered, the demonstration page served on
// loopback, openssl's checks of what the page signed, and the page-side drives that both browsers
// run the same way (through page.evaluate, which playwright and puppeteer share).
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {dirname, join, resolve} from 'node:path';
import {fileURLToPath} from 'node:url';

export const repo = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
// VELMOR_INSTALLED=1 tests the installed package instead of the tree: the extension and the page
// from /usr/share/velmor, the host manifests in the browsers' system folders, and the module
// registered by the host on its first use.
export const installed = process.env.VELMOR_INSTALLED === '1';
export const extensionDir = installed ? '/usr/share/velmor/extension' : join(repo, 'web/extension');
const webDir = installed ? '/usr/share/velmor/web' : join(repo, 'web');
export const SIGN_TEXT = 'Pay 100.00 EUR to 1234-5678~!~reference 42';

export class Fixture {
  constructor(name) {
    this.tmp = mkdtempSync(join(tmpdir(), `velmor-${name}-`));
    this.pki = join(this.tmp, 'pki');
    this.env = {...process.env, XDG_DATA_HOME: join(this.tmp, 'data'), XDG_STATE_HOME: join(this.tmp, 'state')};
    this.velmorCommand = process.env.VELMOR ?? join(repo, 'build/bin/velmor');
    this.servers = [];
  }

  run(file, args, options = {}) {
    return execFileSync(file, args, {env: this.env, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], ...options});
  }
  openssl(...args) {
    return this.run('openssl', args);
  }
  velmor(...args) {
    return this.run(this.velmorCommand, args);
  }
  file(name) {
    return join(this.pki, name);
  }

  // setUp issues the certificates, registers the module and imports them; it sets serial (Alice)
  // and caSerial.
  setUp() {
    mkdirSync(this.pki, {recursive: true});
    const p = (name) => this.file(name);
    this.openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-set_serial', '0x0CA1',
                 '-subj', '/CN=velmor browser test CA/O=Tarnvik Bank', '-keyout', p('ca.key'), '-out', p('ca.pem'));
    this.openssl('req', '-new', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=Alice/OU=QVA/O=Tarnvik Bank',
                 '-keyout', p('alice.key'), '-out', p('alice.csr'));
    this.openssl('x509', '-req', '-in', p('alice.csr'), '-CA', p('ca.pem'), '-CAkey', p('ca.key'),
                 '-set_serial', '0x5A17C3E9D2B4F601', '-days', '2', '-out', p('alice.pem'));
    this.openssl('pkcs12', '-export', '-inkey', p('alice.key'), '-in', p('alice.pem'), '-passout', 'pass:test',
                 '-out', p('alice.p12'));
    this.openssl('x509', '-in', p('alice.pem'), '-pubkey', '-noout', '-out', p('alice.pub'));
    if (!installed) this.velmor('register');
    this.velmor('certs', 'import', '--store', 'MY', '--passin', 'pass:test', p('alice.p12'));
    this.velmor('certs', 'add', '--store', 'Root', p('ca.pem'));
    this.serial = this.velmor('certs', 'list', '--store', 'MY').match(/^[0-9a-f]+/m)[0];
    this.caSerial = this.velmor('certs', 'list', '--store', 'Root').match(/^[0-9a-f]+/m)[0];
  }

  // serve starts the demonstration page's server on `host` and resolves to its URL.
  async serve(host) {
    const {serve} = await import(join(webDir, 'demo/serve.mjs'));
    const {server, url} = await serve({host});
    this.servers.push(server);
    return url;
  }

  // serveHtml serves fixed pages (path -> {body, headers}) on `host`, for the frames and the
  // sandboxed page; resolves to its URL.
  async serveHtml(host, pages) {
    const {createServer} = await import('node:http');
    const server = createServer((request, response) => {
      const page = pages[new URL(request.url, 'http://x').pathname];
      if (!page) return response.writeHead(404).end();
      response.writeHead(200, {'content-type': 'text/html; charset=utf-8', ...(page.headers ?? {})}).end(page.body);
    });
    await new Promise((resolve) => server.listen(0, host, resolve));
    this.servers.push(server);
    return `http://${host}:${server.address().port}`;
  }

  tearDown() {
    for (const server of this.servers) server.close();
    rmSync(this.tmp, {recursive: true, force: true});
  }

  // checkSignData has openssl verify a SignData result with Alice's public key; it returns the
  // text as signed.
  checkSignData(signed) {
    const textLength = Number(signed.slice(2, 10));
    const asSigned = signed.slice(10, 10 + textLength);
    writeFileSync(this.file('signed.txt'), asSigned);
    writeFileSync(this.file('signature.bin'), Buffer.from(signed.slice(10 + textLength + 8), 'hex'));
    assert.match(this.openssl('dgst', '-md5', '-verify', this.file('alice.pub'), '-signature',
                              this.file('signature.bin'), this.file('signed.txt')), /Verified OK/);
    return asSigned;
  }

  // checkPkcs7 has openssl verify a PKCS7Data result against the CA and returns its content.
  checkPkcs7(message) {
    writeFileSync(this.file('message.p7'), Buffer.from(message, 'base64'));
    this.openssl('cms', '-verify', '-inform', 'DER', '-in', this.file('message.p7'), '-CAfile',
                 this.file('ca.pem'), '-purpose', 'any', '-out', this.file('content.txt'));
    return readFileSync(this.file('content.txt'), 'utf8');
  }
}

// hostProcesses counts the running processes of the program at `path` that work in this
// fixture's data folder (other tests may run the same host at the same time).
export function hostProcesses(path, fixture) {
  const mine = `XDG_DATA_HOME=${fixture.env.XDG_DATA_HOME}`;
  let n = 0;
  for (const pid of readdirSync('/proc').filter((d) => /^\d+$/.test(d))) {
    try {
      if (readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0').includes(path) &&
          readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').includes(mine)) {
        n++;
      }
    } catch {
      // gone meanwhile
    }
  }
  return n;
}

export async function until(condition, what) {
  for (let i = 0; i < 100 && !condition(); i++) await new Promise((r) => setTimeout(r, 100));
  assert.ok(condition(), what);
}

// The page-side drives. Each runs in the page, importing velmor.js as a bank's page would.

// demoSignAndVerify clicks through the demonstration page (list, sign, verify, encrypt) and checks
// every answer, the signatures with openssl; `allow` runs beside the click on Sign, to answer a
// consent window where there is one.
export async function demoSignAndVerify(fixture, page, allow = async () => {}) {
  const text = (id) => page.evaluate((i) => document.getElementById(i).textContent, id);
  const filled = async (id) => {
    for (let i = 0; i < 300 && (await text(id)) === ''; i++) await new Promise((r) => setTimeout(r, 50));
    assert.notEqual(await text(id), '', `#${id} stayed empty`);
  };
  assert.match(await text('status'), /velmor is available/);
  await page.click('#list');
  await page.waitForSelector('#certs tbody tr');
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll('#certs tbody td')].map((c) => c.textContent)),
                   ['', 'Alice', fixture.serial]);
  await Promise.all([page.click('#sign'), allow()]);
  await filled('out-SignCert');
  const signed = await text('out-SignData');
  const asSigned = fixture.checkSignData(signed);
  assert.ok(asSigned.startsWith('Pay 100.00 EUR to 1234-5678'), signed);
  assert.equal(await text('out-Signature'), `L:00000512${signed.slice(10 + asSigned.length + 8)}`);
  assert.equal(fixture.checkPkcs7(await text('out-PKCS7Data')), asSigned);

  await page.click('#verify');
  await filled('out-VerifyPKCS7');
  assert.equal(await text('out-VerifySignature'), 'A:0000');
  assert.equal(await text('out-VerifyPKCS7'), `A:${String(asSigned.length).padStart(8, '0')}${asSigned}`);

  await page.click('#encrypt');
  await filled('out-Decrypt');
  const plain = await page.evaluate(() => document.getElementById('plain').value);
  assert.match(await text('out-Encrypt'), /^[A-Za-z0-9+/=\n]+$/);
  assert.equal(await text('out-Decrypt'), `A:${String(plain.length).padStart(8, '0')}${plain}`);
}

// bigRoundTrips seals and opens 1.2 MB of text and signs 299,000 two-byte characters (the host
// escapes each in its answer: 1.8 MB); every answer is over 1 MiB and comes in chunks.
export async function bigRoundTrips(fixture, page) {
  const outcome = await page.evaluate(async (serial) => {
    const {velmor, parseResult} = await import('/velmor.js');
    const ctl = await velmor.create();
    const certificate = parseResult(await ctl.call('SignCert')).fields[0];
    await ctl.put('EncryptCN', certificate);
    await ctl.put('DecryptCN', serial);
    let plain = '';
    for (let i = 0; plain.length < 1_200_000; i++) plain += `line ${i}: ${(i * 7919) % 100003}\n`;
    const sealed = await ctl.call('Encrypt', plain);
    const opened = parseResult(await ctl.call('Decrypt', sealed));
    const accented = 'é'.repeat(299_000);
    await ctl.put('SignData', accented);
    const signed = parseResult(await ctl.get('SignData'));
    ctl.release();
    return {sealedLength: sealed.length, same: opened.fields[0] === plain, kind: opened.kind,
            signed: signed.kind, signedText: signed.fields[0]?.startsWith(accented),
            signature: signed.fields[1]?.length};
  }, fixture.serial);
  assert.ok(outcome.sealedLength > 1 << 20, `Encrypt gave ${outcome.sealedLength} characters`);
  assert.equal(outcome.kind, 'A');
  assert.ok(outcome.same, 'Decrypt did not give the text back');
  assert.deepEqual([outcome.signed, outcome.signedText, outcome.signature], ['A', true, 512]);
}

// signOn runs one private-key request on `page` and resolves to its result.
export function signOn(fixture, page) {
  return page.evaluate(async (serial) => {
    const {velmor, cnText} = await import('/velmor.js');
    const ctl = await velmor.create();
    await ctl.put('CN', cnText('Alice', serial));
    await ctl.put('SignData', 'transfer 5.00');
    return ctl.get('SignData');
  }, fixture.serial);
}

// measureRoundTrip times 200 SignData gets from the page and reports the median and the 99th
// percentile (a figure for the report, not an assertion).
export async function measureRoundTrip(page, t, browser) {
  const times = await page.evaluate(async () => {
    const {velmor} = await import('/velmor.js');
    const ctl = await velmor.create();
    await ctl.put('SignData', 'Pay 100.00 EUR to 1234-5678');
    const times = [];
    for (let i = 0; i < 200; i++) {
      const start = performance.now();
      const result = await ctl.get('SignData');
      times.push(performance.now() - start);
      if (!result.startsWith('A:')) throw new Error(result);
    }
    ctl.release();
    return times;
  });
  times.sort((a, b) => a - b);
  const median = (times[99] + times[100]) / 2;
  const p99 = times[Math.ceil(0.99 * times.length) - 1];
  const line = `${browser}: SignData get round trip over 200 calls (origin pre-approved by policy): ` +
               `median ${median.toFixed(2)} ms, 99th percentile ${p99.toFixed(2)} ms`;
  t.diagnostic(line);
  console.log(`# ${line}`);
}

// reportWindowTimes prints how long requests waited for their consent window to show its
// question, from the background's own record (a figure for the report, not an assertion).
export function reportWindowTimes(times, t, browser) {
  if (!times.length) return;
  const sorted = [...times].sort((a, b) => a - b);
  const line = `${browser}: request to consent window shown, ${sorted.length} windows: median ` +
               `${sorted[Math.floor(sorted.length / 2)]} ms, slowest ${sorted[sorted.length - 1]} ms`;
  t.diagnostic(line);
  console.log(`# ${line}`);
}
