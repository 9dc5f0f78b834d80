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

import {
  badRequest, checkCallOptions, checkCopies, checkIntentId, checkObject, checkOneOf, checkString, sizeText, viewOf,
} from './checks.js';
import type { CallOptions, PrintHostClient } from './client.js';
import { type Bitmap, decodePng, placeBitmap, thresholdRgba } from './bitmap.js';
import { PrintHostError } from './errors.js';
import { type OneBit, dotMask, greyPng } from './grey_png.js';
import { pdfFromObjects } from './pdf_writer.js';
import { InkCounts, type PixelBox, cropSamples, findRegion, inkBox, pixelsOf } from './pdf_layout.js';
import { isValidId } from './ids.js';
import { MAX_DOCUMENT_PAGES, MAX_PNG_BYTES, MAX_REQUEST_BYTES, RASTER_MAX_PX, RASTER_MIN_PX } from './limits.js';
import type { PagePlacement, PrintPdfPart } from './pdf_result.js';
import { RawTarget, checkRawTarget, encodePages } from './printer_language.js';
import { PDFiumLibrary } from './vendor/pdfium.js';

export type { PagePlacement, PrintPdfPart } from './pdf_result.js';

/** A region of a PDF page in points (1/72 in), from the page's top left corner as it is shown. */
export interface PdfRect {
  x: number;
  y: number;
  width: number;
  height: number;
}

/** How pages are laid on the queue's printable area. */
export interface PdfLayout {
  /** 1-based page numbers, in print order; all pages by default. */
  pages?: number[];
  /** 'auto' (default): never scaled when it need not be. A page that fits prints at 100 %; else its
   * inked box, at 100 %, where that fits; else the label-sized region of the page (a carrier's Letter or
   * A4 sheet: the label, without the instructions and fold line), at 100 %; only else is the page's
   * ink scaled down to fit. Each page is turned where that is what makes it fit.
   * 'actual': physical size, centred; a page larger than the printable area is refused.
   * 'shrink': a larger page is scaled down uniformly to fit. A page is never enlarged. */
  fit?: 'auto' | 'actual' | 'shrink';
  /** Prints only this region of every page, or of the pages a map names by number (others whole);
   * then placed by `fit` (at 100 % where it fits). */
  crop?: PdfRect | Record<number, PdfRect>;
  /** 'auto' (default): a landscape page on portrait stock (or the reverse) is turned a quarter,
   * clockwise, instead of being cut. 'none': pages keep their orientation. */
  rotate?: 'auto' | 'none';
  /** 'dither' (default): black and white stay exact, so bars and text keep their modules, and grey
   * areas (tints, semi-transparent marks, photographs) are dithered so that they print. 'threshold':
   * black or white by luminance alone. 'grey': 256 shades. */
  colour?: 'dither' | 'threshold' | 'grey';
}

/** Which rule placed a page: the whole 'page', its 'ink' with the blank margin clipped, the label's
 * 'region' of a larger sheet, the caller's 'crop', or the page's ink scaled down ('shrink'). */
export type PlacementRule = PagePlacement['rule'];

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
  rule: PlacementRule;
  /** 1 at 100 %; below 1 when the page was scaled down to fit. */
  scale: number;
}

export interface PrintPdfOptions extends PdfLayout, PdfiumSource, CallOptions {
  printer: string;
  pdf: Blob | ArrayBuffer | Uint8Array;
  /** Names the whole print; see printPdf for the ids of its parts. */
  intentId: string;
  title: string;
  /** Copies of each part, collated. */
  copies?: number;
  /** A printer without a driver (a raw queue): every page is rendered for this label and resolution instead of
   * the queue's, and the whole PDF goes as one stream of its language, one attempt named `intentId`. */
  target?: RawTarget;
}

// What a request holds besides its pages' base64: the envelope, the fields,
// and each page's raster object.
const ENVELOPE_BYTES = 4096;
const PER_PAGE_BYTES = 128;

