// Runs the host through both browser mechanisms and leaves the answers in
// window.__results for the driver: connectNative (one host process for many
// messages) and sendNativeMessage (a new host process for every message, so
// processes overlap and wait for each other's ledger lock).
'use strict';

const HOST = 'com.tavelin.print';
const params = new URLSearchParams(location.search);
const tag = params.get('tag');
const printer = params.get('printer') || 'Label_PDF';

function log(line) {
  document.getElementById('log').textContent += line + '\n';
}

async function labelBase64(width, height) {
  const canvas = new OffscreenCanvas(width, height);
  const g = canvas.getContext('2d');
  g.fillStyle = '#fff';
  g.fillRect(0, 0, width, height);
  g.fillStyle = '#000';
  g.fillRect(8, 8, width - 16, height - 16);
  const blob = await canvas.convertToBlob({ type: 'image/png' });
  const bytes = new Uint8Array(await blob.arrayBuffer());
  let text = '';
  for (const b of bytes) text += String.fromCharCode(b);
  return btoa(text);
}

function envelope(id, type, payload) {
  const m = { protocol: 1, request_id: id, type };
  if (payload !== undefined) m.payload = payload;
  return m;
}

// Sends messages one after another over one port; resolves with the answers.
function overPort(messages) {
  return new Promise((resolve, reject) => {
    const port = chrome.runtime.connectNative(HOST);
    const answers = [];
    port.onMessage.addListener((answer) => {
      answers.push(answer);
      if (answers.length === messages.length) {
        port.disconnect();
        resolve(answers);
      } else {
        port.postMessage(messages[answers.length]);
      }
    });
    port.onDisconnect.addListener(() => {
      if (answers.length < messages.length) {
        reject(new Error('disconnected: ' + (chrome.runtime.lastError || {}).message));
      }
    });
    port.postMessage(messages[0]);
  });
}

function once(message) {
  return new Promise((resolve) => {
    chrome.runtime.sendNativeMessage(HOST, message, (answer) => {
      if (chrome.runtime.lastError) resolve({ browser_error: chrome.runtime.lastError.message });
      else resolve(answer);
    });
  });
}

async function run() {
  const b64 = await labelBase64(400, 200);
  const submit = (intent, title) => ({
    intent_id: intent, printer, title, copies: 1, dpi: 300,
    payload: { format: 'png', base64: b64, width_px: 400, height_px: 200 },
  });
  const results = { tag };
  const first = submit(`port-${tag}`, `browser-${tag}-port`);
  const port = await overPort([
    envelope('b1', 'hello'),
    envelope('b2', 'list_printers'),
    envelope('b3', 'submit', first),
    envelope('b4', 'submit', first),
    envelope('b5', 'get_job', { intent_id: first.intent_id }),
  ]);
  [results.hello, results.list, results.submit, results.repeat, results.job] = port;
  log('port done');

  const distinct = [];
  for (let i = 0; i < 20; i++) {
    distinct.push(once(envelope(`d${i}`, 'submit', submit(`many-${tag}-${i}`, `browser-${tag}-many-${i}`))));
  }
  results.distinct = await Promise.all(distinct);
  log('distinct done');

  const shared = [];
  for (let i = 0; i < 20; i++) {
    shared.push(once(envelope(`s${i}`, 'submit', submit(`shared-${tag}`, `browser-${tag}-shared`))));
  }
  results.shared = await Promise.all(shared);
  log('shared done');
  window.__results = results;
  document.title = 'done';
}

run().catch((e) => {
  window.__results = { error: String(e && e.stack || e) };
  document.title = 'failed';
});
