// The extension's background: it lets allowed pages in through content scripts, relays each
// page's requests to a native host process of its own (org.velmor.host), joins answers the host
// sends in chunks, and asks the user, in a window of its own, before a request signs, opens an
// envelope, writes a file or hands out the user's certificates.
import {judge} from './members.js';
import {isRemembered, matchPattern, originMatches, originQualifies, readPolicy, remember} from './policy.js';

const HOST_NAME = 'org.velmor.host';
const PORT_NAME = 'velmor';
const CONSENT_PAGE = chrome.runtime.getURL('consent.html');

// The answers a page gets for a request the user refused, and for one refused without asking
// because its origin was refused three times in a row within the last minute. No control
// answers with either: a control's codes are four digits.
const DENIED = 'E:DENIED';
const THROTTLED = 'E:THROTTLED';

// Limits on what a page may send; the host has its own, these only keep nonsense off the pipe.
const MAX_INSTANCE = 1024;
const MAX_NAME_LENGTH = 64;
const MAX_ARGUMENTS = 8;
// The browsers' limit for one message to a native host; a longer one would cost the page its host.
const MAX_REQUEST_BYTES = 64 * 1024 * 1024;
// Host processes of this profile at one time; each holds a module and the user's store open.
const MAX_HOSTS = 8;
// The pace of questions: after a refusal or a dismissal the next question of that origin waits;
// three refusals in a row and the origin is refused without asking for a minute.
const ASK_GAP_MS = 3000;
const REFUSALS_BEFORE_QUIET = 3;
const QUIET_MS = 60_000;
// The Allow button counts only this long after the window showed its question.
const INERT_MS = 1000;
// The control keeps at most 255 bytes of the SignFile path and 599999 of the SignData text.
const SIGN_FILE_BYTES = 255;
const SIGN_DATA_BYTES = 600_000;

// ---- Content scripts on the allowed origins -------------------------------------------------

const SCRIPT_IDS = ['velmor-bridge', 'velmor-page'];
// Firefox's match patterns cannot hold a port (Firefox alone has getBrowserInfo).
const PATTERNS_WITH_PORTS = typeof chrome.runtime.getBrowserInfo !== 'function';

// syncContentScripts registers the two content scripts for the origins of the current policy:
// the bridge in the extension's world of every frame, window.velmor in the page's world of top
// frames (a frame gets it from frameReady, once its tab's top-level origin is checked).
// The policy as last read: every request that needs consent looks at it, and reading it is two
// round trips to the browser's storage. A change of either storage area drops it.
let policyNow = null;
function currentPolicy() {
  policyNow ??= readPolicy().catch((error) => {
    policyNow = null;
    throw error;
  });
  return policyNow;
}

let scriptsSynced = Promise.resolve();
function syncContentScripts() {
  scriptsSynced = scriptsSynced.catch(() => {}).then(async () => {
    const {allowed} = await currentPolicy();
    const matches = [...new Set(allowed.map((r) => matchPattern(r, PATTERNS_WITH_PORTS)))];
    const registered = await chrome.scripting.getRegisteredContentScripts({ids: SCRIPT_IDS});
    // The background starts again and again; a registration that is already right stays, so that
    // no page loads in a gap without its scripts.
    const same = (a, b) => a.length === b.length && a.every((m, i) => m === b[i]);
    if (registered.length === SCRIPT_IDS.length && registered.every((r) => same(r.matches ?? [], matches))) return;
    if (registered.length > 0) {
      await chrome.scripting.unregisterContentScripts({ids: registered.map((s) => s.id)});
    }
    if (matches.length === 0) return;
    await chrome.scripting.registerContentScripts([
      {id: 'velmor-bridge', js: ['content.js'], world: 'ISOLATED', matches, runAt: 'document_start', allFrames: true},
      {id: 'velmor-page', js: ['page.js'], world: 'MAIN', matches, runAt: 'document_start', allFrames: false},
    ]);
  });
  return scriptsSynced;
}

syncContentScripts();
chrome.storage.onChanged.addListener((changes, area) => {
  if (area === 'managed' || (area === 'local' && 'userOrigins' in changes)) {
    policyNow = null;
    syncContentScripts();
  }
});

