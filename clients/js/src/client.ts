// The connection to the print host and the typed calls on it.
//
// The retry rule, enforced here: a submit whose answer was lost (the port
// dropped, the host crashed, the caller's timeout ran out) is repeated with
// the SAME intent id until the host answers. The host then says what became
// of the attempt: printed (`duplicate` true), failed for certain
// (ATTEMPT_FAILED), or possibly printed (UNKNOWN_OUTCOME). The library never
// makes up a new intent id: a deliberate reprint is the caller's decision.

import {
  badRequest, checkCallOptions, checkCopies, checkDpi, checkInteger, checkIntentId, checkMilliseconds, checkObject,
  checkSignal, checkString, sizeText, viewOf,
} from './checks.js';
import { Bitmap, decodePng, placeOnLabel, thresholdRgba } from './bitmap.js';
import { PrintErrorCode, PrintHostError, hostError, isHostForbidden, isHostMissing } from './errors.js';
import { opaqueLabelBytes } from './flatten.js';
import { FIND_JOBS_MAX_LIMIT, MAX_DOCUMENT_PAGES, MAX_PNG_BYTES, MAX_RAW_BYTES, MAX_REQUEST_BYTES } from './limits.js';
import { LabelImage, bytesOf, encodedSize, pngSize, toBase64 } from './png.js';
import { RawTarget, checkRawTarget, encodePages } from './printer_language.js';
import {
  FoundJobs, HelloResult, JobRecord, JobState, PrinterDescription, PrinterList, SubmitResult, WireFoundJobs, WireJobRecord,
  WirePrinterDescription, WirePrinterList, WireSubmitResult, foundJobs, jobRecord, printerDescription, printerList,
  submitResult,
} from './wire.js';
import { PrintWatch, WatchEvent, WatchOptions, isWireEvent, watchEvent } from './watch.js';

export type {
  FoundJobs, HelloResult, JobRecord, JobState, PrinterDescription, PrinterEntry, PrinterList, PrinterNotice, PrinterState,
  SubmitResult,
} from './wire.js';
export type { PrinterReason, PrinterStatus, WatchEvent, WatchOptions } from './watch.js';

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
  /** A printer without a driver (a raw queue): the label goes as its language's raster instead of a PNG. */
  target?: RawTarget;
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
  /** A printer without a driver: all pages go as one stream of its language. */
  target?: RawTarget;
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
  /** How often an older host, one that cannot watch, is asked. */
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
  /** A PrintHostError, or the reason of the caller's AbortSignal. */
  reject(error: unknown): void;
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

/** The fields every print message starts with, checked, as the host names them. */
function attemptFields(options: unknown, call: string) {
  checkObject(options, call);
  checkIntentId(options.intentId);
  checkString(options.printer, 'printer');
  checkString(options.title, 'title');
  checkCopies(options.copies);
  checkCallOptions(options, call);
  return { intent_id: options.intentId, printer: options.printer, title: options.title, copies: options.copies ?? 1 };
}

/** A label as the host's raster object, flattened onto white, with the size its PNG header gives. */
async function rasterOf(image: LabelImage) {
  const bytes = await opaqueLabelBytes(image);
  if (bytes.length > MAX_PNG_BYTES) {
    throw new PrintHostError('PAYLOAD_TOO_LARGE', `The PNG label exceeds the ${sizeText(MAX_PNG_BYTES)} limit.`);
  }
  // An empty view is the program's mistake (a detached buffer); other bytes that are not a PNG, the user's file.
  if (bytes.length === 0) throw badRequest('The label is empty.');
  const size = pngSize(bytes);
  if (!size) {
    throw new PrintHostError('UNREADABLE_FILE', 'The label is not a PNG; choose another file.', undefined,
      { file: 'png' });
  }
  return { format: 'png', base64: toBase64(bytes), width_px: size.width, height_px: size.height };
}

