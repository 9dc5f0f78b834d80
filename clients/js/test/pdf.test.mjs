// PDF pages rendered for a printable area: physical size, the fit, rotate and
// colour rules, refusals, and the same bytes every time. PDFium runs here as
// the package's Node.js build of the same WebAssembly the browsers load.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { PrintHostClient } from '../dist/index.js';
import { pdfFromObjects } from '../dist/pdf_writer.js';
import { pdfModuleInNode } from '../scripts/pdf_in_node.mjs';
import { DECODERS } from './printer_decoders.mjs';

const { module: { printPdf, renderPdfPages, warmUpPdf }, counts, dispose } = await pdfModuleInNode({ counting: true });
after(dispose);
const here = path.dirname(fileURLToPath(import.meta.url));

// A PDF whose pages are [width, height] in points, each with a black square
// in its top left corner, or, when a page is [width, height, [left, top,
// rectWidth, rectHeight]], with that black rectangle (points from the page's
// top left corner) instead.
function pdfOf(pages) {
  const objects = ['<</Type/Catalog/Pages 2 0 R>>',
    `<</Type/Pages/Kids[${pages.map((_, i) => `${3 + 2 * i} 0 R`).join(' ')}]/Count ${pages.length}>>`];
  for (const [i, [w, h, [left, top, rw, rh] = [0, 0, 36, 36]]] of pages.entries()) {
    const content = `0 0 0 rg ${left} ${h - top - rh} ${rw} ${rh} re f`;
    objects.push(`<</Type/Page/Parent 2 0 R/MediaBox[0 0 ${w} ${h}]/Contents ${4 + 2 * i} 0 R>>`);
    objects.push(`<</Length ${content.length}>>\nstream\n${content}\nendstream`);
  }
  return pdfFromObjects(objects);
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
    ['6 x 4 kept landscape does not fit', [landscape], { rotate: 'none', fit: 'actual' }, 'PAGE_TOO_LARGE'],
    ['8 x 10 at actual size does not fit', [large], { fit: 'actual' }, 'PAGE_TOO_LARGE'],
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

test("a user's file that cannot be read (not a PDF, damaged, password-protected) asks for another file", async () => {
  const good = pdfOf([[288, 432]]);
  const rows = [
    ['not a PDF', new TextEncoder().encode('not a pdf'), /cannot be read as a PDF/],
    ['cut short', good.subarray(0, 60), /cannot be read as a PDF/],
    ['protected by a password', new Uint8Array(fs.readFileSync(path.join(here, 'fixtures', 'password.pdf'))), /password/],
  ];
  for (const [name, pdf, message] of rows) {
    await assert.rejects(renderPdfPages(pdf, LABEL), (e) => {
      assert.deepEqual([e.code, e.kind, e.file], ['UNREADABLE_FILE', 'ask-for-another-file', 'pdf'], name);
      assert.match(e.message, message, name);
      return true;
    });
  }
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

test('PDFium starts once per wasmBinary, and every later call given it reuses that one', async () => {
  const wasm = fs.readFileSync(path.join(here, '..', 'node_modules', '@hyzyla', 'pdfium', 'dist', 'pdfium.wasm'));
  const binary = () => wasm.buffer.slice(wasm.byteOffset, wasm.byteOffset + wasm.byteLength);
  const pdf = pdfOf([[288, 432]]);
  const one = binary();
  const before = counts.instances;
  for (let i = 0; i < 4; i++) await renderPdfPages(pdf, LABEL, { wasmBinary: one });
  await Promise.all([renderPdfPages(pdf, LABEL, { wasmBinary: one }), renderPdfPages(pdf, LABEL, { wasmBinary: one })]);
  assert.equal(counts.instances - before, 1, 'six calls with one wasmBinary');
  await renderPdfPages(pdf, LABEL, { wasmBinary: binary() });
  assert.equal(counts.instances - before, 2, 'another wasmBinary has an instance of its own');
});

test('every document and page PDFium opens is closed again, rendered or refused', async () => {
  const portrait = [288, 432];
  const cases = [
    ['rendered', [portrait, portrait], {}, null],
    ['a page too large, after one that fits', [portrait, [576, 720]], { fit: 'actual' }, 'PAGE_TOO_LARGE'],
    ['a page whose ink fits', [[576, 720]], {}, null],
    ['a page whose ink must shrink, rendered twice', [[576, 720, [0, 0, 576, 720]]], {}, null],
    ['a page whose ink must shrink, too small then', [[20000, 20, [0, 0, 20000, 20]]], {}, 'BAD_REQUEST'],
    ['a page too small to print', [[4, 4]], {}, 'BAD_REQUEST'],
    ['a page that is not there', [portrait], { pages: [3] }, 'BAD_REQUEST'],
  ];
  for (const [name, pages, layout, refused] of cases) {
    const rendering = renderPdfPages(pdfOf(pages), LABEL, layout);
    if (refused) await assert.rejects(rendering, (e) => e.code === refused, name);
    else assert.equal((await rendering).length, pages.length, name);
    assert.deepEqual([counts.openDocuments, counts.openPages], [0, 0], `${name}: documents and pages left open`);
  }
  // The warm-up renders a page of its own, and closes it.
  await warmUpPdf();
  assert.deepEqual([counts.openDocuments, counts.openPages], [0, 0], 'the warm-up');
});

test('bad input to the PDF calls is a BAD_REQUEST, never a TypeError, and nothing is sent', async () => {
  const pdf = pdfOf([[288, 432]]);
  const detached = pdf.buffer.slice(0);
  structuredClone(detached, { transfer: [detached] });
  const asked = [];
  const fakeClient = {
    describePrinter: async () => {
      asked.push('describePrinter');
      return { dpiX: 203, printableArea: { widthPx: 812, heightPx: 1218 } };
    },
    printPages: async () => {
      asked.push('printPages');
      return { duplicate: false };
    },
  };
  const job = { printer: 'Q', pdf, intentId: 'bad-pdf-1', title: 'Bad' };
  const rows = [
    ['render a number', () => renderPdfPages(42, LABEL)],
    ['render a string', () => renderPdfPages('%PDF-1.4', LABEL)],
    ['render a detached ArrayBuffer', () => renderPdfPages(detached, LABEL)],
    ['render for no target', () => renderPdfPages(pdf, null)],
    ['render at a BigInt dpi', () => renderPdfPages(pdf, { ...LABEL, dpi: 203n })],
    ['render without a printable area', () => renderPdfPages(pdf, { dpi: 203 })],
    ['render pages given as a number', () => renderPdfPages(pdf, LABEL, { pages: 1 })],
    ['render with an unknown fit', () => renderPdfPages(pdf, LABEL, { fit: 'stretch' })],
    ['render with a wasmBinary that is a string', () => renderPdfPages(pdf, LABEL, { wasmBinary: 'pdfium.wasm' })],
    ['print without options', () => printPdf(fakeClient)],
    ['print with a pdf that is a number', () => printPdf(fakeClient, { ...job, pdf: 42 })],
    ['print with intentId a number', () => printPdf(fakeClient, { ...job, intentId: 7 })],
    ['print with copies 0', () => printPdf(fakeClient, { ...job, copies: 0 })],
    ['print with copies a BigInt', () => printPdf(fakeClient, { ...job, copies: 1n })],
    ['print with a signal that is not one', () => printPdf(fakeClient, { ...job, signal: {} })],
    ['print with an unknown colour', () => printPdf(fakeClient, { ...job, colour: 'red' })],
  ];
  for (const [name, call] of rows) {
    await assert.rejects(call(), (e) => {
      assert.ok(e?.name === 'PrintHostError', `${name}: ${e?.name}: ${e?.message}`);
      assert.deepEqual([e.code, e.kind], ['BAD_REQUEST', 'fix-the-request'], name);
      return true;
    });
  }
  assert.deepEqual(asked, []);
});

test('an aborted PDF print rejects with the reason, or, once a part has printed, says which did', async () => {
  const pdf = pdfOf(Array.from({ length: 1001 }, () => [72, 72]));  // two parts
  // As the client does: a part whose signal is aborted before it is sent rejects with the reason.
  const fakeClient = (abortAfter, controller, reason) => ({
    describePrinter: async () => ({ dpiX: 72, dpiY: 72, printableArea: { widthPx: 100, heightPx: 100 } }),
    printPages: async (o) => {
      if (o.signal.aborted) throw o.signal.reason;
      if (o.intentId.endsWith(`.part${abortAfter}`)) controller.abort(reason);
      return { duplicate: false, intentId: o.intentId };
    },
  });
  const cases = [
    ['before any part printed', 0, (e, reason) => e === reason],
    ['after one of two parts printed', 1, (e, reason) => e.name === 'PrintHostError' && e.code === 'ABORTED' &&
      e.kind === 'cancelled' && e.cause === reason && e.parts.map((p) => p.intentId).join() === 'abort-1.part1'],
  ];
  for (const [name, abortAfter, expected] of cases) {
    const controller = new AbortController();
    const reason = new Error('stop');
    if (abortAfter === 0) controller.abort(reason);
    const printing = printPdf(fakeClient(abortAfter, controller, reason),
      { printer: 'Q', pdf, intentId: 'abort-1', title: 'Abort', signal: controller.signal });
    await assert.rejects(printing, (e) => expected(e, reason), name);
    assert.equal(reason.parts, undefined, `${name}: the caller's reason is not written on`);
  }
});

// The print host as the client reaches it by one-off messages: every message
// is kept, and each is answered as submitted (a repeated attempt as its
// duplicate).
function rawHost() {
  const sent = [];
  const runtime = {
    lastError: null,
    sendNativeMessage(name, message, callback) {
      sent.push(structuredClone(message));
      const duplicate = sent.filter((m) => m.payload?.intent_id === message.payload?.intent_id).length > 1;
      queueMicrotask(() => callback({ protocol: 1, request_id: message.request_id, ok: true,
        result: { duplicate, state: 'SUBMITTED' } }));
    },
  };
  return { client: new PrintHostClient({ runtime, transport: 'message', retryDelayMs: 1, timeoutMs: 5000 }), sent };
}

const dotsOf = (mm, dpi) => Math.round(mm / 25.4 * dpi);

// Where a page's rectangle lands on the label, in dots, by printPdf's rules: the page rendered at the target's
// dpi (shrunk uniformly when it is larger than the label and the fit is 'shrink'), then centred on the label.
function rectangleOnLabel(label, dpi, [w, h, [left, top, rw, rh]]) {
  let width = Math.round(w * dpi / 72);
  let height = Math.round(h * dpi / 72);
  if (width > label.width || height > label.height) {
    const scale = Math.min(label.width / width, label.height / height);
    width = Math.floor(width * scale);
    height = Math.floor(height * scale);
  }
  const x = Math.floor((label.width - width) / 2);
  const y = Math.floor((label.height - height) / 2);
  const sx = width / w;
  const sy = height / h;
  return { x0: x + left * sx, x1: x + (left + rw) * sx, y0: y + top * sy, y1: y + (top + rh) * sy };
}

// A decoded page: the label's size in dots, every dot at least one dot inside the rectangle black, and every
// dot more than one dot outside it white. The dot each edge crosses takes PDFium's coverage through the
// black-or-white rule, so it may go either way.
function assertPage(page, label, rect, name) {
  const stride = Math.ceil(label.width / 8);
  assert.deepEqual([page.perRow, page.height], [stride, label.height], `${name}: label size in dots`);
  const black = (x, y) => (page.rows[y * stride + (x >> 3)] & (0x80 >> (x & 7))) !== 0;
  const inside = (v, from, to) => v >= Math.ceil(from) + 1 && v < Math.floor(to) - 1;
  const outside = (v, from, to) => v < Math.floor(from) - 1 || v >= Math.ceil(to) + 1;
  let interior = 0;
  const wrong = [];
  for (let y = 0; y < label.height; y++) {
    for (let x = 0; x < label.width; x++) {
      if (inside(x, rect.x0, rect.x1) && inside(y, rect.y0, rect.y1)) {
        interior++;
        if (!black(x, y)) wrong.push(`(${x}, ${y}) white`);
      } else if ((outside(x, rect.x0, rect.x1) || outside(y, rect.y0, rect.y1)) && black(x, y)) {
        wrong.push(`(${x}, ${y}) black`);
      }
    }
  }
  assert.ok(interior >= 400, `${name}: the rectangle covers ${interior} dots`);
  assert.deepEqual(wrong.slice(0, 5), [], `${name}: ${wrong.length} dots wrong`);
}

// Each row: a target, and two pages ([width, height] in points, and a black rectangle [left, top, width,
// height] in points from the top left corner) at different places, each page smaller than the label and of
// its orientation. The labels' sizes round up in one direction and down in the other.
const RAW_TARGET_ROWS = [
  ['zpl', { dpi: 203, widthMm: 60, heightMm: 30 }, [[144, 72, [12, 12, 36, 24]], [144, 72, [90, 36, 40, 24]]]],
  ['tspl', { dpi: 300, widthMm: 41, heightMm: 25.5 }, [[108, 54, [6, 6, 30, 18]], [108, 54, [66, 30, 30, 18]]]],
  ['epl', { dpi: 203, widthMm: 40, heightMm: 60 }, [[72, 144, [6, 6, 30, 30]], [72, 144, [36, 100, 30, 30]]]],
  ['escpos', { dpi: 203, widthMm: 48, heightMm: 30 }, [[108, 72, [6, 6, 40, 20]], [108, 72, [60, 40, 40, 24]]]],
];

test('a PDF printed for a printer without a driver is one submit_raw of its pages, in order, on the label', async () => {
  for (const [language, size, pages] of RAW_TARGET_ROWS) {
    const target = { language, ...size };
    const label = { width: dotsOf(size.widthMm, size.dpi), height: dotsOf(size.heightMm, size.dpi) };
    const { client, sent } = rawHost();
    const job = { printer: 'Label_Raw', pdf: pdfOf(pages), intentId: `pdf-raw-${language}`, title: 'Order', target };
    const { parts } = await printPdf(client, job);
    assert.deepEqual(parts.map((p) => [p.intentId, p.pages]), [[job.intentId, [1, 2]]], language);
    assert.deepEqual(sent.map((m) => [m.type, m.payload.intent_id, m.payload.language]),
      [['submit_raw', job.intentId, language]], `${language}: one attempt`);
    const bytes = Buffer.from(sent[0].payload.base64, 'base64');
    const decoded = DECODERS[language](bytes, [label, label]);
    assert.equal(decoded.length, 2, `${language}: two pages`);
    for (const [i, page] of decoded.entries()) {
      assertPage(page, label, rectangleOnLabel(label, size.dpi, pages[i]), `${language}, page ${i + 1}`);
    }
    // The same print again is the same attempt, byte for byte.
    await printPdf(client, job);
    assert.deepEqual(sent.map((m) => [m.type, m.payload.intent_id, m.payload.language]),
      [['submit_raw', job.intentId, language], ['submit_raw', job.intentId, language]], `${language}: the repeat`);
    assert.equal(sent[1].payload.base64, sent[0].payload.base64, `${language}: the repeat's bytes`);
  }
});

test('a PDF page larger than the target\'s label is refused at actual size, and shrunk to it with fit: shrink', async () => {
  const size = { dpi: 203, widthMm: 60, heightMm: 30 };  // 480 x 240 dots
  const label = { width: dotsOf(size.widthMm, size.dpi), height: dotsOf(size.heightMm, size.dpi) };
  const fits = [144, 72, [12, 12, 36, 24]];
  const large = [360, 144, [180, 36, 120, 72]];  // 5 x 2 in: 1015 x 406 dots, shrunk to 480 x 192
  const rows = [
    ['a large page at actual size', 'zpl', [large], { fit: 'actual' }, 'PAGE_TOO_LARGE'],
    ['a page that fits, then a large one', 'epl', [fits, large], { fit: 'actual' }, 'PAGE_TOO_LARGE'],
    ['a large page shrunk', 'zpl', [large], { fit: 'shrink' }, null],
    ['a page that fits, then a large one, shrunk', 'epl', [fits, large], { fit: 'shrink' }, null],
  ];
  for (const [name, language, pages, layout, refused] of rows) {
    const { client, sent } = rawHost();
    const printing = printPdf(client, { printer: 'Label_Raw', pdf: pdfOf(pages), intentId: 'pdf-raw-large',
      title: 'Order', target: { language, ...size }, ...layout });
    if (refused) {
      await assert.rejects(printing, (e) => e.code === refused && e.kind === 'choose-another-printer', name);
      assert.deepEqual(sent, [], `${name}: nothing is sent`);
      continue;
    }
    await printing;
    assert.deepEqual(sent.map((m) => m.type), ['submit_raw'], name);
    const decoded = DECODERS[language](Buffer.from(sent[0].payload.base64, 'base64'), pages.map(() => label));
    assert.equal(decoded.length, pages.length, name);
    for (const [i, page] of decoded.entries()) {
      assertPage(page, label, rectangleOnLabel(label, size.dpi, pages[i]), `${name}, page ${i + 1}`);
    }
  }
});

test('a PDF print with a bad target is a BAD_REQUEST, and nothing is sent', async () => {
  const good = { language: 'zpl', dpi: 203, widthMm: 60, heightMm: 30 };
  const rows = [
    ['dpi 0', { ...good, dpi: 0 }],
    ['dpi below the least', { ...good, dpi: 50 }],
    ['dpi a string', { ...good, dpi: '203' }],
    ['an unknown language', { ...good, language: 'pcl' }],
    ['no language', { dpi: 203, widthMm: 60, heightMm: 30 }],
    ['width 0', { ...good, widthMm: 0 }],
    ['height not a number', { ...good, heightMm: NaN }],
    ['a label of a billion dots', { ...good, widthMm: 1e7 }],
    ['null', null],
    ['a string', 'zpl'],
  ];
  const { client, sent } = rawHost();
  for (const [name, target] of rows) {
    await assert.rejects(printPdf(client, { printer: 'Label_Raw', pdf: pdfOf([[144, 72]]), intentId: 'pdf-raw-bad',
      title: 'Order', target }), (e) => {
      assert.deepEqual([e?.name, e?.code, e?.kind], ['PrintHostError', 'BAD_REQUEST', 'fix-the-request'], name);
      return true;
    });
  }
  assert.deepEqual(sent, []);
});

test('printPdf without a target on a queue that knows no label says what to do, and sends nothing', async () => {
  const rows = [
    ['a raw queue', { raw: true, dpiX: null, media: null, printableArea: null }, /raw queue.*target/],
    ['a queue without a media size', { raw: false, dpiX: 203, media: null, printableArea: null }, /no media size/],
  ];
  for (const [name, described, message] of rows) {
    const { client, sent } = rawHost();
    client.describePrinter = async () => described;
    await assert.rejects(printPdf(client, { printer: 'Label_Raw', pdf: pdfOf([[144, 72]]), intentId: 'pdf-no-label',
      title: 'Order' }), (e) => {
      assert.deepEqual([e?.code, e?.kind], ['BAD_REQUEST', 'fix-the-request'], name);
      assert.match(e.message, message, name);
      return true;
    });
    assert.deepEqual(sent, [], name);
  }
});

test('a failed PDF print, on a driven queue or a printer without a driver, lists nothing as printed on its error', async () => {
  const refusing = (sent) => ({
    lastError: null,
    sendNativeMessage(name, message, callback) {
      sent.push(message.type);
      queueMicrotask(() => callback({ protocol: 1, request_id: message.request_id, ok: false,
        error: { code: 'PRINTER_UNAVAILABLE', message: 'No such printer.' } }));
    },
  });
  const driven = { describePrinter: async () => ({ dpiX: 203, printableArea: { widthPx: 812, heightPx: 1218 } }) };
  const rows = [
    ['a driven queue', {}, ['submit_document']],
    ['a printer without a driver', { target: { language: 'zpl', dpi: 203, widthMm: 60, heightMm: 30 } }, ['submit_raw']],
  ];
  for (const [name, extra, expected] of rows) {
    const sent = [];
    const client = new PrintHostClient({ runtime: refusing(sent), transport: 'message', retryDelayMs: 1 });
    client.describePrinter = driven.describePrinter;
    await assert.rejects(printPdf(client, { printer: 'Gone', pdf: pdfOf([[144, 72]]), intentId: 'pdf-refused',
      title: 'Order', ...extra }), (e) => {
      assert.deepEqual([e.code, e.parts], ['PRINTER_UNAVAILABLE', []], name);
      return true;
    });
    assert.deepEqual(sent, expected, name);
  }
});
