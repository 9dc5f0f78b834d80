// fit: 'auto' on the pages shippers get (a label among other marks on a
// Letter or A4 sheet, near-4 x 6 and A6 pages), the caller's crop, and grey
// that survives one bit. PDFium runs as the package's Node.js build.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import { after, test } from 'node:test';

import { pdfModuleInNode } from '../scripts/pdf_in_node.mjs';
import { decodePng } from '../dist/bitmap.js';
import { pdfFromObjects } from '../dist/pdf_writer.js';

const { module: { renderPdfPages }, dispose } = await pdfModuleInNode();
after(dispose);

const LABEL = { dpi: 203, printable: { width: 812, height: 1218 } };  // 4 x 6 in at 203 dpi
const IN = 72;
const px = (pt) => Math.round(pt * 203 / 72);

// A PDF of pages { size: [w, h], marks: [[left, top, width, height, grey?]] } in points from the top left;
// grey 0 is black (the default), 1 white.
function pdfOfMarks(pages) {
  const objects = ['<</Type/Catalog/Pages 2 0 R>>',
    `<</Type/Pages/Kids[${pages.map((_, i) => `${3 + 2 * i} 0 R`).join(' ')}]/Count ${pages.length}>>`];
  for (const [i, { size: [w, h], marks }] of pages.entries()) {
    const content = marks.map(([l, t, mw, mh, grey = 0]) => `${grey} g ${l} ${h - t - mh} ${mw} ${mh} re f`).join('\n');
    objects.push(`<</Type/Page/Parent 2 0 R/MediaBox[0 0 ${w} ${h}]/Contents ${4 + 2 * i} 0 R>>`);
    objects.push(`<</Length ${content.length}>>\nstream\n${content}\nendstream`);
  }
  return pdfFromObjects(objects);
}

// A 6 x 4 in label at (left, top): a frame, an address block and barcode-like bars.
function label6x4(left, top) {
  const marks = [[left, top, 432, 2], [left, top + 286, 432, 2], [left, top, 2, 288], [left + 430, top, 2, 288],
    [left + 20, top + 20, 200, 12], [left + 20, top + 40, 160, 12]];
  for (let x = 0; x < 40; x++) marks.push([left + 40 + x * 8, top + 120, x % 3 === 0 ? 4 : 2, 100]);
  return marks;
}

// What a carrier hands out on a sheet: the label, a dashed fold line across, and lines of instructions.
function carrierSheet([w, h], labelTop, restTop, labelLeft = (w - 432) / 2) {
  const marks = label6x4(labelLeft, labelTop);
  for (let x = 18; x + 12 < w - 18; x += 18) marks.push([x, restTop, 12, 1]);
  for (let line = 0; line < 4; line++) marks.push([36, restTop + 30 + line * 20, w - 72, 8]);
  return { size: [w, h], marks };
}

const LETTER = [612, 792];
const A4 = [595.3, 841.9];

test("fit 'auto' prints at 100 % whatever fits, turned where that fits, and scales only what cannot fit", async () => {
  const framed = (w, h, inset) => ({ size: [w, h], marks: [[inset, inset, w - 2 * inset, 2], [inset, h - inset - 2,
    w - 2 * inset, 2], [inset, inset, 2, h - 2 * inset], [w - inset - 2, inset, 2, h - 2 * inset]] });
  const rows = [
    // name, page, layout, [rule, rotated, scale 1?, width, height]
    ['an exact 4 x 6 page', framed(4 * IN, 6 * IN, 0), {}, ['page', false, true, 812, 1218]],
    ['a 4.01 x 6.01 in page: its ink', framed(4.01 * IN, 6.01 * IN, 4), {}, ['ink', false, true,
      px(4.01 * IN - 8), px(6.01 * IN - 8)]],
    ['102 x 152 mm: its ink', framed(289.1, 430.9, 6), {}, ['ink', false, true, px(289.1 - 12), px(430.9 - 12)]],
    ['A6 landscape: its ink, turned', framed(419.5, 297.6, 14), {}, ['ink', true, true, px(297.6 - 28), px(419.5 - 28)]],
    ['a Letter sheet: the label, turned', carrierSheet(LETTER, 36, 360), {}, ['region', true, true, 812, 1218]],
    ['an A4 sheet, the label below: the label', carrierSheet(A4, 450, 60), {}, ['region', true, true, 812, 1218]],
    ['a Letter sheet with one short mark: its ink, grown to the least raster',
      { size: LETTER, marks: [[300, 300, 2, 3]] }, {}, ['ink', false, true, 16, 16]],
    ['ink that cannot fit: scaled down', { size: [8 * IN, 10 * IN], marks: [[0, 0, 8 * IN, 10 * IN]] }, {},
      ['shrink', false, false, 812, 1015]],
    ['the caller\'s crop', carrierSheet(LETTER, 36, 360), { crop: { x: 90, y: 36, width: 432, height: 288 } },
      ['crop', true, true, 812, 1218]],
    ['a crop larger than the label: scaled', carrierSheet(LETTER, 36, 360),
      { crop: { x: 0, y: 0, width: 612, height: 400 } }, ['crop', true, false, 796, 1218]],
  ];
  for (const [name, page, layout, [rule, rotated, full, width, height]] of rows) {
    const [p] = await renderPdfPages(pdfOfMarks([page]), LABEL, layout);
    assert.deepEqual([p.rule, p.rotated, p.scale === 1], [rule, rotated, full], name);
    // A mark's edge that half covers a dot may or may not print it.
    assert.ok(Math.abs(p.width - width) <= 1 && Math.abs(p.height - height) <= 1, `${name}: ${p.width} x ${p.height}`);
    assert.ok(p.width <= LABEL.printable.width && p.height <= LABEL.printable.height, name);
  }
});

