// The extension's allow-list rules and its list of private-key members, as tables of cases.
import assert from 'node:assert/strict';
import {test} from 'node:test';

import {execFileSync} from 'node:child_process';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';

import {judge, MEMBERS} from '../../web/extension/members.js';
import {matchPattern, originMatches, originQualifies, parseOriginRule, usesPrivateKey}
  from '../../web/extension/policy.js';

// [rule, origin, matches]
const matching = [
  ['https://bank.example', 'https://bank.example', true],
  ['https://bank.example', 'https://bank.example:8443', false],
  ['https://bank.example', 'https://www.bank.example', false],
  ['https://bank.example', 'http://bank.example', false],
  ['https://bank.example:443', 'https://bank.example', true],
  ['https://bank.example:8443', 'https://bank.example:8443', true],
  ['https://bank.example:8443', 'https://bank.example', false],
  ['https://Bank.Example/', 'https://bank.example', true],
  ['http://localhost:5173', 'http://localhost:5173', true],
  ['http://localhost:5173', 'http://localhost:5174', false],
  ['http://localhost:5173', 'https://localhost:5173', false],
  ['http://127.0.0.1:8080', 'http://127.0.0.2:8080', false],
  ['http://127.0.0.1:8080', 'http://127.0.0.1.bank.example', false],
  ['https://bank.example', 'null', false],
  ['https://bank.example', 'https://bank.example/path', false],
];
for (const [rule, origin, expected] of matching) {
  test(`originMatches: ${rule} ${expected ? 'lets in' : 'keeps out'} ${origin}`, () => {
    assert.equal(originMatches(origin, parseOriginRule(rule)), expected);
  });
}

test('parseOriginRule refuses plain http beyond this machine, wildcards and non-origins', () => {
  // Any local user can serve on a loopback port: such an entry names its port, and no entry
  // names every port.
  for (const rule of ['http://bank.example', 'http://192.168.1.5:*', 'https://*.bank.example', 'ftp://bank.example',
                      'https://bank.example/login', 'https://bank.example:70000', 'bank.example', 42,
                      'http://localhost', 'http://127.0.0.1', 'http://localhost:*', 'https://bank.example:*']) {
    assert.equal(parseOriginRule(rule), null, String(rule));
  }
});

test('originQualifies: secure contexts, and plain http to this machine only', () => {
  assert.equal(originQualifies('https://bank.example', true), true);
  assert.equal(originQualifies('https://bank.example', false), false);  // a frame in an insecure page
  assert.equal(originQualifies('http://localhost:8080', false), true);
  assert.equal(originQualifies('http://bank.example', true), false);
  assert.equal(originQualifies('file://', true), false);
});

test('matchPattern names the port where the browser can', () => {
  const rule = parseOriginRule('https://bank.example:8443');
  assert.equal(matchPattern(rule, true), 'https://bank.example:8443/*');
  assert.equal(matchPattern(rule, false), 'https://bank.example/*');
  assert.equal(matchPattern(parseOriginRule('http://localhost:8080'), true), 'http://localhost:8080/*');
});

test('usesPrivateKey: the signing getters and the signing and opening methods, in any case', () => {
  const asks = [['get', 'SignData'], ['get', 'signature'], ['get', 'SIGNFILE'], ['call', 'PKCS7Data'],
                ['call', 'decrypt'], ['call', 'DecryptFile']];
  const free = [['put', 'SignData'], ['get', 'CN'], ['call', 'SignCert'], ['call', 'Encrypt'],
                ['call', 'VerifyPKCS7'], ['call', 'getCertList'], ['release', undefined], ['get', 'Decrypt']];
  for (const [op, name] of asks) assert.equal(usesPrivateKey({op, name}), true, `${op} ${name}`);
  for (const [op, name] of free) assert.equal(usesPrivateKey({op, name}), false, `${op} ${name}`);
});

// The extension's member table is the control's consent column: `velmor typelib --json` reads it
// beside the module's own type library, so a member added to the control and not here fails.
test('the member table is the one velmor typelib --json prints', {skip: !process.env.VELMOR && 'VELMOR is not set'}, () => {
  const data = mkdtempSync(join(tmpdir(), 'velmor-members-'));
  try {
    const env = {...process.env, XDG_DATA_HOME: data};
    execFileSync(process.env.VELMOR, ['register'], {env, stdio: 'ignore'});
    const printed = JSON.parse(execFileSync(process.env.VELMOR, ['typelib', '--json'], {env, encoding: 'utf8'}));
    assert.deepEqual(Object.values(MEMBERS).map((m) => ({...m, consent: [...m.consent]})), printed);
  } finally {
    rmSync(data, {recursive: true, force: true});
  }
});

// Every member, every kind of request: what the extension refuses outright and what it asks for.
test('judge: every member under get, put and call', () => {
  for (const member of Object.values(MEMBERS)) {
    for (const op of ['get', 'put', 'call']) {
      const verdict = judge({op, name: member.name.toUpperCase()});
      const fits = member.kind === 'property' ? op !== 'call' : op === 'call';
      assert.equal(verdict.error === undefined, fits, `${op} ${member.name}`);
      if (fits) assert.deepEqual(verdict.consent, op === 'put' ? [] : member.consent, `${op} ${member.name}`);
    }
  }
  assert.match(judge({op: 'get', name: 'NoSuchMember'}).error, /unknown member/);
  assert.match(judge({op: 'get', name: 'signdat\u0430'}).error, /unknown member/);  // a Cyrillic a
});
