// 1-bit label pages as ZPL, EPL, TSPL and ESC/POS bytes: each language's
// stream is read back here by a small decoder written from the language's
// own reference (command syntax, compression, which bit prints a dot), and
// must give the very pixels it was made from.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { thresholdGrey, thresholdRgba } from '../dist/bitmap.js';
import { ESCPOS_BAND, encodePages } from '../dist/printer_language.js';
import { DECODERS } from './printer_decoders.mjs';

const STOCK = { widthMm: 50.8, heightMm: 25.4 };
const latin1 = (bytes) => Buffer.from(bytes).toString('latin1');
const stride = (width) => Math.ceil(width / 8);

function bitmapOf(width, height, black) {
  const rows = new Uint8Array(stride(width) * height);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) if (black(x, y)) rows[y * stride(width) + (x >> 3)] |= 0x80 >> (x & 7);
  }
  return { width, height, rows };
}

function seeded(seed) {
  let s = seed >>> 0;
  return () => {
    s = (Math.imul(s, 1664525) + 1013904223) >>> 0;
    return s / 2 ** 32;
  };
}

// A bitmap whose rows, as hex, are the given strings (each 2 * bytes per row long).
function bitmapOfHex(hexRows) {
  const width = hexRows[0].length * 4;
  return { width, height: hexRows.length, rows: Uint8Array.from(Buffer.from(hexRows.join(''), 'hex')) };
}

// Rows that use every ZPL code: repeat letters G..Y and g..z, ',' '!' and ':'.
function zplCodesBitmap() {
  const runs = [];
  for (let n = 3; n <= 19; n++) runs.push(n);
  for (let k = 1; k <= 20; k++) runs.push(20 * k + (k % 20));
  runs.push(430, 850);  // longer than one repeat token holds
  const hexChars = '123456789ABCDE';
  let first = runs.map((n, i) => hexChars[i % hexChars.length].repeat(n)).join('');
  const length = 2 * Math.ceil((first.length + 600) / 2);
  first += 'A' + '0'.repeat(length - first.length - 1);     // ends in zeros: ','
  const ones = '5' + 'F'.repeat(length - 1);                  // ends in ones: '!'
  const random = seeded(7);
  const noise = Array.from({ length }, () => '0123456789ABCDEF'[Math.floor(random() * 16)]).join('');
  return bitmapOfHex([first, first, ones, '0'.repeat(length), 'F'.repeat(length), 'F'.repeat(length), noise]);
}

const random = seeded(42);
const BITMAPS = [
  ['all white', bitmapOf(16, 4, () => false)],
  ['all black', bitmapOf(16, 4, () => true)],
  ['13 wide, not a whole number of bytes', bitmapOf(13, 9, (x, y) => (x * 7 + y * 3) % 5 === 0)],
  ['13 wide, all black (padding bits stay white)', bitmapOf(13, 3, () => true)],
  ['checkerboard', bitmapOf(24, 10, (x, y) => (x + y) % 2 === 0)],
  ['random, fixed seed', bitmapOf(203, 61, () => random() < 0.5)],
  [`taller than one ESC/POS band (${ESCPOS_BAND} rows)`, bitmapOf(20, 2 * ESCPOS_BAND + 3, (x, y) => (x ^ y) % 3 === 0)],
  ['every ZPL compression code', zplCodesBitmap()],
];

const expected = (pages) => pages.map((p) => ({ perRow: stride(p.width), height: p.height, rows: Buffer.from(p.rows) }));

test('every language decodes back to the very pixels it was given', () => {
  for (const [language, decode] of Object.entries(DECODERS)) {
    for (const [name, bitmap] of BITMAPS) {
      const bytes = encodePages(language, [bitmap], STOCK);
      assert.deepEqual(decode(bytes, [bitmap]), expected([bitmap]), `${language}: ${name}`);
    }
    // Several pages make one stream, in order.
    const pages = BITMAPS.slice(2, 6).map(([, b]) => b);
    assert.deepEqual(decode(encodePages(language, pages, STOCK), pages), expected(pages), `${language}: pages in order`);
  }
  // TSPL places BITMAP on the label SIZE says, given once before the pages.
  assert.ok(latin1(encodePages('tspl', [BITMAPS[0][1]], STOCK)).startsWith('SIZE 50.8 mm,25.4 mm\r\nCLS\r\n'));
});

test('the ZPL test rows use every compression code, and real labels compress', () => {
  const data = latin1(encodePages('zpl', [zplCodesBitmap()], STOCK));
  for (const code of [...'GHIJKLMNOPQRSTUVWXY', ...'ghijklmnopqrstuvwxyz', ',', '!', ':']) {
    assert.ok(data.includes(code), `no ${code} in the encoded rows`);
  }
  const white = bitmapOf(812, 1218, () => false);
  assert.ok(encodePages('zpl', [white], STOCK).length < 2000, 'a white 4 x 6 in label is a few hundred bytes');
});

test('the same pages give the same bytes, and one pixel more gives other bytes', () => {
  for (const language of Object.keys(DECODERS)) {
    for (const [name, bitmap] of BITMAPS) {
      const copy = { ...bitmap, rows: Uint8Array.from(bitmap.rows) };
      assert.deepEqual(encodePages(language, [bitmap], STOCK), encodePages(language, [copy], STOCK), `${language}: ${name}`);
      copy.rows[copy.rows.length >> 1] ^= 0x10;
      assert.notDeepEqual(encodePages(language, [copy], STOCK), encodePages(language, [bitmap], STOCK),
        `${language}: ${name}, one pixel changed`);
    }
  }
});

test('grey and colour become black or white: solid black and white exactly, transparency as white', () => {
  const cases = [
    ['black', [0, 0, 0, 255], true],
    ['white', [255, 255, 255, 255], false],
    ['dark grey', [127, 127, 127, 255], true],
    ['light grey', [128, 128, 128, 255], false],
    ['pure red is dark', [255, 0, 0, 255], true],
    ['yellow is light', [255, 255, 0, 255], false],
    ['transparent black is white', [0, 0, 0, 0], false],
    ['half-transparent black is light', [0, 0, 0, 127], false],
    ['mostly opaque black is dark', [0, 0, 0, 200], true],
  ];
  for (const [name, rgba, black] of cases) {
    assert.equal(thresholdRgba(Uint8Array.from(rgba), 1, 1).rows[0] === 0x80, black, name);
  }
  const grey = Uint8Array.from({ length: 10 }, (_, i) => (i % 2 ? 255 : 0));
  assert.deepEqual(thresholdGrey(grey, 10, 1), { width: 10, height: 1, rows: Uint8Array.from([0xaa, 0x80]) });
});
