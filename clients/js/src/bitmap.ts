// One-bit rasters: what a printer without a driver is sent. A label's PNG is
// decoded here rather than by a canvas, because a browser's decoder may
// colour-manage or premultiply differently from one browser to the next, and
// a retry after a reload must send the very bytes it sent before.

import { PrintHostError } from './errors.js';
import { badRequest } from './checks.js';

/**
 * A 1-bit raster: rows top to bottom, each `Math.ceil(width / 8)` bytes,
 * the leftmost pixel in the most significant bit, 1 a black dot. Bits past
 * `width` in a row's last byte are 0.
 */
export interface Bitmap {
  width: number;
  height: number;
  rows: Uint8Array;
}

/** The bytes of one row of a Bitmap. */
export function strideOf(width: number): number {
  return Math.ceil(width / 8);
}

/** A white Bitmap. */
export function blankBitmap(width: number, height: number): Bitmap {
  return { width, height, rows: new Uint8Array(strideOf(width) * height) };
}

/**
 * The library's one rule from grey to black or white, for PDF pages as PNGs
 * and for printers without a driver alike: a sample below the middle (0
 * black .. 255 white) is black. No dithering: bars stay crisp on thermal
 * printers.
 */
export function isDark(sample: number): boolean {
  return sample < 128;
}

/** A Bitmap of 8-bit grey samples (0 black .. 255 white), `width` per row. */
export function thresholdGrey(samples: Uint8Array, width: number, height: number): Bitmap {
  const bitmap = blankBitmap(width, height);
  const stride = strideOf(width);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      if (isDark(samples[y * width + x])) bitmap.rows[y * stride + (x >> 3)] |= 0x80 >> (x & 7);
    }
  }
  return bitmap;
}

/**
 * Grey samples of RGBA pixels (4 bytes each), laid on white as a flattened
 * label is: a transparent pixel is white whatever colour it hides. Integer
 * arithmetic only, so every engine gives the same samples; pure black and
 * pure white come out 0 and 255.
 */
export function greyOfRgba(rgba: Uint8Array | Uint8ClampedArray, width: number, height: number): Uint8Array {
  const grey = new Uint8Array(width * height);
  for (let i = 0; i < grey.length; i++) {
    const r = rgba[4 * i];
    const g = rgba[4 * i + 1];
    const b = rgba[4 * i + 2];
    const a = rgba[4 * i + 3];
    const luma = Math.round((299 * r + 587 * g + 114 * b) / 1000);
    grey[i] = Math.round((luma * a + 255 * (255 - a)) / 255);
  }
  return grey;
}

/** A Bitmap of RGBA pixels, transparency laid on white. */
export function thresholdRgba(rgba: Uint8Array | Uint8ClampedArray, width: number, height: number): Bitmap {
  return thresholdGrey(greyOfRgba(rgba, width, height), width, height);
}

/** Pixel (x, y) of a Bitmap: true when black. */
export function isBlack(bitmap: Bitmap, x: number, y: number): boolean {
  return (bitmap.rows[y * strideOf(bitmap.width) + (x >> 3)] & (0x80 >> (x & 7))) !== 0;
}

/**
 * `source` drawn on a white `width` x `height` Bitmap at (`left`, `top`),
 * scaled to `drawnWidth` x `drawnHeight` by taking the nearest pixel (no
 * blending: a bar stays one colour). Whatever falls outside is cut.
 */
export function placeBitmap(source: Bitmap, width: number, height: number, left: number, top: number,
  drawnWidth = source.width, drawnHeight = source.height): Bitmap {
  const out = blankBitmap(width, height);
  const stride = strideOf(width);
  for (let y = Math.max(0, top); y < Math.min(height, top + drawnHeight); y++) {
    const sy = Math.floor(((y - top) * source.height) / drawnHeight);
    for (let x = Math.max(0, left); x < Math.min(width, left + drawnWidth); x++) {
      const sx = Math.floor(((x - left) * source.width) / drawnWidth);
      if (isBlack(source, sx, sy)) out.rows[y * stride + (x >> 3)] |= 0x80 >> (x & 7);
    }
  }
  return out;
}