// One PDFium per source, kept warm for the next PDF: starting one compiles
// the WebAssembly and sets up its memory, and an instance made per call was
// left behind with all of that memory. A caller's wasmBinary is a weak key,
// so dropping the binary lets its instance go too.
const byUrl = new Map<string, Promise<PDFiumLibrary>>();
const byBinary = new WeakMap<ArrayBuffer, Promise<PDFiumLibrary>>();

function library(source: PdfiumSource): Promise<PDFiumLibrary> {
  const binary = source.wasmBinary;
  if (binary) {
    let loading = byBinary.get(binary);
    if (!loading) {
      loading = PDFiumLibrary.init({ wasmBinary: binary });
      byBinary.set(binary, loading);
      loading.catch(() => byBinary.delete(binary));  // a failed load is tried again next time
    }
    return loading;
  }
  const url = source.wasmUrl ?? new URL('./vendor/pdfium.wasm', import.meta.url).href;
  let loading = byUrl.get(url);
  if (!loading) {
    loading = PDFiumLibrary.init({ wasmUrl: url });
    byUrl.set(url, loading);
    loading.catch(() => byUrl.delete(url));
  }
  return loading;
}

// A 4 x 6 in page with lines of text in the fonts labels use and filled
// boxes: rendering it once runs what a first label would (the fonts, the
// fills, a label-sized bitmap and the memory it needs) before anybody waits.
const WARM_UP_PDF = (() => {
  const content = 'BT /F1 12 Tf 20 400 Td (Label 1234) Tj ET BT /F2 12 Tf 20 380 Td (Ship to 1234) Tj ET ' +
    'BT /F3 12 Tf 20 360 Td (Order 1234) Tj ET 0 g 20 100 2 80 re f 26 100 4 80 re f 0.5 g 60 100 40 40 re f';
  const objects = ['<</Type/Catalog/Pages 2 0 R>>', '<</Type/Pages/Kids[3 0 R]/Count 1>>',
    '<</Type/Page/Parent 2 0 R/MediaBox[0 0 288 432]/Resources<</Font<</F1 5 0 R/F2 6 0 R/F3 7 0 R>>>>' +
    '/Contents 4 0 R>>',
    `<</Length ${content.length}>>\nstream\n${content}\nendstream`, '<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>',
    '<</Type/Font/Subtype/Type1/BaseFont/Helvetica-Bold>>', '<</Type/Font/Subtype/Type1/BaseFont/Courier>>'];
  return pdfFromObjects(objects);
})();

/**
 * Starts PDFium (compiles its WebAssembly, once per page or worker and
 * source) and renders a small page with it, so that the first PDF the user
 * prints costs about what every later one does. Call it when the extension's
 * page or worker starts. It never rejects: a failure shows on the first print.
 */
export async function warmUpPdf(source: PdfiumSource = {}): Promise<void> {
  try {
    // On a label of its size, and on one a little smaller, so that the search for its ink runs too.
    const pdf = WARM_UP_PDF;
    for (const printable of [{ width: 812, height: 1218 }, { width: 800, height: 1200 }]) {
      await renderPdfPages(pdf, { dpi: 203, printable }, { ...source });
    }
  } catch {
    // The print that follows reports it.
  }
}

function isPdfData(pdf: unknown): pdf is Blob | ArrayBuffer | Uint8Array {
  return pdf instanceof Uint8Array || pdf instanceof ArrayBuffer || (typeof Blob !== 'undefined' && pdf instanceof Blob);
}

async function bytesOfPdf(pdf: unknown): Promise<Uint8Array> {
  if (!isPdfData(pdf)) throw badRequest('pdf must be a Blob, ArrayBuffer or Uint8Array.');
  if (pdf instanceof Uint8Array || pdf instanceof ArrayBuffer) return viewOf(pdf, 'The PDF');
  return new Uint8Array(await pdf.arrayBuffer());
}

