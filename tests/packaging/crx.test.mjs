// The packed extension as a browser reads it: packaging/crx.sh's CRX3 file taken apart by a
// reader of its own here (the protocol-buffer header, field by field), its signature checked by
// node's crypto, its ID computed from the key it carries, its archive listed by unzip; and the
// same bytes from a second run (the package is reproducible).
//
//   node --test tests/packaging/crx.test.mjs
import assert from 'node:assert/strict';
import {createHash, createPublicKey, verify} from 'node:crypto';
import {execFileSync} from 'node:child_process';
import {mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {dirname, join, resolve} from 'node:path';
import {after, test} from 'node:test';
import {fileURLToPath} from 'node:url';

const repo = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
const work = mkdtempSync(join(tmpdir(), 'velmor-crx-'));
after(() => rmSync(work, {recursive: true, force: true}));

function pack(name) {
  const out = join(work, name);
  execFileSync('sh', [join(repo, 'packaging/crx.sh'), join(repo, 'packaging/extension-key.pem'),
    join(repo, 'web/extension'), out]);
  return readFileSync(out);
}

// fields: a protocol-buffer message's length-delimited fields as [number, bytes] pairs.
function fields(bytes) {
  const out = [];
  let at = 0;
  const varint = () => {
    let value = 0, shift = 0, byte;
    do {
      byte = bytes[at++];
      value += (byte & 0x7f) * 2 ** shift;
      shift += 7;
    } while (byte & 0x80);
    return value;
  };
  while (at < bytes.length) {
    const key = varint();
    assert.equal(key & 7, 2, 'only length-delimited fields are expected');
    const length = varint();
    out.push([Math.floor(key / 8), bytes.subarray(at, at + length)]);
    at += length;
  }
  assert.equal(at, bytes.length);
  return out;
}

const crx = pack('velmor.crx');

test('a CRX3 file whose signature and ID hold', () => {
  assert.equal(crx.subarray(0, 4).toString('latin1'), 'Cr24');
  assert.equal(crx.readUInt32LE(4), 3);
  const headerLength = crx.readUInt32LE(8);
  const header = fields(crx.subarray(12, 12 + headerLength));
  const archive = crx.subarray(12 + headerLength);
  const proofs = header.filter(([n]) => n === 2).map(([, b]) => Object.fromEntries(fields(b)));
  const signedData = header.find(([n]) => n === 10000)[1];
  assert.equal(proofs.length, 1);
  const publicKey = proofs[0][1];
  const signature = proofs[0][2];

  const id = createHash('sha256').update(publicKey).digest().subarray(0, 16);
  assert.deepEqual(fields(signedData), [[1, id]]);
  const letters = [...id.toString('hex')].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
  assert.equal(letters, 'nfmifenlhpaglgpgnjmepjnnmcllmfpj');
  // The manifest's key is the same public key: an unpacked copy has the same ID.
  const manifest = JSON.parse(readFileSync(join(repo, 'web/extension/manifest.json'), 'utf8'));
  assert.equal(manifest.key, publicKey.toString('base64'));

  const length = Buffer.alloc(4);
  length.writeUInt32LE(signedData.length);
  const signed = Buffer.concat([Buffer.from('CRX3 SignedData\0', 'latin1'), length, signedData, archive]);
  const key = createPublicKey({key: publicKey, format: 'der', type: 'spki'});
  assert.ok(verify('sha256', signed, key, signature), 'the signature does not verify');
  const tampered = Buffer.from(signed);
  tampered[tampered.length - 1] ^= 1;
  assert.ok(!verify('sha256', tampered, key, signature));
});

test('the archive holds the extension, and packing again gives the same bytes', () => {
  writeFileSync(join(work, 'archive.zip'), crx.subarray(12 + crx.readUInt32LE(8)));
  const listing = execFileSync('unzip', ['-Z1', join(work, 'archive.zip')], {encoding: 'utf8'});
  const names = listing.trim().split('\n').sort();
  assert.ok(names.includes('manifest.json') && names.includes('background.js'), listing);
  assert.ok(pack('again.crx').equals(crx), 'a second pack differs');
  pack('velmor.xpi');
  const xpi = execFileSync('unzip', ['-Z1', join(work, 'velmor.xpi')], {encoding: 'utf8'});
  assert.deepEqual(xpi.trim().split('\n').sort(), names);
});
