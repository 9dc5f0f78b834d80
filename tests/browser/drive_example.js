// Uses the example extension's page in Firefox as a person would, where no
// automation library reaches: picks the printer, types an order, clicks
// Print and waits for what the page shows; then chooses the PDF and clicks
// Print PDF twice. What it saw goes to the test's loopback listener.
// The test adds this file to a copy of the example, loaded by its page.

const $ = (id) => document.getElementById(id);
const status = () => $('status').textContent;

async function until(predicate, what, timeoutMs = 120000) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error(`waited for ${what}; the page shows "${status()}"`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

async function drive(config) {
  await until(() => status() === 'Ready.', 'the printers');
  $('printer').value = config.printer;
  $('order').value = config.order;
  $('print').click();
  await until(() => status().includes(config.waitFor), config.waitFor);
  const shown = [status()];
  const bytes = await (await fetch('labels.pdf')).arrayBuffer();
  const files = new DataTransfer();
  files.items.add(new File([bytes], 'labels.pdf', { type: 'application/pdf' }));
  $('pdf').files = files.files;
  for (const expected of ['PDF sent', 'PDF already printed']) {
    $('print-pdf').click();
    await until(() => status().includes(expected), expected);
    shown.push(status());
  }
  return shown;
}

(async () => {
  const config = await (await fetch('drive.json')).json();
  let body;
  try {
    body = { shown: await drive(config) };
  } catch (e) {
    body = { error: String((e && e.stack) || e) };
  }
  // A text body keeps the request simple: no preflight, no host permission.
  await fetch(config.report, { method: 'POST', body: JSON.stringify(body) });
})();
