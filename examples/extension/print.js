// A small example of printing labels from an extension with the client
// library. Copy the built library (clients/js/dist) into ./print-client/.
import { PrintHostClient, labelCanvas, newIntentId } from './print-client/index.js';

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

async function print() {
  const order = $('order').value.trim();
  const intentId = await intentFor(order);
  show(`Printing order ${order}...`);
  try {
    const result = await host.printLabel({ printer: $('printer').value, png: drawLabel(order), dpi: 203,
      title: `Order ${order}`, intentId });
    show(`${result.duplicate ? 'Already printed' : 'Sent'} (job ${result.os_job_id}); following it...`);
    const job = await host.waitForJob(intentId, { intervalMs: 1000, timeoutMs: 60000 });
    show(`Order ${order}: ${job.state}`);
  } catch (e) {
    const advice = {
      'choose-another-printer': 'Choose another printer.',
      'ask-the-user-before-reprinting': 'Check the printer: the label may have printed.',
      'reprint-needs-a-new-id': 'This attempt failed; printing again makes a new label.',
      'host-not-installed': 'Install the Tavelin print host.',
      'host-busy-or-crashed': 'The print host did not answer; try again (the same label will not print twice).',
    }[e.kind] || '';
    show(`Order ${order}: ${e.code}. ${advice}`);
  }
}

host.listPrinters().then(({ default_printer, printers }) => {
  for (const p of printers) $('printer').add(new Option(`${p.name} (${p.state})`, p.name, false, p.name === default_printer));
  $('print').disabled = false;
  show('Ready.');
}, (e) => show(`${e.code}: ${e.message}`));
$('print').addEventListener('click', print);
drawLabel($('order').value);
