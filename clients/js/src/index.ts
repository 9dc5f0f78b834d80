// Print labels from a browser extension through the Tavelin print host.
//
//   const host = new PrintHostClient();
//   const { defaultPrinter } = await host.listPrinters();
//   const intentId = newIntentId('order-1234');         // keep it with the order
//   await host.printLabel({ printer: defaultPrinter, png: canvas, dpi: 203, title: 'Order 1234', intentId });
//   const job = await host.waitForJob(intentId);

export { PrintHostClient } from './client.js';
export type {
  CallOptions, ClientOptions, FoundJobs, HelloResult, JobRecord, JobState, NativePort, NativeRuntime, PrintLabelOptions,
  PrintPagesOptions, PrintRawOptions, PrinterDescription, PrinterEntry, PrinterList, PrinterNotice, PrinterState, SubmitResult,
  WaitOptions,
} from './client.js';
export { PrintHostError, kindOfCode } from './errors.js';
export { PrintWatch, PrintWatchEnd, PrintWatchEvent } from './watch.js';
export type { JobEvent, PrinterEvent, PrinterReason, PrinterStatus, WatchEvent, WatchOptions } from './watch.js';
export type {
  ClientErrorCode, EarlierAttempt, HostErrorCode, PrintErrorCode, PrintErrorDetails, PrintErrorKind,
} from './errors.js';
export { isValidId, newIntentId } from './ids.js';
export { labelCanvas, labelPixels } from './label.js';
export type { LabelCanvas, LabelContext, LabelSize } from './label.js';
export { MAX_PNG_BYTES, MAX_REQUEST_BYTES, pngSize } from './png.js';
export type { LabelImage } from './png.js';
export type { Bitmap } from './bitmap.js';
export type { PrinterLanguage, RawTarget } from './printer_language.js';
