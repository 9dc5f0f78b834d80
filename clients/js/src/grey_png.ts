// Grey PNGs written by the library itself, byte for byte the same in every
// browser: a browser's own encoder (canvas.convertToBlob) differs from one
// browser to the next, and a retry after a reload must send the very bytes it
// sent before, or the host would see other output under the same intent id.

import { concat, isDark } from './bitmap.js';
import { zlibSync } from './vendor/fflate.js';

const CRC_TABLE = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes: Uint8Array): number {
  let c = 0xffffffff;
  for (let i = 0; i < bytes.length; i++) c = CRC_TABLE[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function chunk(type: string, data: Uint8Array): Uint8Array {
  const out = new Uint8Array(12 + data.length);
  const view = new DataView(out.buffer);
  view.setUint32(0, data.length);
  for (let i = 0; i < 4; i++) out[4 + i] = type.charCodeAt(i);
  out.set(data, 8);
  view.setUint32(8 + data.length, crc32(out.subarray(4, 8 + data.length)));
  return out;
}

// Dithering: grey that survives one bit. A sample is dithered only inside a
// grey area: it and its four neighbours all lie in the grey band. Everything
// else (solid black and white, and the anti-aliased edges of bars and text,
// whose neighbours are black or white) is thresholded as before, so that a
// barcode keeps its modules dot for dot. The dither is ordered (an 8 x 8
// Bayer matrix anchored at the top left corner of the bitmap sent, after any
// crop and turn): it depends on a sample and its place only, the same in
// every browser.
const GREY_BAND_LOW = 16;
const GREY_BAND_HIGH = 239;
const BAYER_8 = new Uint8Array([
  0, 32, 8, 40, 2, 34, 10, 42,
  48, 16, 56, 24, 50, 18, 58, 26,
  12, 44, 4, 36, 14, 46, 6, 38,
  60, 28, 52, 20, 62, 30, 54, 22,
  3, 35, 11, 43, 1, 33, 9, 41,
  51, 19, 59, 27, 49, 17, 57, 25,
  15, 47, 7, 39, 13, 45, 5, 37,
  63, 31, 55, 23, 61, 29, 53, 21,
]);

function inBand(v: number): boolean {
  return v >= GREY_BAND_LOW && v <= GREY_BAND_HIGH;
}

/** Whether the sample at (x, y) prints a dot: thresholded, or dithered inside a grey area. */
function ditheredDark(samples: Uint8Array, width: number, height: number, x: number, y: number): boolean {
  const i = y * width + x;
  const v = samples[i];
  const grey = inBand(v) && (x === 0 || inBand(samples[i - 1])) && (x === width - 1 || inBand(samples[i + 1])) &&
    (y === 0 || inBand(samples[i - width])) && (y === height - 1 || inBand(samples[i + width]));
  if (!grey) return isDark(v);
  return v < BAYER_8[(y & 7) * 8 + (x & 7)] * 4 + 2;
}

/** How grey samples become one bit: by the threshold alone, or dithered inside grey areas. */
export type OneBit = 'threshold' | 'dither';

/** 1 where a sample prints a dot, 0 where it does not: as one bit of `oneBit`, or, for 'grey', any
 * sample that is not white. */
export function dotMask(samples: Uint8Array, width: number, height: number, oneBit: OneBit | 'grey'): Uint8Array {
  const mask = new Uint8Array(width * height);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const i = y * width + x;
      const dot = oneBit === 'grey' ? samples[i] < 255
        : oneBit === 'dither' ? ditheredDark(samples, width, height, x, y) : isDark(samples[i]);
      mask[i] = dot ? 1 : 0;
    }
  }
  return mask;
}

/**
 * A grey PNG of `width` x `height` from 8-bit samples (0 black .. 255 white),
 * rows top to bottom: 1 bit per pixel (`bits` 1: black or white by isDark,
 * the rule printers without a driver get too, or dithered in grey areas by
 * `oneBit` 'dither') or 8.
 */
export function greyPng(samples: Uint8Array, width: number, height: number, bits: 1 | 8,
  oneBit: OneBit = 'threshold'): Uint8Array {
  const stride = bits === 1 ? Math.ceil(width / 8) : width;
  const raw = new Uint8Array((stride + 1) * height);  // each row starts with filter type 0
  for (let y = 0; y < height; y++) {
    const row = y * (stride + 1) + 1;
    const from = y * width;
    if (bits === 8) {
      raw.set(samples.subarray(from, from + width), row);
      continue;
    }
    if (oneBit === 'dither') {
      for (let x = 0; x < width; x++) {
        if (!ditheredDark(samples, width, height, x, y)) raw[row + (x >> 3)] |= 0x80 >> (x & 7);
      }
      continue;
    }
    for (let x = 0; x < width; x++) {
      if (!isDark(samples[from + x])) raw[row + (x >> 3)] |= 0x80 >> (x & 7);
    }
  }
  const header = new Uint8Array(13);
  const view = new DataView(header.buffer);
  view.setUint32(0, width);
  view.setUint32(4, height);
  header[8] = bits;  // bit depth; colour type 0 (grey), no interlace
  return concat([
    new Uint8Array([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', header),
    chunk('IDAT', zlibSync(raw, { level: 9 })),
    chunk('IEND', new Uint8Array(0)),
  ]);
}
