// The consent window: shows what the background asks about and sends back the user's answer.
const params = new URLSearchParams(location.search);
const actions = {
  signdata: 'sign a text', signature: 'sign a text', signfile: 'sign a file',
  pkcs7data: 'sign a text', decrypt: 'open an encrypted text', decryptfile: 'open an encrypted file',
};
document.getElementById('origin').textContent = params.get('origin') ?? '';
document.getElementById('certificate').textContent = params.get('certificate') ?? '';
document.getElementById('action').textContent =
    actions[(params.get('member') ?? '').toLowerCase()] ?? 'use your private key';

function answer(decision) {
  chrome.runtime.sendMessage({type: 'consent', token: params.get('token'), decision});
}
document.getElementById('allow').addEventListener('click', () => answer('allow'));
document.getElementById('deny').addEventListener('click', () => answer('deny'));
