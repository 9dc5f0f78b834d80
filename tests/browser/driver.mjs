// Starts Debian's Chromium with the test extension and a user-level host
// manifest, opens the extension's page and writes what it reports to a file.
// Usage: node driver.mjs LAUNCHER TAG PRINTER OUTPUT
// LAUNCHER "-" writes no manifest: the browser must find an installed host
// through its system-wide manifest folder.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const [launcher, tag, printer, output] = process.argv.slice(2);
const here = path.dirname(fileURLToPath(import.meta.url));
const extension = path.join(here, 'extension');
const extensionId = fs.readFileSync(path.join(here, 'extension-id.txt'), 'utf8').trim();

const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tph-chromium-'));
const hosts = path.join(userDataDir, 'NativeMessagingHosts');
if (launcher !== '-') {
  fs.mkdirSync(hosts, { recursive: true });
  fs.writeFileSync(path.join(hosts, 'com.tavelin.print.json'), JSON.stringify({
    name: 'com.tavelin.print',
    description: 'Tavelin label print host (test)',
    path: launcher,
    type: 'stdio',
    allowed_origins: [`chrome-extension://${extensionId}/`],
  }, null, 2));
}

const context = await chromium.launchPersistentContext(userDataDir, {
  executablePath: '/usr/bin/chromium',
  headless: false,
  args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', `--disable-extensions-except=${extension}`,
    `--load-extension=${extension}`],
});
try {
  const page = await context.newPage();
  page.on('console', (m) => console.error(`page: ${m.text()}`));
  page.on('pageerror', (e) => console.error(`page error: ${e}`));
  await page.goto(`chrome-extension://${extensionId}/page.html?tag=${tag}&printer=${printer}`);
  try {
    await page.waitForFunction(() => window.__results !== undefined, null, { timeout: Number(process.env.TPH_PAGE_TIMEOUT_MS || 900000) });
  } catch (e) {
    console.error('page log:', await page.evaluate(() => document.getElementById('log').textContent));
    throw e;
  }
  const results = await page.evaluate(() => window.__results);
  fs.writeFileSync(output, JSON.stringify(results, null, 2));
} finally {
  await context.close();
  fs.rmSync(userDataDir, { recursive: true, force: true });
}
