// The browser suite, run through the client library in Chromium (page.js) and
// Firefox (background.js): one host process over a port, a host process per
// message (processes overlap and wait for each other's ledger lock), a host
// killed while it prints and the library's automatic repeat, and a host that
// is not installed.
import { PrintHostClient, labelCanvas, newIntentId } from './lib/index.js';
import { printPdf, rasterPdfForTarget, renderPdfPages } from './lib/pdf.js';

async function drawnLabel(width, height, shade = '#000') {
  const canvas = new OffscreenCanvas(width, height);
  const g = canvas.getContext('2d');
  g.fillStyle = '#fff';
  g.fillRect(0, 0, width, height);
  g.fillStyle = shade;
  g.fillRect(8, 8, width - 16, height - 16);
  return canvas.convertToBlob({ type: 'image/png' });
}

function base64Of(bytes) {
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(text);
}

// The same labels for a printer without a driver, behind the raw queue
// `rawPrinter`: refused without a target; then printed, repeated and changed
// for two of its languages, with the bitmaps the library rendered for each.
async function printOnRawQueue(client, rawPrinter, pdf, tag) {
  const results = { described: await outcome(client.describePrinter(rawPrinter)) };
  results.untargeted = await outcome(printPdf(client, { printer: rawPrinter, pdf, intentId: `raw-none-${tag}`,
    title: `browser-${tag}-raw-none` }));
  for (const language of ['zpl', 'tspl']) {
    const target = { language, dpi: 203, widthMm: 101.6, heightMm: 152.4 };
    const job = { printer: rawPrinter, pdf, intentId: `raw-${language}-${tag}`, title: `browser-${tag}-raw-${language}`,
      target };
    results[language] = {
      first: await outcome(printPdf(client, job)),
      repeat: await outcome(printPdf(client, job)),
      changed: await outcome(printPdf(client, { ...job, target: { ...target, dpi: 300 } })),
      pages: (await rasterPdfForTarget(pdf, target)).map((p) => ({ width: p.width, height: p.height,
        rows: base64Of(p.rows) })),
    };
  }
  return results;
}

// Carriers' PDFs (the test wrote them into carrier/), each printed with the
// defaults to the 203-dpi label printer `capturePrinter`.
export const CARRIER_FILES = ['exact', 'near', '102x152', 'a6', 'letter', 'a4', 'mixed', 'grey'];

async function printCarrierPdfs(client, capturePrinter, tag) {
  const results = {};
  for (const name of CARRIER_FILES) {
    const pdf = new Uint8Array(await (await fetch(new URL(`carrier/${name}.pdf`, import.meta.url))).arrayBuffer());
    results[name] = await outcome(printPdf(client, { printer: capturePrinter, pdf, intentId: `carrier-${name}-${tag}`,
      title: `browser-${tag}-carrier-${name}` }));
  }
  return results;
}

// Settles to what a caller sees: the result, or the typed error.
function outcome(promise) {
  return promise.then(
    (result) => ({ ok: true, result }),
    (e) => ({ ok: false, error: { code: e.code, kind: e.kind, message: e.message } }));
}

