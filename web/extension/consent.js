// The consent window. Its address holds only a token; it asks the background for the question
// behind it, shows what the request will do (the certificate as the user's store names it, the
// whole text, the file), and sends back the user's answer. A token the background does not know
// shows nothing to approve.

// Every text of the window, in one place.
const TEXTS = {
  title: 'velmor: allow this request?',
  nothing: 'There is nothing to approve here.',
  headings: {
    sign: 'Sign this text with your key?',
    signfile: 'Sign this file with your key?',
    signcert: 'Give this site your certificate?',
    certlist: 'Show this site the list of your certificates?',
    decrypt: 'Open an encrypted text with your key?',
    decryptfile: 'Decrypt this file with your key?',
    encryptfile: 'Encrypt this file and write the result?',
  },
  origin: 'Site',
  frame: 'Asked by a frame of',
  certificate: 'Your certificate',
  noCertificate: 'No certificate of yours has the serial the site chose: the request will fail.',
  subject: 'Name',
  issuer: 'Issued by',
  serial: 'Serial',
  valid: 'Valid to',
  text: 'Text to be signed (exactly as signed; invisible characters are shown in brackets)',
  emptyText: '(no text: nothing will be signed)',
  file: {signfile: 'File to be signed', decryptfile: 'Encrypted file', encryptfile: 'File to be encrypted'},
  path: 'Path',
  size: 'Size',
  bytes: 'bytes',
  sha256: 'SHA-256',
  missing: '(no such file)',
  link: 'a link to',
  output: 'Written to',
  replaces: '(an existing file of that name is replaced)',
  recipient: 'Encrypted for',
  bareKey: 'a public key the site supplied, with no certificate',
  unknownRecipient: 'no certificate found for the recipient the site chose',
  length: 'Encrypted text of %d characters; the opened text goes to the site.',
  noteOnce: 'Allow covers this one request only.',
  noteSession: 'Your bank lets one Allow cover requests of this kind until the page is closed.',
  rememberRefusal: 'Always refuse this site',
  rememberCertList: 'Let this site read the list without asking again',
  allow: 'Allow',
  deny: 'Deny',
};

// Allow stays inert this long after the window shows or regains focus, so that a click meant
// for the page underneath cannot land on it.
const INERT_MS = 1000;
const token = location.search.slice(1);
const $ = (id) => document.getElementById(id);
const show = (id, on = true) => { $(id).hidden = !on; };

// visible: `text` as DOM nodes with every control, format (bidirectional overrides, zero-width)
// and other invisible character replaced by a bracketed code point, never interpreted; line
// feeds are shown and kept.
function visible(text) {
  const out = document.createDocumentFragment();
  const invisible = /[\p{Cc}\p{Cf}\p{Zl}\p{Zp}\u00a0\u034f\u115f\u1160\u17b4\u17b5\u180e\u2000-\u200a\u202f\u205f\u2800\u3000\u3164\uffa0\ufe00-\ufe0f]|[\u{e0100}-\u{e01ef}]/u;
  let run = '';
  const flush = () => {
    if (run) out.append(document.createTextNode(run));
    run = '';
  };
  for (const ch of text) {
    if (!invisible.test(ch)) {
      run += ch;
      continue;
    }
    flush();
    const mark = document.createElement('span');
    mark.className = 'invisible';
    mark.textContent = `[U+${ch.codePointAt(0).toString(16).toUpperCase().padStart(4, '0')}]`;
    out.append(mark);
    if (ch === '\n') out.append(document.createTextNode('\n'));
  }
  flush();
  return out;
}

function fileText(file) {
  if (!file) return TEXTS.missing;
  let text = file.fullPath || file.path;
  if (file.link) text += ` (${TEXTS.link} ${file.target || '?'})`;
  if (!file.exists) text += ` ${TEXTS.missing}`;
  return text;
}

