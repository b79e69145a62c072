// The options page: the sites the user allowed (typed here), what the user remembered (refusals,
// and sites that may read the certificate list), each revocable, and the bank's lists.
import {addUserOrigin, forget, readPolicy, readRemembered, removeUserOrigin} from './policy.js';

// Every text of the page, in one place.
const TEXTS = {
  title: 'velmor: sites and decisions',
  sitesHeading: 'Sites you allow',
  sitesNote: 'Only these sites, and those your bank sets, may ask to use velmor. Type an https ' +
             'address (https://bank.example), or http://localhost or http://127.0.0.1 with its port.',
  add: 'Allow this site',
  remove: 'Remove',
  badOrigin: 'Not taken: an https origin, or http://localhost:PORT or http://127.0.0.1:PORT.',
  rememberedHeading: 'What you remembered',
  rememberedNote: 'Each signature, decryption and file is asked on its own; only these answers are remembered.',
  colSite: 'Site',
  colWhat: 'Decision',
  colSince: 'Since',
  kinds: {refuse: 'always refused', certlist: 'may read your certificate list'},
  revoke: 'Revoke',
  nothingRemembered: 'Nothing is remembered.',
  policyHeading: 'Set by your bank or administrator',
  allowedLabel: 'Sites that may use velmor:',
  preapprovedLabel: 'Sites that may use your key without asking:',
  sessionLabel: 'Sites where one Allow lasts until the page is closed:',
  none: '(none)',
};

const $ = (id) => document.getElementById(id);
for (const [id, key] of [['title', 'title'], ['sites-heading', 'sitesHeading'], ['sites-note', 'sitesNote'],
                         ['add-origin', 'add'], ['remembered-heading', 'rememberedHeading'],
                         ['remembered-note', 'rememberedNote'], ['col-site', 'colSite'], ['col-what', 'colWhat'],
                         ['col-since', 'colSince'], ['nothing-remembered', 'nothingRemembered'],
                         ['policy-heading', 'policyHeading'], ['allowed-label', 'allowedLabel'],
                         ['preapproved-label', 'preapprovedLabel'], ['session-label', 'sessionLabel']]) {
  $(id).textContent = TEXTS[key];
}
document.title = TEXTS.title;

function list(id, items, action) {
  const ul = $(id);
  ul.replaceChildren();
  for (const item of items.length ? items : [null]) {
    const li = document.createElement('li');
    li.textContent = item ?? TEXTS.none;
    if (item !== null && action) {
      li.dataset.origin = item;
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'remove';
      button.textContent = TEXTS.remove;
      button.addEventListener('click', () => action(item));
      li.append(' ', button);
    }
    ul.append(li);
  }
}

async function show() {
  const policy = await readPolicy();
  list('user-origins', policy.userText, (entry) => removeUserOrigin(entry));
  list('allowed', policy.managedText);
  list('preapproved', policy.preapprovedText);
  list('session', policy.sessionText);
  const remembered = await readRemembered();
  const body = document.querySelector('#remembered tbody');
  body.replaceChildren();
  for (const {kind, origin, time} of remembered) {
    const row = body.insertRow();
    row.dataset.origin = origin;
    row.dataset.kind = kind;
    row.insertCell().textContent = origin;
    row.insertCell().textContent = TEXTS.kinds[kind];
    row.insertCell().textContent = new Date(time).toLocaleString();
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'revoke';
    button.textContent = TEXTS.revoke;
    button.addEventListener('click', () => forget(kind, origin));
    row.insertCell().append(button);
  }
  $('nothing-remembered').hidden = remembered.length > 0;
}

$('add-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const entry = await addUserOrigin($('new-origin').value);
  $('add-error').textContent = entry ? '' : TEXTS.badOrigin;
  if (entry) $('new-origin').value = '';
});

chrome.storage.onChanged.addListener(() => show());
show();
