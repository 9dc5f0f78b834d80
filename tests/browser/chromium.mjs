// Starts Debian's Chromium with unpacked extensions and, unless the launcher
// is "-", a user-level host manifest that lets them call it; always one more
// for a host that allows another extension only.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export async function withChromium(extensions, launcher, use) {
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tph-chromium-'));
  const hosts = path.join(userDataDir, 'NativeMessagingHosts');
  fs.mkdirSync(hosts, { recursive: true });
  // A host registered for another extension only: the browser refuses this
  // one before it would start the program.
  fs.writeFileSync(path.join(hosts, 'com.tavelin.forbidden.json'), JSON.stringify({
    name: 'com.tavelin.forbidden',
    description: 'Tavelin label print host (test, for another extension)',
    path: launcher === '-' ? '/bin/false' : launcher,
    type: 'stdio',
    allowed_origins: ['chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/'],
  }, null, 2));
  if (launcher !== '-') {
    fs.writeFileSync(path.join(hosts, 'com.tavelin.print.json'), JSON.stringify({
      name: 'com.tavelin.print',
      description: 'Tavelin label print host (test)',
      path: launcher,
      type: 'stdio',
      allowed_origins: extensions.map((e) => `chrome-extension://${e.id}/`),
    }, null, 2));
  }
  const dirs = extensions.map((e) => e.dir).join(',');
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: '/usr/bin/chromium',
    headless: false,
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', `--disable-extensions-except=${dirs}`, `--load-extension=${dirs}`],
  });
  try {
    const page = await context.newPage();
    page.on('console', (m) => console.error(`page: ${m.text()}`));
    page.on('pageerror', (e) => console.error(`page error: ${e}`));
    return await use(page, context);
  } finally {
    await context.close();
    fs.rmSync(userDataDir, { recursive: true, force: true });
  }
}