// The origin is the one the browser reports for the frame, never a page's word.
function senderOrigin(sender) {
  if (typeof sender.origin === 'string' && sender.origin !== '') return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return 'null';
  }
}

function topOrigin(sender) {
  if (sender.frameId === 0) return senderOrigin(sender);
  try {
    return new URL(sender.tab?.url ?? '').origin;
  } catch {
    return 'null';
  }
}

// admitted tells whether a frame may use velmor: its own origin and its tab's top-level origin
// are both on the allow-list (and the frame is a secure context or loopback).
async function admitted(sender, secureContext) {
  const origin = senderOrigin(sender);
  const top = topOrigin(sender);
  const {allowed} = await currentPolicy();
  const listed = (o) => allowed.some((rule) => originMatches(o, rule));
  return {origin, top, ok: originQualifies(origin, secureContext) && listed(origin) && listed(top)};
}

// ---- Consent questions ----------------------------------------------------------------------

// Questions by token; the token is the only thing in the window's address.
const questions = new Map();  // token -> {question, resolve, windowId, shownAt, connection, askedAt}
// Per origin: the one question at a time, the pace after refusals, the quiet minute.
const origins = new Map();  // origin -> {chain, refusals, nextAskAt, quietUntil}
// For the browser test's report: milliseconds from a request to its window showing the question.
globalThis.velmorWindowTimes = [];

function originState(origin) {
  let state = origins.get(origin);
  if (!state) {
    state = {chain: Promise.resolve(), refusals: 0, nextAskAt: 0, quietUntil: 0};
    origins.set(origin, state);
  }
  return state;
}

function newToken() {
  const bytes = crypto.getRandomValues(new Uint8Array(16));
  return [...bytes].map((b) => b.toString(16).padStart(2, '0')).join('');
}

// askUser shows `question` in a window and resolves to {decision: 'allow'|'deny'|null, remember}
// (null: the window was closed without an answer, or the page went away).
async function askUser(connection, question, askedAt) {
  const token = newToken();
  const answered = new Promise((resolve) => {
    questions.set(token, {question, resolve, windowId: null, shownAt: null, connection, askedAt});
  });
  try {
    const popup = await chrome.windows.create({
      url: `${CONSENT_PAGE}?${token}`, type: 'popup', width: 560, height: 640, focused: true,
    });
    const entry = questions.get(token);
    if (entry) entry.windowId = popup.id;
    else chrome.windows.remove(popup.id).catch(() => {});  // the page went meanwhile
  } catch {
    finish(token, {decision: null});
  }
  return answered;
}

function finish(token, outcome) {
  const entry = questions.get(token);
  if (!entry) return;
  questions.delete(token);
  if (entry.windowId !== null) chrome.windows.remove(entry.windowId).catch(() => {});
  entry.resolve(outcome);
}

chrome.runtime.onMessage.addListener((message, sender, sendResponse) => {
  // Only the consent page, an extension page no web page can open or script, asks and answers,
  // and only from the window the question was put in.
  if (sender.id !== chrome.runtime.id || !String(sender.url ?? '').startsWith(CONSENT_PAGE)) {
    if (message?.type === 'frame' && sender.tab) frameReady(message, sender);
    return;
  }
  const entry = questions.get(message?.token);
  const fromItsWindow = entry && (entry.windowId === null || sender.tab?.windowId === entry.windowId);
  if (message?.type === 'question') {
    if (!fromItsWindow) {
      sendResponse(null);  // a made-up or spent token: nothing to show, nothing to approve
      return;
    }
    if (entry.shownAt === null) {
      entry.shownAt = Date.now();
      globalThis.velmorWindowTimes.push(entry.shownAt - entry.askedAt);
    }
    sendResponse(entry.question);
    return;
  }
  if (message?.type === 'consent' && fromItsWindow && entry.shownAt !== null) {
    const allow = message.decision === 'allow';
    if (allow && Date.now() - entry.shownAt < INERT_MS) return;
    finish(message.token, {decision: allow ? 'allow' : 'deny', remember: message.remember === true});
  }
});

chrome.windows.onRemoved.addListener((windowId) => {
  for (const [token, entry] of questions) {
    if (entry.windowId === windowId) finish(token, {decision: null});
  }
});

