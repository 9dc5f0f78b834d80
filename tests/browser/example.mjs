// Uses the example extension as a person would: opens its page, picks the
// printer, types an order number, clicks Print and reads what it shows.
// With a PDF, it then chooses that file, clicks Print PDF twice and adds what
// it shows each time.
// Usage: node example.mjs LAUNCHER PRINTER ORDER WAIT_FOR OUTPUT [PDF]
import { execSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { withChromium } from './chromium.mjs';

const [launcher, printer, order, waitFor, output, pdf] = process.argv.slice(2);
const here = path.dirname(fileURLToPath(import.meta.url));
const id = 'pfjaboakoaajjlneahdfjnbnifiddllj';  // from the example manifest's key
const dir = path.join(here, '..', '..', 'examples', 'extension');

await withChromium([{ dir, id }], launcher, async (page) => {
  await page.goto(`chrome-extension://${id}/print.html`);
  await page.waitForFunction(() => document.getElementById('status').textContent === 'Ready.', null, { timeout: 60000 });
  await page.selectOption('#printer', printer);
  await page.fill('#order', order);
  await page.click('#print');
  await page.waitForFunction((w) => document.getElementById('status').textContent.includes(w), waitFor,
    { timeout: 120000 });
  const shown = [await page.textContent('#status')];
  if (pdf) {
    await page.setInputFiles('#pdf', pdf);
    // Choosing the file shows page 1 as the printer will receive it.
    await page.waitForFunction(() => document.getElementById('pdf-note').textContent.startsWith('Page 1'), null,
      { timeout: 120000 });
    const preview = await page.textContent('#pdf-note');
    for (const expected of ['PDF sent', 'PDF already printed']) {
      await page.click('#print-pdf');
      await page.waitForFunction((w) => document.getElementById('status').textContent.includes(w), expected,
        { timeout: 120000 });
      shown.push(await page.textContent('#status'));
    }
    shown.push(preview);
  }
  // The printer's own line, from the host's events, while its queue stops and goes on.
  if (process.env.EXAMPLE_STOP) {
    const note = (w) => page.waitForFunction((x) => document.getElementById('printer-status').textContent.includes(x), w,
      { timeout: 30000 });
    await note('is ready');
    shown.push(await page.textContent('#printer-status'));
    execSync(process.env.EXAMPLE_STOP);
    await note('needs attention');
    shown.push(await page.textContent('#printer-status'));
    execSync(process.env.EXAMPLE_START);
    await note('is ready');
    shown.push(await page.textContent('#printer-status'));
  }
  fs.writeFileSync(output, shown.join('\n'));
});
