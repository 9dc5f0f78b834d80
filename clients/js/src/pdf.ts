// PDF labels: each page rendered with PDFium (WebAssembly, shipped beside
// this file) at the queue's own resolution, so that a barcode is drawn once,
// on the device's pixel grid, and never resampled; then printed as one
// document per request with the at-most-once rule of every attempt.
//
//   import { printPdf } from '@tavelin/print-client/pdf';
//   const { parts } = await printPdf(client, { printer, pdf: blob, intentId, title: 'Order 1234' });
//
// Its own entry point: an extension that prints no PDF does not load the
// WebAssembly.

import type { CallOptions, PrintHostClient, SubmitResult } from './client.js';
import { PrintHostError } from './errors.js';
import { greyPng } from './grey_png.js';
import { isValidId } from './ids.js';
import { MAX_PNG_BYTES, MAX_REQUEST_BYTES } from './png.js';
import { PDFiumLibrary } from './vendor/pdfium.js';

/** How pages are laid on the queue's printable area. */
export interface PdfLayout {
  /** 1-based page numbers, in print order; all pages by default. */
  pages?: number[];
  /** 'actual' (default): physical size, centred; a page larger than the printable area is refused.
   * 'shrink': a larger page is scaled down uniformly to fit. A page is never enlarged. */
  fit?: 'actual' | 'shrink';
  /** 'auto' (default): a landscape page on portrait stock (or the reverse) is turned a quarter,
   * clockwise, instead of being cut. 'none': pages keep their orientation. */
  rotate?: 'auto' | 'none';
  /** 'threshold' (default): black or white by luminance, no dithering: crisp bars for thermal
   * printers. 'grey': 256 shades. */
  colour?: 'threshold' | 'grey';
}

/** Where PDFium's WebAssembly comes from; by default the pdfium.wasm beside this file. */
export interface PdfiumSource {
  wasmUrl?: string;
  wasmBinary?: ArrayBuffer;
}

export interface RenderedPage {
  /** The PDF's page number (1-based). */
  page: number;
  png: Uint8Array;
  width: number;
  height: number;
  rotated: boolean;
}

export interface PrintPdfOptions extends PdfLayout, PdfiumSource, CallOptions {
  printer: string;
  pdf: Blob | ArrayBuffer | Uint8Array;
  /** Names the whole print; see printPdf for the ids of its parts. */
  intentId: string;
  title: string;
  /** Copies of each part, collated. */
  copies?: number;
}

export interface PrintPdfPart {
  intentId: string;
  /** The PDF's page numbers this part printed, in order. */
  pages: number[];
  result: SubmitResult;
}

const MAX_PAGES_PER_PART = 1000;
// What a request holds besides its pages' base64: the envelope, the fields,
// and each page's raster object.
const ENVELOPE_BYTES = 4096;
const PER_PAGE_BYTES = 128;

const libraries = new Map<string, Promise<PDFiumLibrary>>();

function library(source: PdfiumSource): Promise<PDFiumLibrary> {
  if (source.wasmBinary) return PDFiumLibrary.init({ wasmBinary: source.wasmBinary });
  const url = source.wasmUrl ?? new URL('./vendor/pdfium.wasm', import.meta.url).href;
  let loading = libraries.get(url);
  if (!loading) {
    loading = PDFiumLibrary.init({ wasmUrl: url });
    libraries.set(url, loading);
    loading.catch(() => libraries.delete(url));  // a failed load is tried again next time
  }
  return loading;
}

async function bytesOfPdf(pdf: Blob | ArrayBuffer | Uint8Array): Promise<Uint8Array> {
  if (pdf instanceof Uint8Array) return pdf;
  if (pdf instanceof ArrayBuffer) return new Uint8Array(pdf);
  return new Uint8Array(await pdf.arrayBuffer());
}

function rotateClockwise(samples: Uint8Array, width: number, height: number): Uint8Array {
  const out = new Uint8Array(samples.length);
  for (let y = 0; y < height; y++) {
    const row = y * width;
    const column = height - 1 - y;
    for (let x = 0; x < width; x++) out[x * height + column] = samples[row + x];
  }
  return out;
}

function mm(px: number, dpi: number): string {
  return (px * 25.4 / dpi).toFixed(1);
}

/**
 * Renders the chosen pages for a printable area of `printable` device pixels
 * at `dpi`. The same PDF and options give the same PNG bytes every time, in
 * every browser.
 */
