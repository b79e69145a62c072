// The options page: lists the remembered consent decisions and revokes them, and shows the
// policy's lists.
import {readDecisions, readPolicy, revokeDecision} from './policy.js';

function list(id, items) {
  const ul = document.getElementById(id);
  ul.replaceChildren();
  for (const item of items.length ? items : ['(none)']) {
    const li = document.createElement('li');
    li.textContent = item;
    ul.append(li);
  }
}

async function show() {
  const decisions = await readDecisions();
  const body = document.querySelector('#decisions tbody');
  body.replaceChildren();
  const origins = Object.keys(decisions).sort();
  for (const origin of origins) {
    const row = body.insertRow();
    row.dataset.origin = origin;
    row.insertCell().textContent = origin;
    row.insertCell().textContent = decisions[origin].decision;
    row.insertCell().textContent = new Date(decisions[origin].time).toLocaleString();
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = 'Revoke';
    button.className = 'revoke';
    button.addEventListener('click', async () => {
      await revokeDecision(origin);
      await show();
    });
    row.insertCell().append(button);
  }
  document.getElementById('no-decisions').hidden = origins.length > 0;
  const policy = await readPolicy();
  list('allowed', policy.allowedText);
  list('preapproved', policy.preapprovedText);
}

chrome.storage.onChanged.addListener(() => show());
show();
