// Label pages as printer-language bytes, for the many label printers that sit
// behind a raw queue (no driver to turn a PNG into dots). Each page is one
// full-label 1-bit raster placed at the label's top left corner; the same
// pages always give the same bytes, so a retry repeats the very attempt.
//
// What stays the printer's: label length, gap or black mark, darkness, speed,
// print width and cutting. They are set once at the printer, for its stock,
// and a label that overrode them would print wrongly on other stock. TSPL's
// SIZE is the one exception: TSPL lays BITMAP out on an image buffer of the
// SIZE it was last given, so a page without it could be cut to another size.

import { Bitmap, concat, strideOf } from './bitmap.js';
import { badRequest, checkDpi, checkObject } from './checks.js';
import { labelPixels } from './label.js';

export type PrinterLanguage = 'zpl' | 'epl' | 'tspl' | 'escpos';

export const PRINTER_LANGUAGES: readonly PrinterLanguage[] = ['zpl', 'epl', 'tspl', 'escpos'];

/** What the pages are encoded for; TSPL needs the label's size, the others ignore it. */
export interface LabelStock {
  widthMm: number;
  heightMm: number;
}

const ascii = (text: string): Uint8Array => new TextEncoder().encode(text);


/** The rows with every bit flipped (for languages where 0 prints a dot), padding bits kept white. */
function inverted(bitmap: Bitmap): Uint8Array {
  const stride = strideOf(bitmap.width);
  const out = new Uint8Array(bitmap.rows.length);
  const spare = stride * 8 - bitmap.width;
  const lastMask = (0xff << spare) & 0xff;  // the last byte's bits that are pixels
  for (let i = 0; i < out.length; i++) {
    const pixels = i % stride === stride - 1 ? lastMask : 0xff;
    out[i] = (~bitmap.rows[i] & pixels) | (~pixels & 0xff);
  }
  return out;
}

// ZPL: ^GF in ASCII hex with ZPL's own run-length compression, rather than
// the Z64 (deflate) form. Labels are mostly long runs of white, which this
// shrinks about as well, and it needs no deflater: a deflater's output may
// change between its versions, and the bytes of an attempt must not.

const HEX = '0123456789ABCDEF';

/** A run of `count` copies of `char`, in ZPL's repeat letters: G..Y = 1..19, g..z = 20..400. */
function zplRun(char: string, count: number): string {
  let out = '';
  while (count > 0) {
    // At most one high and one low letter a token: 419 characters.
    const n = Math.min(count, 419);
    count -= n;
    if (n < 3) {
      out += char.repeat(n);
      continue;
    }
    const high = Math.floor(n / 20);
    const low = n % 20;
    out += (high ? String.fromCharCode(0x66 + high) : '') + (low ? String.fromCharCode(0x46 + low) : '') + char;
  }
  return out;
}

/** One row, compressed: ',' ends it with zeros, '!' with ones, other runs in repeat letters. */
function zplRow(hex: string): string {
  let end = hex.length;
  let tail = '';
  const last = hex[end - 1];
  if (last === '0' || last === 'F') {
    while (end > 0 && hex[end - 1] === last) end--;
    tail = last === '0' ? ',' : '!';
  }
  let out = '';
  for (let i = 0; i < end;) {
    let j = i;
    while (j < end && hex[j] === hex[i]) j++;
    out += zplRun(hex[i], j - i);
    i = j;
  }
  return out + tail;
}

function zplPage(bitmap: Bitmap): string {
  const stride = strideOf(bitmap.width);
  const total = stride * bitmap.height;
  let data = '';
  let previous = '';
  for (let y = 0; y < bitmap.height; y++) {
    let hex = '';
    for (const byte of bitmap.rows.subarray(y * stride, (y + 1) * stride)) hex += HEX[byte >> 4] + HEX[byte & 15];
    // ':' repeats the row above; the first row has none.
    data += y > 0 && hex === previous ? ':' : zplRow(hex);
    previous = hex;
  }
  // In ^GF a 1 bit prints a dot, as in a Bitmap.
  return `^XA\n^FO0,0^GFA,${total},${total},${stride},${data}^FS\n^XZ\n`;
}

