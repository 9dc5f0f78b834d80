// Benchmark helper: renders a PDF's pages with the client library's
// renderPdfPages (PDFium's Node.js build of the same WebAssembly), and prints
// the time it took and the pages' PNGs in base64, as JSON.
// Usage: node render_pdf_pages.mjs PDF DPI WIDTH_PX HEIGHT_PX
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const [pdf, dpi, width, height] = process.argv.slice(2);
const client = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'clients', 'js');
const copy = fs.mkdtempSync(path.join(os.tmpdir(), 'tph-client-'));
try {
  fs.cpSync(path.join(client, 'dist'), copy, { recursive: true });
  const nodeBuild = path.join(client, 'node_modules', '@hyzyla', 'pdfium', 'dist', 'index.esm.js');
  fs.writeFileSync(path.join(copy, 'vendor', 'pdfium.js'), `export { PDFiumLibrary } from ${JSON.stringify(nodeBuild)};\n`);
  const { renderPdfPages } = await import(path.join(copy, 'pdf.js'));
  const bytes = fs.readFileSync(pdf);
  const target = { dpi: Number(dpi), printable: { width: Number(width), height: Number(height) } };
  await renderPdfPages(bytes, target);  // loads and compiles the WebAssembly once, as a running extension has
  const start = performance.now();
  const pages = await renderPdfPages(bytes, target);
  const ms = performance.now() - start;
  console.log(JSON.stringify({ ms, pages: pages.map((p) => ({ base64: Buffer.from(p.png).toString('base64'),
    width: p.width, height: p.height })) }));
} finally {
  fs.rmSync(copy, { recursive: true, force: true });
}
