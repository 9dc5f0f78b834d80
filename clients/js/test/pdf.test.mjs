// PDF pages rendered for a printable area: physical size, the fit, rotate and
// colour rules, refusals, and the same bytes every time. PDFium runs here as
// the package's Node.js build of the same WebAssembly the browsers load.
import assert from 'node:assert/strict';
import { after, test } from 'node:test';

import { pdfModuleInNode } from '../scripts/pdf_in_node.mjs';

const { module: { printPdf, renderPdfPages }, dispose } = await pdfModuleInNode();
after(dispose);

// A PDF whose pages are [width, height] in points, each with a black square
// in its top left corner.
function pdfOf(pages) {
  const objects = ['<</Type/Catalog/Pages 2 0 R>>',
    `<</Type/Pages/Kids[${pages.map((_, i) => `${3 + 2 * i} 0 R`).join(' ')}]/Count ${pages.length}>>`];
  for (const [i, [w, h]] of pages.entries()) {
    const content = `0 0 0 rg 0 ${h - 36} 36 36 re f`;
    objects.push(`<</Type/Page/Parent 2 0 R/MediaBox[0 0 ${w} ${h}]/Contents ${4 + 2 * i} 0 R>>`);
    objects.push(`<</Length ${content.length}>>\nstream\n${content}\nendstream`);
  }
  let text = '%PDF-1.4\n';
  const offsets = objects.map((body, i) => {
    const at = text.length;
    text += `${i + 1} 0 obj\n${body}\nendobj\n`;
    return at;
  });
  const xref = text.length;
  text += `xref\n0 ${objects.length + 1}\n0000000000 65535 f \n`;
  for (const at of offsets) text += `${String(at).padStart(10, '0')} 00000 n \n`;
  text += `trailer\n<</Size ${objects.length + 1}/Root 1 0 R>>\nstartxref\n${xref}\n%%EOF\n`;
  return new TextEncoder().encode(text);
}

const LABEL = { dpi: 203, printable: { width: 812, height: 1218 } };  // 4 x 6 in at 203 dpi
const bitDepth = (png) => png[24];

test('pages print at their physical size, turned, shrunk or refused by the layout rules', async () => {
  const portrait = [288, 432];   // 4 x 6 in
  const landscape = [432, 288];  // 6 x 4 in
  const large = [576, 720];      // 8 x 10 in
  const cases = [
    ['4 x 6 as it is', [portrait], {}, [[812, 1218, false, 1]]],
    ['6 x 4 turned onto 4 x 6 stock', [landscape], {}, [[812, 1218, true, 1]]],
    ['6 x 4 kept landscape does not fit', [landscape], { rotate: 'none' }, 'PAGE_TOO_LARGE'],
    ['8 x 10 at actual size does not fit', [large], {}, 'PAGE_TOO_LARGE'],
    ['8 x 10 shrunk to fit, proportions kept', [large], { fit: 'shrink' }, [[812, 1015, false, 1]]],
    ['grey keeps shades', [portrait], { colour: 'grey' }, [[812, 1218, false, 8]]],
    ['chosen pages in the order given', [portrait, landscape], { pages: [2, 1] }, [[812, 1218, true, 1], [812, 1218, false, 1]]],
    ['a page that is not there', [portrait], { pages: [2] }, 'BAD_REQUEST'],
  ];
  for (const [name, pages, layout, expected] of cases) {
    const rendering = renderPdfPages(pdfOf(pages), LABEL, layout);
    if (typeof expected === 'string') {
      await assert.rejects(rendering, (e) => e.code === expected, name);
      continue;
    }
    const rendered = await rendering;
    assert.deepEqual(rendered.map((p) => [p.width, p.height, p.rotated, bitDepth(p.png)]), expected, name);
  }
});

test('the same PDF renders to the same bytes, and other pages to other bytes', async () => {
  const pdf = pdfOf([[288, 432], [432, 288]]);
  const [a, b] = await Promise.all([renderPdfPages(pdf, LABEL), renderPdfPages(pdf, LABEL)]);
  assert.deepEqual(a.map((p) => p.png), b.map((p) => p.png));
  assert.notDeepEqual(a[0].png, a[1].png);
});

test('a file that is not a PDF is a typed error', async () => {
  await assert.rejects(renderPdfPages(new TextEncoder().encode('not a pdf'), LABEL),
    (e) => e.code === 'BAD_REQUEST' && e.kind === 'fix-the-request');
});

test('a batch larger than one request is split into parts with ids derived from the caller\'s', async () => {
  const pdf = pdfOf(Array.from({ length: 1001 }, () => [72, 72]));  // 1001 one-inch pages
  const sent = [];
  const fakeClient = (failOn) => ({
    describePrinter: async () => ({ dpiX: 72, dpiY: 72, printableArea: { widthPx: 100, heightPx: 100 } }),
    printPages: async (o) => {
      sent.push([o.intentId, o.pages.length, o.dpi]);
      if (o.intentId === failOn) throw Object.assign(new Error('refused'), { code: 'PRINTER_UNAVAILABLE' });
      return { duplicate: false, intentId: o.intentId };
    },
  });
  const job = { printer: 'Q', pdf, intentId: 'batch-1', title: 'Batch' };
  const { parts } = await printPdf(fakeClient(), job);
  assert.deepEqual(parts.map((p) => [p.intentId, p.pages.length, p.pages[0]]), [['batch-1.part1', 1000, 1],
    ['batch-1.part2', 1, 1001]]);
  assert.deepEqual(sent, [['batch-1.part1', 1000, 72], ['batch-1.part2', 1, 72]]);
  // A failing part stops the print; what printed before it is on the error.
  sent.length = 0;
  await assert.rejects(printPdf(fakeClient('batch-1.part2'), job), (e) => e.parts?.length === 1 &&
    e.parts[0].intentId === 'batch-1.part1');
  // One part is named by the caller's id itself.
  sent.length = 0;
  await printPdf(fakeClient(), { ...job, pages: [3, 2] });
  assert.deepEqual(sent, [['batch-1', 2, 72]]);
});
