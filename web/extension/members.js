// The control's members as the extension judges requests: kind (a property is read and
// written, a method called), argument count, and what a read or call needs the user's consent
// for. A copy of the control's own consent column (`velmor typelib --json`), which a test holds
// it to: a member missing here is refused, never let through.
export const MEMBERS = Object.freeze(Object.fromEntries([
  ['Copyright', 1, 'property', 0, []],
  ['SignData', 2, 'property', 0, ['sign']],
  ['CN', 3, 'property', 0, []],
  ['SignFile', 4, 'property', 0, ['sign']],
  ['Signature', 5, 'property', 0, ['sign']],
  ['EncryptCN', 6, 'property', 0, []],
  ['DecryptCN', 7, 'property', 0, []],
  ['IssuerCN', 8, 'property', 0, []],
  ['PKCS7Data', 9, 'method', 0, ['sign']],
  ['SignCert', 10, 'method', 0, ['read-certificates']],
  ['Encrypt', 11, 'method', 1, []],
  ['VerifyPKCS7', 12, 'method', 1, []],
  ['Decrypt', 13, 'method', 1, ['decrypt']],
  ['EncryptFile', 14, 'method', 1, ['file-output']],
  ['DecryptFile', 15, 'method', 1, ['decrypt', 'file-output']],
  ['VerifySignature', 16, 'method', 3, []],
  ['getProviderName', 17, 'method', 0, []],
  ['getCertList', 18, 'method', 0, ['read-certificates']],
].map(([name, dispid, kind, arity, consent]) =>
  [name.toLowerCase(), Object.freeze({name, dispid, kind, arity, consent: Object.freeze(consent)})])));

// memberOf: the row of a member name as the control matches it (ASCII letters in any case), or
// null.
export function memberOf(name) {
  if (typeof name !== 'string' || !/^[\x20-\x7e]*$/.test(name)) return null;
  return MEMBERS[name.toLowerCase()] ?? null;
}

// judge tells what the extension does with a request {op, name}: {error} for a request it
// refuses outright, else {member, consent} with the consent flags it needs (empty for none).
// A put only stores an input; a get reads a property and a call calls a method.
export function judge(request) {
  if (request.op === 'release') return {member: null, consent: []};
  const member = memberOf(request.name);
  if (!member) return {error: `unknown member: ${request.name}`};
  if (member.kind === 'property' && request.op === 'call') {
    return {error: `${member.name} is a property: get or put it, never call it`};
  }
  if (member.kind === 'method' && request.op !== 'call') {
    return {error: `${member.name} is a method: call it, never ${request.op} it`};
  }
  return {member, consent: request.op === 'put' ? [] : member.consent};
}
