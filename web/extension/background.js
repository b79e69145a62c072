// The extension's background: it lets allowed pages in through content scripts, relays each
// page's requests to a native host process of its own (org.velmor.host), joins answers the host
// sends in chunks, and asks the user before a page may use a private key.
import {
  matchPattern, originMatches, originQualifies, readDecision, readPolicy, recordDecision,
  usesPrivateKey,
} from './policy.js';

const HOST_NAME = 'org.velmor.host';
const PORT_NAME = 'velmor';
const CONSENT_PAGE = chrome.runtime.getURL('consent.html');

// The answer a page gets for a private-key request its user refused. No control answers with
// it: a control's codes are four digits.
const DENIED = 'E:DENIED';

// Limits on what a page may send; the host has its own, these only keep nonsense off the pipe.
const MAX_INSTANCE = 1024;
const MAX_NAME_LENGTH = 64;
const MAX_ARGUMENTS = 8;
// The browsers' limit for one message to a native host; a longer one would cost the page its host.
const MAX_REQUEST_BYTES = 64 * 1024 * 1024;

// ---- Content scripts on the allowed origins -------------------------------------------------

const SCRIPT_IDS = ['velmor-bridge', 'velmor-page'];
// Firefox's match patterns cannot hold a port (Firefox alone has getBrowserInfo).
const PATTERNS_WITH_PORTS = typeof chrome.runtime.getBrowserInfo !== 'function';

// syncContentScripts registers the two content scripts (the bridge in the extension's world,
// window.velmor in the page's) for the origins of the current policy, replacing any earlier
// registration. Calls run one after another.
let scriptsSynced = Promise.resolve();
function syncContentScripts() {
  scriptsSynced = scriptsSynced.catch(() => {}).then(async () => {
    const {allowed} = await readPolicy();
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
    const common = {matches, runAt: 'document_start', allFrames: true};
    await chrome.scripting.registerContentScripts([
      {id: 'velmor-bridge', js: ['content.js'], world: 'ISOLATED', ...common},
      {id: 'velmor-page', js: ['page.js'], world: 'MAIN', ...common},
    ]);
  });
  return scriptsSynced;
}

syncContentScripts();
chrome.storage.onChanged.addListener((_changes, area) => {
  if (area === 'managed') syncContentScripts();
});

// ---- Consent --------------------------------------------------------------------------------

// One question on screen per origin at a time: later requests of the same origin wait for it.
const openQuestions = new Map();  // origin -> Promise<"allow"|"deny"|null>
const waitingAnswers = new Map();  // token -> {resolve, windowId}

// mayUsePrivateKey resolves true when `origin` may have a private-key request carried out: the
// policy pre-approves it, the user allowed it before, or the user allows it now in a window of
// the extension's own. A window closed without an answer refuses this request only.
async function mayUsePrivateKey(origin, describe) {
  const policy = await readPolicy();
  if (policy.preapproved.some((rule) => originMatches(origin, rule))) return true;
  const remembered = await readDecision(origin);
  if (remembered !== null) return remembered === 'allow';
  let question = openQuestions.get(origin);
  if (!question) {
    question = describe()
        .then((details) => askUser(origin, details))
        .finally(() => openQuestions.delete(origin));
    openQuestions.set(origin, question);
  }
  return (await question) === 'allow';
}

async function askUser(origin, {certificate, member}) {
  const token = crypto.randomUUID();
  const query = new URLSearchParams({token, origin, certificate, member});
  const answered = new Promise((resolve) => waitingAnswers.set(token, {resolve, windowId: null}));
  let popup;
  try {
    popup = await chrome.windows.create({
      url: `${CONSENT_PAGE}?${query}`, type: 'popup', width: 520, height: 420, focused: true,
    });
  } catch {
    waitingAnswers.delete(token);
    return null;  // no window, no consent: this request is refused, nothing is remembered
  }
  const waiting = waitingAnswers.get(token);
  if (waiting) waiting.windowId = popup.id;
  const decision = await answered;
  if (decision === 'allow' || decision === 'deny') await recordDecision(origin, decision);
  if (decision !== null) chrome.windows.remove(popup.id).catch(() => {});
  return decision;
}

chrome.runtime.onMessage.addListener((message, sender) => {
  // Only the consent page, an extension page no web page can open or script, answers.
  if (sender.id !== chrome.runtime.id || !String(sender.url ?? '').startsWith(CONSENT_PAGE)) return;
  if (message?.type !== 'consent') return;
  const waiting = waitingAnswers.get(message.token);
  if (!waiting) return;
  waitingAnswers.delete(message.token);
  waiting.resolve(message.decision === 'allow' ? 'allow' : 'deny');
});

chrome.windows.onRemoved.addListener((windowId) => {
  for (const [token, waiting] of waitingAnswers) {
    if (waiting.windowId === windowId) {
      waitingAnswers.delete(token);
      waiting.resolve(null);
    }
  }
});

// ---- One page, one host process -------------------------------------------------------------

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