function render(q) {
  const h = TEXTS.headings[q.action] ?? TEXTS.title;
  $('heading').textContent = h;
  for (const [id, key] of [['origin-label', 'origin'], ['frame-label', 'frame'], ['certificate-label', 'certificate'],
                           ['subject-label', 'subject'], ['issuer-label', 'issuer'], ['serial-label', 'serial'],
                           ['valid-label', 'valid'], ['text-label', 'text'], ['path-label', 'path'],
                           ['size-label', 'size'], ['sha256-label', 'sha256'], ['output-label', 'output'],
                           ['recipient-label', 'recipient'], ['allow', 'allow'], ['deny', 'deny']]) {
    $(id).textContent = TEXTS[key];
  }
  $('origin').textContent = q.origin;
  if (q.frameOrigin) {
    $('frame').textContent = q.frameOrigin;
    show('frame-label');
    show('frame');
  }
  const usesCertificate = q.action !== 'certlist' && q.action !== 'encryptfile';
  show('certificate-label', usesCertificate);
  show('certificate', usesCertificate);
  if (usesCertificate && q.certificate) {
    $('subject').textContent = q.certificate.subject;
    $('issuer').textContent = q.certificate.issuer;
    $('serial').textContent = q.certificate.serial;
    $('valid').textContent = q.certificate.notAfter;
  } else if (usesCertificate) {
    $('certificate').textContent = TEXTS.noCertificate;
  }
  if (q.action === 'sign') {
    show('text-label');
    show('text-box');
    $('text').replaceChildren(q.text ? visible(q.text) : TEXTS.emptyText);
  }
  if (q.file) {
    $('file-label').textContent = TEXTS.file[q.action] ?? TEXTS.path;
    show('file-label');
    show('file-box');
    $('path').textContent = fileText(q.file);
    $('size').textContent = typeof q.file.size === 'number' ? `${q.file.size.toLocaleString('en')} ${TEXTS.bytes}` : '—';
    $('sha256').textContent = q.file.sha256 ?? '';
    show('sha256-row', q.action === 'signfile');
  }
  if (q.output) {
    show('output-label');
    show('output');
    $('output').textContent = (q.output.fullPath || q.output.path) + (q.output.exists ? ` ${TEXTS.replaces}` : '');
  }
  if (q.action === 'encryptfile') {
    show('recipient-label');
    show('recipient');
    $('recipient').textContent = q.recipient?.bareKey ? TEXTS.bareKey
      : q.recipient ? `${q.recipient.subject} (${q.recipient.subjectName})` : TEXTS.unknownRecipient;
  }
  if (q.action === 'decrypt') $('note').textContent = TEXTS.length.replace('%d', String(q.length));
  $('note').textContent = `${$('note').textContent} ${q.sessionScope ? TEXTS.noteSession : TEXTS.noteOnce}`.trim();
  $('remember-label').textContent = q.certificatesOnly ? TEXTS.rememberCertList : TEXTS.rememberRefusal;
  show('question');
}

// The remember box means "remember this refusal" for most questions and "remember this Allow"
// for the certificate list, the one Allow that may be remembered.
let certificatesOnly = false;
function answer(decision) {
  const box = $('remember').checked;
  const remember = certificatesOnly ? decision === 'allow' && box : decision === 'deny' && box;
  chrome.runtime.sendMessage({type: 'consent', token, decision, remember});
}

let inertUntil = Infinity;
function inert() {
  $('allow').disabled = true;
  inertUntil = Date.now() + INERT_MS;
  setTimeout(() => {
    if (Date.now() >= inertUntil) $('allow').disabled = false;
  }, INERT_MS);
}

document.title = TEXTS.title;
chrome.runtime.sendMessage({type: 'question', token}).then((q) => {
  if (!q) {
    $('heading').textContent = TEXTS.title;
    $('nothing').textContent = TEXTS.nothing;
    show('nothing');
    return;
  }
  certificatesOnly = q.certificatesOnly === true;
  render(q);
  inert();
  window.addEventListener('focus', inert);
  $('allow').addEventListener('click', () => {
    if (Date.now() >= inertUntil) answer('allow');
  });
  $('deny').addEventListener('click', () => answer('deny'));
});
