// Which origins may use velmor, and which members touch a private key. Shared by the background
// and the options page; it reads the bank's managed policy but never the page.

// The development default: pages served from this machine, on any port.
export const DEFAULT_ALLOWED_ORIGINS = Object.freeze(['http://localhost:*', 'http://127.0.0.1:*']);

// Hosts that may be reached over plain http: the browsers count them as secure contexts, and
// nothing between the page and this machine can rewrite what they serve.
const LOOPBACK_HOSTS = new Set(['localhost', '127.0.0.1']);

// The members whose answer is made with the user's private key: the getters of SignData,
// Signature and SignFile sign, and so do PKCS7Data; Decrypt and DecryptFile open envelopes.
// Member names are matched as the control matches them, without regard to case.
const PRIVATE_KEY_GETS = new Set(['signdata', 'signature', 'signfile']);
const PRIVATE_KEY_CALLS = new Set(['pkcs7data', 'decrypt', 'decryptfile']);

// usesPrivateKey tells whether a (validated) request needs the user's consent.
export function usesPrivateKey(request) {
  const name = String(request.name ?? '').toLowerCase();
  if (request.op === 'get') return PRIVATE_KEY_GETS.has(name);
  if (request.op === 'call') return PRIVATE_KEY_CALLS.has(name);
  return false;
}

// parseOriginRule turns one allow-list entry into {scheme, host, port}, port being '*' for any
// port or the port as written ('' for the scheme's default); null for an entry we do not take:
// not an origin, a scheme other than https, or plain http to anything but this machine.
export function parseOriginRule(text) {
  if (typeof text !== 'string') return null;
  const m = /^(https?):\/\/([a-z0-9.-]+|\[[0-9a-f:.]+\])(?::(\*|[0-9]{1,5}))?\/?$/i.exec(text.trim());
  if (!m) return null;
  const scheme = m[1].toLowerCase();
  const host = m[2].toLowerCase();
  let port = m[3] ?? '';
  if (scheme === 'http' && !LOOPBACK_HOSTS.has(host)) return null;
  if (port !== '*' && port !== '') {
    const n = Number(port);
    if (n < 1 || n > 65535) return null;
    port = String(n);
    if ((scheme === 'https' && port === '443') || (scheme === 'http' && port === '80')) port = '';
  }
  return {scheme, host, port};
}

// originMatches tells whether `origin` (as the browser reports it, scheme://host[:port]) is one
// that `rule` lets in.
export function originMatches(origin, rule) {
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  if (url.origin !== origin) return false;  // "null", or not a bare origin
  return url.protocol === rule.scheme + ':' && url.hostname.toLowerCase() === rule.host &&
         (rule.port === '*' || url.port === rule.port);
}

// originQualifies tells whether a frame of `origin` may use velmor at all: a secure context, or
// plain http to this machine.
export function originQualifies(origin, secureContext) {
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  if (url.protocol === 'https:') return secureContext === true;
  return url.protocol === 'http:' && LOOPBACK_HOSTS.has(url.hostname);
}

function rulesOf(list) {
  return (Array.isArray(list) ? list : []).map(parseOriginRule).filter((r) => r !== null);
}

// readPolicy returns {allowed, preapproved} (lists of rules) from the managed policy, the
// default allow-list where the policy sets none. A browser without managed storage for us
// (Firefox without a policy file) has the default.
export async function readPolicy() {
  let managed = {};
  try {
    managed = (await chrome.storage.managed.get(['allowedOrigins', 'preapprovedOrigins'])) ?? {};
  } catch {
    managed = {};
  }
  const allowed = Array.isArray(managed.allowedOrigins) ? managed.allowedOrigins
                                                        : DEFAULT_ALLOWED_ORIGINS;
  return {
    allowedText: allowed.slice(),
    preapprovedText: Array.isArray(managed.preapprovedOrigins) ? managed.preapprovedOrigins.slice() : [],
    allowed: rulesOf(allowed),
    preapproved: rulesOf(managed.preapprovedOrigins),
  };
}

// matchPattern is the content-script match pattern for one rule. Chromium matches ports;
// Firefox's patterns cannot name one, so there a rule covers every port of its host and the
// background's own check of each connection keeps to the rule's port.
export function matchPattern(rule, withPorts) {
  const port = withPorts && rule.port !== '*' && rule.port !== '' ? ':' + rule.port : '';
  return `${rule.scheme}://${rule.host}${port}/*`;
}

// Consent decisions live in the extension's local storage, one key per origin
// ("consent:https://bank.example" -> {decision, time}, decision "allow" or "deny"), so that two
// origins decided at once never overwrite each other.
const DECISION_PREFIX = 'consent:';

// readDecisions returns {origin: {decision, time}} for every remembered origin.
export async function readDecisions() {
  const stored = (await chrome.storage.local.get(null)) ?? {};
  const decisions = {};
  for (const [key, value] of Object.entries(stored)) {
    if (key.startsWith(DECISION_PREFIX) && (value?.decision === 'allow' || value?.decision === 'deny')) {
      decisions[key.slice(DECISION_PREFIX.length)] = value;
    }
  }
  return decisions;
}

// readDecision returns "allow", "deny" or null for one origin.
export async function readDecision(origin) {
  const key = DECISION_PREFIX + origin;
  const value = (await chrome.storage.local.get(key))?.[key];
  return value?.decision === 'allow' || value?.decision === 'deny' ? value.decision : null;
}

export async function recordDecision(origin, decision) {
  await chrome.storage.local.set({[DECISION_PREFIX + origin]: {decision, time: Date.now()}});
}

export async function revokeDecision(origin) {
  await chrome.storage.local.remove(DECISION_PREFIX + origin);
}
