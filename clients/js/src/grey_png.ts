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

/**
 * A grey PNG of `width` x `height` from 8-bit samples (0 black .. 255 white),
 * rows top to bottom: 1 bit per pixel (`bits` 1: black or white by isDark,
 * the rule printers without a driver get too) or 8.
 */
export function greyPng(samples: Uint8Array, width: number, height: number, bits: 1 | 8): Uint8Array {
  const stride = bits === 1 ? Math.ceil(width / 8) : width;
  const raw = new Uint8Array((stride + 1) * height);  // each row starts with filter type 0
  for (let y = 0; y < height; y++) {
    const row = y * (stride + 1) + 1;
    const from = y * width;
    if (bits === 8) {
      raw.set(samples.subarray(from, from + width), row);
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