// fitsTheHost tells whether a request's JSON text, with the id the background adds, stays within
// what a host may be sent. Each UTF-16 code unit of the text takes at most three bytes in UTF-8,
// so the exact count is made only for a request near the limit.
function fitsTheHost(request) {
  const text = JSON.stringify(request);
  const room = MAX_REQUEST_BYTES - 32;
  if (text.length * 3 <= room) return true;
  return new TextEncoder().encode(text).length <= room;
}

// The name of the certificate that a request about to be carried out would use, for the
// consent window: the signer that CN names, or the certificate DecryptCN names.
function certificateName(cnText) {
  // The CN getter reports two fields, each after its two-digit length: "CN=<name>" and the serial.
  const m = /^(\d\d)/.exec(cnText);
  if (!m) return '';
  const nameLength = Number(m[1]);
  const subject = cnText.slice(2, 2 + nameLength);
  const rest = cnText.slice(2 + nameLength);
  const serial = /^\d\d/.test(rest) ? rest.slice(2, 2 + Number(rest.slice(0, 2))) : '';
  const name = subject.replace(/^CN=/i, '');
  return serial ? `${name} (serial ${serial})` : name;
}

function nameFromCertList(list, serial) {
  for (const entry of list.split(';')) {
    const comma = entry.lastIndexOf(',');
    if (comma > 0 && entry.slice(comma + 1) === serial) {
      return `${entry.slice(0, comma).replace(/^CN=/i, '')} (serial ${serial})`;
    }
  }
  return serial ? `serial ${serial}` : '';
}

class PageConnection {
  constructor(port, origin) {
    this.port = port;
    this.origin = origin;
    this.native = null;
    this.nextHostId = 1;
    this.pending = new Map();  // host id -> {pageId} or {resolve} for our own questions
    this.chunks = null;  // {id, parts, count} while a chunked answer arrives
    // Requests reach the host in the order the page sent them, a consent question included.
    this.queue = Promise.resolve();
    port.onMessage.addListener((message) => this.onPageMessage(message));
    port.onDisconnect.addListener(() => this.close());
  }

  onPageMessage(message) {
    const pageId = message?.id ?? null;
    let request = validRequest(message);
    if (typeof request !== 'string' && !fitsTheHost(request)) request = 'longer than 64 MiB';
    this.queue = this.queue.then(async () => {
      if (typeof request === 'string') {
        this.answerPage({id: pageId, error: `malformed request: ${request}`});
        return;
      }
      if (usesPrivateKey(request) &&
          !(await mayUsePrivateKey(this.origin, () => this.describe(request)))) {
        this.answerPage({id: pageId, result: DENIED});
        return;
      }
      this.send(request, {pageId});
    }).catch((error) => this.answerPage({id: pageId, error: String(error?.message ?? error)}));
  }

  // describe asks the host (after everything the page sent before) which certificate the request
  // would use.
  async describe(request) {
    const member = request.name;
    const decrypting = request.op === 'call' && /^decrypt/i.test(member);
    let certificate = '';
    try {
      if (decrypting) {
        const serial = await this.ask({op: 'get', instance: request.instance, name: 'DecryptCN'});
        const list = await this.ask({op: 'call', instance: request.instance, name: 'getCertList', args: []});
        certificate = nameFromCertList(list.startsWith('E:') ? '' : list, serial);
      } else {
        certificate = certificateName(await this.ask({op: 'get', instance: request.instance, name: 'CN'}));
      }
    } catch {
      certificate = '';
    }
    return {certificate: certificate || '(none named yet)', member};
  }

  ask(request) {
    return new Promise((resolve, reject) => this.send(request, {resolve, reject}));
  }

  send(request, waiter) {
    if (!this.native) this.open();
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
    const native = chrome.runtime.connectNative(HOST_NAME);
    this.native = native;
    native.onMessage.addListener((message) => this.onHostMessage(message));
    native.onDisconnect.addListener(() => {
      const why = chrome.runtime.lastError?.message ?? 'it stopped';
      if (this.native === native) this.native = null;
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
      if ('result' in answer) waiter.resolve(String(answer.result));
      else waiter.reject(new Error(answer.error ?? 'no result'));
      return;
    }
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

  // close ends the host process with the page: the browser closes the host's input.
  close() {
    const native = this.native;
    this.native = null;
    this.pending.clear();
    if (native) native.disconnect();
  }
}

// The origin is the one the browser reports for the frame that connected, never a page's word.
function senderOrigin(sender) {
  if (typeof sender.origin === 'string' && sender.origin !== '') return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return 'null';
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
  const origin = senderOrigin(port.sender);
  const {allowed} = await readPolicy();
  port.onMessage.removeListener(keep);
  if (!originQualifies(origin, context === 'secure') ||
      !allowed.some((rule) => originMatches(origin, rule))) {
    for (const message of early) {
      port.postMessage({id: message?.id ?? null, error: `velmor is not available to ${origin}`});
    }
    port.disconnect();
    return;
  }
  const connection = new PageConnection(port, origin);
  for (const message of early) connection.onPageMessage(message);
});