function checkLayout(layout: unknown): void {
  if (layout === undefined) return;
  checkObject(layout, 'renderPdfPages');
  if (layout.pages !== undefined && !Array.isArray(layout.pages)) throw badRequest('pages must be an array of page numbers.');
  checkOneOf(layout.fit, 'fit', ['auto', 'actual', 'shrink']);
  checkOneOf(layout.rotate, 'rotate', ['auto', 'none']);
  checkOneOf(layout.colour, 'colour', ['dither', 'threshold', 'grey']);
  if (layout.crop !== undefined) {
    checkObject(layout.crop, 'crop');
    const rects = isRect(layout.crop) ? [layout.crop] : Object.entries(layout.crop).map(([key, rect]) => {
      if (!/^[1-9][0-9]*$/.test(key)) throw badRequest('crop must be a region or a map from page numbers to regions.');
      return rect;
    });
    for (const rect of rects) {
      const r = rect as Partial<PdfRect> | null;
      const finite = (n: unknown) => typeof n === 'number' && Number.isFinite(n);
      if (!r || typeof r !== 'object' || !finite(r.x) || !finite(r.y) || !finite(r.width) || !finite(r.height) ||
        r.width! <= 0 || r.height! <= 0) {
        throw badRequest('A crop region needs numbers x, y, width and height (points), width and height above 0.');
      }
    }
  }
  if (layout.wasmUrl !== undefined) checkString(layout.wasmUrl, 'wasmUrl');
  if (layout.wasmBinary !== undefined && !(layout.wasmBinary instanceof ArrayBuffer)) {
    throw badRequest('wasmBinary must be an ArrayBuffer.');
  }
}

function checkTarget(target: unknown): asserts target is { dpi: number; printable: { width: number; height: number } } {
  const positive = (n: unknown) => typeof n === 'number' && n > 0 && n < Infinity;
  checkObject(target, 'renderPdfPages');
  const printable = target.printable as { width?: unknown; height?: unknown } | null | undefined;
  if (!positive(target.dpi) || typeof printable !== 'object' || printable === null || !positive(printable.width) ||
    !positive(printable.height)) {
    throw badRequest('renderPdfPages needs a dpi and a printable width and height in pixels, all above 0.');
  }
  if (target.printer !== undefined) checkString(target.printer, 'printer');
}

/** Closes a page that is refused before it is rendered: the wrapper closes a page only at the end of rendering it,
 * and PDFium keeps a page's memory until it is closed. */
