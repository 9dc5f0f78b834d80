// One error class for everything that can go wrong, with the host's code and
// a `kind` a user interface can switch on.

import type { PrintPdfPart } from './pdf_result.js';
import type { JobRecord } from './wire.js';

/** What some failures carry besides their code. */
export interface PrintErrorDetails {
  /** JOB_WAITING: the attempt's record at the last poll. */
  record?: JobRecord;
  /** JOB_WAITING: whether the attempt's queue is paused or stopped. */
  queuePaused?: boolean;
  /** printPdf: the parts printed before the one that failed. */
  parts?: PrintPdfPart[];
  /** An answer from the host: its code as sent. */
  hostCode?: string;
  /** ABORTED: the abort signal's reason. */
  cause?: unknown;
  /** INTENT_CONFLICT: the attempt that first used the id, from the host's record. */
  earlierAttempt?: EarlierAttempt;
  /** UNREADABLE_FILE: what the file was taken for. */
  file?: 'pdf' | 'png';
}

/** Where and when an intent id was first used, and how that attempt stands. */
export interface EarlierAttempt {
  printer: string;
  createdAtMs: number;
  state: string;
  /** In a fleet: the station that made it. */
  station?: string;
}

/** What a user interface should do about a failure. */
export type PrintErrorKind =
  /** The request itself is wrong (bad field, too large, reused id with other output). */
  | 'fix-the-request'
  /** The queue is missing, refuses the job, or the label does not fit it. */
  | 'choose-another-printer'
  /** The attempt may have printed: ask the user before printing it again with a new id. */
  | 'ask-the-user-before-reprinting'
  /** The attempt failed for certain and is closed: a reprint needs a new intent id. */
  | 'reprint-needs-a-new-id'
  /** The browser cannot find the print host: it is not installed or not registered. */
  | 'host-not-installed'
  /** The print host is installed but does not list this extension: add its id to the host's allowed lists. */
  | 'extension-not-allowed'
  /** The id was already used for other output (another printer, another drawing): look up what
   * was printed under it before printing again with a new id. */
  | 'id-used-for-other-output'
  /** The host answered every poll, but the job is still waiting (a paused or held queue, or a busy printer). */
  | 'job-still-waiting'
  /** The caller cancelled the call. */
  | 'cancelled'
  /** The user's file cannot be read (corrupt, password-protected, not a PDF or PNG): ask for another file. */
  | 'ask-for-another-file'
  /** The host did not answer (it crashed, is busy or the port dropped); repeating with the same id is safe. */
  | 'host-busy-or-crashed';

// Listed as values too: an answer's code is checked against them, so that a
// code this version does not know is never typed as one it does.
const HOST_ERROR_CODES = [
  'BAD_REQUEST', 'PAYLOAD_TOO_LARGE', 'PROTOCOL_MISMATCH', 'UNKNOWN_MESSAGE', 'INTENT_CONFLICT', 'JOB_NOT_FOUND',
  'PRINTER_UNAVAILABLE', 'MEDIA_UNSUPPORTED', 'MEDIA_MISMATCH', 'SUBMISSION_REJECTED', 'PRINT_SYSTEM_UNAVAILABLE',
  'UNKNOWN_OUTCOME', 'ATTEMPT_FAILED', 'STATE_CORRUPT', 'STATE_VERSION', 'STATE_UNAVAILABLE', 'IO_ERROR',
  'HOST_RESTARTED', 'FLEET_UNAVAILABLE', 'INTENT_IN_PROGRESS',
] as const;

/** The codes the host answers with. */
export type HostErrorCode = typeof HOST_ERROR_CODES[number];

/** The library's own codes: the browser's, the caller's and the waiting's; and UNKNOWN_ERROR, a host code this
 * version does not know (a newer host's), kept in `hostCode`. */
export type ClientErrorCode =
  | 'HOST_NOT_FOUND' | 'HOST_FORBIDDEN' | 'HOST_DISCONNECTED' | 'TIMEOUT' | 'ABORTED' | 'JOB_WAITING' | 'PAGE_TOO_LARGE'
  | 'UNREADABLE_FILE' | 'UNKNOWN_ERROR';

export type PrintErrorCode = HostErrorCode | ClientErrorCode;

