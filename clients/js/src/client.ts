// The connection to the print host and the typed calls on it.
//
// The retry rule, enforced here: a submit whose answer was lost (the port
// dropped, the host crashed, the caller's timeout ran out) is repeated with
// the SAME intent id until the host answers. The host then says what became
// of the attempt: printed (`duplicate` true), failed for certain
// (ATTEMPT_FAILED), or possibly printed (UNKNOWN_OUTCOME). The library never
// makes up a new intent id: a deliberate reprint is the caller's decision.

import { PrintErrorCode, PrintHostError, isHostForbidden, isHostMissing } from './errors.js';
import { isValidId } from './ids.js';
import { opaqueLabelBytes } from './flatten.js';
import { LabelImage, MAX_PNG_BYTES, MAX_REQUEST_BYTES, encodedSize, bytesOf, pngSize, toBase64 } from './png.js';
import {
  FoundJobs, HelloResult, JobRecord, JobState, PrinterDescription, PrinterList, SubmitResult, WireFoundJobs, WireJobRecord,
  WirePrinterDescription, WirePrinterList, WireSubmitResult, foundJobs, jobRecord, printerDescription, printerList,
  submitResult,
} from './wire.js';

export type {
  FoundJobs, HelloResult, JobRecord, JobState, PrinterDescription, PrinterEntry, PrinterList, PrinterState, SubmitResult,
} from './wire.js';

/** The parts of `chrome.runtime` / `browser.runtime` the client uses. */
export interface NativePort {
  postMessage(message: object): void;
  disconnect(): void;
  onMessage: { addListener(listener: (message: unknown) => void): void };
  onDisconnect: { addListener(listener: (port: NativePort) => void): void };
  /** Firefox reports why a port closed here. */
  error?: { message?: string } | null;
}

export interface NativeRuntime {
  connectNative(application: string): NativePort;
  /** Chromium answers through the callback; Firefox's `browser.runtime` returns a promise. */
  sendNativeMessage(application: string, message: object, callback?: (response: unknown) => void): Promise<unknown> | void;
  lastError?: { message?: string } | null;
  /** The calling extension's id, named in the error when the host does not allow it. */
  id?: string;
}

export interface ClientOptions {
  /** Defaults to `chrome.runtime`, else `browser.runtime`. */
  runtime?: NativeRuntime;
  /** True when `runtime` only returns promises (Firefox's `browser.runtime`). */
  promises?: boolean;
  hostName?: string;
  /** "port": one host process for many requests (connectNative), reconnected
   * when it drops. "message": a host process per request (sendNativeMessage). */
  transport?: 'port' | 'message';
  /** How long one request may wait for its answer; 0 waits for ever. */
  timeoutMs?: number;
  /** How often a submit whose answer was lost is repeated (same intent id). */
  retries?: number;
  /** "port": close the port (and let its host process go) after this long with nothing in
   * flight; the next request opens a new one. 0 keeps it open until close(). Default 1500. */
  idleCloseMs?: number;
  /** The first pause before a repeat; it doubles each time, up to 8 s. */
  retryDelayMs?: number;
  /** Told about every repeat, for logs and tests. */
  onRetry?: (info: { intentId: string; attempt: number; error: PrintHostError }) => void;
}

export interface CallOptions {
  timeoutMs?: number;
  signal?: AbortSignal;
}

export interface PrintLabelOptions extends CallOptions {
  printer: string;
  png: LabelImage;
  /** The label's resolution: its pixels print at this many per inch. */
  dpi: number;
  copies?: number;
  title: string;
  /** Made once with newIntentId() and kept with what it prints for. */
  intentId: string;
}

export interface PrintPagesOptions extends CallOptions {
  printer: string;
  /** The pages in print order, each like printLabel's png; at most 1000, and one request of at most 8 MiB. */
  pages: LabelImage[];
  /** The pages' resolution: their pixels print at this many per inch. */
  dpi: number;
  /** Copies of the whole document, collated. */
  copies?: number;
  title: string;
  intentId: string;
}

export interface PrintRawOptions extends CallOptions {
  printer: string;
  /** The printer-language bytes (ZPL, EPL, TSPL, ESC/POS...), sent as they are. */
  data: Blob | ArrayBuffer | Uint8Array | string;
  /** A token naming the language, e.g. "zpl"; recorded, not interpreted. */
  language: string;
  copies?: number;
  title: string;
  intentId: string;
}