test('at 600 dpi the region is found in cells and checked in dots', async () => {
  const [p] = await renderPdfPages(pdfOfMarks([carrierSheet(LETTER, 36, 360)]),
    { dpi: 600, printable: { width: 2400, height: 3600 } });
  assert.deepEqual([p.rule, p.rotated, p.scale], ['region', true, 1]);
  assert.ok(p.width <= 2400 && p.height <= 3600 && p.width >= 2398 && p.height >= 3598, `${p.width} x ${p.height}`);
});

test("the label's region holds every mark of the label and nothing of the sheet's other marks", async () => {
  // On a 9 x 11 in sheet, 72 pt from the corner, the label starts on a dot boundary, as it does on a
  // page of its own, and the sheet renders at exactly 203 dpi (a Letter sheet is 1725.5 dots wide).
  const sheet = carrierSheet([648, 792], 72, 400, 72);
  const [p] = await renderPdfPages(pdfOfMarks([sheet]), LABEL);
  assert.equal(p.rule, 'region');
  // The label alone, rendered as a page of its own and turned, is the same dots.
  const alone = { size: [432, 288], marks: label6x4(0, 0) };
  const [q] = await renderPdfPages(pdfOfMarks([alone]), LABEL);
  assert.equal(q.rule, 'page');
  assert.deepEqual(Buffer.from(p.png), Buffer.from(q.png));
});

test('a crop map names pages by number; the others print whole', async () => {
  const pdf = pdfOfMarks([{ size: [4 * IN, 6 * IN], marks: [[10, 10, 50, 50]] }, carrierSheet(LETTER, 36, 360)]);
  const pages = await renderPdfPages(pdf, LABEL, { crop: { 2: { x: 90, y: 36, width: 432, height: 288 } } });
  assert.deepEqual(pages.map((p) => p.rule), ['page', 'crop']);
  for (const crop of [{ x: 0, y: 0, width: 0, height: 5 }, { 0: { x: 0, y: 0, width: 5, height: 5 } },
    { x: 1000, y: 1000, width: 10, height: 10 }, { x: 'a', y: 0, width: 5, height: 5 }]) {
    await assert.rejects(renderPdfPages(pdf, LABEL, { crop }), (e) => e.code === 'BAD_REQUEST', JSON.stringify(crop));
  }
});

async function blackShare(png, box) {
  const { width, rgba } = await decodePng(png);
  let black = 0;
  for (let y = box.top; y < box.top + box.height; y++) {
    for (let x = box.left; x < box.left + box.width; x++) black += rgba[(y * width + x) * 4] === 0 ? 1 : 0;
  }
  return black / (box.width * box.height);
}

test('grey survives one bit: tints are dithered, black and white stay exact, and threshold keeps the old rule', async () => {
  // A 50 % grey box and a 25 % one, a 2 mm grey line, and black bars of 2 and 3 dots.
  const bars = [];
  for (let i = 0; i < 20; i++) bars.push([20 + i * 3 * 72 / 203 * 2, 300, 2 * 72 / 203, 60]);
  const page = { size: [4 * IN, 6 * IN], marks: [[36, 36, 72, 72, 0.5], [144, 36, 72, 72, 0.75],
    [36, 150, 200, 5.67, 0.5], ...bars] };
  const pdf = pdfOfMarks([page]);
  const [dithered] = await renderPdfPages(pdf, LABEL);
  const [threshold] = await renderPdfPages(pdf, LABEL, { colour: 'threshold' });
  const inner = (l, t, w, h) => ({ left: px(l) + 2, top: px(t) + 2, width: px(w) - 4, height: px(h) - 4 });
  const half = await blackShare(dithered.png, inner(36, 36, 72, 72));
  const quarter = await blackShare(dithered.png, inner(144, 36, 72, 72));
  const line = await blackShare(dithered.png, inner(36, 150, 200, 5.67));
  assert.ok(half > 0.45 && half < 0.55, `50 % grey: ${half}`);
  assert.ok(quarter > 0.2 && quarter < 0.3, `25 % grey: ${quarter}`);
  assert.ok(line > 0.3 && line < 0.7, `the grey line: ${line}`);
  for (const box of [inner(36, 36, 72, 72), inner(144, 36, 72, 72)]) {
    assert.ok([0, 1].includes(await blackShare(threshold.png, box)), 'threshold: all or nothing');
  }
  // colour: 'threshold' is the earlier default, byte for byte: these are its digests for this PDF, and for a
  // landscape page turned onto the label.
  const golden = pdfOfMarks([page, { size: [432, 288], marks: [[10, 20, 100, 50, 0.3], [200, 100, 7.3, 90]] }]);
  const digests = (await renderPdfPages(golden, LABEL, { colour: 'threshold' })).map((p) =>
    crypto.createHash('sha256').update(p.png).digest('hex'));
  assert.deepEqual(digests, ['2afa7873e0d2cfb808be56ce2e88f1d746cf7859e4739f6cc43b8ef6b8b88870',
    '722693c7edeb7efd84507657191f59666dc65c046794b83446e19e894ddf8f71']);
});
