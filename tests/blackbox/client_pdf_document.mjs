// printPdf as an extension calls it, with the client library's own code from
// the call down to the native messages: the browser's part is played by a
// runtime that answers describe_printer with the real host's answer (given)
// and keeps every submit_document, which the test then sends to the real
// host. Usage: node client_pdf_document.mjs PDF DESCRIBED_JSON PRINTER
// INTENT [LAYOUT_JSON]; prints {"messages": [...], "parts": [...]}.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const client = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'clients', 'js');
const { pdfModuleInNode } = await import(path.join(client, 'scripts', 'pdf_in_node.mjs'));
const { PrintHostClient } = await import(path.join(client, 'dist', 'index.js'));

const [pdfPath, describedPath, printer, intentId, layout = '{}'] = process.argv.slice(2);
const described = JSON.parse(fs.readFileSync(describedPath, 'utf8'));
const messages = [];
const runtime = {
  lastError: null,
  sendNativeMessage(name, message, callback) {
    let result;
    if (message.type === 'describe_printer') {
      result = described;
    } else {
      messages.push(message);
      result = { duplicate: false, intent_id: message.payload.intent_id, os_job_id: '1', printer, state: 'SUBMITTED' };
    }
    queueMicrotask(() => callback({ protocol: 1, request_id: message.request_id, ok: true, result }));
  },
};
const { module: { printPdf }, dispose } = await pdfModuleInNode();
try {
  const host = new PrintHostClient({ runtime, transport: 'message' });
  const pdf = new Uint8Array(fs.readFileSync(pdfPath));
  const { parts } = await printPdf(host, { printer, pdf, intentId, title: intentId, ...JSON.parse(layout) });
  process.stdout.write(JSON.stringify({ messages, parts }));
} finally {
  dispose();
}