export interface WaitOptions {
  /** The states to wait for; by default the final ones. */
  until?: JobState[];
  intervalMs?: number;
  timeoutMs?: number;
  signal?: AbortSignal;
}

const FINAL_STATES: JobState[] = ['COMPLETED', 'FAILED', 'UNKNOWN'];
const PROTOCOL = 1;

/** What comes back over the wire for one request. */
interface Envelope {
  request_id?: unknown;
  ok?: unknown;
  result?: unknown;
  error?: { code?: unknown; message?: unknown };
}

interface Pending {
  resolve(answer: Envelope | undefined): void;
  reject(error: PrintHostError): void;
}

/** The extension APIs where the browser puts them: `chrome` (Chromium, and Firefox too) or `browser`. */
interface ExtensionGlobals {
  chrome?: { runtime?: NativeRuntime };
  browser?: { runtime?: NativeRuntime };
}

function defaultRuntime(): NativeRuntime {
  const g = globalThis as ExtensionGlobals;
  const runtime = g.chrome?.runtime ?? g.browser?.runtime;
  if (!runtime?.connectNative) {
    throw new PrintHostError('HOST_NOT_FOUND', 'This context has no native messaging (add the "nativeMessaging" permission).',
      'host-not-installed');
  }
  return runtime;
}

/** The fields every print message starts with, as the host names them. */
function attemptFields(options: { intentId: string; printer: string; title: string; copies?: number }) {
  return { intent_id: options.intentId, printer: options.printer, title: options.title, copies: options.copies ?? 1 };
}

/** A label as the host's raster object, flattened onto white, with the size its PNG header gives. */
async function rasterOf(image: LabelImage) {
  const bytes = await opaqueLabelBytes(image);
  if (bytes.length > MAX_PNG_BYTES) {
    throw new PrintHostError('PAYLOAD_TOO_LARGE', 'The PNG label exceeds the helper limit.');
  }
  const size = pngSize(bytes);
  if (!size) throw new PrintHostError('BAD_REQUEST', 'The raster payload is not a PNG.');
  return { format: 'png', base64: toBase64(bytes), width_px: size.width, height_px: size.height };
}

/** An exception's message, whatever was thrown. */
function messageOf(e: unknown): string {
  return e instanceof Error ? e.message : String((e as { message?: unknown } | null)?.message ?? e);
}

function lost(code: PrintErrorCode, message: string): PrintHostError {
  return new PrintHostError(code, message, 'host-busy-or-crashed');
}

function cancelled(message: string): PrintHostError {
  return new PrintHostError('ABORTED', message, 'cancelled');
}

/** The browser's message without its closing full stop, to quote inside a sentence. */
function quoted(message: string): string {
  return message.trim().replace(/\.+$/, '');
}

function sleep(ms: number, signal?: AbortSignal): Promise<void> {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) return reject(cancelled('The wait was cancelled.'));
    const onAbort = () => {
      clearTimeout(timer);
      reject(cancelled('The wait was cancelled.'));
    };
    const timer = setTimeout(() => {
      signal?.removeEventListener('abort', onAbort);
      resolve();
    }, ms);
    signal?.addEventListener('abort', onAbort, { once: true });
  });
}

export class PrintHostClient {
  private readonly runtime: NativeRuntime;
  private readonly promises: boolean;
  private readonly hostName: string;
  private readonly transport: 'port' | 'message';
  private readonly timeoutMs: number;
  private readonly retries: number;
  private readonly retryDelayMs: number;
  private readonly onRetry?: ClientOptions['onRetry'];
  private readonly idleCloseMs: number;
  private idleTimer: ReturnType<typeof setTimeout> | undefined;
  private port: NativePort | null = null;
  private readonly pending = new Map<string, Pending>();
  private sequence = 0;
  // Requests over the port go one at a time: the host serves them one after
  // another, and a request queued behind a long submit must not time out in
  // the host's queue instead of ours.
  private queue: Promise<unknown> = Promise.resolve();

  constructor(options: ClientOptions = {}) {
    this.runtime = options.runtime ?? defaultRuntime();
    const g = globalThis as ExtensionGlobals;
    this.promises = options.promises ?? (!g.chrome?.runtime && this.runtime === g.browser?.runtime);
    this.hostName = options.hostName ?? 'com.tavelin.print';
    this.transport = options.transport ?? 'port';
    this.timeoutMs = options.timeoutMs ?? 60000;
    this.retries = options.retries ?? 5;
    this.retryDelayMs = options.retryDelayMs ?? 500;
    this.onRetry = options.onRetry;
    this.idleCloseMs = options.idleCloseMs ?? 1500;
  }

