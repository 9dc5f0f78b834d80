// The first PDF page's cost in Chromium against a later page's, on a page
// opened cold and on one that warms PDFium up first. Prints JSON.
// Usage: node pdf_start.mjs (after the browser tests' set-up has built the
// extension's lib/ and labels.pdf).
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const browser = path.join(here, '..', 'browser');
const { withChromium } = await import(path.join(browser, 'chromium.mjs'));
const id = fs.readFileSync(path.join(browser, 'extension-id.txt'), 'utf8').trim();

const results = {};
for (const warm of ['0', '1']) {
  // A new browser each time: nothing compiled carries over.
  results[warm === '1' ? 'warmed' : 'cold'] = await withChromium([{ dir: path.join(browser, 'extension'), id }], '-',
    async (page) => {
      await page.goto(`chrome-extension://${id}/bench.html?warm=${warm}`);
      await page.waitForFunction(() => window.__bench !== undefined, null, { timeout: 120000 });
      return page.evaluate(() => window.__bench);
    });
}
process.stdout.write(JSON.stringify(results));
