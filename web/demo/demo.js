// The demonstration page: lists the user's signing certificates, signs a text and verifies the
// signature and the PKCS #7 message, seals and opens a text, and shows every result string.
import {cnText, parseCertList, parseResult, velmor} from '../velmor.js';

const $ = (id) => document.getElementById(id);
const state = {ctl: null, serial: null, signedText: null, signatureHex: null, message: null, certificate: null};
let requests = 0;

function status(text, failed = false) {
  $('status').textContent = text;
  $('status').className = failed ? 'failed' : '';
}

// log shows one request and its answer; every result string appears whole.
function log(request, result) {
  const row = $('log').tBodies[0].insertRow();
  row.insertCell().textContent = String(++requests);
  row.insertCell().textContent = request;
  const parsed = result === undefined ? null : parseResult(result, request.replace(/^(get|call) |\(.*$/g, ''));
  row.insertCell().textContent = parsed ? parsed.kind + (parsed.code ? ' ' + parsed.code : '') : 'ok';
  const box = document.createElement('div');
  box.textContent = result ?? '';
  row.insertCell().append(box);
  if (parsed && !parsed.ok) row.className = 'error';
  return parsed;
}

function show(member, result) {
  const out = $(`out-${member}`);
  out.textContent = result;
  out.className = parseResult(result, member).ok ? 'ok' : 'error';
}

async function control() {
  if (!state.ctl) state.ctl = await velmor.create();
  return state.ctl;
}
const brief = (t) => (typeof t === 'string' && t.length > 40 ? JSON.stringify(t.slice(0, 37)) + '…' : JSON.stringify(t));

async function put(name, value) {
  await (await control()).put(name, value);
  log(`put ${name} = ${brief(value)}`);
}
async function get(name) {
  const result = await (await control()).get(name);
  log(`get ${name}`, result);
  return result;
}
async function call(name, ...args) {
  const result = await (await control()).call(name, ...args);
  log(`call ${name}(${args.map(brief).join(', ')})`, result);
  return result;
}

async function selectCertificate(entry) {
  state.serial = entry.serial;
  await put('CN', cnText(entry.name, entry.serial));
  await put('DecryptCN', entry.serial);
}

async function listCertificates() {
  const result = await call('getCertList');
  const body = $('certs').tBodies[0];
  body.replaceChildren();
  const list = parseResult(result, 'getCertList').ok ? parseCertList(result) : [];
  list.forEach((entry, i) => {
    const row = body.insertRow();
    const radio = document.createElement('input');
    radio.type = 'radio';
    radio.name = 'cert';
    radio.value = entry.serial;
    radio.addEventListener('change', () => selectCertificate(entry).catch(fail));
    row.insertCell().append(radio);
    row.insertCell().textContent = entry.name;
    row.insertCell().textContent = entry.serial;
    if (i === 0) radio.checked = true;
  });
  if (list.length > 0) await selectCertificate(list[0]);
  status(list.length ? `${list.length} signing certificate(s)` : 'No signing certificate found', list.length === 0);
}

async function sign() {
  if (!state.serial) await listCertificates();
  await put('SignData', $('signdata').value);
  const signed = await get('SignData');
  show('SignData', signed);
  const parsed = parseResult(signed, 'SignData');
  if (parsed.ok) [state.signedText, state.signatureHex] = parsed.fields;
  const signature = await get('Signature');
  show('Signature', signature);
  state.message = await call('PKCS7Data');
  show('PKCS7Data', state.message);
  const certificate = await call('SignCert');
  show('SignCert', certificate);
  state.certificate = parseResult(certificate, 'SignCert').fields[0];
}

async function verify() {
  if (!state.message) await sign();
  show('VerifySignature', await call('VerifySignature', state.signedText ?? '', state.signatureHex ?? '', state.certificate ?? ''));
  await put('IssuerCN', $('issuer').value.trim());
  show('VerifyPKCS7', await call('VerifyPKCS7', state.message ?? ''));
}

async function encrypt() {
  if (!state.certificate) await sign();
  await put('EncryptCN', state.certificate);
  const sealed = await call('Encrypt', $('plain').value);
  show('Encrypt', sealed);
  show('Decrypt', await call('Decrypt', sealed));
}

function fail(error) {
  status(String(error?.message ?? error), true);
  log(`failed: ${error?.message ?? error}`);
}

function button(id, action) {
  $(id).addEventListener('click', async () => {
    $(id).disabled = true;
    try {
      await action();
    } catch (error) {
      fail(error);
    } finally {
      $(id).disabled = false;
    }
  });
}

button('list', listCertificates);
button('sign', sign);
button('verify', verify);
button('encrypt', encrypt);
$('issuer').value = new URLSearchParams(location.search).get('issuer') ?? '';
if (velmor.available()) status(`velmor is available to ${location.origin}`);
else status(`velmor is not available to ${location.origin}`, true);