// EPL2: GW takes binary rows in which a 0 bit prints a dot, so the rows go
// inverted. Commands end with a line feed; the one before N ends whatever
// half-sent command an earlier program left, as EPL2 advises.
function eplPage(bitmap: Bitmap): Uint8Array {
  const stride = strideOf(bitmap.width);
  return concat([ascii(`\nN\nGW0,0,${stride},${bitmap.height},`), inverted(bitmap), ascii('\nP1\n')]);
}

/** A length in mm as TSPL reads it: at most two decimals, no trailing zeros. */
function mmText(mm: number): string {
  return String(Number(mm.toFixed(2)));
}

// TSPL: BITMAP in mode 0 (overwrite) takes binary rows in which a 0 bit
// prints a dot, so the rows go inverted. Commands end with CR LF.
function tsplPage(bitmap: Bitmap): Uint8Array {
  const stride = strideOf(bitmap.width);
  return concat([ascii(`CLS\r\nBITMAP 0,0,${stride},${bitmap.height},0,`), inverted(bitmap), ascii('\r\nPRINT 1\r\n')]);
}

// ESC/POS: GS v 0 (raster bit image, normal density), 1 = a dot. One command
// carries at most ESCPOS_BAND rows: its height is two bytes, but printers
// take far less than 65535 rows and reject a larger band whole, so bands
// stay under every range printers document. Bands print with no gap between
// them. ESC @ first clears modes (page mode, rotation) an earlier program may
// have left. No feed and no cut: a cut is a setting of printers that have a
// cutter, and label length is the printer's, so the stream ends with the dots.
export const ESCPOS_BAND = 255;

function escposPage(bitmap: Bitmap): Uint8Array {
  const stride = strideOf(bitmap.width);
  const parts: Uint8Array[] = [];
  for (let top = 0; top < bitmap.height; top += ESCPOS_BAND) {
    const rows = Math.min(ESCPOS_BAND, bitmap.height - top);
    parts.push(new Uint8Array([0x1d, 0x76, 0x30, 0, stride & 0xff, stride >> 8, rows & 0xff, rows >> 8]));
    parts.push(bitmap.rows.subarray(top * stride, (top + rows) * stride));
  }
  return concat(parts);
}

/** All pages, in order, as one stream of `language`; each page prints once. */
export function encodePages(language: PrinterLanguage, pages: Bitmap[], stock: LabelStock): Uint8Array {
  switch (language) {
    case 'zpl':
      return ascii(pages.map(zplPage).join(''));
    case 'epl':
      return concat(pages.map(eplPage));
    case 'tspl':
      return concat([ascii(`SIZE ${mmText(stock.widthMm)} mm,${mmText(stock.heightMm)} mm\r\n`), ...pages.map(tsplPage)]);
    case 'escpos':
      return concat([new Uint8Array([0x1b, 0x40]), ...pages.map(escposPage)]);
  }
}

/** A printer without a driver (a raw queue): its language, resolution and label size. */
export interface RawTarget {
  language: PrinterLanguage;
  /** The printer's resolution, dots per inch. */
  dpi: number;
  widthMm: number;
  heightMm: number;
}

/** The target checked, and its label's size in dots. */
export function checkRawTarget(target: unknown): { width: number; height: number } {
  checkObject(target, 'target');
  if (!PRINTER_LANGUAGES.includes(target.language as PrinterLanguage)) {
    throw badRequest(`target.language must be ${PRINTER_LANGUAGES.map((l) => `'${l}'`).join(', ')}.`);
  }
  checkDpi(target.dpi);
  for (const side of ['widthMm', 'heightMm']) {
    const mm = target[side];
    if (typeof mm !== 'number' || !(mm > 0 && mm < Infinity)) throw badRequest(`target.${side} must be a number above 0.`);
  }
  try {
    return labelPixels({ widthMm: target.widthMm as number, heightMm: target.heightMm as number, dpi: target.dpi as number });
  } catch (e) {
    throw badRequest(`target: ${(e as Error).message}`);
  }
}
