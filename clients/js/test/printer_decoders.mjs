// Readers of the printer-language streams the library writes, each written
// from the language's own reference rather than from the library's code:
// command syntax, ZPL's compression, and which bit value prints a dot.
// Each returns the pages as { perRow, height, rows } with 1 = a dot.
import assert from 'node:assert/strict';

import { ESCPOS_BAND } from '../dist/printer_language.js';

const latin1 = (bytes) => Buffer.from(bytes).toString('latin1');

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
  const size = /^SIZE [0-9.]+ mm,[0-9.]+ mm\r\n/.exec(text)?.[0];
  assert.ok(size, 'SIZE comes first');
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

