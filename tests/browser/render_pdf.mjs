// Renders a PDF's pages in Node.js with the client library's renderPdfPages
// and the same PDFium WebAssembly the browsers load. Prints, as JSON, each
// PNG's SHA-256 (the bytes a browser must produce too), the rendering time,
// and with --pngs the PNGs themselves in base64 (for the benchmarks).
// Usage: node render_pdf.mjs PDF DPI WIDTH_PX HEIGHT_PX [--pngs]
import crypto from 'node:crypto';
import fs from 'node:fs';
import { pdfModuleInNode } from '../../clients/js/scripts/pdf_in_node.mjs';

const [pdf, dpi, width, height, pngs] = process.argv.slice(2);
const { module: { renderPdfPages }, dispose } = await pdfModuleInNode();
try {
  const bytes = fs.readFileSync(pdf);
  const target = { dpi: Number(dpi), printable: { width: Number(width), height: Number(height) } };
  await renderPdfPages(bytes, target);  // loads and compiles the WebAssembly once, as a running extension has
  const start = performance.now();
  const pages = await renderPdfPages(bytes, target);
  const ms = performance.now() - start;
  console.log(JSON.stringify({
    ms,
    digests: pages.map((p) => crypto.createHash('sha256').update(p.png).digest('hex')),
    pages: pngs === '--pngs'
      ? pages.map((p) => ({ base64: Buffer.from(p.png).toString('base64'), width: p.width, height: p.height }))
      : undefined,
  }));
} finally {
  dispose();
}
