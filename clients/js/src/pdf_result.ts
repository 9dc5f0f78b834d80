// One printed part of a PDF, on its own so that errors.ts can carry the parts
// printed before a failure without importing the PDF entry point (which
// imports the client, which imports errors.ts).

import type { SubmitResult } from './wire.js';

export interface PrintPdfPart {
  intentId: string;
  /** The PDF's page numbers this part printed, in order. */
  pages: number[];
  result: SubmitResult;
}