async function inflate(data: Uint8Array): Promise<Uint8Array> {
  if (typeof DecompressionStream === 'undefined') {
    throw badRequest('Decoding a PNG for a printer without a driver needs DecompressionStream, and this context has none.');
  }
  const stream = new Blob([data as Uint8Array<ArrayBuffer>]).stream().pipeThrough(new DecompressionStream('deflate'));
  try {
    return new Uint8Array(await new Response(stream).arrayBuffer());
  } catch {
    throw new PrintHostError('UNREADABLE_FILE', 'The PNG label is damaged: its image data cannot be decompressed; ' +
      'choose another file.', undefined, { file: 'png' });
  }
}

function paeth(a: number, b: number, c: number): number {
  const p = a + b - c;
  const pa = Math.abs(p - a);
  const pb = Math.abs(p - b);
  const pc = Math.abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

/**
 * A PNG's pixels as RGBA, 8 bits a channel. Every colour type and bit depth
 * a PNG may have; interlaced PNGs are refused (a canvas never writes them).
 */
export async function decodePng(bytes: Uint8Array): Promise<{ width: number; height: number; rgba: Uint8Array }> {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const damaged = () => new PrintHostError('UNREADABLE_FILE', 'The PNG label is damaged or not a PNG; choose another file.',
    undefined, { file: 'png' });
  if (bytes.length < 33 || view.getUint32(0) !== 0x89504e47 || view.getUint32(4) !== 0x0d0a1a0a) throw damaged();
  let width = 0;
  let height = 0;
  let depth = 0;
  let colourType = 0;
  let palette: Uint8Array | undefined;
  let transparency: Uint8Array | undefined;
  const idat: Uint8Array[] = [];
  for (let at = 8; at + 8 <= bytes.length;) {
    const length = view.getUint32(at);
    const type = String.fromCharCode(bytes[at + 4], bytes[at + 5], bytes[at + 6], bytes[at + 7]);
    if (at + 12 + length > bytes.length) throw damaged();
    const data = bytes.subarray(at + 8, at + 8 + length);
    if (type === 'IHDR') {
      width = view.getUint32(at + 8);
      height = view.getUint32(at + 12);
      depth = data[8];
      colourType = data[9];
      if (data[12] !== 0) {
        throw new PrintHostError('UNREADABLE_FILE', 'Interlaced PNG labels are not taken for printers without a ' +
          'driver; save the label without interlacing.', undefined, { file: 'png' });
      }
    } else if (type === 'PLTE') {
      palette = data;
    } else if (type === 'tRNS') {
      transparency = data;
    } else if (type === 'IDAT') {
      idat.push(data);
    } else if (type === 'IEND') {
      break;
    }
    at += 12 + length;
  }
  const channels = ({ 0: 1, 2: 3, 3: 1, 4: 2, 6: 4 } as Record<number, number>)[colourType];
  if (!width || !height || !channels || ![1, 2, 4, 8, 16].includes(depth) || (colourType === 3 && !palette)) {
    throw damaged();
  }
  const joined = new Uint8Array(idat.reduce((n, d) => n + d.length, 0));
  idat.reduce((at, d) => (joined.set(d, at), at + d.length), 0);
  const raw = await inflate(joined);
  const bitsPerPixel = channels * depth;
  const stride = Math.ceil((width * bitsPerPixel) / 8);
  const step = Math.max(1, bitsPerPixel >> 3);  // the byte to the left, for the filters
  if (raw.length < (stride + 1) * height) throw damaged();
  const lines = new Uint8Array(stride * height);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)];
    const input = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    const line = lines.subarray(y * stride, (y + 1) * stride);
    const above = y > 0 ? lines.subarray((y - 1) * stride, y * stride) : new Uint8Array(stride);
    for (let i = 0; i < stride; i++) {
      const a = i >= step ? line[i - step] : 0;
      const b = above[i];
      const c = i >= step ? above[i - step] : 0;
      const predicted = [0, a, b, (a + b) >> 1, paeth(a, b, c)][filter];
      if (predicted === undefined) throw damaged();
      line[i] = (input[i] + predicted) & 0xff;
    }
  }
  // Sample `index` (channel `channel` of pixel `x`) of row `y`, scaled to 0..255.
  const max = (1 << Math.min(depth, 8)) - 1;
  const sample = (y: number, index: number): number => {
    const line = y * stride;
    if (depth === 16) return lines[line + 2 * index];
    if (depth === 8) return lines[line + index];
    const bit = index * depth;
    const raw = (lines[line + (bit >> 3)] >> (8 - depth - (bit & 7))) & max;
    return colourType === 3 ? raw : Math.round((raw * 255) / max);
  };
  const rawSample = (y: number, index: number): number => {
    if (depth === 16) return (lines[y * stride + 2 * index] << 8) | lines[y * stride + 2 * index + 1];
    if (depth === 8) return lines[y * stride + index];
    const bit = index * depth;
    return (lines[y * stride + (bit >> 3)] >> (8 - depth - (bit & 7))) & max;
  };
  const key = transparency && transparency.length >= 2 && colourType !== 3
    ? Array.from({ length: colourType === 2 ? 3 : 1 }, (_, i) => (transparency![2 * i] << 8) | transparency![2 * i + 1])
    : undefined;
  const rgba = new Uint8Array(width * height * 4);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const o = 4 * (y * width + x);
      if (colourType === 3) {
        const index = sample(y, x);
        if (3 * index + 2 >= palette!.length) throw damaged();
        rgba.set(palette!.subarray(3 * index, 3 * index + 3), o);
        rgba[o + 3] = transparency && index < transparency.length ? transparency[index] : 255;
        continue;
      }
      const base = x * channels;
      const colour = colourType === 2 || colourType === 6;
      rgba[o] = sample(y, base);
      rgba[o + 1] = sample(y, colour ? base + 1 : base);
      rgba[o + 2] = sample(y, colour ? base + 2 : base);
      rgba[o + 3] = colourType === 4 ? sample(y, base + 1) : colourType === 6 ? sample(y, base + 3) : 255;
      if (key && key.every((k, i) => rawSample(y, base + i) === k)) rgba[o + 3] = 0;
    }
  }
  return { width, height, rgba };
}