  hello(options: CallOptions = {}): Promise<HelloResult> {
    return this.call<HelloResult>('hello', undefined, options);
  }

  async listPrinters(options: CallOptions = {}): Promise<PrinterList> {
    return printerList(await this.call<WirePrinterList>('list_printers', undefined, options));
  }

  async getJob(intentId: string, options: CallOptions = {}): Promise<JobRecord> {
    this.checkIntentId(intentId);
    return jobRecord(await this.call<WireJobRecord>('get_job', { intent_id: intentId }, options));
  }

  /**
   * The attempts whose intent id starts with `intentPrefix`, newest first, as
   * stored (`getJob` asks the print system for a record's latest state): what
   * was printed for an order when its ids were lost. Name attempts
   * `order-1234.label-1` and so on, with a new suffix only for a deliberate
   * reprint, and `findJobs('order-1234.')` finds them all. At most `limit`
   * (1-100, default 20); `truncated` says there were more.
   */
  async findJobs(intentPrefix: string, options: CallOptions & { limit?: number } = {}): Promise<FoundJobs> {
    const { limit, ...call } = options;
    return foundJobs(await this.call<WireFoundJobs>('find_jobs', { intent_prefix: intentPrefix, limit: limit ?? null }, call));
  }

  /** The queue's resolution, default media and printable area, as printing uses them. */
  async describePrinter(printer: string, options: CallOptions = {}): Promise<PrinterDescription> {
    return printerDescription(await this.call<WirePrinterDescription>('describe_printer', { printer }, options));
  }

  /**
   * Prints one label as the attempt `intentId`, at most once. A lost answer is
   * repeated with the same id; the host's answer then tells what happened.
   */
  async printLabel(options: PrintLabelOptions): Promise<SubmitResult> {
    this.checkIntentId(options.intentId);
    const payload = { ...attemptFields(options), dpi: options.dpi, payload: await rasterOf(options.png) };
    return this.submitWithRetries('submit', payload, options.intentId, options);
  }

  /**
   * Prints several pages as one attempt and one print job, in order, at most
   * once, with the same retry rule as printLabel.
   */
  async printPages(options: PrintPagesOptions): Promise<SubmitResult> {
    this.checkIntentId(options.intentId);
    if (!Array.isArray(options.pages) || options.pages.length < 1 || options.pages.length > 1000) {
      throw new PrintHostError('BAD_REQUEST', 'A document has 1 to 1000 pages.');
    }
    const pages = [];
    for (const [i, page] of options.pages.entries()) {
      try {
        pages.push(await rasterOf(page));
      } catch (e) {
        if (e instanceof PrintHostError) throw new PrintHostError(e.code, `Page ${i + 1}: ${e.message}`, e.kind);
        throw e;
      }
    }
    const payload = { ...attemptFields(options), dpi: options.dpi, pages };
    return this.submitWithRetries('submit_document', payload, options.intentId, options);
  }

  /**
   * Sends printer-language bytes to a (raw) queue as the attempt `intentId`,
   * at most once, with the same retry rule as printLabel.
   */
  async printRaw(options: PrintRawOptions): Promise<SubmitResult> {
    this.checkIntentId(options.intentId);
    const data = options.data;
    const bytes = typeof data === 'string' ? new TextEncoder().encode(data) : await bytesOf(data);
    if (bytes.length === 0) throw new PrintHostError('BAD_REQUEST', 'The raw label is empty.');
    if (bytes.length > MAX_PNG_BYTES) throw new PrintHostError('PAYLOAD_TOO_LARGE', 'The raw label exceeds the helper limit.');
    const payload = { ...attemptFields(options), language: options.language, base64: toBase64(bytes) };
    return this.submitWithRetries('submit_raw', payload, options.intentId, options);
  }

  /**
   * Polls get_job until the attempt reaches one of `until` (by default a
   * final state). When `timeoutMs` runs out first, the host has answered
   * every poll: the job is waiting, not lost. The error is then JOB_WAITING
   * (kind 'job-still-waiting'), with the last `record` and whether the queue
   * is `queuePaused`.
   */
  async waitForJob(intentId: string, options: WaitOptions = {}): Promise<JobRecord> {
    const until = options.until ?? FINAL_STATES;
    const interval = options.intervalMs ?? 1000;
    const deadline = options.timeoutMs === undefined ? Infinity : Date.now() + options.timeoutMs;
    for (;;) {
      const record = await this.getJob(intentId, { signal: options.signal });
      if (until.includes(record.state)) return record;
      if (Date.now() + interval > deadline) throw await this.stillWaiting(record, options.signal);
      await sleep(interval, options.signal);
    }
  }

