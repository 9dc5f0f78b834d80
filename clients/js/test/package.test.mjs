// The package as an extension author gets it: `npm pack`, installed into a
// new extension folder, imported by its name, and the READMEs' snippets
// compiled against its types.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const packageDir = path.join(here, '..');
const readmes = [path.join(packageDir, 'README.md'), path.join(packageDir, '..', '..', 'README.md')];

// The free names the snippets use, as an extension would have them.
const GLOBALS = `
declare const host: import('@tavelin/print-client').PrintHostClient;
declare const newIntentId: typeof import('@tavelin/print-client').newIntentId;
declare const printer: string;
declare const intentId: string;
declare const blob: Blob;
declare const zplText: string;
`;

/** The code blocks that use the library, with their imports pointed at the installed package. */
function snippets() {
  const found = [];
  for (const readme of readmes) {
    const text = fs.readFileSync(readme, 'utf8');
    for (const [, body] of text.matchAll(/```(?:ts|js)\n([\s\S]*?)```/g)) {
      if (!/host\.|print-client/.test(body)) continue;
      const code = body.replaceAll("'./print-client/index.js'", "'@tavelin/print-client'")
        .replaceAll("'./print-client/pdf.js'", "'@tavelin/print-client/pdf'");
      found.push({ from: path.basename(path.dirname(readme)), code: `${code}\nexport {};\n` });
    }
  }
  return found;
}

test('npm pack installs into a new extension, and the READMEs compile against it', () => {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tph-package-'));
  try {
    const npm = (args, cwd) => execFileSync('npm', [...args, '--no-audit', '--no-fund', '--loglevel=error'],
      { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
    const [packed] = JSON.parse(npm(['pack', '--json', '--pack-destination', work], packageDir));
    const files = packed.files.map((f) => f.path);
    for (const wanted of ['README.md', 'LICENSE', 'package.json', 'dist/index.js', 'dist/index.d.ts', 'dist/pdf.d.ts',
      'dist/vendor/pdfium.wasm']) {
      assert.ok(files.includes(wanted), `the tarball lacks ${wanted}`);
    }
    assert.ok(!files.some((f) => f.startsWith('src/') || f.startsWith('test/')), 'sources and tests stay out');

    const extension = path.join(work, 'extension');
    fs.mkdirSync(extension);
    fs.writeFileSync(path.join(extension, 'package.json'), JSON.stringify({ name: 'ext', private: true, type: 'module' }));
    npm(['install', '--offline', path.join(work, packed.filename)], extension);
    const loaded = execFileSync('node', ['--input-type=module', '-e',
      "const m = await import('@tavelin/print-client'); const p = await import('@tavelin/print-client/pdf');" +
      'console.log(typeof m.PrintHostClient, typeof p.printPdf)'], { cwd: extension, encoding: 'utf8' });
    assert.equal(loaded.trim(), 'function function');

    const found = snippets();
    assert.ok(found.length >= 4, `found ${found.length} snippets`);
    const names = found.map((s, i) => {
      const name = `snippet${i + 1}.ts`;
      fs.writeFileSync(path.join(extension, name), s.code);
      return name;
    });
    fs.writeFileSync(path.join(extension, 'globals.d.ts'), GLOBALS);
    fs.writeFileSync(path.join(extension, 'tsconfig.json'), JSON.stringify({
      compilerOptions: { target: 'ES2022', module: 'ES2022', moduleResolution: 'bundler', lib: ['ES2022', 'DOM'],
        strict: true, noEmit: true, skipLibCheck: false, types: [] },
      files: ['globals.d.ts', ...names],
    }));
    const tsc = path.join(packageDir, 'node_modules', 'typescript', 'bin', 'tsc');
    try {
      execFileSync('node', [tsc, '-p', 'tsconfig.json'], { cwd: extension, encoding: 'utf8' });
    } catch (e) {
      const shown = found.map((s, i) => `--- snippet${i + 1}.ts (${s.from} README)\n${s.code}`).join('\n');
      assert.fail(`the snippets do not compile:\n${e.stdout}\n${shown}`);
    }
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
});
