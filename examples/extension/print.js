// A small example of printing labels from an extension with the client
// library. Copy the built library (clients/js/dist) into ./print-client/.
import { PrintHostClient, labelCanvas, newIntentId } from './print-client/index.js';
import { printPdf, renderPdfPages, warmUpPdf } from './print-client/pdf.js';

const host = new PrintHostClient();
const $ = (id) => document.getElementById(id);
const show = (text) => { $('status').textContent = text; };

// A 4 x 6 inch label at the printer's 203 dpi: it prints at that size.
function drawLabel(order) {
  const canvas = labelCanvas({ widthIn: 4, heightIn: 6, dpi: 203 });
  const g = canvas.getContext('2d');
  g.fillStyle = '#000';
  g.lineWidth = 8;
  g.strokeRect(12, 12, canvas.width - 24, canvas.height - 24);
  g.font = 'bold 72px sans-serif';
  g.fillText(`Order ${order}`, 60, 160);
  for (let x = 60; x < canvas.width - 60; x += 18) g.fillRect(x, 260, (x * 7) % 11 > 5 ? 10 : 4, 300);
  $('preview').getContext('2d').drawImage(canvas, 0, 0);
  return canvas;
}

// PDFium starts now, while the person chooses a file, not on the first click.
warmUpPdf();

// One intent id per order and printer, kept with them: printing the order
// again after a lost answer repeats the same attempt instead of printing a
// second label, and choosing another printer (after the wrong one) is another
// attempt. A deliberate reprint gets a new id (see reprint()).
async function intentFor(order, printer = $('printer').value) {
  const key = `intent:${printer}:${order}`;
  const stored = (await chrome.storage.local.get(key))[key];
  if (stored) return stored;
  const id = newIntentId(`order-${order}`.replace(/[^A-Za-z0-9\-.:_]/g, '_'));
  await chrome.storage.local.set({ [key]: id });
  return id;
}

// The failure whose attempt may be printed again on purpose, as a new label.
let reprintable = null;

async function reprint() {
  const { key, run } = reprintable;
  await chrome.storage.local.remove(key);
  $('reprint').style.display = 'none';
  reprintable = null;
  await run();
}

// What a failure means for the person printing.
const ADVICE = {
  'choose-another-printer': 'Choose another printer.',
  'ask-the-user-before-reprinting': 'Check the printer: the label may have printed.',
  'reprint-needs-a-new-id': 'This attempt failed; printing again makes a new label.',
  'host-not-installed': 'Install the Tavelin print host.',
  'extension-not-allowed': 'The print host does not allow this extension yet: ask your administrator to add it.',
  'id-used-for-other-output': 'This order already printed something else on this printer.',
  'ask-for-another-file': 'Choose another file.',
  'fix-the-request': 'This is a mistake in the page; please report it.',
  'job-still-waiting': 'The label is waiting in the printer queue (is the printer paused?); it will print.',
  'host-busy-or-crashed': 'The print host did not answer; try again (the same label will not print twice).',
};

// The library's own message (it names the remedy), with what it means here;
// where printing again is a choice, the button offers it.
function showFailure(what, e, key, run) {
  show(`${what}: ${e.code}. ${e.message}\n${ADVICE[e.kind] ?? ''}`);
  const canReprint = ['id-used-for-other-output', 'ask-the-user-before-reprinting', 'reprint-needs-a-new-id']
    .includes(e.kind);
  reprintable = canReprint ? { key, run } : null;
  $('reprint').style.display = canReprint ? 'inline' : 'none';
}

async function print() {
  const order = $('order').value.trim();
  const intentId = await intentFor(order);
  show(`Printing order ${order}...`);
  try {
    const result = await host.printLabel({ printer: $('printer').value, png: drawLabel(order), dpi: 203,
      title: `Order ${order}`, intentId });
    show(`${result.duplicate ? 'Already printed' : 'Sent'} (job ${result.osJobId}); following it...`);
    // The host tells the outcome as it happens (an older host is asked every second).
    const job = await host.waitForJob(intentId, { intervalMs: 1000, timeoutMs: 60000 });
    show(job.state === 'COMPLETED' ? `Order ${order}: printed.` : `Order ${order}: ${job.state}`);
  } catch (e) {
    showFailure(`Order ${order}`, e, `intent:${$('printer').value}:${order}`, print);
  }
}