// frameReady gives a frame window.velmor when it and its tab's top-level page are allowed.
async function frameReady(message, sender) {
  if (sender.frameId === 0 || typeof sender.frameId !== 'number') return;
  const {ok} = await admitted(sender, message.secure === true);
  if (!ok) return;
  await chrome.scripting.executeScript({
    target: {tabId: sender.tab.id, frameIds: [sender.frameId]}, world: 'MAIN', files: ['page.js'],
  }).catch(() => {});
}

// ---- What a question shows ------------------------------------------------------------------

const utf8Length = (text) => new TextEncoder().encode(text).length;

// laidOut: the SignData text as the control stores and signs it: the text before its first
// "~!~" padded with blanks to whole 64-character blocks; empty for a value it refuses.
export function laidOut(value) {
  if (typeof value !== 'string' || value === '' || utf8Length(value) >= SIGN_DATA_BYTES) return '';
  const at = value.indexOf('~!~');
  if (at < 0) return value;
  const rest = (utf8Length(value.slice(0, at)) + 3) % 64;
  const text = value.slice(0, at) + ' '.repeat(rest === 0 ? 0 : 64 - rest) + value.slice(at);
  return utf8Length(text) >= SIGN_DATA_BYTES ? '' : text;
}

// cutBytes: the first `limit` bytes of `text` in UTF-8, as the control keeps a path.
function cutBytes(text, limit) {
  const bytes = new TextEncoder().encode(text);
  if (bytes.length <= limit) return text;
  return new TextDecoder().decode(bytes.subarray(0, limit)).replace(/\uFFFD$/, '');
}

// serialOfCN: the serial field of what the CN getter reports ("%02d%s%02d%s"); the name field
// is the page's own text and is not shown.
export function serialOfCN(report) {
  for (const digits of [2, 3]) {
    const n = Number(report.slice(0, digits));
    if (!/^\d+$/.test(report.slice(0, digits))) continue;
    const rest = report.slice(digits + n);
    if (/^\d\d/.test(rest) && rest.length === 2 + Number(rest.slice(0, 2))) return rest.slice(2);
  }
  return '';
}

const ACTIONS = {
  signdata: 'sign', signature: 'sign', pkcs7data: 'sign', signfile: 'signfile', signcert: 'signcert',
  getcertlist: 'certlist', decrypt: 'decrypt', decryptfile: 'decryptfile', encryptfile: 'encryptfile',
};

// ---- One page, one host process -------------------------------------------------------------

const liveHosts = new Set();  // the PageConnections whose host runs

// validRequest returns the request to send to the host, rebuilt from the fields a host request
// has, or a text saying what is wrong with it.
function validRequest(message) {
  if (!message || typeof message !== 'object') return 'a request is an object';
  const {op, name} = message;
  const instance = message.instance ?? 0;
  if (!Number.isInteger(instance) || instance < 0 || instance > MAX_INSTANCE) {
    return `instance must be an integer from 0 to ${MAX_INSTANCE}`;
  }
  if (op === 'release') return {op, instance};
  if (typeof name !== 'string' || name.length === 0 || name.length > MAX_NAME_LENGTH) {
    return 'name must be a member name';
  }
  const textOrNull = (v) => v === null || typeof v === 'string';
  switch (op) {
    case 'get':
      return {op, instance, name};
    case 'put':
      if (!textOrNull(message.value ?? null)) return 'value must be a string or null';
      return {op, instance, name, value: message.value ?? null};
    case 'call': {
      const args = message.args ?? [];
      if (!Array.isArray(args) || args.length > MAX_ARGUMENTS || !args.every(textOrNull)) {
        return 'args must be a list of strings or nulls';
      }
      return {op, instance, name, args};
    }
    default:
      return 'op must be put, get, call or release';
  }
}

// fitsTheHost tells whether a request's JSON text, with the fields the background adds, stays
// within what a host may be sent. Each UTF-16 code unit takes at most three bytes in UTF-8, so
// the exact count is made only for a request near the limit.
function fitsTheHost(request) {
  const text = JSON.stringify(request);
  const room = MAX_REQUEST_BYTES - 1024;
  if (text.length * 3 <= room) return true;
  return new TextEncoder().encode(text).length <= room;
}

