// Renders a PDF's pages in Node.js with the client library's renderPdfPages
// and the same PDFium WebAssembly, and prints each PNG's SHA-256: the bytes a
// browser must produce too.
// Usage: node render_pdf.mjs PDF DPI WIDTH_PX HEIGHT_PX
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const [pdf, dpi, width, height] = process.argv.slice(2);
const client = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'clients', 'js');
// The library loads PDFium's browser build; Node.js takes the package's own
// build of the same WebAssembly, put in its place in a copy of the library.
const copy = fs.mkdtempSync(path.join(os.tmpdir(), 'tph-client-'));
try {
  fs.cpSync(path.join(client, 'dist'), copy, { recursive: true });
  const nodeBuild = path.join(client, 'node_modules', '@hyzyla', 'pdfium', 'dist', 'index.esm.js');
  fs.writeFileSync(path.join(copy, 'vendor', 'pdfium.js'), `export { PDFiumLibrary } from ${JSON.stringify(nodeBuild)};\n`);
  const { renderPdfPages } = await import(path.join(copy, 'pdf.js'));
  const pages = await renderPdfPages(fs.readFileSync(pdf), { dpi: Number(dpi),
    printable: { width: Number(width), height: Number(height) } });
  console.log(JSON.stringify(pages.map((p) => crypto.createHash('sha256').update(p.png).digest('hex'))));
} finally {
  fs.rmSync(copy, { recursive: true, force: true });
}
