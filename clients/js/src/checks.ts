// The caller's input, checked before anything is encoded or sent: a wrong
// type or number is a BAD_REQUEST a user interface can switch on, never a
// TypeError or RangeError thrown from deep inside encoding or a timer.

import { PrintHostError } from './errors.js';
import { isValidId } from './ids.js';
import { COPIES_MAX, COPIES_MIN, DPI_MAX, DPI_MIN, INTENT_ID_MAX_BYTES } from './limits.js';

// Timers take at most a signed 32-bit delay; a longer one fires at once.
const MAX_TIMER_MS = 2 ** 31 - 1;

export function badRequest(message: string): PrintHostError {
  return new PrintHostError('BAD_REQUEST', message, 'fix-the-request');
}

/** A size in bytes as messages give it: "8 MiB", "64 KiB", "300 bytes". */
export function sizeText(bytes: number): string {
  if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) === 0) return `${bytes / (1024 * 1024)} MiB`;
  if (bytes >= 1024 && bytes % 1024 === 0) return `${bytes / 1024} KiB`;
  return `${bytes} bytes`;
}

/** What a value is, for a message that says what was given instead. */
function shown(value: unknown): string {
  if (value === null) return 'null';
  if (typeof value === 'bigint') return `${value}n`;
  if (typeof value === 'number' || typeof value === 'boolean') return String(value);
  if (typeof value === 'string') return JSON.stringify(value.length > 40 ? `${value.slice(0, 40)}...` : value);
  return typeof value;
}

export function checkObject(value: unknown, name: string): asserts value is Record<string, unknown> {
  if (typeof value !== 'object' || value === null) throw badRequest(`${name} takes an options object, not ${shown(value)}.`);
}

export function checkString(value: unknown, name: string): asserts value is string {
  if (typeof value !== 'string') throw badRequest(`${name} must be a string, not ${shown(value)}.`);
}

/** A whole number from `min` to `max`; `undefined` passes when `optional`. */
export function checkInteger(value: unknown, name: string, min: number, max: number, optional = false): void {
  if (optional && value === undefined) return;
  if (typeof value !== 'number' || !Number.isInteger(value) || value < min || value > max) {
    throw badRequest(`${name} must be a whole number from ${min} to ${max}, not ${shown(value)}.`);
  }
}

export function checkIntentId(value: unknown, name = 'intent_id'): asserts value is string {
  if (typeof value !== 'string') throw badRequest(`${name} must be a string, not ${shown(value)}.`);
  if (!isValidId(value)) {
    throw badRequest(`${name} contains unsupported characters (1 to ${INTENT_ID_MAX_BYTES} ASCII letters, digits, ` +
      '"-", ".", ":" or "_").');
  }
}

/** Copies; left out (or null) is one. */
export function checkCopies(value: unknown): void {
  if (value !== null) checkInteger(value, 'copies', COPIES_MIN, COPIES_MAX, true);
}

export function checkDpi(value: unknown): void {
  if (typeof value !== 'number' || !(value >= DPI_MIN && value <= DPI_MAX)) {
    throw badRequest(`dpi must be a number from ${DPI_MIN} to ${DPI_MAX}, not ${shown(value)}.`);
  }
}

export function checkMilliseconds(value: unknown, name: string): void {
  if (value !== undefined && (typeof value !== 'number' || !(value >= 0 && value <= MAX_TIMER_MS))) {
    throw badRequest(`${name} must be a number of milliseconds from 0 to ${MAX_TIMER_MS}, not ${shown(value)}.`);
  }
}

/** An AbortSignal, from this realm or another one (a page's, a worker's). */
export function checkSignal(value: unknown): asserts value is AbortSignal | undefined {
  if (value === undefined) return;
  const signal = value as { aborted?: unknown; addEventListener?: unknown; removeEventListener?: unknown } | null;
  if (typeof signal !== 'object' || signal === null || typeof signal.aborted !== 'boolean' ||
    typeof signal.addEventListener !== 'function' || typeof signal.removeEventListener !== 'function') {
    throw badRequest(`signal must be an AbortSignal, not ${shown(value)}.`);
  }
}

/** The options every call takes; `undefined` is none. */
export function checkCallOptions(options: unknown, name: string): void {
  if (options === undefined) return;
  checkObject(options, name);
  checkMilliseconds(options.timeoutMs, 'timeoutMs');
  checkSignal(options.signal);
}

export function checkOneOf<T extends string>(value: unknown, name: string, allowed: readonly T[]): void {
  if (value !== undefined && !allowed.includes(value as T)) {
    throw badRequest(`${name} must be ${allowed.map((a) => `'${a}'`).join(' or ')}, not ${shown(value)}.`);
  }
}

/** A Uint8Array view of bytes given as an ArrayBuffer or a Uint8Array; a detached (transferred) buffer is refused. */
export function viewOf(data: ArrayBuffer | Uint8Array, name: string): Uint8Array {
  try {
    return data instanceof Uint8Array ? data : new Uint8Array(data);
  } catch {
    throw badRequest(`${name}'s ArrayBuffer is detached (it was transferred or freed); give the bytes again.`);
  }
}