class PageConnection {
  constructor(port, origin, top) {
    this.port = port;
    this.origin = origin;  // the frame's
    this.top = top;        // its tab's top-level page's
    this.native = null;
    this.closed = false;
    this.nextHostId = 1;
    this.pending = new Map();  // host id -> {pageId, onAnswer} or {resolve, reject} for our own asks
    this.chunks = null;  // {id, parts, count} while a chunked answer arrives
    // What the page has put, as the host accepted it: the window shows what a request will use.
    this.inputs = {signData: null, signFile: null, encryptCN: new Map()};
    this.sessionGrants = new Set();  // consent kinds allowed once for this page (session origins)
    // Requests reach the host in the order the page sent them; a question holds the ones after
    // it, so that nothing the window shows can change before the request is carried out.
    this.queue = Promise.resolve();
    port.onMessage.addListener((message) => this.onPageMessage(message));
    port.onDisconnect.addListener(() => this.close());
  }

  onPageMessage(message) {
    const pageId = message?.id ?? null;
    let request = validRequest(message);
    if (typeof request !== 'string' && !fitsTheHost(request)) request = 'longer than 64 MiB';
    const askedAt = Date.now();
    this.queue = this.queue.then(async () => {
      if (this.closed) return;
      if (typeof request === 'string') {
        this.answerPage({id: pageId, error: `malformed request: ${request}`});
        return;
      }
      const verdict = judge(request);
      if (verdict.error) {
        this.answerPage({id: pageId, error: `refused: ${verdict.error}`});
        return;
      }
      const outgoing = {...request, origin: this.origin};
      if (verdict.consent.length > 0) {
        const grant = await this.decide(request, verdict, askedAt);
        if (this.closed) return;
        if (grant.result) {
          this.answerPage({id: pageId, result: grant.result});
          return;
        }
        outgoing.consent = {op: request.op, name: verdict.member.name, by: grant.by};
      }
      this.send(outgoing, {pageId, onAnswer: (answer) => this.noteInput(request, answer)});
    }).catch((error) => this.answerPage({id: pageId, error: String(error?.message ?? error)}));
  }

  // noteInput keeps what a put the host accepted stored: the texts the window will show.
  noteInput(request, answer) {
    if (request.op !== 'put' || answer.ok !== true) return;
    const name = request.name.toLowerCase();
    if (name === 'signdata') this.inputs.signData = request.value;
    if (name === 'signfile') this.inputs.signFile = request.value;
    if (name === 'encryptcn') this.inputs.encryptCN.set(request.instance, request.value);
  }

  // decide resolves to {by} when the request may go to the host with a grant, or {result} with
  // the answer the page gets instead.
  async decide(request, verdict, askedAt) {
    const policy = await currentPolicy();
    const origin = this.origin;
    if (policy.preapproved.some((rule) => originMatches(origin, rule))) return {by: 'policy'};
    if (await isRemembered('refuse', origin)) return {result: DENIED};
    // The one Allow that may be remembered: reading the list of the user's certificates.
    const certificatesOnly = verdict.member.name === 'getCertList';
    if (certificatesOnly && await isRemembered('certlist', origin)) return {by: 'remembered'};
    const kind = verdict.consent.join('+');
    const sessionScope = policy.session.some((rule) => originMatches(origin, rule));
    if (sessionScope && this.sessionGrants.has(kind)) return {by: 'session'};

    const state = originState(origin);
    const turn = state.chain.then(async () => {
      if (this.closed) return {decision: null};
      if (Date.now() < state.quietUntil) return {decision: 'quiet'};
      const wait = state.nextAskAt - Date.now();
      if (wait > 0) await new Promise((r) => setTimeout(r, wait));
      if (this.closed) return {decision: null};
      const question = await this.describe(request, verdict);
      if (this.closed) return {decision: null};
      question.certificatesOnly = certificatesOnly;
      question.sessionScope = sessionScope;
      return askUser(this, question, askedAt);
    });
    state.chain = turn.catch(() => {});
    const {decision, remember: keep} = await turn;
    if (decision === 'quiet') return {result: THROTTLED};
    if (decision === 'allow') {
      state.refusals = 0;
      if (sessionScope) this.sessionGrants.add(kind);
      if (keep && certificatesOnly) await remember('certlist', origin);
      return {by: 'user'};
    }
    if (this.closed) return {result: DENIED};
    state.refusals++;
    state.nextAskAt = Date.now() + ASK_GAP_MS;
    if (state.refusals >= REFUSALS_BEFORE_QUIET) {
      state.refusals = 0;
      state.quietUntil = Date.now() + QUIET_MS;
    }
    if (decision === 'deny' && keep) await remember('refuse', origin);
    return {result: DENIED};
  }

