// Renders a PDF for a printer without a driver as the client library does:
// the bytes printPdf would hand the host for the target, and the bitmaps it
// rendered them from. Usage: node client_raw_label.mjs PDF LANGUAGE DPI
// WIDTH_MM HEIGHT_MM; prints {"data": base64, "pages": [{width, height,
// rows: base64 of rows of ceil(width / 8) bytes, leftmost pixel in the high
// bit, 1 a dot}]}.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const client = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'clients', 'js');
const { pdfModuleInNode } = await import(path.join(client, 'scripts', 'pdf_in_node.mjs'));

const [pdfPath, language, dpi, widthMm, heightMm] = process.argv.slice(2);
const target = { language, dpi: Number(dpi), widthMm: Number(widthMm), heightMm: Number(heightMm) };
const pdf = new Uint8Array(fs.readFileSync(pdfPath));
const { module: { printPdf, rasterPdfForTarget }, dispose } = await pdfModuleInNode();
try {
  let sent;
  const host = {
    async printRaw(options) {
      sent = options;
      return { duplicate: false, intentId: options.intentId, osJobId: '1', printer: options.printer, state: 'SUBMITTED' };
    },
  };
  await printPdf(host, { printer: 'Label_Raw', pdf, intentId: 'render-only', title: 'render-only', target });
  const pages = await rasterPdfForTarget(pdf, target);
  process.stdout.write(JSON.stringify({
    data: Buffer.from(sent.data).toString('base64'),
    language: sent.language,
    pages: pages.map((p) => ({ width: p.width, height: p.height, rows: Buffer.from(p.rows).toString('base64') })),
  }));
} finally {
  dispose();
}
