// Copies the two libraries the PDF entry point uses into dist/vendor, with
// their licences: an extension loads the client's files as they are, with no
// bundler to resolve package names, and nothing is fetched at run time.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.join(path.dirname(fileURLToPath(import.meta.url)), '..');
const vendor = path.join(root, 'dist', 'vendor');
fs.mkdirSync(vendor, { recursive: true });
const copies = [
  ['node_modules/@hyzyla/pdfium/dist/index.esm.browser.js', 'pdfium.js'],
  ['node_modules/@hyzyla/pdfium/dist/pdfium.wasm', 'pdfium.wasm'],
  ['node_modules/@hyzyla/pdfium/LICENSE.md', 'pdfium.LICENSE.md'],
  ['node_modules/fflate/esm/browser.js', 'fflate.js'],
  ['node_modules/fflate/LICENSE', 'fflate.LICENSE'],
];
for (const [from, to] of copies) fs.copyFileSync(path.join(root, from), path.join(vendor, to));
// The declarations the compiled files import beside them.
for (const name of ['pdfium.d.ts', 'fflate.d.ts']) {
  fs.copyFileSync(path.join(root, 'src', 'vendor', name), path.join(vendor, name));
}
