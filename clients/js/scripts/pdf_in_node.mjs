// The library's PDF entry point in Node.js: it loads PDFium's browser build,
// so a copy of the built library gets the package's Node.js build of the same
// WebAssembly in its place. For the tests, the browser tests' reference
// rendering and the benchmarks.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const client = path.join(path.dirname(fileURLToPath(import.meta.url)), '..');

// With `counting`, PDFium in the copy counts what it starts and what is left
// open, as PDFium itself sees it: instances made, and documents and pages
// loaded but not yet closed.
const COUNTING = (nodeBuild) => `import { PDFiumLibrary as Library } from ${JSON.stringify(nodeBuild)};
export const counts = { instances: 0, openDocuments: 0, openPages: 0 };
function counted(module, open, close, key) {
  const opening = module[open];
  const closing = module[close];
  module[open] = (...args) => {
    const handle = opening(...args);
    if (handle) counts[key]++;
    return handle;
  };
  module[close] = (...args) => {
    counts[key]--;
    return closing(...args);
  };
}
export class PDFiumLibrary {
  static async init(options) {
    const library = await Library.init(options);
    counts.instances++;
    counted(library.module, '_FPDF_LoadMemDocument', '_FPDF_CloseDocument', 'openDocuments');
    counted(library.module, '_FPDF_LoadPage', '_FPDF_ClosePage', 'openPages');
    return library;
  }
}
`;

/** The built pdf.js module, a function that removes the copy, and with `counting` the counts. */
export async function pdfModuleInNode({ counting = false } = {}) {
  const copy = fs.mkdtempSync(path.join(os.tmpdir(), 'tph-client-'));
  fs.cpSync(path.join(client, 'dist'), copy, { recursive: true });
  const nodeBuild = path.join(client, 'node_modules', '@hyzyla', 'pdfium', 'dist', 'index.esm.js');
  const vendor = path.join(copy, 'vendor', 'pdfium.js');
  fs.writeFileSync(vendor, counting ? COUNTING(nodeBuild)
    : `export { PDFiumLibrary } from ${JSON.stringify(nodeBuild)};\n`);
  const module = await import(path.join(copy, 'pdf.js'));
  const counts = counting ? (await import(vendor)).counts : undefined;
  return { module, counts, dispose: () => fs.rmSync(copy, { recursive: true, force: true }) };
}