  private async stillWaiting(record: JobRecord, signal?: AbortSignal): Promise<PrintHostError> {
    let queuePaused = false;
    try {
      const { printers } = await this.listPrinters({ signal });
      const queue = printers.find((p) => p.name === record.printer);
      queuePaused = !!queue && queue.state !== 'idle' && queue.state !== 'printing';
    } catch {
      // The job's own state is the answer; the queue's is a hint.
    }
    const where = queuePaused ? ` and its queue ${record.printer} is paused or stopped` : '';
    return new PrintHostError('JOB_WAITING',
      `The print job is still ${record.state}${where}; it prints when the queue goes on.`, 'job-still-waiting',
      { record, queuePaused });
  }

  /** Closes the port; a later call opens a new one. */
  close(): void {
    if (this.idleTimer !== undefined) clearTimeout(this.idleTimer);
    this.idleTimer = undefined;
    const port = this.port;
    this.port = null;
    port?.disconnect();
    this.failAll(lost('HOST_DISCONNECTED', 'The connection to the print host was closed.'));
  }

  protected async submitWithRetries(type: string, payload: object, intentId: string,
    options: CallOptions): Promise<SubmitResult> {
    for (let attempt = 1; ; attempt++) {
      try {
        return submitResult(await this.call<WireSubmitResult>(type, payload, options));
      } catch (e) {
        const error = e as PrintHostError;
        if (!(error instanceof PrintHostError) || !error.answerLost || attempt > this.retries || options.signal?.aborted) {
          if (error instanceof PrintHostError && error.answerLost) {
            throw lost(error.code, `${error.message} The attempt may have printed: repeat it with the same intent id ` +
              `(${intentId}) to learn what happened, never with a new one.`);
          }
          throw error;
        }
        this.onRetry?.({ intentId, attempt, error });
        await sleep(Math.min(this.retryDelayMs * 2 ** (attempt - 1), 8000), options.signal);
      }
    }
  }

  private checkIntentId(intentId: string): void {
    if (typeof intentId !== 'string' || !isValidId(intentId)) {
      throw new PrintHostError('BAD_REQUEST', 'intent_id contains unsupported characters.');
    }
  }

  /** One request and its answer's result; failures are PrintHostErrors. */
  private call<Result>(type: string, payload: object | undefined, options: CallOptions): Promise<Result> {
    const requestId = `r${++this.sequence}.${Date.now().toString(36)}`;
    const envelope: Record<string, unknown> = { protocol: PROTOCOL, request_id: requestId, type };
    if (payload !== undefined) envelope.payload = payload;
    if (encodedSize(envelope) > MAX_REQUEST_BYTES) {
      return Promise.reject(new PrintHostError('PAYLOAD_TOO_LARGE', 'The request exceeds the 8 MiB message limit.'));
    }
    const answer = () =>
      this.exchange(envelope, requestId, options).then((response) => {
        // The host's answers are trusted to have the shape of their type.
        if (response && response.ok === true) return response.result as Result;
        const error = response?.error;
        if (error && typeof error.code === 'string') {
          throw new PrintHostError(error.code as PrintErrorCode, String(error.message));
        }
        throw lost('HOST_DISCONNECTED', 'The print host sent no usable answer.');
      });
    if (this.transport === 'message') return answer();
    const next = this.queue.then(answer, answer);
    this.queue = next.catch(() => undefined);
    return next;
  }

  /** Sends one envelope and settles exactly once: answer, error or timeout. */
  private exchange(envelope: Record<string, unknown>, requestId: string,
    options: CallOptions): Promise<Envelope | undefined> {
    return new Promise((resolve, reject) => {
      let settled = false;
      let timer: ReturnType<typeof setTimeout> | undefined;
      const onAbort = () => entry.reject(cancelled('The request was cancelled before its answer came; a print ' +
        'attempt may still have been sent: repeat it with the same intent id to learn what became of it.'));
      const settle = (fn: () => void) => {
        if (settled) return;
        settled = true;
        if (timer !== undefined) clearTimeout(timer);
        options.signal?.removeEventListener('abort', onAbort);
        this.pending.delete(requestId);
        fn();
        this.idleLater();
      };
      const entry: Pending = {
        resolve: (a) => settle(() => resolve(a)),
        reject: (e) => settle(() => reject(e)),
      };
      if (options.signal?.aborted) return entry.reject(cancelled('The request was cancelled before it was sent.'));
      options.signal?.addEventListener('abort', onAbort, { once: true });
      const timeoutMs = options.timeoutMs ?? this.timeoutMs;
      if (timeoutMs > 0) {
        timer = setTimeout(() => entry.reject(lost('TIMEOUT', `The print host did not answer within ${timeoutMs} ms. ` +
          'Another print host (another tab, window or extension printing) may be holding the print state; it lets ' +
          'go once that one is idle or closed.')), timeoutMs);
      }
      try {
        if (this.transport === 'message') this.sendOnce(envelope, entry);
        else this.sendOnPort(envelope, requestId, entry);
      } catch (e) {
        entry.reject(this.browserError(messageOf(e)));
      }
    });
  }