  // certificate looks a certificate up in the user's stores through the host, by serial.
  async certificate(serial, stores, signer) {
    if (!serial) return null;
    return (await this.ask({op: 'certificate', serial, stores, signer})).certificate ?? null;
  }

  async file(path, digest) {
    return (await this.ask({op: 'file', path, digest})).file;
  }

  // describe: what the window shows about `request`, looked up by the host after everything the
  // page sent before it (the host answers in order, so the puts before it have been noted).
  async describe(request, verdict) {
    const name = verdict.member.name;
    const action = ACTIONS[name.toLowerCase()];
    const question = {origin: this.top, frameOrigin: this.origin !== this.top ? this.origin : null,
                      member: name, action, consent: verdict.consent};
    const instance = request.instance;
    const signer = async () =>
      this.certificate(serialOfCN((await this.ask({op: 'get', instance, name: 'CN'})).result ?? ''), ['MY'], true);
    const decryptor = async () =>
      this.certificate((await this.ask({op: 'get', instance, name: 'DecryptCN'})).result ?? '', ['MY'], false);
    const path = String(request.args?.[0] ?? '');
    switch (action) {
      case 'sign':
        question.certificate = await signer();
        question.text = laidOut(this.inputs.signData);
        break;
      case 'signfile':
        question.certificate = await signer();
        question.file = await this.file(cutBytes(this.inputs.signFile ?? '', SIGN_FILE_BYTES), true);
        break;
      case 'signcert':
        question.certificate = await signer();
        break;
      case 'decrypt':
        question.certificate = await decryptor();
        question.length = path.length;
        break;
      case 'decryptfile':
        question.certificate = await decryptor();
        question.file = await this.file(path, false);
        question.output = await this.file(`${path}.dec`, false);
        break;
      case 'encryptfile': {
        question.file = await this.file(path, false);
        question.output = await this.file(`${path}.enc`, false);
        const given = this.inputs.encryptCN.get(instance);
        if (typeof given === 'string' && given.startsWith('PK:')) {
          question.recipient = {bareKey: true};
        } else if (typeof given === 'string' && given.length >= 256) {
          question.recipient = (await this.ask({op: 'certificate', der: given})).certificate ?? null;
        } else {
          const serial = (await this.ask({op: 'get', instance, name: 'EncryptCN'})).result ?? '';
          question.recipient = await this.certificate(serial, ['CA', 'TrustedPublisher', 'Root', 'Trust'], false);
        }
        break;
      }
      default:
        break;
    }
    return question;
  }

  ask(request) {
    return new Promise((resolve, reject) => this.send({...request, origin: this.origin}, {resolve, reject}));
  }

  send(request, waiter) {
    if (this.closed) {
      this.settle(waiter, {error: 'the page is gone'});
      return;
    }
    try {
      if (!this.native) this.open();
    } catch (error) {
      this.settle(waiter, {error: String(error?.message ?? error)});
      return;
    }
    const id = this.nextHostId++;
    this.pending.set(id, waiter);
    try {
      this.native.postMessage({id, ...request});
    } catch (error) {
      this.pending.delete(id);
      this.settle(waiter, {error: `the velmor host cannot be reached: ${error?.message ?? error}`});
    }
  }

