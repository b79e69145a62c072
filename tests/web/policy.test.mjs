// The extension's allow-list rules and its list of private-key members, as tables of cases.
import assert from 'node:assert/strict';
import {test} from 'node:test';

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
  ['http://localhost:*', 'http://localhost:5173', true],
  ['http://localhost:*', 'http://localhost', true],
  ['http://localhost:*', 'https://localhost', false],
  ['http://127.0.0.1:*', 'http://127.0.0.2:8080', false],
  ['http://127.0.0.1:*', 'http://127.0.0.1.bank.example', false],
  ['https://bank.example', 'null', false],
  ['https://bank.example', 'https://bank.example/path', false],
];
for (const [rule, origin, expected] of matching) {
  test(`originMatches: ${rule} ${expected ? 'lets in' : 'keeps out'} ${origin}`, () => {
    assert.equal(originMatches(origin, parseOriginRule(rule)), expected);
  });
}

test('parseOriginRule refuses plain http beyond this machine, wildcards and non-origins', () => {
  for (const rule of ['http://bank.example', 'http://192.168.1.5:*', 'https://*.bank.example', 'ftp://bank.example',
                      'https://bank.example/login', 'https://bank.example:70000', 'bank.example', 42]) {
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
  assert.equal(matchPattern(parseOriginRule('http://localhost:*'), true), 'http://localhost/*');
});

test('usesPrivateKey: the signing getters and the signing and opening methods, in any case', () => {
  const asks = [['get', 'SignData'], ['get', 'signature'], ['get', 'SIGNFILE'], ['call', 'PKCS7Data'],
                ['call', 'decrypt'], ['call', 'DecryptFile']];
  const free = [['put', 'SignData'], ['get', 'CN'], ['call', 'SignCert'], ['call', 'Encrypt'],
                ['call', 'VerifyPKCS7'], ['call', 'getCertList'], ['release', undefined], ['get', 'Decrypt']];
  for (const [op, name] of asks) assert.equal(usesPrivateKey({op, name}), true, `${op} ${name}`);
  for (const [op, name] of free) assert.equal(usesPrivateKey({op, name}), false, `${op} ${name}`);
});
