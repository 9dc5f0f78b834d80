// Intent ids: what names one print attempt. The library never invents one on
// its own; callers make one with newIntentId() and keep it with the order it
// prints for, so that a retry after a lost answer reuses it.

import { INTENT_ID_MAX_BYTES } from './limits.js';

// ASCII only, so the length in characters is the length in bytes.
const ALLOWED = /^[A-Za-z0-9\-.:_]+$/;

/** The host's identifier rule: 1 to `max` ASCII letters, digits, "-", ".", ":" or "_". */
export function isValidId(id: string, max = INTENT_ID_MAX_BYTES): boolean {
  return id.length <= max && ALLOWED.test(id);
}

/**
 * A fresh intent id: an optional prefix (for example the order number), the
 * time, and 96 random bits, e.g. "order-1234.lq3k1z.9f2c4e1a0b7d5e3f6a8c1b2d".
 */
export function newIntentId(prefix = 'print'): string {
  const random = new Uint8Array(12);
  globalThis.crypto.getRandomValues(random);
  let hex = '';
  for (const b of random) hex += b.toString(16).padStart(2, '0');
  const id = `${prefix}.${Date.now().toString(36)}.${hex}`;
  if (!isValidId(id)) throw new TypeError('The intent id prefix must be ASCII letters, digits, "-", ".", ":" or "_".');
  return id;
}
