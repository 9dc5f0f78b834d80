// One printed part of a PDF, on its own so that errors.ts can carry the parts
// printed before a failure without importing the PDF entry point (which
// imports the client, which imports errors.ts).

import type { SubmitResult } from './wire.js';

/** How one page was laid on the label. */
export interface PagePlacement {
  page: number;
  /** 'page' (whole), 'ink' (blank margin clipped), 'region' (the label of a larger sheet), 'crop' (the
   * caller's region) or 'shrink' (scaled down to fit). */
  rule: 'page' | 'ink' | 'region' | 'crop' | 'shrink';
  /** 1 at 100 %. */
  scale: number;
  rotated: boolean;
}

export interface PrintPdfPart {
  intentId: string;
  /** The PDF's page numbers this part printed, in order. */
  pages: number[];
  /** Each of those pages' placement, in the same order. */
  placements: PagePlacement[];
  result: SubmitResult;
}
