// The bridge between a page's window.velmor and the extension's background, in the extension's
// own world of the page. window.velmor hands it one end of a MessageChannel; it opens one port
// to the background for the page (frame) and relays both ways. The background sees the frame's
// origin as the browser reports it, so nothing here vouches for the page.
(() => {
  if (globalThis.velmorBridgeStarted) return;
  globalThis.velmorBridgeStarted = true;

  let background = null;  // the page's one port to the background, opened on first use
  let page = null;        // the page's end of the channel, the latest one handed over
  const unanswered = new Set();  // ids of the requests sent and not answered yet

  function toPage(answer) {
    unanswered.delete(answer?.id);
    page?.postMessage(answer);
  }

  function toBackground(message) {
    if (!background) {
      // Secure or not is this frame's own state as the browser knows it.
      background = chrome.runtime.connect({name: `velmor/${isSecureContext ? 'secure' : 'insecure'}`});
      background.onMessage.addListener(toPage);
      background.onDisconnect.addListener(() => {
        // The background went away (the browser stopped it, or the extension was reloaded):
        // every request on the way gets an answer, and the next one connects afresh.
        background = null;
        for (const id of [...unanswered]) toPage({id, error: 'the velmor extension stopped; its controls are gone'});
      });
    }
    unanswered.add(message?.id);
    background.postMessage(message);
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window || event.data?.velmor !== 'connect' || event.ports.length !== 1) return;
    page?.close();
    page = event.ports[0];
    page.onmessage = (e) => toBackground(e.data);
    // window.velmor waits for this before its first request: a page that drops the message (a
    // CSP sandbox does) learns so at once instead of never.
    page.postMessage({velmor: 'ready'});
  });

  // A frame gets window.velmor from the background, once it has checked the tab's top-level
  // page as well as the frame.
  if (window !== window.top) chrome.runtime.sendMessage({type: 'frame', secure: isSecureContext}).catch(() => {});
})();