const KIND_OF_CODE: Partial<Record<PrintErrorCode, PrintErrorKind>> = {
  BAD_REQUEST: 'fix-the-request',
  PAYLOAD_TOO_LARGE: 'fix-the-request',
  PROTOCOL_MISMATCH: 'fix-the-request',
  UNKNOWN_MESSAGE: 'fix-the-request',
  INTENT_CONFLICT: 'id-used-for-other-output',
  JOB_NOT_FOUND: 'fix-the-request',
  PRINTER_UNAVAILABLE: 'choose-another-printer',
  MEDIA_UNSUPPORTED: 'choose-another-printer',
  MEDIA_MISMATCH: 'choose-another-printer',
  SUBMISSION_REJECTED: 'choose-another-printer',
  PRINT_SYSTEM_UNAVAILABLE: 'choose-another-printer',
  UNKNOWN_OUTCOME: 'ask-the-user-before-reprinting',
  ATTEMPT_FAILED: 'reprint-needs-a-new-id',
  UNREADABLE_FILE: 'ask-for-another-file',
};

/** The kind for a host error code; anything unknown is the host's trouble. */
export function kindOfCode(code: PrintErrorCode): PrintErrorKind {
  return KIND_OF_CODE[code] ?? 'host-busy-or-crashed';
}

export class PrintHostError extends Error {
  /** The host's error code ("PRINTER_UNAVAILABLE"), or one of the library's own
   * ("HOST_NOT_FOUND", "TIMEOUT", ...). A newer host may send a code this
   * version does not list: that is UNKNOWN_ERROR, of kind 'host-busy-or-crashed',
   * with the host's code in `hostCode`. */
  readonly code: PrintErrorCode;
  readonly kind: PrintErrorKind;
  /** The code exactly as the host sent it, on every error the host answered with
   * (absent on the library's own); the one to log for an UNKNOWN_ERROR. */
  readonly hostCode?: string;
  readonly record?: JobRecord;
  readonly queuePaused?: boolean;
  parts?: PrintPdfPart[];
  /** ABORTED: the reason the caller's AbortSignal was aborted with. */
  cause?: unknown;
  /** INTENT_CONFLICT: the attempt that first used the id (printer, time, state). */
  readonly earlierAttempt?: EarlierAttempt;
  /** UNREADABLE_FILE: 'pdf' or 'png'. */
  readonly file?: 'pdf' | 'png';

  constructor(code: PrintErrorCode, message: string, kind: PrintErrorKind = kindOfCode(code),
    details: PrintErrorDetails = {}) {
    super(message);
    this.name = 'PrintHostError';
    this.code = code;
    this.kind = kind;
    if (details.record) this.record = details.record;
    if (details.queuePaused !== undefined) this.queuePaused = details.queuePaused;
    if (details.parts) this.parts = details.parts;
    if (details.hostCode !== undefined) this.hostCode = details.hostCode;
    if (details.cause !== undefined) this.cause = details.cause;
    if (details.earlierAttempt) this.earlierAttempt = details.earlierAttempt;
    if (details.file) this.file = details.file;
  }

  /** True when no answer came back (the port dropped, or the time ran out):
   * the request may be repeated as it is. An answer from the host, even an
   * error, is never "lost". */
  get answerLost(): boolean {
    return this.code === 'HOST_DISCONNECTED' || this.code === 'TIMEOUT';
  }
}

/** The host's error answer; a code this version does not know stays out of the known ones. */
export function hostError(code: string, message: string, earlier?: unknown): PrintHostError {
  const known = (HOST_ERROR_CODES as readonly string[]).includes(code);
  const details: PrintErrorDetails = { hostCode: code };
  const e = earlier as { printer?: unknown; created_at_ms?: unknown; state?: unknown; station?: unknown } | undefined;
  if ((code === 'INTENT_CONFLICT' || code === 'INTENT_IN_PROGRESS') && e && typeof e.printer === 'string' &&
    typeof e.created_at_ms === 'number' && typeof e.state === 'string') {
    details.earlierAttempt = { printer: e.printer, createdAtMs: e.created_at_ms, state: e.state };
    if (typeof e.station === 'string') details.earlierAttempt.station = e.station;
    if (code === 'INTENT_IN_PROGRESS') return new PrintHostError('INTENT_IN_PROGRESS', message, undefined, details);
    const when = Math.abs(e.created_at_ms) <= 8.64e15 ? ` at ${new Date(e.created_at_ms).toISOString()}` : '';
    message += ` It was first used on ${e.printer}${when} (${e.state}); print again on purpose with a new id.`;
  }
  return new PrintHostError(known ? code as HostErrorCode : 'UNKNOWN_ERROR', message, undefined, details);
}

/** The browser's words when the host manifest is missing or names a missing program. */
export function isHostMissing(browserMessage: string): boolean {
  return /not found|No such native application/i.test(browserMessage);
}

/** The browser's words when the host's manifest does not list the calling extension. */
export function isHostForbidden(browserMessage: string): boolean {
  return /Access to the specified native messaging host is forbidden/i.test(browserMessage);
}
