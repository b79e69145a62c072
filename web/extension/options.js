// The options page: the sites the user allowed (typed here), what the user remembered (refusals,
// and sites that may read the certificate list), each revocable, and the bank's lists.
import {addUserOrigin, forget, readPolicy, readRemembered, removeUserOrigin} from './policy.js';

// The texts come from the catalogue through t() (i18n.js, loaded before this module).
const KINDS = {refuse: 'kindRefuse', certlist: 'kindCertlist'};
const $ = (id) => document.getElementById(id);

function list(id, items, action) {
  const ul = $(id);
  ul.replaceChildren();
  for (const item of items.length ? items : [null]) {
    const li = document.createElement('li');
    li.textContent = item ?? t('none');
    if (item !== null && action) {
      li.dataset.origin = item;
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'remove';
      button.textContent = t('remove');
      button.setAttribute('aria-label', t('removeOrigin', item));
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
    row.insertCell().textContent = t(KINDS[kind]);
    row.insertCell().textContent = new Date(time).toLocaleString(LANGUAGE);
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'revoke';
    button.textContent = t('revoke');
    button.setAttribute('aria-label', t('revokeFor', origin));
    button.addEventListener('click', () => forget(kind, origin));
    row.insertCell().append(button);
  }
  $('nothing-remembered').hidden = remembered.length > 0;
}

$('add-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const entry = await addUserOrigin($('new-origin').value);
  $('add-error').textContent = entry ? '' : t('badOrigin');
  $('add-status').textContent = entry ? t('originAdded', entry) : '';
  if (entry) $('new-origin').value = '';
});

chrome.storage.onChanged.addListener(() => show());
show();
