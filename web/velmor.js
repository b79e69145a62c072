// velmor for a bank's page: controls through the velmor browser extension, and the reading of
// the control's result strings.
//
//   import {velmor, parseResult} from './velmor.js';
//   const ctl = await velmor.create();
//   await ctl.put('CN', cnText('CN=Alice', serial));
//   await ctl.put('SignData', 'Pay 100.00 EUR');
//   const signed = parseResult(await ctl.get('SignData'));  // {kind: 'A', fields: [text, hex]}
//   ctl.release();

// DENIED is the result of a request the user refused (in its consent window, or by a refusal
// remembered for this origin); THROTTLED that of one refused without asking, for a minute after
// three refusals in a row. No control answers with either: a control's codes are four digits.
export const DENIED = 'E:DENIED';
export const THROTTLED = 'E:THROTTLED';

export class VelmorError extends Error {
  constructor(message, options) {
    super(message, options);
    this.name = 'VelmorError';
  }
}

function bridge() {
  const found = globalThis.window?.velmor;
  if (!found || typeof found.create !== 'function') {
    throw new VelmorError('velmor is not available to this page: the velmor extension is not ' +
                          'installed, or this origin is not on its allow-list');
  }
  return found;
}

// A control as the page drives it; every getter and method answers with a result string.
class Control {
  #inner;
  constructor(inner) {
    this.#inner = inner;
  }
  async #run(what) {
    try {
      return await what();
    } catch (error) {
      throw error instanceof VelmorError ? error : new VelmorError(String(error?.message ?? error));
    }
  }
  put(name, value) {
    return this.#run(() => this.#inner.put(name, value));
  }
  get(name) {
    return this.#run(() => this.#inner.get(name));
  }
  call(name, ...args) {
    return this.#run(() => this.#inner.call(name, ...args));
  }
  release() {
    return this.#inner.release();
  }
}

export const velmor = Object.freeze({
  // available tells whether the extension gives this page velmor.
  available() {
    try {
      bridge();
      return true;
    } catch {
      return false;
    }
  },
  // create makes a control; it rejects with a VelmorError when velmor is not available here or
  // its host cannot create the control.
  async create() {
    const inner = bridge();
    try {
      return new Control(await inner.create());
    } catch (error) {
      throw new VelmorError(String(error?.message ?? error));
    }
  },
});

// ---- Result strings -------------------------------------------------------------------------

const BASE64_TEXT = /^[A-Za-z0-9+/]+={0,2}$/;
// Members whose success is a plain text report, never Base64 (a serial such as "0a1b" would read
// as Base64 otherwise).
const TEXT_MEMBERS = new Set(['copyright', 'cn', 'encryptcn', 'decryptcn', 'issuercn',
                              'getprovidername', 'getcertlist']);
const BASE64_MEMBERS = new Set(['pkcs7data', 'signcert', 'encrypt']);

const utf8 = new TextEncoder();

// The length fields count characters as the control holds them: bytes of its code page. Read
// with UTF-16 code units first (the same for ASCII), then with UTF-8 bytes (the default code page).
function splitFields(body, unit) {
  const fields = [];
  let at = 0;
  if (unit === 'utf16') {
    while (at < body.length) {
      const digits = body.slice(at, at + 8);
      if (!/^\d{8}$/.test(digits)) return null;
      const n = Number(digits);
      at += 8;
      if (at + n > body.length) return null;
      fields.push(body.slice(at, at + n));
      at += n;
    }
    return fields;
  }
  const bytes = utf8.encode(body);
  const decoder = new TextDecoder('utf-8', {fatal: true});
  while (at < bytes.length) {
    if (at + 8 > bytes.length) return null;
    const digits = String.fromCharCode(...bytes.subarray(at, at + 8));
    if (!/^\d{8}$/.test(digits)) return null;
    const n = Number(digits);
    at += 8;
    if (at + n > bytes.length) return null;
    try {
      fields.push(decoder.decode(bytes.subarray(at, at + n)));
    } catch {
      return null;  // a length that cuts a character in two
    }
    at += n;
  }
  return fields;
}

