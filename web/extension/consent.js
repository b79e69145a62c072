// The consent window. Its address holds only a token; it asks the background for the question
// behind it, shows what the request will do (the certificate as the user's store names it, the
// whole text, the file), and sends back the user's answer. A token the background does not know
// shows nothing to approve.

// The texts come from the catalogue through t() (i18n.js); a heading and a file label per action.
const HEADINGS = {
  sign: 'headingSign', signfile: 'headingSignfile', signcert: 'headingSigncert', certlist: 'headingCertlist',
  decrypt: 'headingDecrypt', decryptfile: 'headingDecryptfile', encryptfile: 'headingEncryptfile',
};
const FILE_LABELS = {signfile: 'fileSignfile', decryptfile: 'fileDecryptfile', encryptfile: 'fileEncryptfile'};

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
  if (!file) return t('fileMissing');
  let text = file.fullPath || file.path;
  if (file.link) text += ` ${t('fileLink', file.target || '?')}`;
  if (!file.exists) text += ` ${t('fileMissing')}`;
  return text;
}

function render(q) {
  $('heading').textContent = t(HEADINGS[q.action] ?? 'consentTitle');
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
    $('certificate').textContent = t('noCertificate');
  }
  if (q.action === 'sign') {
    show('text-label');
    show('text-box');
    $('text').replaceChildren(q.text ? visible(q.text) : t('emptyText'));
  }
  if (q.file) {
    $('file-label').textContent = t(FILE_LABELS[q.action] ?? 'labelPath');
    show('file-label');
    show('file-box');
    $('path').textContent = fileText(q.file);
    $('size').textContent = typeof q.file.size === 'number' ? t('sizeBytes', q.file.size.toLocaleString(LANGUAGE)) : '—';
    $('sha256').textContent = q.file.sha256 ?? '';
    show('sha256-row', q.action === 'signfile');
  }
  if (q.output) {
    show('output-label');
    show('output');
    $('output').textContent = (q.output.fullPath || q.output.path) + (q.output.exists ? ` ${t('outputReplaces')}` : '');
  }
  if (q.action === 'encryptfile') {
    show('recipient-label');
    show('recipient');
    $('recipient').textContent = q.recipient?.bareKey ? t('recipientBareKey')
      : q.recipient ? t('recipientNamed', q.recipient.subject, q.recipient.subjectName) : t('recipientUnknown');
  }
  if (q.action === 'decrypt') $('note').textContent = t('decryptLength', q.length);
  $('note').textContent = `${$('note').textContent} ${t(q.sessionScope ? 'noteSession' : 'noteOnce')}`.trim();
  $('remember-label').textContent = t(q.certificatesOnly ? 'rememberCertList' : 'rememberRefusal');
  show('question');
}

// The remember box means "remember this refusal" for most questions and "remember this Allow"
// for the certificate list, the one Allow that may be remembered.
let certificatesOnly = false;
let answered = false;
function answer(decision) {
  if (answered) return;
  answered = true;
  const box = $('remember').checked;
  const remember = certificatesOnly ? decision === 'allow' && box : decision === 'deny' && box;
  $('status').textContent = t('answerSent');
  chrome.runtime.sendMessage({type: 'consent', token, decision, remember});
}

// While Allow is inert the status says so, and a keyboard user who was on it is put back on Deny
// (a disabled button drops the focus to the page).
let inertUntil = Infinity;
function inert() {
  if (document.activeElement === $('allow')) $('deny').focus();
  $('allow').disabled = true;
  $('status').textContent = t('allowWaiting');
  inertUntil = Date.now() + INERT_MS;
  setTimeout(() => {
    if (Date.now() < inertUntil) return;
    $('allow').disabled = false;
    $('status').textContent = '';
  }, INERT_MS);
}

chrome.runtime.sendMessage({type: 'question', token}).then((q) => {
  if (!q) {
    // The details' labels are hidden but would still be read as the description.
    $('dialog').setAttribute('aria-describedby', 'nothing');
    $('nothing').textContent = t('consentNothing');
    $('status').textContent = t('consentNothing');
    show('nothing');
    document.addEventListener('keydown', (event) => {
      if (event.key === 'Escape') window.close();
    });
    return;
  }
  certificatesOnly = q.certificatesOnly === true;
  render(q);
  // The safe choice has the focus; Escape is a refusal, whatever has the focus.
  $('deny').focus();
  inert();
  window.addEventListener('focus', inert);
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape') {
      event.preventDefault();
      answer('deny');
    }
  });
  $('allow').addEventListener('click', () => {
    if (Date.now() >= inertUntil) answer('allow');
  });
  $('deny').addEventListener('click', () => answer('deny'));
});