/** printRaw's data as bytes: a string as UTF-8, the rest as they are. */
async function rawBytes(data: unknown): Promise<Uint8Array> {
  if (typeof data === 'string') return new TextEncoder().encode(data);
  if (data instanceof Uint8Array || data instanceof ArrayBuffer) return viewOf(data, 'data');
  if (typeof Blob !== 'undefined' && data instanceof Blob) return new Uint8Array(await data.arrayBuffer());
  throw badRequest('data must be a string, Blob, ArrayBuffer or Uint8Array.');
}

/** An exception's message, whatever was thrown. */
function messageOf(e: unknown): string {
  return e instanceof Error ? e.message : String((e as { message?: unknown } | null)?.message ?? e);
}

function lost(code: PrintErrorCode, message: string): PrintHostError {
  return new PrintHostError(code, message, 'host-busy-or-crashed');
}

/** An abort after a print request was sent: it may have printed, so the caller must not be told only "aborted". */
function cancelledAfterSending(message: string, signal: AbortSignal | undefined): PrintHostError {
  return new PrintHostError('ABORTED', message, 'cancelled', { cause: signal?.reason });
}

/** The browser's message without its closing full stop, to quote inside a sentence. */
function quoted(message: string): string {
  return message.trim().replace(/\.+$/, '');
}

/** The watch's next event, 'timeout' once `ms` passed, or 'ended' when the watch ended; an abort rejects. */
function nextEvent(watch: PrintWatch, ms: number, signal?: AbortSignal): Promise<WatchEvent | 'timeout' | 'ended'> {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) return reject(signal.reason);
    let timer: ReturnType<typeof setTimeout> | undefined;
    const onAbort = () => finish(() => reject(signal?.reason));
    const finish = (fn: () => void) => {
      if (timer !== undefined) clearTimeout(timer);
      signal?.removeEventListener('abort', onAbort);
      fn();
    };
    if (Number.isFinite(ms)) timer = setTimeout(() => finish(() => resolve('timeout')), Math.max(0, ms));
    signal?.addEventListener('abort', onAbort, { once: true });
    watch[Symbol.asyncIterator]().next().then(
      (step) => finish(() => resolve(step.done ? 'ended' : step.value)),
      () => finish(() => resolve('ended')));
  });
}

