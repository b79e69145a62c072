// parseResult, parseCertList and cnText on every form of result string, as one table of cases.
import assert from 'node:assert/strict';
import {test} from 'node:test';

import {cnText, DENIED, parseCertList, parseResult} from '../../web/velmor.js';

const sig = 'AB'.repeat(256);
const len = (t) => String(t.length).padStart(8, '0');
const base64Lines = 'MIIB' + 'A'.repeat(68) + '\n' + 'QUJD' + '\n';

// [name, result string, member hint, expected {kind, code, fields, lastError?}]
const cases = [
  ['failure code', 'E:0003', undefined, {kind: 'E', code: '0003', fields: []}],
  ['failure with a Windows error', 'E:0001 80090016 -2146893802', undefined,
    {kind: 'E', code: '0001', fields: ['80090016', '-2146893802'], lastError: 0x80090016}],
  ['failure with a short error', 'E:0005 57 87', 'Decrypt', {kind: 'E', code: '0005', fields: ['57', '87'], lastError: 0x57}],
  ['refused by the user', DENIED, 'SignData', {kind: 'E', code: 'DENIED', fields: []}],
  ['success without payload', 'A:0000', 'VerifySignature', {kind: 'A', code: null, fields: []}],
  ['SignData: text and signature', `A:${len('abc')}abc${len(sig)}${sig}`, 'SignData',
    {kind: 'A', code: null, fields: ['abc', sig]}],
  ['Decrypt: one field', 'A:00000011hello world', 'Decrypt', {kind: 'A', code: null, fields: ['hello world']}],
  ['an empty text', 'A:00000000', 'Decrypt', {kind: 'A', code: null, fields: ['']}],
  ['a field holding digits and line feeds', 'A:0000000512\n45', undefined, {kind: 'A', code: null, fields: ['12\n45']}],
  ['lengths in UTF-8 bytes', 'A:00000006Grüß', 'VerifyPKCS7', {kind: 'A', code: null, fields: ['Grüß']}],
  ['lengths in characters', 'A:00000004Grüß', 'VerifyPKCS7', {kind: 'A', code: null, fields: ['Grüß']}],
  ['SignFile', `F:${len(sig)}${sig}`, 'SignFile', {kind: 'F', code: null, fields: [sig]}],
  ['Signature', `L:${len(sig)}${sig}`, 'Signature', {kind: 'L', code: null, fields: [sig]}],
  ['a length past the end', 'A:00000009abc', undefined, {kind: 'text', code: null, fields: ['A:00000009abc']}],
  ['a length short of the end', 'L:00000002ABCD', undefined, {kind: 'text', code: null, fields: ['L:00000002ABCD']}],
  ['a length that is not eight digits', 'F:0000002AB', undefined, {kind: 'text', code: null, fields: ['F:0000002AB']}],
  ['Base64 with line feeds', base64Lines, 'PKCS7Data', {kind: 'Base64', code: null, fields: [base64Lines.replace(/\n/g, '')]}],
  ['Base64 without a hint', 'TWFu', undefined, {kind: 'Base64', code: null, fields: ['TWFu']}],
  ['a serial reported by EncryptCN', '0a1b', 'EncryptCN', {kind: 'text', code: null, fields: ['0a1b']}],
  ['the provider name', 'Microsoft Enhanced Cryptographic Provider v1.0', 'getProviderName',
    {kind: 'text', code: null, fields: ['Microsoft Enhanced Cryptographic Provider v1.0']}],
  ['the certificate list', 'CN=Alice,5a17;', undefined, {kind: 'text', code: null, fields: ['CN=Alice,5a17;']}],
  ['the CN report', '08CN=Alice045a17', 'CN', {kind: 'text', code: null, fields: ['08CN=Alice045a17']}],
  ['an empty answer', '', undefined, {kind: 'text', code: null, fields: ['']}],
];

for (const [name, text, member, expected] of cases) {
  test(`parseResult: ${name}`, () => {
    const parsed = parseResult(text, member);
    assert.equal(parsed.kind, expected.kind);
    assert.equal(parsed.ok, expected.kind !== 'E');
    assert.equal(parsed.code, expected.code);
    assert.deepEqual(parsed.fields, expected.fields);
    assert.equal(parsed.lastError, expected.lastError);
    assert.equal(parsed.text, text);
  });
}

test('parseCertList reads names and serials, commas in names included', () => {
  assert.deepEqual(parseCertList('CN=Alice,5a17;CN=Smith, John,00ff;'),
                   [{name: 'Alice', serial: '5a17', ambiguous: false}, {name: 'Smith, John', serial: '00ff', ambiguous: true}]);
  assert.deepEqual(parseCertList(''), []);
});

test('parseCertList keeps every serial when a name holds ";", and marks that name', () => {
  assert.deepEqual(parseCertList('CN=Bank; main account,0a;CN=Bob,0b;').map((e) => [e.serial, e.ambiguous]),
                   [['0a', true], ['0b', false]]);
});

test('cnText writes both fields after their two-digit lengths', () => {
  assert.equal(cnText('Alice', '5a17c3e9d2b4f601'), '08CN=Alice165a17c3e9d2b4f601');
  assert.equal(cnText('CN=Bo', '01'), '05CN=Bo0201');
  assert.throws(() => cnText('x'.repeat(100), '01'), RangeError);
});
