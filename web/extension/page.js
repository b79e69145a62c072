// window.velmor in the page's own world. A page creates controls and drives them with the
// control's 18 members; each getter and method answers with the control's result string.
//
//   const ctl = await window.velmor.create();
//   await ctl.put('SignData', 'Pay 100.00 EUR');
//   const result = await ctl.get('SignData');   // "A:00000064Pay 100.00 EUR ... " or "E:0003"
//   ctl.release();
//
// A request the user refused answers "E:DENIED"; one refused without asking, after three
// refusals in a row, answers "E:THROTTLED" for a minute.
(() => {
  'use strict';
  if (Object.prototype.hasOwnProperty.call(window, 'velmor')) return;

  // Taken now, before any script of the page runs, so that a page that replaces them later does
  // not break its own controls.
  const Channel = MessageChannel;
  const postToWindow = window.postMessage.bind(window);
  const origin = location.origin;
  const freeze = Object.freeze;

  class VelmorError extends Error {
    constructor(message) {
      super(message);
      this.name = 'VelmorError';
    }
  }

  // How long the extension's bridge has to answer the page's first message: it does so at once
  // unless the message never reaches it.
  const READY_MS = 3000;

  let port = null;
  let ready = null;  // settles when the bridge has the channel
  let nextId = 1;
  let nextInstance = 0;
  const waiting = new Map();  // request id -> {resolve, reject}

  function channel() {
    if (!port) {
      const pair = new Channel();
      port = pair.port1;
      let bridged;
      ready = new Promise((resolve, reject) => {
        bridged = resolve;
        setTimeout(() => reject(new VelmorError(
            'the velmor extension does not answer this page: a page whose content security policy ' +
            'sandboxes it cannot use velmor')), READY_MS);
      });
      ready.catch(() => {});
      port.onmessage = (event) => {
        const answer = event.data;
        if (answer?.velmor === 'ready') {
          bridged();
          return;
        }
        const w = waiting.get(answer?.id);
        if (!w) return;
        waiting.delete(answer.id);
        if (typeof answer.error === 'string') w.reject(new VelmorError(answer.error));
        else w.resolve(answer);
      };
      if (origin === 'null') {
        ready = Promise.reject(new VelmorError('velmor is not available to a sandboxed page (its origin is opaque)'));
        ready.catch(() => {});
      } else {
        postToWindow({velmor: 'connect'}, origin, [pair.port2]);
      }
    }
    return port;
  }

  function request(fields) {
    const to = channel();
    return ready.then(() => new Promise((resolve, reject) => {
      const id = nextId++;
      waiting.set(id, {resolve, reject});
      to.postMessage({...fields, id});
    }));
  }

  const text = (v) => (v === null || v === undefined ? null : String(v));

  class Control {
    #instance;
    #released = false;
    constructor(instance) {
      this.#instance = instance;
    }
    #live() {
      if (this.#released) throw new VelmorError('the control was released');
      return this.#instance;
    }
    // put sets a property (SignData, CN, SignFile, EncryptCN, DecryptCN, IssuerCN, Copyright,
    // Signature); null or undefined passes an absent value.
    async put(name, value) {
      await request({op: 'put', instance: this.#live(), name: String(name), value: text(value)});
    }
    // get reads a property; the getters of SignData, Signature and SignFile sign (after the
    // user allows it). A get of a method is refused.
    async get(name) {
      return (await request({op: 'get', instance: this.#live(), name: String(name)})).result;
    }
    // call invokes a method with text arguments.
    async call(name, ...args) {
      const answer = await request({
        op: 'call', instance: this.#live(), name: String(name), args: args.map(text),
      });
      return answer.result;
    }
    // release destroys the control; the page's inputs (SignData, CN...) stay for its others.
    release() {
      if (this.#released) return Promise.resolve();
      this.#released = true;
      return request({op: 'release', instance: this.#instance}).then(() => {}, () => {});
    }
  }
  freeze(Control.prototype);

  // create makes a control and answers once the host has it; it fails with a VelmorError when
  // the host is not installed or the control not registered.
  async function create() {
    const control = new Control(nextInstance++);
    await control.get('Copyright');
    return control;
  }

  const velmor = freeze({version: '2.0.0', create, VelmorError});
  Object.defineProperty(window, 'velmor', {value: velmor, enumerable: false, configurable: false, writable: false});
})();