function sleep(ms: number, signal?: AbortSignal): Promise<void> {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) return reject(signal.reason);
    const onAbort = () => {
      clearTimeout(timer);
      reject(signal?.reason);
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
  // the host's queue instead of ours. A request aborted while it waits here
  // leaves the line at once, unsent, instead of waiting for the one ahead.
  private readonly line: Array<() => void> = [];
  private lineBusy = false;
  private readonly watches = new Set<PrintWatch>();
  // What the host on the port can do, once asked (hello); forgotten when the port closes.
  private capabilities: Promise<string[]> | undefined;

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
    checkIntentId(intentId);
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
    checkString(intentPrefix, 'intentPrefix');
    checkCallOptions(options, 'findJobs');
    const { limit, ...call } = options;
    if (limit !== null) checkInteger(limit, 'limit', 1, FIND_JOBS_MAX_LIMIT, true);
    return foundJobs(await this.call<WireFoundJobs>('find_jobs', { intent_prefix: intentPrefix, limit: limit ?? null }, call));
  }

  /** The queue's resolution, default media and printable area, as printing uses them. */
  async describePrinter(printer: string, options: CallOptions = {}): Promise<PrinterDescription> {
    checkString(printer, 'printer');
    return printerDescription(await this.call<WirePrinterDescription>('describe_printer', { printer }, options));
  }

  /**
   * Prints one label as the attempt `intentId`, at most once. A lost answer is
   * repeated with the same id; the host's answer then tells what happened.
   */
  async printLabel(options: PrintLabelOptions): Promise<SubmitResult> {
    const fields = attemptFields(options, 'printLabel');
    checkDpi(options.dpi);
    if (options.target !== undefined) return this.printOnRawTarget(fields, [options.png], options.dpi, options.target, options);
    const payload = { ...fields, dpi: options.dpi, payload: await rasterOf(options.png) };
    return this.submitWithRetries('submit', payload, options.intentId, options);
  }

  /**
   * Prints several pages as one attempt and one print job, in order, at most
   * once, with the same retry rule as printLabel.
   */
  async printPages(options: PrintPagesOptions): Promise<SubmitResult> {
    const fields = attemptFields(options, 'printPages');
    checkDpi(options.dpi);
    if (!Array.isArray(options.pages) || options.pages.length < 1 || options.pages.length > MAX_DOCUMENT_PAGES) {
      throw badRequest(`A document has 1 to ${MAX_DOCUMENT_PAGES} pages.`);
    }
    if (options.target !== undefined) return this.printOnRawTarget(fields, options.pages, options.dpi, options.target, options);
    const pages = [];
    for (const [i, page] of options.pages.entries()) {
      try {
        pages.push(await rasterOf(page));
      } catch (e) {
        if (e instanceof PrintHostError) throw new PrintHostError(e.code, `Page ${i + 1}: ${e.message}`, e.kind, e);
        throw e;
      }
    }
    const payload = { ...fields, dpi: options.dpi, pages };
    return this.submitWithRetries('submit_document', payload, options.intentId, options);
  }

  /**
   * Sends printer-language bytes to a (raw) queue as the attempt `intentId`,
   * at most once, with the same retry rule as printLabel.
   */
  async printRaw(options: PrintRawOptions): Promise<SubmitResult> {
    const fields = attemptFields(options, 'printRaw');
    checkString(options.language, 'language');
    return this.sendRaw(fields, options.language, await rawBytes(options.data), options);
  }

  private sendRaw(fields: ReturnType<typeof attemptFields>, language: string, bytes: Uint8Array,
    options: CallOptions): Promise<SubmitResult> {
    if (bytes.length === 0) throw badRequest('The raw label is empty.');
    if (bytes.length > MAX_RAW_BYTES) {
      throw new PrintHostError('PAYLOAD_TOO_LARGE', `The raw label exceeds the ${sizeText(MAX_RAW_BYTES)} limit.`);
    }
    const payload = { ...fields, language, base64: toBase64(bytes) };
    return this.submitWithRetries('submit_raw', payload, fields.intent_id, options);
  }

  /**
   * Labels for a printer without a driver: each placed on the target's label
   * as the host places a label on a driven queue, black or white, and all of
   * them sent as one stream of the target's language, one attempt.
   */
  private async printOnRawTarget(fields: ReturnType<typeof attemptFields>, images: LabelImage[], dpi: number,
    target: RawTarget, options: CallOptions): Promise<SubmitResult> {
    const label = checkRawTarget(target);
    const pages: Bitmap[] = [];
    for (const [i, image] of images.entries()) {
      const page = images.length > 1 ? `Page ${i + 1}: ` : '';
      let decoded;
      try {
        decoded = await decodePng(await bytesOf(image));
      } catch (e) {
        if (e instanceof PrintHostError) throw new PrintHostError(e.code, `${page}${e.message}`, e.kind, e);
        throw e;
      }
      const placed = placeOnLabel(thresholdRgba(decoded.rgba, decoded.width, decoded.height), dpi, target.dpi, label);
      if (!placed) {
        throw new PrintHostError('PAGE_TOO_LARGE', `${page}The label (${decoded.width} x ${decoded.height} pixels at ` +
          `${dpi} dpi) does not fit the printer's ${target.widthMm} x ${target.heightMm} mm label.`,
        'choose-another-printer');
      }
      pages.push(placed);
    }
    return this.sendRaw(fields, target.language, encodePages(target.language, pages, target), options);
  }

  /**
   * Watches printers and print attempts: the host tells each change of a
   * watched attempt's state, or of a watched printer's state or reasons (out
   * of paper, head open, paused...), as it happens, and starts with each
   * one's state now. Needs the port transport and a host whose hello lists
   * "watch". The port stays open while a watch is open: close() it.
   */
  async watch(options: WatchOptions = {}): Promise<PrintWatch> {
    checkObject(options as unknown, 'watch');
    const printers = options.printers ?? [];
    const intents = options.intents ?? [];
    if (!Array.isArray(printers) || !Array.isArray(intents)) throw badRequest('printers and intents must be arrays.');
    printers.forEach((p) => checkString(p, 'printer'));
    intents.forEach((i) => checkIntentId(i));
    checkSignal(options.signal);
    if (this.transport !== 'port') throw badRequest('A watch needs the port transport: the host speaks between requests.');
    const watch = new PrintWatch(printers, intents, (w) => this.release(w, port));
    // Listening before asking: the host's first events follow its reply at once.
    this.watches.add(watch);
    let port: NativePort | null = null;
    try {
      const reply = await this.call<{ unknown_intents?: string[] }>('watch', { printers, intents }, { signal: options.signal });
      watch.unknownIntents = reply.unknown_intents ?? [];
      port = this.port;
    } catch (e) {
      this.watches.delete(watch);
      watch.end();
      this.idleLater();
      throw e;
    }
    if (options.signal) {
      if (options.signal.aborted) void watch.close();
      else options.signal.addEventListener('abort', () => void watch.close(), { once: true });
    }
    return watch;
  }

  /** Tells the host on `port` to stop sending what no open watch still wants. */
  private async release(watch: PrintWatch, port: NativePort | null): Promise<void> {
    if (!this.watches.delete(watch)) return;
    const printers = [...watch.printers].filter((p) => ![...this.watches].some((w) => w.printers.has(p)));
    const intents = [...watch.intents].filter((i) => ![...this.watches].some((w) => w.intents.has(i)));
    // A port that dropped took its host's watch with it: no new host is started to unwatch.
    if (port && this.port === port && (printers.length > 0 || intents.length > 0)) {
      try {
        await this.call('unwatch', { printers, intents }, {});
      } catch {
        // A host that is gone watches nothing.
      }
    }
    this.idleLater();
  }

  /** Whether the host on the port can watch: hello, asked once a port. */
  private async canWatch(signal?: AbortSignal): Promise<boolean> {
    if (this.transport !== 'port') return false;
    // Asked without the caller's signal: the answer serves every later caller.
    this.capabilities ??= this.hello().then((h) => (Array.isArray(h?.capabilities) ? h.capabilities : []));
    try {
      const capabilities = this.capabilities;
      if (signal) {
        await Promise.race([capabilities, new Promise((_, reject) => {
          if (signal.aborted) reject(signal.reason);
          signal.addEventListener('abort', () => reject(signal.reason), { once: true });
        })]);
      }
      return (await capabilities).includes('watch');
    } catch (e) {
      if (signal?.aborted && e === signal.reason) throw e;
      this.capabilities = undefined;
      return false;
    }
  }

  /**
   * Waits until the attempt reaches one of `until` (by default a final
   * state): from the host's events where it can watch, else by polling
   * get_job every `intervalMs`. When `timeoutMs` runs out first, the host
   * has answered throughout: the job is waiting, not lost. The error is then
   * JOB_WAITING (kind 'job-still-waiting'), with the last `record` and
   * whether the queue is `queuePaused`.
   */
  async waitForJob(intentId: string, options: WaitOptions = {}): Promise<JobRecord> {
    checkIntentId(intentId);
    checkObject(options as unknown, 'waitForJob');
    if (options.until !== undefined && !(Array.isArray(options.until) && options.until.every((s) => typeof s === 'string'))) {
      throw badRequest('until must be an array of job states.');
    }
    checkMilliseconds(options.intervalMs, 'intervalMs');
    checkMilliseconds(options.timeoutMs, 'timeoutMs');
    checkSignal(options.signal);
    const until = options.until ?? FINAL_STATES;
    const interval = options.intervalMs ?? 1000;
    const deadline = options.timeoutMs === undefined ? Infinity : Date.now() + options.timeoutMs;
    if (await this.canWatch(options.signal)) {
      const heard = await this.waitByEvents(intentId, until, deadline, options.signal);
      if (heard) return heard;
    }
    for (;;) {
      const record = await this.getJob(intentId, { signal: options.signal });
      if (until.includes(record.state)) return record;
      if (Date.now() + interval > deadline) throw await this.stillWaiting(record, options.signal);
      await sleep(interval, options.signal);
    }
  }

  /**
   * waitForJob from the host's events: the record once it reaches `until`,
   * or nothing when the watch ended early (the port dropped), so that the
   * caller polls instead.
   */
  private async waitByEvents(intentId: string, until: JobState[], deadline: number,
    signal?: AbortSignal): Promise<JobRecord | undefined> {
    let watch: PrintWatch;
    try {
      watch = await this.watch({ intents: [intentId] });
    } catch (e) {
      // A lost port, or a host whose watch is full: polling still answers.
      if (e instanceof PrintHostError && (e.answerLost || e.code === 'BAD_REQUEST')) return undefined;
      throw e;
    }
    try {
      if (watch.unknownIntents.includes(intentId)) throw hostError('JOB_NOT_FOUND', 'No print attempt has that identifier.');
      let last: JobRecord | undefined;
      for (;;) {
        const event = await nextEvent(watch, deadline - Date.now(), signal);
        if (event === 'timeout') throw await this.stillWaiting(last ?? await this.getJob(intentId, { signal }), signal);
        if (event === 'ended') return undefined;
        if (event.type !== 'job') continue;
        last = event.job;
        if (until.includes(last.state)) return last;
      }
    } finally {
      void watch.close();
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
    this.capabilities = undefined;
    this.failAll(lost('HOST_DISCONNECTED', 'The connection to the print host was closed.'));
    for (const w of [...this.watches]) w.end();
    this.watches.clear();
  }

  protected async submitWithRetries(type: string, payload: object, intentId: string,
    options: CallOptions): Promise<SubmitResult> {
    const signal = options.signal;
    // From the second try on, an earlier one was sent and its answer lost: an
    // abort then must not read as "nothing printed".
    const cancelledBetweenTries = () => cancelledAfterSending('The print was cancelled while a lost answer was ' +
      `being asked for again; it may have printed: repeat it with the same intent id (${intentId}) to learn what ` +
      'happened, never with a new one.', signal);
    for (let attempt = 1; ; attempt++) {
      let error: unknown;
      try {
        return submitResult(await this.call<WireSubmitResult>(type, payload, options, true));
      } catch (e) {
        error = e;
      }
      if (signal?.aborted && error === signal.reason) throw attempt > 1 ? cancelledBetweenTries() : error;
      if (!(error instanceof PrintHostError) || !error.answerLost || attempt > this.retries || signal?.aborted) {
        if (error instanceof PrintHostError && error.answerLost) {
          throw lost(error.code, `${error.message} The attempt may have printed: repeat it with the same intent id ` +
            `(${intentId}) to learn what happened, never with a new one.`);
        }
        throw error;
      }
      this.onRetry?.({ intentId, attempt, error });
      try {
        await sleep(Math.min(this.retryDelayMs * 2 ** (attempt - 1), 8000), signal);
      } catch {
        throw cancelledBetweenTries();
      }
    }
  }

  /**
   * One request and its answer's result; failures are PrintHostErrors, or the
   * reason of the caller's AbortSignal when the request was never sent (or was
   * a read). `prints`: the request can print, so an abort once it is sent
   * says that it may have.
   */
  private call<Result>(type: string, payload: object | undefined, options: CallOptions | undefined,
    prints = false): Promise<Result> {
    let envelope: Record<string, unknown>;
    let requestId: string;
    try {
      checkCallOptions(options, type);
      if (options?.signal?.aborted) return Promise.reject(options.signal.reason);
      requestId = `r${++this.sequence}.${Date.now().toString(36)}`;
      envelope = { protocol: PROTOCOL, request_id: requestId, type };
      if (payload !== undefined) envelope.payload = payload;
      let size: number;
      try {
        size = encodedSize(envelope);
      } catch (e) {
        throw badRequest(`The request cannot be written as JSON (${messageOf(e)}).`);
      }
      if (size > MAX_REQUEST_BYTES) {
        throw new PrintHostError('PAYLOAD_TOO_LARGE', `The request exceeds the ${sizeText(MAX_REQUEST_BYTES)} message limit.`);
      }
    } catch (e) {
      return Promise.reject(e);
    }
    const call = options ?? {};
    const answer = () =>
      this.exchange(envelope, requestId, call, prints).then((response) => {
        // The host's answers are trusted to have the shape of their type.
        if (response && response.ok === true) return response.result as Result;
        const error = response?.error;
        if (error && typeof error.code === 'string') {
          throw hostError(error.code, String(error.message), (error as { earlier_attempt?: unknown }).earlier_attempt);
        }
        throw lost('HOST_DISCONNECTED', 'The print host sent no usable answer.');
      });
    if (this.transport === 'message') return answer();
    return this.inTurn(answer, call.signal);
  }

  /** Runs `run` once the requests ahead of it on the port are done; an abort while waiting rejects at once. */
  private inTurn<T>(run: () => Promise<T>, signal?: AbortSignal): Promise<T> {
    return new Promise<T>((resolve, reject) => {
      const start = () => {
        signal?.removeEventListener('abort', leave);
        let running: Promise<T>;
        try {
          running = run();
        } catch (e) {
          running = Promise.reject(e);
        }
        running.then(resolve, reject).finally(() => this.nextInLine());
      };
      const leave = () => {
        const at = this.line.indexOf(start);
        if (at < 0) return;
        this.line.splice(at, 1);
        reject(signal?.reason);
      };
      signal?.addEventListener('abort', leave, { once: true });
      this.line.push(start);
      if (!this.lineBusy) this.nextInLine();
    });
  }

  private nextInLine(): void {
    const start = this.line.shift();
    this.lineBusy = start !== undefined;
    start?.();
  }

  /** Sends one envelope and settles exactly once: answer, error or timeout. */
  private exchange(envelope: Record<string, unknown>, requestId: string,
    options: CallOptions, prints: boolean): Promise<Envelope | undefined> {
    return new Promise((resolve, reject) => {
      let settled = false;
      let timer: ReturnType<typeof setTimeout> | undefined;
      const onAbort = () => entry.reject(prints ? cancelledAfterSending('The request was cancelled before its answer ' +
        'came; a print attempt may still have been sent: repeat it with the same intent id to learn what became of it.',
      options.signal) : options.signal?.reason);
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
      if (options.signal?.aborted) return entry.reject(options.signal.reason);
      options.signal?.addEventListener('abort', onAbort, { once: true });
      const timeoutMs = options.timeoutMs ?? this.timeoutMs;
      if (timeoutMs > 0) {
        timer = setTimeout(() => entry.reject(lost('TIMEOUT', `The print host did not answer within ${timeoutMs} ms. ` +
          'Another print host (another tab, window or extension printing) may be holding the print state; it lets ' +
          'go once its message is done (an older host: once it is idle or closed).')), timeoutMs);
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
      if (isWireEvent(message)) {
        const event = watchEvent(message);
        if (event) for (const w of [...this.watches]) if (w.wants(event)) w.deliver(event);
        return;
      }
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
      this.capabilities = undefined;
      const message = closed?.error?.message ?? port.error?.message ?? this.runtime.lastError?.message ?? '';
      const error = this.browserError(message || 'The print host closed the connection.');
      this.failAll(error);
      for (const w of [...this.watches]) w.end(error);
      this.watches.clear();
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
  // idleCloseMs: an older host holds the user's print state for as long as it
  // runs, and another tab or extension waits for it until then.
  private idleLater(): void {
    // A port with a watch open stays open: the host speaks on it unasked.
    if (this.transport !== 'port' || this.idleCloseMs <= 0 || this.pending.size > 0 || !this.port || this.watches.size > 0) {
      return;
    }
    if (this.idleTimer !== undefined) clearTimeout(this.idleTimer);
    this.idleTimer = setTimeout(() => {
      this.idleTimer = undefined;
      if (this.pending.size > 0 || !this.port || this.watches.size > 0) return;
      const port = this.port;
      this.port = null;
      port.disconnect();
    }, this.idleCloseMs);
  }
}
