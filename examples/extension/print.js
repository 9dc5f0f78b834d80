// A small example of printing labels from an extension with the client
// library. Copy the built library (clients/js/dist) into ./print-client/.
import { PrintHostClient, labelCanvas, newIntentId } from './print-client/index.js';
import { printPdf } from './print-client/pdf.js';

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

// One intent id per order, kept with it: printing the order again after a
// lost answer repeats the same attempt instead of printing a second label.
async function intentFor(order) {
  const key = `intent:${order}`;
  const stored = (await chrome.storage.local.get(key))[key];
  if (stored) return stored;
  const id = newIntentId(`order-${order}`.replace(/[^A-Za-z0-9\-.:_]/g, '_'));
  await chrome.storage.local.set({ [key]: id });
  return id;
}

// What a failure means for the person printing.
const ADVICE = {
  'choose-another-printer': 'Choose another printer.',
  'ask-the-user-before-reprinting': 'Check the printer: the label may have printed.',
  'reprint-needs-a-new-id': 'This attempt failed; printing again makes a new label.',
  'host-not-installed': 'Install the Tavelin print host.',
  'extension-not-allowed': 'The print host does not allow this extension yet: ask your administrator to add it.',
  'id-used-for-other-output': 'This order already printed something else: check what was printed before reprinting.',
  'job-still-waiting': 'The label is waiting in the printer queue (is the printer paused?); it will print.',
  'host-busy-or-crashed': 'The print host did not answer; try again (the same label will not print twice).',
};

async function print() {
  const order = $('order').value.trim();
  const intentId = await intentFor(order);
  show(`Printing order ${order}...`);
  try {
    const result = await host.printLabel({ printer: $('printer').value, png: drawLabel(order), dpi: 203,
      title: `Order ${order}`, intentId });
    show(`${result.duplicate ? 'Already printed' : 'Sent'} (job ${result.osJobId}); following it...`);
    const job = await host.waitForJob(intentId, { intervalMs: 1000, timeoutMs: 60000 });
    show(`Order ${order}: ${job.state}`);
  } catch (e) {
    show(`Order ${order}: ${e.code}. ${ADVICE[e.kind] || e.message}`);
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
  const intentId = await intentFor(`${order}:pdf:${hex}`);
  show(`Printing ${file.name} for order ${order}...`);
  try {
    const { parts } = await printPdf(host, { printer: $('printer').value, pdf: file, title: `PDF for order ${order}`, intentId });
    const pages = parts.reduce((n, p) => n + p.pages.length, 0);
    const again = parts.every((p) => p.result.duplicate);
    show(`Order ${order}: PDF ${again ? 'already printed' : 'sent'}, ${pages} page(s) in ${parts.length} job(s).`);
  } catch (e) {
    show(`Order ${order}: ${e.code}. ${ADVICE[e.kind] || e.message}`);
  }
}

host.listPrinters().then(({ defaultPrinter, printers }) => {
  for (const p of printers) $('printer').add(new Option(`${p.name} (${p.state})`, p.name, false, p.name === defaultPrinter));
  $('print').disabled = false;
  $('print-pdf').disabled = false;
  show('Ready.');
}, (e) => show(`${e.code}: ${e.message}`));
$('print').addEventListener('click', print);
$('print-pdf').addEventListener('click', printPdfFile);
drawLabel($('order').value);