// parseResult splits a result string into its kind, fields and error code:
//   "E:0003"                      {kind: 'E', ok: false, code: '0003', fields: []}
//   "E:0001 80090016 -2146893802" {kind: 'E', code: '0001', fields: ['80090016', '-2146893802'],
//                                  lastError: 0x80090016}
//   "E:DENIED"                    {kind: 'E', code: 'DENIED'}: the user refused
//   "A:0000"                      {kind: 'A', ok: true, code: null, fields: []}
//   "A:00000003abc00000004ABCD"   {kind: 'A', fields: ['abc', 'ABCD']}; likewise 'F' and 'L'
//   Base64 (PKCS7Data, SignCert, Encrypt) {kind: 'Base64', fields: [the text without line feeds]}
//   anything else                 {kind: 'text', fields: [text]}
// `member`, when given, tells a report (EncryptCN, getCertList...) from Base64. A typed form
// whose lengths disagree with what follows reads as 'text'.
export function parseResult(text, member) {
  const s = text === null || text === undefined ? '' : String(text);
  const result = (kind, fields, extra = {}) => ({kind, ok: kind !== 'E', code: null, fields, text: s, ...extra});
  const hint = typeof member === 'string' ? member.toLowerCase() : '';
  if (TEXT_MEMBERS.has(hint)) return result('text', [s]);
  if (s.startsWith('E:')) {
    const [code, ...fields] = s.slice(2).split(' ');
    const extra = {code};
    if (fields.length === 2 && /^[0-9a-f]{1,8}$/.test(fields[0]) && /^-?\d+$/.test(fields[1])) {
      extra.lastError = parseInt(fields[0], 16);
    }
    return result('E', fields, extra);
  }
  const typed = /^([AFL]):/.exec(s);
  if (typed) {
    const body = s.slice(2);
    if (typed[1] === 'A' && body === '0000') return result('A', []);
    const fields = splitFields(body, 'utf16') ?? splitFields(body, 'utf8');
    if (fields && fields.length > 0) return result(typed[1], fields);
    return result('text', [s]);
  }
  const joined = s.replace(/[\r\n]/g, '');
  if ((BASE64_MEMBERS.has(hint) || hint === '') && joined.length % 4 === 0 && BASE64_TEXT.test(joined)) {
    return result('Base64', [joined]);
  }
  return result('text', [s]);
}

// parseCertList reads getCertList's "CN=<name>,<serial>;..." into [{name, serial, ambiguous}].
// The format cannot carry every name: a name holding "," or ";" (a certificate's subject may)
// can move where one entry ends and the next begins. Entries are cut only where a serial (hex
// digits) ends one and "CN=" or the end follows; an entry whose name still holds "," or ";" is
// marked ambiguous. A name is only a label for the user: decide by the serial, and let the
// consent window (which looks the serial up in the user's store) tell the user what it is.
export function parseCertList(text) {
  const list = [];
  for (const entry of String(text ?? '').split(/(?<=,[0-9a-fA-F]+);(?=CN=|$)/)) {
    const m = /^(.*),([0-9a-fA-F]+);?$/s.exec(entry);
    if (!m) continue;
    const name = m[1].replace(/^CN=/, '');
    list.push({name, serial: m[2], ambiguous: /[,;]/.test(name)});
  }
  return list;
}

// cnText is the value to put in CN to name a signer: two fields, each after its length in two
// digits ("08CN=Alice165a17c3e9d2b4f601"). Each field holds at most 99 characters.
export function cnText(name, serial) {
  const subject = String(name).startsWith('CN=') ? String(name) : `CN=${name}`;
  const field = (t) => {
    if (t.length > 99) throw new RangeError('a CN field holds at most 99 characters');
    return String(t.length).padStart(2, '0') + t;
  };
  return field(subject) + field(String(serial));
}