  private sendOnce(envelope: object, entry: Pending): void {
    const onError = (message: string) => entry.reject(this.browserError(message));
    if (this.promises) {
      Promise.resolve(this.runtime.sendNativeMessage(this.hostName, envelope)).then(
        (answer) => entry.resolve(answer as Envelope | undefined),
        (e: unknown) => onError(messageOf(e)));
      return;
    }
    const returned = this.runtime.sendNativeMessage(this.hostName, envelope, (answer) => {
      const error = this.runtime.lastError;
      if (error) onError(String(error.message ?? 'unknown error'));
      else entry.resolve(answer as Envelope | undefined);
    });
    if (returned && typeof returned.then === 'function') returned.catch((e: unknown) => onError(messageOf(e)));
  }

  private sendOnPort(envelope: object, requestId: string, entry: Pending): void {
    if (this.idleTimer !== undefined) {
      clearTimeout(this.idleTimer);
      this.idleTimer = undefined;
    }
    const port = this.port ?? this.connect();
    this.pending.set(requestId, entry);
    port.postMessage(envelope);
  }

  private connect(): NativePort {
    const port = this.runtime.connectNative(this.hostName);
    this.port = port;
    port.onMessage.addListener((message: unknown) => {
      const answer = message as Envelope | undefined;
      const id = typeof answer?.request_id === 'string' ? answer.request_id : '';
      let entry = this.pending.get(id);
      // An envelope the host could not parse is answered with an empty id;
      // requests go one at a time, so it is the one in flight.
      if (!entry && id === '' && this.pending.size === 1) entry = this.pending.values().next().value;
      entry?.resolve(answer);
    });
    port.onDisconnect.addListener((closed: NativePort) => {
      if (this.port === port) this.port = null;
      const message = closed?.error?.message ?? port.error?.message ?? this.runtime.lastError?.message ?? '';
      this.failAll(this.browserError(message || 'The print host closed the connection.'));
    });
    return port;
  }

  private failAll(error: PrintHostError): void {
    for (const entry of [...this.pending.values()]) entry.reject(error);
  }

  private browserError(message: string): PrintHostError {
    if (isHostForbidden(message)) {
      const id = this.runtime.id ?? "this extension's id";
      return new PrintHostError('HOST_FORBIDDEN', `The print host is installed but does not allow this extension ` +
        `(${quoted(message)}): add chrome-extension://${id}/ to the allowed_origins of its manifest and register ` +
        'it again.', 'extension-not-allowed');
    }
    if (isHostMissing(message)) {
      // Firefox says the same when the host's manifest does not list the
      // extension, so the message names that case too.
      const listed = this.runtime.id ? ` or its manifest does not list this extension (${this.runtime.id})` : '';
      return new PrintHostError('HOST_NOT_FOUND',
        `The print host is not installed for this browser${listed} (${quoted(message)}).`, 'host-not-installed');
    }
    return lost('HOST_DISCONNECTED', `The connection to the print host dropped (${quoted(message)}).`);
  }

  // The port transport lets its host process go once nothing is in flight for
  // idleCloseMs: a host holds the user's print state for as long as it runs,
  // and another tab or extension waits for it until then.
  private idleLater(): void {
    if (this.transport !== 'port' || this.idleCloseMs <= 0 || this.pending.size > 0 || !this.port) return;
    if (this.idleTimer !== undefined) clearTimeout(this.idleTimer);
    this.idleTimer = setTimeout(() => {
      this.idleTimer = undefined;
      if (this.pending.size > 0 || !this.port) return;
      const port = this.port;
      this.port = null;
      port.disconnect();
    }, this.idleCloseMs);
  }
}