  open() {
    if (liveHosts.size >= MAX_HOSTS) {
      throw new Error(`too many pages use velmor at once (at most ${MAX_HOSTS}): close one and try again`);
    }
    const native = chrome.runtime.connectNative(HOST_NAME);
    this.native = native;
    liveHosts.add(this);
    native.onMessage.addListener((message) => this.onHostMessage(message));
    native.onDisconnect.addListener(() => {
      const why = chrome.runtime.lastError?.message ?? 'it stopped';
      if (this.native === native) {
        this.native = null;
        liveHosts.delete(this);
        // A new host starts with empty inputs.
        this.inputs = {signData: null, signFile: null, encryptCN: new Map()};
      }
      this.chunks = null;
      const pending = [...this.pending.values()];
      this.pending.clear();
      for (const waiter of pending) this.settle(waiter, {error: `the velmor host ended: ${why}`});
    });
  }

  onHostMessage(message) {
    if (message && Number.isInteger(message.chunks) && 'chunk' in message) {
      this.onChunk(message);
      return;
    }
    this.deliver(message);
  }

  // Answers longer than the browser lets a host send arrive as {id, chunk: k, chunks: n, data},
  // k = 0..n-1 in turn; the joined data is the answer's JSON text.
  onChunk({id, chunk, chunks, data}) {
    if (chunk === 0) this.chunks = {id, parts: [], count: chunks};
    const c = this.chunks;
    if (!c || c.id !== id || c.count !== chunks || chunk !== c.parts.length || typeof data !== 'string') {
      this.chunks = null;
      this.failOne(id, 'the velmor host sent a broken chunked answer');
      return;
    }
    c.parts.push(data);
    if (c.parts.length < c.count) return;
    this.chunks = null;
    let answer;
    try {
      answer = JSON.parse(c.parts.join(''));
    } catch {
      this.failOne(id, 'the velmor host sent a chunked answer that is not JSON');
      return;
    }
    this.deliver(answer);
  }

  failOne(id, error) {
    const waiter = this.pending.get(id);
    if (!waiter) return;
    this.pending.delete(id);
    this.settle(waiter, {error});
  }

  deliver(answer) {
    const waiter = this.pending.get(answer?.id);
    if (!waiter) return;
    this.pending.delete(answer.id);
    this.settle(waiter, answer);
  }

  settle(waiter, answer) {
    if (waiter.resolve) {
      if ('error' in answer) waiter.reject(new Error(answer.error));
      else waiter.resolve(answer);
      return;
    }
    waiter.onAnswer?.(answer);
    const reply = {id: waiter.pageId};
    if ('error' in answer) reply.error = String(answer.error);
    else if ('result' in answer) reply.result = answer.result;
    else reply.ok = answer.ok === true;
    this.answerPage(reply);
  }

  answerPage(reply) {
    try {
      this.port.postMessage(reply);
    } catch {
      // The page went away; close() follows.
    }
  }

  // close ends the page's question and its host process with the page: the browser closes the
  // host's input. Nothing queued after this starts a host.
  close() {
    this.closed = true;
    for (const [token, entry] of questions) {
      if (entry.connection === this) finish(token, {decision: null});
    }
    const native = this.native;
    this.native = null;
    liveHosts.delete(this);
    this.pending.clear();
    if (native) native.disconnect();
  }
}

chrome.runtime.onConnect.addListener(async (port) => {
  const [name, context] = port.name.split('/');
  if (name !== PORT_NAME || port.sender?.id !== chrome.runtime.id || !port.sender?.tab) {
    port.disconnect();
    return;
  }
  // Listen at once, decide after: messages sent while the policy is read must not be lost.
  const early = [];
  const keep = (message) => early.push(message);
  port.onMessage.addListener(keep);
  let gone = false;
  port.onDisconnect.addListener(() => { gone = true; });
  const {origin, top, ok} = await admitted(port.sender, context === 'secure');
  port.onMessage.removeListener(keep);
  if (gone) return;
  if (!ok) {
    // The port stays open to refuse: a message that comes after the check (Firefox may deliver
    // the page's first one only then) must hear why, not that the extension stopped.
    const refuse = (message) => {
      try {
        port.postMessage({id: message?.id ?? null, error: `velmor is not available to ${origin}`});
      } catch {
        // The page went away.
      }
    };
    early.forEach(refuse);
    port.onMessage.addListener(refuse);
    return;
  }
  const connection = new PageConnection(port, origin, top);
  for (const message of early) connection.onPageMessage(message);
});
