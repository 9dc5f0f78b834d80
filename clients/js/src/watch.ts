// Live status from the host: a watch on printers and print attempts, read as
// an async iterator or listened to as an EventTarget. The host sends an
// event when a watched attempt's state or a watched printer's state or
// reasons change, and one at the start with each one's state then.

import { PrintHostError } from './errors.js';
import { JobRecord, PrinterState, WireJobRecord, jobRecord } from './wire.js';

/** Why a printer is in its state: the spooler's word, and a network label printer's own where it gives it. */
export type PrinterReason =
  | 'paused' | 'offline' | 'media-empty' | 'media-jam' | 'door-open' | 'head-open' | 'ribbon-empty' | 'error';

export interface PrinterStatus {
  name: string;
  state: PrinterState;
  /** The queue prints what it is sent now (state idle or printing). */
  enabled: boolean;
  acceptingJobs: boolean;
  raw: boolean;
  /** Sorted; empty when nothing is wrong. A newer host may add reasons. */
  reasons: (PrinterReason | string)[];
}

export type JobEvent = { type: 'job'; job: JobRecord };
export type PrinterEvent = { type: 'printer'; printer: PrinterStatus };
export type WatchEvent = JobEvent | PrinterEvent;

export interface WatchOptions {
  printers?: string[];
  intents?: string[];
  /** Ends the watch. */
  signal?: AbortSignal;
}

/** The most events a watch keeps for an iterator that is not reading them. */
const MAX_QUEUED = 1000;

/** The event a PrintWatch dispatches ('job' or 'printer'); `detail` is the WatchEvent. */
export class PrintWatchEvent<T extends WatchEvent = WatchEvent> extends Event {
  constructor(readonly detail: T) {
    super(detail.type);
  }
}

/** The event a PrintWatch dispatches ('end') when it ends; `error` says why when it did not end by close(). */
export class PrintWatchEnd extends Event {
  constructor(readonly error?: PrintHostError) {
    super('end');
  }
}

/** What the host sends unasked. */
export interface WireEvent {
  event?: unknown;
  job?: WireJobRecord;
  printer?: { name: string; state: PrinterState; enabled: boolean; accepting_jobs: boolean; raw: boolean;
    reasons?: string[] };
}

export function isWireEvent(message: unknown): message is WireEvent {
  const m = message as { event?: unknown; request_id?: unknown } | null;
  return !!m && typeof m === 'object' && typeof m.event === 'string' && m.request_id === undefined;
}

/** A host event as the library's WatchEvent; nothing for a kind this library does not know. */
export function watchEvent(w: WireEvent): WatchEvent | undefined {
  if (w.event === 'job' && w.job) return { type: 'job', job: jobRecord(w.job) };
  if (w.event === 'printer' && w.printer) {
    const p = w.printer;
    return { type: 'printer', printer: { name: p.name, state: p.state, enabled: p.enabled,
      acceptingJobs: p.accepting_jobs, raw: p.raw, reasons: p.reasons ?? [] } };
  }
  return undefined;
}

/**
 * One watch. Iterate it (`for await (const e of watch)`) or listen to it
 * (`watch.addEventListener('printer', ...)`); both see every event. The
 * iterator ends when the watch ends, and throws the error that ended it
 * (the port to the host dropped). close() ends it and tells the host.
 */
export class PrintWatch extends EventTarget implements AsyncIterable<WatchEvent> {
  readonly printers: ReadonlySet<string>;
  readonly intents: ReadonlySet<string>;
  /** The intents watched that no attempt had when the watch began. */
  unknownIntents: string[] = [];
  private readonly queue: WatchEvent[] = [];
  private waiting: Array<(step: IteratorResult<WatchEvent>) => void> = [];
  private failing: Array<(error: unknown) => void> = [];
  private ended = false;
  private error: PrintHostError | undefined;

  constructor(printers: string[], intents: string[], private readonly release: (watch: PrintWatch) => Promise<void>) {
    super();
    this.printers = new Set(printers);
    this.intents = new Set(intents);
  }

  // Listeners typed by the event they get.
  override addEventListener(type: 'job', listener: (event: PrintWatchEvent<JobEvent>) => void,
    options?: boolean | AddEventListenerOptions): void;
  override addEventListener(type: 'printer', listener: (event: PrintWatchEvent<PrinterEvent>) => void,
    options?: boolean | AddEventListenerOptions): void;
  override addEventListener(type: 'end', listener: (event: PrintWatchEnd) => void,
    options?: boolean | AddEventListenerOptions): void;
  override addEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | AddEventListenerOptions): void;
  override addEventListener(type: string, listener: unknown, options?: boolean | AddEventListenerOptions): void {
    super.addEventListener(type, listener as EventListenerOrEventListenerObject | null, options);
  }

  get closed(): boolean {
    return this.ended;
  }

  /** Whether an event concerns this watch. */
  wants(e: WatchEvent): boolean {
    return e.type === 'job' ? this.intents.has(e.job.intentId) : this.printers.has(e.printer.name);
  }

  /** Hands an event to the iterator and the listeners. */
  deliver(e: WatchEvent): void {
    if (this.ended) return;
    const next = this.waiting.shift();
    if (next) {
      this.failing.shift();
      next({ value: e, done: false });
    } else {
      // Kept for an iterator; a watch only listened to keeps the latest few.
      this.queue.push(e);
      if (this.queue.length > MAX_QUEUED) this.queue.shift();
    }
    this.dispatchEvent(new PrintWatchEvent(e));
  }

  /** Ends the watch without telling the host (it is gone, or was told). */
  end(error?: PrintHostError): void {
    if (this.ended) return;
    this.ended = true;
    this.error = error;
    const waiting = this.waiting;
    const failing = this.failing;
    this.waiting = [];
    this.failing = [];
    waiting.forEach((resolve, i) => (error ? failing[i](error) : resolve({ value: undefined, done: true })));
    this.dispatchEvent(new PrintWatchEnd(error));
  }

  /** Stops watching: the host is told, the iterator ends. */
  async close(): Promise<void> {
    if (this.ended) return;
    this.end();
    await this.release(this);
  }

  [Symbol.asyncIterator](): AsyncIterator<WatchEvent> {
    return {
      next: () => {
        const queued = this.queue.shift();
        if (queued) return Promise.resolve({ value: queued, done: false });
        if (this.ended) return this.error ? Promise.reject(this.error) : Promise.resolve({ value: undefined, done: true });
        return new Promise((resolve, reject) => {
          this.waiting.push(resolve);
          this.failing.push(reject);
        });
      },
      return: async () => {
        await this.close();
        return { value: undefined, done: true };
      },
    };
  }
}
