// The library's PDF entry point in Node.js: it loads PDFium's browser build,
// so a copy of the built library gets the package's Node.js build of the same
// WebAssembly in its place. For the tests, the browser tests' reference
// rendering and the benchmarks.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const client = path.join(path.dirname(fileURLToPath(import.meta.url)), '..');

/** The built pdf.js module, and a function that removes the copy. */
export async function pdfModuleInNode() {
  const copy = fs.mkdtempSync(path.join(os.tmpdir(), 'tph-client-'));
  fs.cpSync(path.join(client, 'dist'), copy, { recursive: true });
  const nodeBuild = path.join(client, 'node_modules', '@hyzyla', 'pdfium', 'dist', 'index.esm.js');
  fs.writeFileSync(path.join(copy, 'vendor', 'pdfium.js'), `export { PDFiumLibrary } from ${JSON.stringify(nodeBuild)};\n`);
  const module = await import(path.join(copy, 'pdf.js'));
  return { module, dispose: () => fs.rmSync(copy, { recursive: true, force: true }) };
}
