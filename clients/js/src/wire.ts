// The host's answers as they come over the wire (snake_case), and the one
// place they become the library's camelCase results.

export type JobState = 'DISPATCHING' | 'SUBMITTED' | 'OBSERVED' | 'COMPLETED' | 'FAILED' | 'UNKNOWN';
export type PrinterState = 'idle' | 'printing' | 'paused' | 'offline' | 'error' | 'unavailable';

export interface HelloResult {
  arch: string;
  capabilities: string[];
  platform: string;
  protocol: number;
  version: string;
}

export interface PrinterEntry {
  enabled: boolean;
  name: string;
  /** The queue passes bytes to the printer as they are (no driver): print to it with a `target`. */
  raw: boolean;
  state: PrinterState;
  uri: string;
}

/** Something about a queue's set-up worth knowing, with its remedy. */
export interface PrinterNotice {
  /** "RAW_QUEUE", "SNMP_LOOKUP_DELAY", or another the host may add. */
  code: string;
  message: string;
}

export interface PrinterList {
  defaultPrinter: string;
  printers: PrinterEntry[];
}

/** What printing to a queue uses, as the host reads it from the queue. */
export interface PrinterDescription {
  name: string;
  state: PrinterState;
  acceptingJobs: boolean;
  /** The queue passes bytes to the printer as they are: it knows no resolution or media (both null). */
  raw: boolean;
  /** Device pixels per inch; null where the print system does not say. */
  dpiX: number | null;
  dpiY: number | null;
  /** The default media: its name, the sheet in hundredths of a mm and in device pixels (null
   * without a resolution); null where the print system names no media size. */
  media: { name: string; widthHmm: number; heightHmm: number; widthPx: number | null; heightPx: number | null } | null;
  /** Where a label can print: margins and size, in hundredths of a mm and in device pixels. A PNG of
   * widthPx x heightPx at dpiX prints 1:1, filling it. Null with the media. */
  printableArea: {
    leftHmm: number; topHmm: number; rightHmm: number; bottomHmm: number; widthHmm: number; heightHmm: number;
    leftPx: number | null; topPx: number | null; widthPx: number | null; heightPx: number | null;
  } | null;
  /** What the queue's set-up costs or lacks, each with its remedy. */
  notices: PrinterNotice[];
}

export interface SubmitResult {
  duplicate: boolean;
  intentId: string;
  osJobId: string;
  printer: string;
  state: JobState;
  /**
   * Present (false) only when the label was handed to the print system but
   * the host could not record that: it was printed, the host exits after
   * this answer, and a retry of the same intent never prints it again.
   */
  outcomeSaved?: false;
  /** With `outcomeSaved`: the host stops after this answer. */
  hostStopping?: true;
  /** With `outcomeSaved`: why the record could not be saved. */
  saveError?: string;
  /** In a fleet: the station that printed it (another one, for a duplicate). */
  station?: string;
}

export interface JobRecord {
  createdAtMs: number;
  errorCode: string;
  errorMessage: string;
  intentId: string;
  osJobId: string;
  payloadSha256: string;
  printer: string;
  state: JobState;
  updatedAtMs: number;
  /** In a fleet: the station that made the attempt. */
  station?: string;
}

export interface FoundJobs {
  /** Newest first. */
  jobs: JobRecord[];
  /** True when more attempts matched than the limit let through. */
  truncated: boolean;
}

// The same, as the host writes them.

export interface WirePrinterList { default_printer: string; printers: PrinterEntry[] }
export interface WireSubmitResult {
  duplicate: boolean; intent_id: string; os_job_id: string; printer: string; state: JobState;
  outcome_saved?: false; host_stopping?: true; save_error?: string; station?: string;
}
export interface WireJobRecord {
  created_at_ms: number; error_code: string; error_message: string; intent_id: string; os_job_id: string;
  payload_sha256: string; printer: string; state: JobState; updated_at_ms: number; station?: string;
}
export interface WireFoundJobs { jobs: WireJobRecord[]; truncated: boolean }
export interface WirePrinterDescription {
  name: string; state: PrinterState; accepting_jobs: boolean; raw: boolean; dpi_x: number | null; dpi_y: number | null;
  media: { name: string; width_hmm: number; height_hmm: number; width_px: number | null; height_px: number | null } | null;
  printable_area: {
    left_hmm: number; top_hmm: number; right_hmm: number; bottom_hmm: number; width_hmm: number; height_hmm: number;
    left_px: number | null; top_px: number | null; width_px: number | null; height_px: number | null;
  } | null;
  notices: PrinterNotice[];
}

export function printerList(w: WirePrinterList): PrinterList {
  return { defaultPrinter: w.default_printer, printers: w.printers };
}

export function submitResult(w: WireSubmitResult): SubmitResult {
  const r: SubmitResult = { duplicate: w.duplicate, intentId: w.intent_id, osJobId: w.os_job_id, printer: w.printer,
    state: w.state };
  if (typeof w.station === 'string') r.station = w.station;
  if (w.outcome_saved === false) {
    r.outcomeSaved = false;
    r.hostStopping = true;
    r.saveError = w.save_error ?? '';
  }
  return r;
}

export function jobRecord(w: WireJobRecord): JobRecord {
  const r: JobRecord = {
    createdAtMs: w.created_at_ms, errorCode: w.error_code, errorMessage: w.error_message, intentId: w.intent_id,
    osJobId: w.os_job_id, payloadSha256: w.payload_sha256, printer: w.printer, state: w.state, updatedAtMs: w.updated_at_ms,
  };
  if (typeof w.station === 'string') r.station = w.station;
  return r;
}

export function foundJobs(w: WireFoundJobs): FoundJobs {
  return { jobs: w.jobs.map(jobRecord), truncated: w.truncated };
}

export function printerDescription(w: WirePrinterDescription): PrinterDescription {
  const m = w.media;
  const a = w.printable_area;
  return {
    name: w.name, state: w.state, acceptingJobs: w.accepting_jobs, raw: w.raw === true, dpiX: w.dpi_x, dpiY: w.dpi_y,
    media: m && { name: m.name, widthHmm: m.width_hmm, heightHmm: m.height_hmm, widthPx: m.width_px,
      heightPx: m.height_px },
    printableArea: a && {
      leftHmm: a.left_hmm, topHmm: a.top_hmm, rightHmm: a.right_hmm, bottomHmm: a.bottom_hmm, widthHmm: a.width_hmm,
      heightHmm: a.height_hmm, leftPx: a.left_px, topPx: a.top_px, widthPx: a.width_px, heightPx: a.height_px,
    },
    // A host before notices and raw sends neither.
    notices: (w.notices ?? []).map((n) => ({ code: n.code, message: n.message })),
  };
}
