// velmor.d.ts as a bank's page uses it: `tsc --strict --noEmit` must accept every line here and
// refuse each one marked @ts-expect-error.
import {cnText, DENIED, parseCertList, parseResult, velmor, VelmorError} from '../../web/velmor.js';
import type {Control, ParsedResult} from '../../web/velmor.js';

export async function sign(serial: string): Promise<string | null> {
  if (!velmor.available()) return null;
  const ctl: Control = await velmor.create();
  await ctl.put('CN', cnText('Alice', serial));
  await ctl.put('SignData', 'Pay 100.00 EUR');
  await ctl.put('SignFile', null);
  const signed: ParsedResult = parseResult(await ctl.get('SignData'), 'SignData');
  if (signed.kind === 'E' && signed.code === 'DENIED') return DENIED;
  const lastError: number | undefined = parseResult(await ctl.get('Signature')).lastError;
  const sealed = await ctl.call('Encrypt', signed.fields[0] ?? '');
  await ctl.call('VerifySignature', 'text', 'AB', 'MII');
  const names: string[] = parseCertList(await ctl.call('getCertList')).map((c) => c.name);
  // @ts-expect-error Encrypt takes its text
  await ctl.call('Encrypt');
  // @ts-expect-error no such member
  await ctl.call('SignEverything');
  // @ts-expect-error SignCert is a method, not a property
  await ctl.get('SignCert');
  // @ts-expect-error values are texts
  await ctl.put('SignData', 42);
  await ctl.release();
  return `${sealed}${names.join()}${lastError ?? ''}`;
}

export function isVelmorError(e: unknown): boolean {
  return e instanceof VelmorError && e.name === 'VelmorError';
}