/**
 * A label of `dpi` drawn on a printer's label of `label` dots at `deviceDpi`
 * by the rule the print host uses on a driven queue: at its physical size,
 * shrunk uniformly to fit when larger but never below three quarters of it,
 * centred, never turned. Null when it does not fit.
 */
export function placeOnLabel(source: Bitmap, dpi: number, deviceDpi: number,
  label: { width: number; height: number }): Bitmap | null {
  const naturalWidth = Math.floor((deviceDpi * source.width) / dpi);
  const naturalHeight = Math.floor((deviceDpi * source.height) / dpi);
  if (naturalWidth <= 0 || naturalHeight <= 0) return null;
  let w = naturalWidth;
  let h = naturalHeight;
  if (w > label.width || h > label.height) {
    const a = label.height * naturalWidth;
    const b = label.width * naturalHeight;
    if (a < b) {
      h = label.height;
      w = Math.max(1, Math.floor(a / naturalHeight));
    } else {
      w = label.width;
      h = Math.max(1, Math.floor(b / naturalWidth));
    }
  }
  if (4 * w < 3 * naturalWidth || 4 * h < 3 * naturalHeight) return null;
  return placeBitmap(source, label.width, label.height, Math.floor((label.width - w) / 2),
    Math.floor((label.height - h) / 2), w, h);
}

/** The byte arrays one after another, in one array. */
export function concat(parts: Uint8Array[]): Uint8Array {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
}
