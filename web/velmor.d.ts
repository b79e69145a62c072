// Type declarations for velmor.js.

/** The result of a request that the user refused (now, or by a refusal remembered for this origin): kind "E", code "DENIED". */
export declare const DENIED: 'E:DENIED';
/** The result of a request refused without asking, for a minute after three refusals in a row: kind "E", code "THROTTLED". */
export declare const THROTTLED: 'E:THROTTLED';

/** A request that could not be carried out: velmor unavailable, host missing, unknown member... */
export declare class VelmorError extends Error {
  name: 'VelmorError';
}

/** The property names a page may put. */
export type PropertyName =
  | 'Copyright' | 'SignData' | 'CN' | 'SignFile' | 'Signature'
  | 'EncryptCN' | 'DecryptCN' | 'IssuerCN';

/** The methods and their text arguments. */
export interface Methods {
  PKCS7Data: [];
  SignCert: [];
  Encrypt: [plainText: string];
  VerifyPKCS7: [message: string];
  Decrypt: [ciphertext: string];
  EncryptFile: [fileName: string];
  DecryptFile: [fileName: string];
  VerifySignature: [message: string, signature: string, certificate: string];
  getProviderName: [];
  getCertList: [];
}

/** One control. Every getter and method resolves to a result string; see parseResult. */
export interface Control {
  /** Sets a property; null passes an absent value. */
  put(name: PropertyName, value: string | null): Promise<void>;
  /** Reads a property; SignData, Signature and SignFile sign (and may ask the user first). */
  get(name: PropertyName): Promise<string>;
  /** Calls a method; PKCS7Data, Decrypt and DecryptFile use the private key (and may ask first). */
  call<M extends keyof Methods>(name: M, ...args: Methods[M]): Promise<string>;
  /** Destroys the control. The page's inputs (SignData, CN, ...) are shared by all its controls and stay. */
  release(): Promise<void>;
}

export declare const velmor: {
  /** Whether the velmor extension serves this page. */
  available(): boolean;
  /** Creates a control; rejects with a VelmorError when velmor is not available here. */
  create(): Promise<Control>;
};

export type ResultKind = 'E' | 'A' | 'F' | 'L' | 'Base64' | 'text';

export interface ParsedResult {
  /** 'E' failure; 'A', 'F', 'L' typed payloads; 'Base64' PKCS7Data, SignCert, Encrypt; 'text' reports. */
  kind: ResultKind;
  /** false only for kind 'E'. */
  ok: boolean;
  /** For kind 'E': the four-digit code ("0003"), or "DENIED" for a refused request; else null. */
  code: string | null;
  /**
   * 'A', 'F', 'L': the length-prefixed fields, in order (none for "A:0000");
   * 'E': the words after the code ("80090016", "-2146893802");
   * 'Base64': the text without line feeds; 'text': the text.
   */
  fields: string[];
  /** For the codes followed by a Windows error: that error as a number (0x80090016). */
  lastError?: number;
  /** The result string as received. */
  text: string;
}

/** Splits a result string; `member` (e.g. 'EncryptCN') tells a report from Base64. */
export declare function parseResult(text: string, member?: string): ParsedResult;

/** Reads getCertList's "CN=<name>,<serial>;..." text. */
export declare function parseCertList(text: string): Array<{ name: string; serial: string; ambiguous: boolean }>;

/** The CN value naming a signer: "08CN=Alice" + two-digit length + serial. */
export declare function cnText(name: string, serial: string): string;