// The first page as the printer will receive it, dot for dot (one dot a
// screen pixel), with the rule that placed it.
async function previewPdf() {
  const file = $('pdf').files[0];
  if (!file) return;
  try {
    const d = await host.describePrinter($('printer').value);
    if (!d.printableArea?.widthPx) {
      $('pdf-note').textContent = `${d.name} knows no label size to preview on.`;
      return;
    }
    const [page] = await renderPdfPages(file, { dpi: d.dpiX ?? 300, printable: { width: d.printableArea.widthPx,
      height: d.printableArea.heightPx }, printer: d.name }, { fit: $('fit').value, pages: [1] });
    const image = await createImageBitmap(new Blob([page.png], { type: 'image/png' }));
    const canvas = $('pdf-preview');
    canvas.width = page.width;
    canvas.height = page.height;
    canvas.getContext('2d').drawImage(image, 0, 0);
    $('pdf-note').textContent = `Page 1 as ${d.name} receives it: ${page.width} x ${page.height} dots at ` +
      `${d.dpiX ?? 300} dpi, placed by '${page.rule}' at ${Math.round(page.scale * 100)} %${page.rotated ? ', turned' : ''}.`;
  } catch (e) {
    $('pdf-note').textContent = `No preview: ${e.message}`;
  }
}

// A carrier's PDF of labels, rendered at the printer's own resolution. The
// intent id is kept per order and file, so printing the same file for the
// same order again repeats the attempt instead of printing it twice.
async function printPdfFile() {
  const order = $('order').value.trim();
  const file = $('pdf').files[0];
  if (!file) return show('Choose a PDF first.');
  const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', await file.arrayBuffer()));
  const hex = Array.from(digest.subarray(0, 8), (b) => b.toString(16).padStart(2, '0')).join('');
  const key = `${order}:pdf:${hex}:${$('fit').value}`;
  const intentId = await intentFor(key);
  show(`Printing ${file.name} for order ${order}...`);
  try {
    const { parts } = await printPdf(host, { printer: $('printer').value, pdf: file, title: `PDF for order ${order}`,
      intentId, fit: $('fit').value });
    const pages = parts.reduce((n, p) => n + p.pages.length, 0);
    const again = parts.every((p) => p.result.duplicate);
    const scaled = parts.flatMap((p) => p.placements).filter((p) => p.scale < 1).length;
    show(`Order ${order}: PDF ${again ? 'already printed' : 'sent'}, ${pages} page(s) in ${parts.length} job(s)` +
      `${scaled ? `; ${scaled} page(s) scaled down to fit` : ''}.`);
  } catch (e) {
    showFailure(`Order ${order}`, e, `intent:${$('printer').value}:${key}`, printPdfFile);
  }
}

// What the chosen printer needs, as the host tells it: a paused queue, and a
// network label printer's own word (out of labels, head open...).
const NEEDS = {
  paused: 'the queue is paused', offline: 'it is offline', 'media-empty': 'it is out of labels',
  'media-jam': 'the labels are jammed', 'door-open': 'its cover is open', 'head-open': 'its print head is open',
  'ribbon-empty': 'its ribbon is out', error: 'it reports an error',
};
let printerWatch = null;
let following = 0;  // the latest choice; a watch begun for an earlier one is closed

async function followPrinter() {
  const mine = ++following;
  const previous = printerWatch;
  printerWatch = null;
  await previous?.close();
  const note = $('printer-status');
  note.textContent = '';
  let watch;
  try {
    watch = await host.watch({ printers: [$('printer').value] });
  } catch {
    return;  // an older host cannot watch: the list's state is all there is
  }
  if (mine !== following) return watch.close();
  printerWatch = watch;
  watch.addEventListener('printer', ({ detail: { printer } }) => {
    const needs = printer.reasons.map((r) => NEEDS[r] ?? r);
    note.textContent = printer.enabled && needs.length === 0 ? `${printer.name} is ready.`
      : `${printer.name} needs attention: ${needs.join(', ') || printer.state}.`;
  });
}

host.listPrinters().then(({ defaultPrinter, printers }) => {
  for (const p of printers) $('printer').add(new Option(`${p.name} (${p.state})`, p.name, false, p.name === defaultPrinter));
  $('print').disabled = false;
  $('print-pdf').disabled = false;
  show('Ready.');
  followPrinter();
}, (e) => show(`${e.code}: ${e.message}`));
$('printer').addEventListener('change', followPrinter);
$('print').addEventListener('click', print);
$('print-pdf').addEventListener('click', printPdfFile);
$('reprint').addEventListener('click', reprint);
for (const id of ['pdf', 'fit', 'printer']) $(id).addEventListener('change', previewPdf);
drawLabel($('order').value);
