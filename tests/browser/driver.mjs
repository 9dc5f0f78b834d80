// Opens the test extension's page in Chromium and writes what it reports to
// a file.
// Usage: node driver.mjs LAUNCHER TAG PRINTER RAW_PRINTER CAPTURE_PRINTER OUTPUT
// LAUNCHER "-" writes no manifest: the browser must find an installed host
// through its system-wide manifest folder.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { withChromium } from './chromium.mjs';

const [launcher, tag, printer, rawPrinter, capturePrinter, output] = process.argv.slice(2);
const here = path.dirname(fileURLToPath(import.meta.url));
const id = fs.readFileSync(path.join(here, 'extension-id.txt'), 'utf8').trim();

await withChromium([{ dir: path.join(here, 'extension'), id }], launcher, async (page, context) => {
  await page.goto(`chrome-extension://${id}/page.html?tag=${tag}&printer=${printer}&raw=${rawPrinter}&capture=${capturePrinter}`);
  try {
    await page.waitForFunction(() => window.__results !== undefined, null,
      { timeout: Number(process.env.TPH_PAGE_TIMEOUT_MS || 900000) });
  } catch (e) {
    console.error('page log:', await page.evaluate(() => document.getElementById('log').textContent));
    throw e;
  }
  const results = await page.evaluate(() => window.__results);
  // The same PDF rendered in the extension's service worker.
  const worker = context.serviceWorkers().find((w) => w.url().startsWith(`chrome-extension://${id}/`)) ??
    await context.waitForEvent('serviceworker', { timeout: 30000 });
  const d = results.describe?.result;
  if (d) {
    results.pdfDigestsWorker = await worker.evaluate(([dpi, w, h]) => self.renderLabelsPdf(dpi, w, h),
      [d.dpiX, d.printableArea.widthPx, d.printableArea.heightPx]);
  }
  fs.writeFileSync(output, JSON.stringify(results, null, 2));
});
