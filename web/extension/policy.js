// Which origins may use velmor and what the user has remembered. Shared by the background and
// the options page; it reads the bank's managed policy and the user's own list, never the page.
import {judge} from './members.js';

// Hosts that may be reached over plain http: the browsers count them as secure contexts. Any
// local user can serve on them, so an entry for them names its port.
const LOOPBACK_HOSTS = new Set(['localhost', '127.0.0.1']);

// usesPrivateKey tells whether a request is made with the user's private key (a signature or an
// opened envelope); false for one the extension refuses outright.
export function usesPrivateKey(request) {
  const {consent = []} = judge(request);
  return consent.includes('sign') || consent.includes('decrypt');
}

// parseOriginRule turns one allow-list entry into {scheme, host, port} (port '' for the scheme's
// default); null for an entry we do not take: not an origin, a scheme other than https, plain
// http to anything but this machine, a loopback entry without its port, or a wildcard.
export function parseOriginRule(text) {
  if (typeof text !== 'string') return null;
  const m = /^(https?):\/\/([a-z0-9.-]+|\[[0-9a-f:.]+\])(?::([0-9]{1,5}))?\/?$/i.exec(text.trim());
  if (!m) return null;
  const scheme = m[1].toLowerCase();
  const host = m[2].toLowerCase();
  let port = m[3] ?? '';
  if (scheme === 'http' && !LOOPBACK_HOSTS.has(host)) return null;
  if (LOOPBACK_HOSTS.has(host) && port === '') return null;
  if (port !== '') {
    const n = Number(port);
    if (n < 1 || n > 65535) return null;
    port = String(n);
    if ((scheme === 'https' && port === '443') || (scheme === 'http' && port === '80')) port = '';
  }
  return {scheme, host, port};
}

// ruleText: the entry as the extension keeps and shows it ("https://bank.example:8443").
export function ruleText(rule) {
  return `${rule.scheme}://${rule.host}${rule.port ? ':' + rule.port : ''}`;
}

// originMatches tells whether `origin` (as the browser reports it, scheme://host[:port]) is the
// one `rule` names.
export function originMatches(origin, rule) {
  if (!rule) return false;
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  if (url.origin !== origin) return false;  // "null", or not a bare origin
  return url.protocol === rule.scheme + ':' && url.hostname.toLowerCase() === rule.host && url.port === rule.port;
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

const USER_ORIGINS = 'userOrigins';

// readPolicy returns the lists that decide who may do what:
//   allowed: the bank's allowedOrigins and the origins the user typed in the options page;
//   preapproved: origins whose requests need no window (the bank's preapprovedOrigins);
//   session: origins for which one Allow covers the rest of the page's life for that kind of
//            request (the bank's sessionOrigins).
// Nothing is allowed by default. A browser without managed storage for us (Firefox without a
// policy file) has the user's list only.
export async function readPolicy() {
  let managed = {};
  try {
    managed = (await chrome.storage.managed.get(['allowedOrigins', 'preapprovedOrigins', 'sessionOrigins'])) ?? {};
  } catch {
    managed = {};
  }
  const user = (await chrome.storage.local.get(USER_ORIGINS))?.[USER_ORIGINS] ?? [];
  const text = (list) => (Array.isArray(list) ? list.filter((t) => typeof t === 'string') : []);
  const allowedRules = rulesOf(managed.allowedOrigins);
  const allowed = (rules) => rules.filter((r) => allowedRules.some((a) => ruleText(a) === ruleText(r)) ||
                                               rulesOf(user).some((u) => ruleText(u) === ruleText(r)));
  return {
    managedText: text(managed.allowedOrigins),
    userText: text(user),
    preapprovedText: text(managed.preapprovedOrigins),
    sessionText: text(managed.sessionOrigins),
    allowed: [...allowedRules, ...rulesOf(user)],
    preapproved: allowed(rulesOf(managed.preapprovedOrigins)),
    session: allowed(rulesOf(managed.sessionOrigins)),
  };
}

// addUserOrigin / removeUserOrigin: the user's own allow-list. addUserOrigin returns the entry
// as kept, or null for one parseOriginRule refuses.
export async function addUserOrigin(text) {
  const rule = parseOriginRule(text);
  if (!rule) return null;
  const user = (await chrome.storage.local.get(USER_ORIGINS))?.[USER_ORIGINS] ?? [];
  const entry = ruleText(rule);
  if (!user.includes(entry)) await chrome.storage.local.set({[USER_ORIGINS]: [...user, entry]});
  return entry;
}

export async function removeUserOrigin(entry) {
  const user = (await chrome.storage.local.get(USER_ORIGINS))?.[USER_ORIGINS] ?? [];
  await chrome.storage.local.set({[USER_ORIGINS]: user.filter((e) => e !== entry)});
}

// matchPattern is the content-script match pattern for one rule. Chromium matches ports;
// Firefox's patterns cannot name one, so there a rule covers every port of its host and the
// background's own check of each connection keeps to the rule's port.
export function matchPattern(rule, withPorts) {
  const port = withPorts && rule.port !== '' ? ':' + rule.port : '';
  return `${rule.scheme}://${rule.host}${port}/*`;
}

// What the user remembered, one key per origin and kind, so that two origins decided at once
// never overwrite each other:
//   "refuse:<origin>"    every request that needs consent is refused without asking;
//   "certlist:<origin>"  the origin reads the certificate list without asking.
// An Allow of a signature, a decryption or a file is never remembered.
export const REMEMBERED_KINDS = Object.freeze(['refuse', 'certlist']);

export async function readRemembered() {
  const stored = (await chrome.storage.local.get(null)) ?? {};
  const out = [];
  for (const [key, value] of Object.entries(stored)) {
    const colon = key.indexOf(':');
    const kind = key.slice(0, colon);
    if (colon > 0 && REMEMBERED_KINDS.includes(kind) && typeof value?.time === 'number') {
      out.push({kind, origin: key.slice(colon + 1), time: value.time});
    }
  }
  return out.sort((a, b) => a.origin.localeCompare(b.origin) || a.kind.localeCompare(b.kind));
}

export async function isRemembered(kind, origin) {
  const key = `${kind}:${origin}`;
  return typeof (await chrome.storage.local.get(key))?.[key]?.time === 'number';
}

export async function remember(kind, origin) {
  if (!REMEMBERED_KINDS.includes(kind)) throw new Error(`nothing of kind ${kind} is remembered`);
  await chrome.storage.local.set({[`${kind}:${origin}`]: {time: Date.now()}});
}

export async function forget(kind, origin) {
  await chrome.storage.local.remove(`${kind}:${origin}`);
}