export async function renderPdfPages(
  pdf: Blob | ArrayBuffer | Uint8Array,
  target: { dpi: number; printable: { width: number; height: number }; printer?: string },
  layout: PdfLayout & PdfiumSource = {},
): Promise<RenderedPage[]> {
  const bytes = await bytesOfPdf(pdf);
  const lib = await library(layout);
  let document;
  try {
    document = await lib.loadDocument(bytes);
  } catch (e) {
    throw new PrintHostError('BAD_REQUEST', `The PDF cannot be read (${String((e as Error)?.message ?? e)}).`,
      'fix-the-request');
  }
  try {
    const count = document.getPageCount();
    const chosen = layout.pages ?? Array.from({ length: count }, (_, i) => i + 1);
    if (chosen.length === 0) throw new PrintHostError('BAD_REQUEST', 'No page of the PDF was chosen.', 'fix-the-request');
    for (const n of chosen) {
      if (!Number.isInteger(n) || n < 1 || n > count) {
        throw new PrintHostError('BAD_REQUEST', `The PDF has no page ${n} (it has ${count}).`, 'fix-the-request');
      }
    }
    const { dpi, printable } = target;
    const printableLandscape = printable.width > printable.height;
    const rendered: RenderedPage[] = [];
    for (const n of chosen) {
      const page = document.getPage(n - 1);
      const { originalWidth, originalHeight } = page.getOriginalSize();  // points
      let width = Math.round(originalWidth * dpi / 72);
      let height = Math.round(originalHeight * dpi / 72);
      const rotated = (layout.rotate ?? 'auto') === 'auto' && width !== height &&
        (width > height) !== printableLandscape;
      // The page's size on the sheet, turned if it is to be turned.
      const across = rotated ? height : width;
      const down = rotated ? width : height;
      if (across > printable.width || down > printable.height) {
        if ((layout.fit ?? 'actual') !== 'shrink') {
          throw new PrintHostError('PAGE_TOO_LARGE',
            `Page ${n} of the PDF (${mm(across, dpi)} x ${mm(down, dpi)} mm) is larger than the printable area` +
            `${target.printer ? ` of ${target.printer}` : ''} (${mm(printable.width, dpi)} x ${mm(printable.height, dpi)} mm); ` +
            `print it with fit: 'shrink' to scale it down, or choose a printer with larger labels.`,
            'choose-another-printer');
        }
        const scale = Math.min(printable.width / across, printable.height / down);
        width = Math.max(1, Math.floor(width * scale));
        height = Math.max(1, Math.floor(height * scale));
      }
      if (width < 16 || height < 16 || width > 10000 || height > 10000) {
        throw new PrintHostError('BAD_REQUEST', `Page ${n} of the PDF renders to ${width} x ${height} pixels, ` +
          'outside the 16 to 10000 the print host takes.', 'fix-the-request');
      }
      const bitmap = await page.render({ width, height, colorSpace: 'Gray', render: 'bitmap' });
      let samples = bitmap.data;
      let w = bitmap.width;
      let h = bitmap.height;
      if (rotated) {
        samples = rotateClockwise(samples, w, h);
        [w, h] = [h, w];
      }
      const png = greyPng(samples, w, h, (layout.colour ?? 'threshold') === 'grey' ? 8 : 1);
      if (png.length > MAX_PNG_BYTES) {
        throw new PrintHostError('PAYLOAD_TOO_LARGE', `Page ${n} of the PDF is over 5 MiB as a PNG; print it with ` +
          "colour: 'threshold'.", 'fix-the-request');
      }
      rendered.push({ page: n, png, width: w, height: h, rotated });
    }
    return rendered;
  } finally {
    document.destroy();
  }
}

/** The pages split into requests the host takes: at most 8 MiB and 1000 pages each, in order. */
function partsOf(pages: RenderedPage[]): RenderedPage[][] {
  const budget = MAX_REQUEST_BYTES - ENVELOPE_BYTES;
  const parts: RenderedPage[][] = [];
  let current: RenderedPage[] = [];
  let size = 0;
  for (const page of pages) {
    const cost = Math.ceil(page.png.length / 3) * 4 + PER_PAGE_BYTES;
    if (current.length > 0 && (size + cost > budget || current.length === MAX_PAGES_PER_PART)) {
      parts.push(current);
      current = [];
      size = 0;
    }
    current.push(page);
    size += cost;
  }
  if (current.length > 0) parts.push(current);
  return parts;
}

/**
 * Prints a PDF's pages at the queue's resolution (from describePrinter) and
 * physical size. Pages that fit one request print as one attempt named
 * `intentId`. More pages are split, in order, into parts named
 * `${intentId}.part1`, `${intentId}.part2`, ...: each part is an attempt of
 * its own with the same promise, and the same PDF and options always split
 * the same way, so repeating printPdf with the same intentId (after a lost
 * answer, a crash or a reload) prints nothing twice and finishes what was
 * missing. A part that fails stops the print; the error's `parts` lists the
 * parts that were printed before it.
 */
export async function printPdf(client: PrintHostClient, options: PrintPdfOptions): Promise<{ parts: PrintPdfPart[] }> {
  if (typeof options.intentId !== 'string' || !isValidId(options.intentId)) {
    throw new PrintHostError('BAD_REQUEST', 'intent_id contains unsupported characters.');
  }
  const described = await client.describePrinter(options.printer, options);
  const dpi = described.dpiX ?? 300;
  const printable = { width: described.printableArea.widthPx, height: described.printableArea.heightPx };
  const pages = await renderPdfPages(options.pdf, { dpi, printable, printer: options.printer }, options);
  const split = partsOf(pages);
  const ids = split.length === 1 ? [options.intentId] : split.map((_, i) => `${options.intentId}.part${i + 1}`);
  if (!ids.every((id) => isValidId(id))) {
    throw new PrintHostError('BAD_REQUEST', `The PDF needs ${split.length} parts, and intent_id is too long to name them.`);
  }
  const done: PrintPdfPart[] = [];
  for (const [i, part] of split.entries()) {
    try {
      const result = await client.printPages({
        printer: options.printer,
        pages: part.map((p) => p.png),
        dpi,
        copies: options.copies,
        title: options.title,
        intentId: ids[i],
        timeoutMs: options.timeoutMs,
        signal: options.signal,
      });
      done.push({ intentId: ids[i], pages: part.map((p) => p.page), result });
    } catch (e) {
      if (e instanceof Error) Object.assign(e, { parts: done });
      throw e;
    }
  }
  return { parts: done };
}
