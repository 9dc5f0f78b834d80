// 1-bit label pages as ZPL, EPL, TSPL and ESC/POS bytes: each language's
// stream is read back here by a small decoder written from the language's
// own reference (command syntax, compression, which bit prints a dot), and
// must give the very pixels it was made from.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { thresholdGrey, thresholdRgba } from '../dist/bitmap.js';
import { ESCPOS_BAND, encodePages } from '../dist/printer_language.js';

const STOCK = { widthMm: 50.8, heightMm: 25.4 };
const stride = (width) => Math.ceil(width / 8);
const latin1 = (bytes) => Buffer.from(bytes).toString('latin1');

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

// ZPL: ^GFA,total,total,bytesPerRow,data with the ASCII-hex compression.
function unZplRows(data, total, perRow) {
  const hexPerRow = 2 * perRow;
  const rows = [];
  let row = '';
  let count = 0;
  const finish = (fill) => {
    row = row.padEnd(hexPerRow, fill);
    rows.push(row);
    row = '';
  };
  for (const c of data) {
    if (c >= 'G' && c <= 'Y') count += c.charCodeAt(0) - 0x46;
    else if (c >= 'g' && c <= 'z') count += 20 * (c.charCodeAt(0) - 0x66);
    else if (c === ',') finish('0');
    else if (c === '!') finish('F');
    else if (c === ':') {
      assert.equal(row, '', "':' starts a row");
      assert.ok(rows.length > 0, "':' has a row above it");
      rows.push(rows.at(-1));
    } else {
      assert.match(c, /[0-9A-F]/);
      row += c.repeat(count || 1);
      count = 0;
      assert.ok(row.length <= hexPerRow, 'a run crosses the end of a row');
      if (row.length === hexPerRow) finish('0');
    }
  }
  assert.equal(row, '');
  const bytes = Buffer.from(rows.join(''), 'hex');
  assert.equal(bytes.length, total);
  return bytes;
}

function decodeZpl(bytes) {
  const text = latin1(bytes);
  const pages = [];
  const re = /\^XA\n\^FO0,0\^GFA,(\d+),(\d+),(\d+),([^^]*)\^FS\n\^XZ\n/gy;
  let m;
  let end = 0;
  while ((m = re.exec(text))) {
    const [, total, fieldCount, perRow, data] = m;
    assert.equal(total, fieldCount);
    // In ^GF a 1 bit prints a dot.
    pages.push({ perRow: +perRow, height: +total / +perRow, rows: unZplRows(data, +total, +perRow) });
    end = re.lastIndex;
  }
  assert.equal(end, text.length, 'nothing but whole ^XA..^XZ labels');
  return pages;
}

// EPL2 and TSPL: binary rows where a 0 bit prints a dot; padding bits must be white too.
function undoZeroIsBlack(data, perRow, height, width) {
  const rows = new Uint8Array(data.length);
  for (let i = 0; i < data.length; i++) {
    if (width !== undefined && i % perRow === perRow - 1) {
      const padding = (1 << (perRow * 8 - width)) - 1;
      assert.equal(data[i] & padding, padding, 'the bits past the width print nothing');
    }
    rows[i] = ~data[i] & 0xff;
  }
  return rows;
}

function decodeBinaryCommand(bytes, head, command, tail, widths) {
  const text = latin1(bytes);
  const pages = [];
  let at = 0;
  const re = new RegExp(`${head}${command}(\\d+),(\\d+),`, 'y');
  while (at < text.length) {
    re.lastIndex = at;
    const m = re.exec(text);
    assert.ok(m, `a page starts at ${at}: ${JSON.stringify(text.slice(at, at + 40))}`);
    const perRow = +m[1];
    const height = +m[2];
    const from = re.lastIndex;
    const data = bytes.subarray(from, from + perRow * height);
    pages.push({ perRow, height, rows: Buffer.from(undoZeroIsBlack(data, perRow, height, widths[pages.length])) });
    at = from + perRow * height;
    assert.equal(text.slice(at, at + tail.length), tail);
    at += tail.length;
  }
  return pages;
}

const decodeEpl = (bytes, widths) => decodeBinaryCommand(bytes, '\\nN\\n', 'GW0,0,', '\nP1\n', widths);

// ESC/POS: ESC @, then GS v 0 bands (1 = a dot); a page is as many bands as its height needs.
function decodeEscpos(bytes, heights) {
  assert.deepEqual([...bytes.subarray(0, 2)], [0x1b, 0x40]);
  const bands = [];
  for (let at = 2; at < bytes.length;) {
    assert.deepEqual([...bytes.subarray(at, at + 4)], [0x1d, 0x76, 0x30, 0]);
    const perRow = bytes[at + 4] | (bytes[at + 5] << 8);
    const rows = bytes[at + 6] | (bytes[at + 7] << 8);
    assert.ok(rows >= 1 && rows <= ESCPOS_BAND && ESCPOS_BAND <= 255, 'a band fits yL alone');
    bands.push({ perRow, rows, data: bytes.subarray(at + 8, at + 8 + perRow * rows) });
    at += 8 + perRow * rows;
    assert.ok(at <= bytes.length);
  }
  const pages = [];
  for (const height of heights) {
    let got = 0;
    const parts = [];
    let perRow;
    while (got < height) {
      const band = bands.shift();
      perRow ??= band.perRow;
      assert.equal(band.perRow, perRow);
      parts.push(band.data);
      got += band.rows;
    }
    assert.equal(got, height);
    pages.push({ perRow, height, rows: Buffer.concat(parts) });
  }
  assert.equal(bands.length, 0);
  return pages;
}

// TSPL's pages come after SIZE; the BITMAP command ends its numbers with the mode.
function decodeTsplPages(bytes, widths) {
  const text = latin1(bytes);
  const size = `SIZE ${STOCK.widthMm} mm,${STOCK.heightMm} mm\r\n`;
  assert.ok(text.startsWith(size));
  const pages = [];
  const re = /CLS\r\nBITMAP 0,0,(\d+),(\d+),0,/y;
  for (let at = size.length; at < text.length;) {
    re.lastIndex = at;
    const m = re.exec(text);
    assert.ok(m, `a page starts at ${at}`);
    const perRow = +m[1];
    const height = +m[2];
    const data = bytes.subarray(re.lastIndex, re.lastIndex + perRow * height);
    pages.push({ perRow, height, rows: Buffer.from(undoZeroIsBlack(data, perRow, height, widths[pages.length])) });
    at = re.lastIndex + perRow * height;
    assert.equal(text.slice(at, at + 11), '\r\nPRINT 1\r\n');
    at += 11;
  }
  return pages;
}

export const DECODERS = {
  zpl: (bytes) => decodeZpl(bytes),
  epl: (bytes, pages) => decodeEpl(bytes, pages.map((p) => p.width)),
  tspl: (bytes, pages) => decodeTsplPages(bytes, pages.map((p) => p.width)),
  escpos: (bytes, pages) => decodeEscpos(bytes, pages.map((p) => p.height)),
};

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