export async function runSuite({ tag, printer, rawPrinter, capturePrinter, log, bigLabel }) {
  const results = { tag };
  const label = await drawnLabel(400, 200);
  const port = new PrintHostClient({ timeoutMs: 120000 });
  const first = { printer, png: label, dpi: 300, title: `browser-${tag}-port`, intentId: `port-${tag}` };
  results.hello = await outcome(port.hello());
  results.list = await outcome(port.listPrinters());
  results.submit = await outcome(port.printLabel(first));
  results.repeat = await outcome(port.printLabel({ ...first, title: 'another title, same output' }));
  results.job = await outcome(port.getJob(first.intentId));
  // The port's host process holds the ledger lock for as long as it runs:
  // hosts started per message would wait for it.
  port.close();
  log('port done');

  const perMessage = new PrintHostClient({ transport: 'message', timeoutMs: 300000, retries: 0 });
  const distinct = [];
  for (let i = 0; i < 20; i++) {
    distinct.push(outcome(perMessage.printLabel({ printer, png: label, dpi: 300, title: `browser-${tag}-many-${i}`,
      intentId: `many-${tag}-${i}` })));
  }
  results.distinct = await Promise.all(distinct);
  log('distinct done');

  const shared = [];
  for (let i = 0; i < 20; i++) {
    shared.push(outcome(perMessage.printLabel({ printer, png: label, dpi: 300, title: `browser-${tag}-shared`,
      intentId: `shared-${tag}` })));
  }
  results.shared = await Promise.all(shared);
  log('shared done');

  // The test kills the host while it prints this one; the library repeats it
  // with the same intent id over a new port, and the new host answers from
  // its ledger.
  const retries = [];
  const survivor = new PrintHostClient({ timeoutMs: 300000, retryDelayMs: 200, onRetry: (r) => retries.push(r.intentId) });
  const big = await drawnLabel(bigLabel.width, bigLabel.height, '#333');
  results.killed = await outcome(survivor.printLabel({ printer, png: big, dpi: 1200, title: `browser-${tag}-killed`,
    intentId: `kill-${tag}` }));
  results.killedRetries = retries;
  survivor.close();
  log('killed done');

  // PDF labels (the test wrote labels.pdf beside this file): rendered at the
  // queue's resolution, printed as one attempt, repeated; the rendered PNGs'
  // digests, for the test to compare across browsers.
  const pdfClient = new PrintHostClient({ timeoutMs: 300000 });
  const pdf = new Uint8Array(await (await fetch(new URL('labels.pdf', import.meta.url))).arrayBuffer());
  results.describe = await outcome(pdfClient.describePrinter(printer));
  if (results.describe.ok) {
    const d = results.describe.result;
    const rendered = await renderPdfPages(pdf, { dpi: d.dpiX, printable: { width: d.printableArea.widthPx,
      height: d.printableArea.heightPx } });
    results.pdfDigests = await Promise.all(rendered.map(async (p) => {
      const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', p.png));
      return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
    }));
  }
  const pdfJob = { printer, pdf, intentId: `pdf-${tag}`, title: `browser-${tag}-pdf` };
  results.pdf = await outcome(printPdf(pdfClient, pdfJob));
  results.pdfRepeat = await outcome(printPdf(pdfClient, pdfJob));
  // A canvas left transparent around what was drawn prints white there.
  const clear = new OffscreenCanvas(200, 100);
  const g = clear.getContext('2d');
  g.fillStyle = '#000';
  g.fillRect(50, 25, 100, 50);
  results.transparent = await outcome(pdfClient.printLabel({ printer, png: clear, dpi: 300,
    title: `browser-${tag}-clear`, intentId: `clear-${tag}` }));
  if (rawPrinter) results.raw = await printOnRawQueue(pdfClient, rawPrinter, pdf, tag);
  if (capturePrinter) results.carrier = await printCarrierPdfs(pdfClient, capturePrinter, tag);
  pdfClient.close();
  log('pdf done');

  const absent = new PrintHostClient({ hostName: 'com.tavelin.absent', retries: 3 });
  results.absent = await outcome(absent.printLabel({ printer, png: label, dpi: 300, title: 'never',
    intentId: newIntentId('absent') }));
  // Two clients over ports, as two tabs: the first one's host holds the
  // user's print state; it lets go once that client is idle, and the second
  // is answered then.
  const firstTab = new PrintHostClient({ timeoutMs: 30000 });
  const secondTab = new PrintHostClient({ timeoutMs: 30000 });
  await firstTab.hello();
  const idleSince = Date.now();
  results.secondTab = await outcome(secondTab.hello());
  results.secondTabWaitedMs = Date.now() - idleSince;
  firstTab.close();
  secondTab.close();
  log('tabs done');

  results.forbidden = await outcome(new PrintHostClient({ hostName: 'com.tavelin.forbidden', retries: 0 }).hello());
  results.labelCanvas = (() => {
    const c = labelCanvas({ widthIn: 4, heightIn: 6, dpi: 203 });
    return [c.width, c.height];
  })();
  return results;
}