function closeUnrendered(page: object): void {
  const internals = page as { module?: { _FPDF_ClosePage?: (page: number) => void }; pageIdx?: number };
  if (typeof internals.pageIdx === 'number') internals.module?._FPDF_ClosePage?.(internals.pageIdx);
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

function isRect(crop: unknown): crop is PdfRect {
  return typeof crop === 'object' && crop !== null && typeof (crop as PdfRect).width === 'number';
}

function cropOf(layout: PdfLayout, page: number): PdfRect | undefined {
  if (!layout.crop) return undefined;
  return isRect(layout.crop) ? layout.crop : (layout.crop as Record<number, PdfRect>)[page];
}

// Marks closer than this (mm) belong to one block when the page is cut at
// blank gaps: lines of text and a barcode's bars stay together, a label and
// the instructions beside it do not.
const BLOCK_GAP_MM = 1.5;
// The largest page rendered whole to look for its label (pixels): beyond it
// the page is scaled down.
const MAX_SEARCH_PX = 40_000_000;
// The most cells the ink search counts in: a finer page is searched in larger cells.
const MAX_SEARCH_CELLS = 8_000_000;
// The most samples a page is rendered to, whole, before its crop is cut out.
const MAX_RENDER_PX = 120_000_000;

// How far over the printable area (dots, each way) a found box may be: the
// anti-aliased ends of a mark of exactly the label's size.
const EDGE_DOTS = 1;

/** `box` at least `least` pixels each way where the page allows, grown evenly around it: a page whose only mark
 * is a short line is still a label. */
function grownTo(box: PixelBox, least: number, pageWidth: number, pageHeight: number): PixelBox {
  const grow = (start: number, size: number, limit: number) => {
    if (size >= least || limit < least) return [start, size];
    const from = Math.min(Math.max(0, start - Math.floor((least - size) / 2)), limit - least);
    return [from, least];
  };
  const [left, width] = grow(box.left, box.width, pageWidth);
  const [top, height] = grow(box.top, box.height, pageHeight);
  return { left, top, width, height };
}

/** `box` no wider than `width` and no taller than `height`: the lighter of its two edge lines goes, line by line. */
function trimmedTo(box: PixelBox, samples: Uint8Array, pageWidth: number, width: number, height: number): PixelBox {
  const b = { ...box };
  const darkness = (x0: number, y0: number, w: number, h: number) => {
    let sum = 0;
    for (let y = y0; y < y0 + h; y++) for (let x = x0; x < x0 + w; x++) sum += 255 - samples[y * pageWidth + x];
    return sum;
  };
  while (b.width > width) {
    if (darkness(b.left, b.top, 1, b.height) <= darkness(b.left + b.width - 1, b.top, 1, b.height)) b.left++;
    b.width--;
  }
  while (b.height > height) {
    if (darkness(b.left, b.top, b.width, 1) <= darkness(b.left, b.top + b.height - 1, b.width, 1)) b.top++;
    b.height--;
  }
  return b;
}

// Supersampling, for one bit with dithering: the page is rendered at three
// times the resolution each way and each dot is the mean of its 3 x 3
// samples. An edge then lies at a third of a dot, never at a half, so the
// threshold rounds both edges of a bar the same way and a bar or space of a
// whole number of dots keeps it wherever it starts; PDFium alone snaps thin
// fills to its own grid, one bar a dot wider than the next. Pages larger than
// this many samples render at the printer's resolution alone.
const SUPERSAMPLE = 3;
const MAX_SUPERSAMPLED_PX = 60_000_000;

interface GreyPage {
  width: number;
  height: number;
  data: Uint8Array;
}

async function renderGrey(page: { render(o: object): Promise<GreyPage> }, width: number, height: number,
  oneBit: OneBit): Promise<GreyPage> {
  const k = SUPERSAMPLE;
  // PDFium failing (out of memory for the bitmap, say) is an answer, not a crash of the caller's code.
  const render = async (w: number, h: number) => {
    try {
      return await page.render({ width: w, height: h, colorSpace: 'Gray', render: 'bitmap' });
    } catch (e) {
      throw new PrintHostError('PAGE_TOO_LARGE', `A page of the PDF cannot be rendered at ${w} x ${h} pixels ` +
        `(${String((e as Error)?.message ?? e)}); print a smaller page or crop.`, 'ask-for-another-file');
    }
  };
  if (oneBit !== 'dither' || width * height * k * k > MAX_SUPERSAMPLED_PX) return render(width, height);
  const fine = await render(width * k, height * k);
  const data = new Uint8Array(width * height);
  const sums = new Uint32Array(width);
  const fineWidth = width * k;
  for (let y = 0; y < height; y++) {
    sums.fill(0);
    for (let dy = 0; dy < k; dy++) {
      const row = (y * k + dy) * fineWidth;
      for (let x = 0; x < fineWidth; x++) sums[(x / k) | 0] += fine.data[row + x];
    }
    for (let x = 0; x < width; x++) data[y * width + x] = Math.round(sums[x] / (k * k));
  }
  return { width, height, data };
}

/** `box` of a rendered page (all of it for null), turned a quarter clockwise or not. */
function cutAndTurn(page: GreyPage, box: PixelBox | null, turned: boolean): { samples: Uint8Array; width: number;
  height: number } {
  const samples = box ? cropSamples(page.data, page.width, box) : page.data;
  const width = box ? box.width : page.width;
  const height = box ? box.height : page.height;
  return turned ? { samples: rotateClockwise(samples, width, height), width: height, height: width }
    : { samples, width, height };
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
  checkTarget(target);
  checkLayout(layout);
  const bytes = await bytesOfPdf(pdf);
  const lib = await library(layout);
  let document;
  try {
    document = await lib.loadDocument(bytes);
  } catch (e) {
    // The user's file, not the program's request: the app asks for another one.
    const why = String((e as Error)?.message ?? e);
    throw new PrintHostError('UNREADABLE_FILE', /password/i.test(why)
      ? 'The PDF is protected by a password; choose a copy of it without one.'
      : `The file cannot be read as a PDF (${why}); choose another file.`, undefined, { file: 'pdf' });
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
    const fit = layout.fit ?? 'auto';
    const turning = (layout.rotate ?? 'auto') === 'auto';
    const fitsAs = (w: number, h: number) => w <= printable.width && h <= printable.height;
    // Turned a quarter when its orientation differs from the stock's, as long as that fits; else the other way
    // round where only that fits; null when neither does.
    const turnFor = (w: number, h: number): boolean | null => {
      const preferred = turning && w !== h && (w > h) !== printableLandscape;
      if (preferred ? fitsAs(h, w) : fitsAs(w, h)) return preferred;
      if (turning && (preferred ? fitsAs(w, h) : fitsAs(h, w))) return !preferred;
      return null;
    };
    const oneBit: OneBit = (layout.colour ?? 'dither') === 'dither' ? 'dither' : 'threshold';
    const rendered: RenderedPage[] = [];
    for (const n of chosen) {
      let page = document.getPage(n - 1);
      let rendering = false;
      try {
        if ((page as unknown as { pageIdx?: number }).pageIdx === 0) {
          throw new PrintHostError('UNREADABLE_FILE', `Page ${n} of the PDF is damaged and cannot be read; choose ` +
            'another file.', undefined, { file: 'pdf' });
        }
        const { originalWidth, originalHeight } = page.getOriginalSize();  // points
        const width = Math.round(originalWidth * dpi / 72);
        const height = Math.round(originalHeight * dpi / 72);
        const tooLarge = (across: number, down: number) => new PrintHostError('PAGE_TOO_LARGE',
          `Page ${n} of the PDF (${mm(across, dpi)} x ${mm(down, dpi)} mm) is larger than the printable area` +
          `${target.printer ? ` of ${target.printer}` : ''} (${mm(printable.width, dpi)} x ${mm(printable.height, dpi)} mm); ` +
          `print it with fit: 'auto' to print its label at full size or scale it down, or choose a printer with ` +
          'larger labels.', 'choose-another-printer');
        const checkSize = (w: number, h: number) => {
          if (w < RASTER_MIN_PX || h < RASTER_MIN_PX || w > RASTER_MAX_PX || h > RASTER_MAX_PX) {
            throw new PrintHostError('BAD_REQUEST', `Page ${n} of the PDF renders to ${w} x ${h} pixels, ` +
              `outside the ${RASTER_MIN_PX} to ${RASTER_MAX_PX} the print host takes.`, 'fix-the-request');
          }
        };
        // Renders the page at `scale`, then keeps `box` of it (pixels at that scale), turned or not.
        const renderAt = async (scale: number, box: PixelBox | null, turned: boolean) => {
          const w = Math.max(1, Math.round(width * scale));
          const h = Math.max(1, Math.round(height * scale));
          if (!box) checkSize(w, h); else checkSize(box.width, box.height);
          if (w * h > MAX_RENDER_PX) {
            throw new PrintHostError('PAGE_TOO_LARGE', `Page ${n} of the PDF is too large to render for this label ` +
              `(${w} x ${h} pixels); print a smaller page or crop.`, 'ask-for-another-file');
          }
          rendering = true;
          return cutAndTurn(await renderGrey(page, w, h, oneBit), box, turned);
        };
        let placed: { samples: Uint8Array; width: number; height: number };
        let rule: PlacementRule = 'page';
        let scale = 1;
        let rotated: boolean;
        const crop = cropOf(layout, n);
        if (crop) {
          // The caller's region, within the page, at 100 % where it fits.
          const left = Math.max(0, Math.round(crop.x * dpi / 72));
          const top = Math.max(0, Math.round(crop.y * dpi / 72));
          const box = { left, top, width: Math.min(width, Math.round((crop.x + crop.width) * dpi / 72)) - left,
            height: Math.min(height, Math.round((crop.y + crop.height) * dpi / 72)) - top };
          if (box.width < 1 || box.height < 1) {
            throw new PrintHostError('BAD_REQUEST', `The crop region of page ${n} lies outside the page.`,
              'fix-the-request');
          }
          rule = 'crop';
          const turn = turnFor(box.width, box.height);
          if (turn !== null) {
            rotated = turn;
            placed = await renderAt(1, box, turn);
          } else if (fit === 'actual') {
            throw tooLarge(box.width, box.height);
          } else {
            ({ placed, scale, rotated } = await shrunk(box));
          }
        } else if (fit !== 'auto') {
          rotated = turning && width !== height && (width > height) !== printableLandscape;
          const across = rotated ? height : width;
          const down = rotated ? width : height;
          if (across > printable.width || down > printable.height) {
            if (fit !== 'shrink') throw tooLarge(across, down);
            scale = Math.min(printable.width / across, printable.height / down);
            rule = 'shrink';
          }
          const w = Math.max(1, Math.floor(width * scale));
          const h = Math.max(1, Math.floor(height * scale));
          checkSize(w, h);
          rendering = true;
          placed = cutAndTurn(await renderGrey(page, w, h, oneBit), null, rotated);
        } else {
          const turn = turnFor(width, height);
          if (turn !== null) {
            rotated = turn;
            placed = await renderAt(1, null, turn);
          } else if (width * height > MAX_SEARCH_PX) {
            ({ placed, scale, rotated } = await shrunk({ left: 0, top: 0, width, height }));
          } else {
            // The page at 100 %, searched for what of it fits.
            rendering = true;
            const whole = await renderGrey(page, width, height, oneBit);
            const cell = Math.max(1, Math.floor(dpi / 200), Math.ceil(Math.sqrt(width * height / MAX_SEARCH_CELLS)));
            const dots = dotMask(whole.data, whole.width, whole.height,
              (layout.colour ?? 'dither') === 'grey' ? 'grey' : oneBit);
            const counts = new InkCounts(dots, whole.width, whole.height, cell);
            const inkCells = inkBox(counts);
            const ink = inkCells && pixelsOf(inkCells, cell, dots, whole.width, whole.height);
            // A mark of exactly the label's size that does not start on a dot boundary half-covers one more
            // dot at each end, and either may print: a box one dot over fits, losing its lighter edge line.
            const turnWithin = (w: number, h: number) => turnFor(w - EDGE_DOTS, h - EDGE_DOTS);
            let box: PixelBox | null = null;
            if (ink && turnWithin(ink.width, ink.height) !== null) {
              box = ink;
              rule = 'ink';
            } else if (ink) {
              const gap = Math.max(1, Math.round(BLOCK_GAP_MM * dpi / 25.4 / cell));
              // A box of cells may hold up to a cell less one of blank pixels at each end: judged with that
              // slack, then again in pixels.
              const slack = 2 * (cell - 1);
              const region = findRegion(counts, gap, (w, h) => turnWithin(w * cell - slack, h * cell - slack) !== null);
              const pixels = region && pixelsOf(region, cell, dots, whole.width, whole.height);
              if (pixels && turnWithin(pixels.width, pixels.height) !== null) {
                box = pixels;
                rule = 'region';
              }
            }
            if (box) {
              rotated = turnWithin(box.width, box.height)!;
              box = trimmedTo(box, whole.data, whole.width, rotated ? printable.height : printable.width,
                rotated ? printable.width : printable.height);
              box = grownTo(box, RASTER_MIN_PX, whole.width, whole.height);
              checkSize(box.width, box.height);
              placed = cutAndTurn(whole, box, rotated);
            } else {
              // Nothing of it fits at 100 %: its ink (or a blank page whole), scaled down.
              page = document.getPage(n - 1);
              rendering = false;
              ({ placed, scale, rotated } = await shrunk(ink ?? { left: 0, top: 0, width, height }));
            }
          }
        }
        // `box` (pixels at 100 %) scaled down to fit, turned where that fits it larger.
        async function shrunk(box: PixelBox) {
          const turned = turning && box.width !== box.height && (box.width > box.height) !== printableLandscape;
          const across = turned ? box.height : box.width;
          const down = turned ? box.width : box.height;
          const s = Math.min(1, printable.width / across, printable.height / down);
          const scaledBox = {
            left: Math.floor(box.left * s), top: Math.floor(box.top * s),
            width: Math.max(1, Math.min(Math.floor(box.width * s), Math.round(width * s) - Math.floor(box.left * s))),
            height: Math.max(1, Math.min(Math.floor(box.height * s), Math.round(height * s) - Math.floor(box.top * s))),
          };
          const whole = scaledBox.left === 0 && scaledBox.top === 0 && scaledBox.width === Math.round(width * s) &&
            scaledBox.height === Math.round(height * s);
          return { placed: await renderAt(s, whole ? null : scaledBox, turned), scale: s, rule: 'shrink', rotated: turned };
        }
        if (rule !== 'crop' && scale < 1) rule = 'shrink';
        const png = greyPng(placed.samples, placed.width, placed.height,
          (layout.colour ?? 'dither') === 'grey' ? 8 : 1, oneBit);
        if (png.length > MAX_PNG_BYTES) {
          throw new PrintHostError('PAYLOAD_TOO_LARGE', `Page ${n} of the PDF is over ${sizeText(MAX_PNG_BYTES)} as a ` +
            "PNG; print it with colour: 'threshold'.", 'fix-the-request');
        }
        rendered.push({ page: n, png, width: placed.width, height: placed.height, rotated, rule, scale });
      } finally {
        if (!rendering) closeUnrendered(page);
      }
    }
    return rendered;
  } finally {
    document.destroy();
  }
}

function placementOf(p: RenderedPage): PagePlacement {
  return { page: p.page, rule: p.rule, scale: p.scale, rotated: p.rotated };
}

/** The pages split into requests the host takes (in size and in pages), in order. */
function partsOf(pages: RenderedPage[]): RenderedPage[][] {
  const budget = MAX_REQUEST_BYTES - ENVELOPE_BYTES;
  const parts: RenderedPage[][] = [];
  let current: RenderedPage[] = [];
  let size = 0;
  for (const page of pages) {
    const cost = Math.ceil(page.png.length / 3) * 4 + PER_PAGE_BYTES;
    if (current.length > 0 && (size + cost > budget || current.length === MAX_DOCUMENT_PAGES)) {
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
  // All checked before the first request, so that bad input sends nothing.
  checkObject(options as unknown, 'printPdf');
  checkIntentId(options.intentId);
  checkString(options.printer, 'printer');
  checkString(options.title, 'title');
  checkCopies(options.copies);
  checkCallOptions(options, 'printPdf');
  checkLayout(options);
  if (!isPdfData(options.pdf)) throw badRequest('pdf must be a Blob, ArrayBuffer or Uint8Array.');
  if (options.target !== undefined) return printPdfOnRawTarget(client, options, options.target);
  const described = await client.describePrinter(options.printer, options);
  if (described.raw) {
    throw new PrintHostError('BAD_REQUEST', `${options.printer} is a raw queue: it passes bytes to the printer as ` +
      'they are and knows neither its resolution nor its label. Name the printer as target: ' +
      '{ language, dpi, widthMm, heightMm }.');
  }
  const area = described.printableArea;
  if (!area || !area.widthPx || !area.heightPx) {
    throw new PrintHostError('BAD_REQUEST', `${options.printer} names no media size to fit the pages to; ` +
      'set its default media, or name the printer as target: { language, dpi, widthMm, heightMm }.');
  }
  const dpi = described.dpiX ?? 300;
  const printable = { width: area.widthPx, height: area.heightPx };
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
      done.push({ intentId: ids[i], pages: part.map((p) => p.page), placements: part.map(placementOf), result });
    } catch (e) {
      const signal = options.signal;
      if (signal?.aborted && e === signal.reason) {
        // The reason is the caller's own object, not to be written on; and
        // once a part has printed, "aborted" alone would hide that.
        if (done.length === 0) throw e;
        throw new PrintHostError('ABORTED', `The print was cancelled after ${done.length} of its ${split.length} ` +
          'parts printed; repeat it with the same intent id to print the rest.', 'cancelled', { parts: done, cause: e });
      }
      if (e instanceof Error) Object.assign(e, { parts: done });
      throw e;
    }
  }
  return { parts: done };
}

/**
 * The pages of a PDF as a printer without a driver gets them: each rendered
 * for the target's label by the same rules as on a driven queue, made black
 * or white and centred on the label, one bitmap a page (1 = a dot).
 */
export async function rasterPdfForTarget(pdf: Blob | ArrayBuffer | Uint8Array, target: RawTarget,
  layout: PdfLayout & PdfiumSource = {}): Promise<Bitmap[]> {
  return (await renderForTarget({ ...layout, pdf, printer: 'the target' }, target)).pages;
}

async function renderForTarget(options: PdfLayout & PdfiumSource & CallOptions & { pdf: Blob | ArrayBuffer | Uint8Array;
  printer: string }, target: RawTarget): Promise<{ rendered: RenderedPage[]; pages: Bitmap[] }> {
  const label = checkRawTarget(target);
  const rendered = await renderPdfPages(options.pdf, { dpi: target.dpi, printable: label, printer: options.printer },
    options);
  const pages = [];
  for (const page of rendered) {
    const { width, height, rgba } = await decodePng(page.png);
    pages.push(placeBitmap(thresholdRgba(rgba, width, height), label.width, label.height,
      Math.floor((label.width - width) / 2), Math.floor((label.height - height) / 2)));
  }
  return { rendered, pages };
}

/**
 * printPdf for a printer without a driver: the pages rendered for the
 * target's label by the same rules, each centred on it, black or white, and
 * sent as one stream of the target's language in one attempt.
 */
async function printPdfOnRawTarget(client: PrintHostClient, options: PrintPdfOptions,
  target: RawTarget): Promise<{ parts: PrintPdfPart[] }> {
  const { rendered, pages } = await renderForTarget(options, target);
  let result;
  try {
    result = await client.printRaw({
      printer: options.printer,
      data: encodePages(target.language, pages, target),
      language: target.language,
      copies: options.copies,
      title: options.title,
      intentId: options.intentId,
      timeoutMs: options.timeoutMs,
      signal: options.signal,
    });
  } catch (e) {
    // As on a driven queue: a failed send says which parts printed before it (none, here), and the caller's
    // abort reason is theirs, not to be written on.
    const signal = options.signal;
    if (!(signal?.aborted && e === signal.reason) && e instanceof Error) Object.assign(e, { parts: [] });
    throw e;
  }
  return { parts: [{ intentId: options.intentId, pages: rendered.map((p) => p.page), placements: rendered.map(placementOf),
    result }] };
}
