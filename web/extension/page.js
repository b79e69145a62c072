// window.velmor in the page's own world. A page creates controls and drives them with the
// control's 18 members; each getter and method answers with the control's result string.
//
//   const ctl = await window.velmor.create();
//   await ctl.put('SignData', 'Pay 100.00 EUR');
//   const result = await ctl.get('SignData');   // "A:00000064Pay 100.00 EUR ... " or "E:0003"
//   ctl.release();
//
// A private-key request that the user refused answers "E:DENIED".
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

  let port = null;
  let nextId = 1;
  let nextInstance = 0;
  const waiting = new Map();  // request id -> {resolve, reject}

  function channel() {
    if (!port) {
      const pair = new Channel();
      port = pair.port1;
      port.onmessage = (event) => {
        const answer = event.data;
        const w = waiting.get(answer?.id);
        if (!w) return;
        waiting.delete(answer.id);
        if (typeof answer.error === 'string') w.reject(new VelmorError(answer.error));
        else w.resolve(answer);
      };
      postToWindow({velmor: 'connect'}, origin, [pair.port2]);
    }
    return port;
  }

  function request(fields) {
    return new Promise((resolve, reject) => {
      const id = nextId++;
      waiting.set(id, {resolve, reject});
      channel().postMessage({...fields, id});
    });
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
    // get reads a property; the getters of SignData, Signature and SignFile sign.
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
