// Chromium: the driver opens this page and waits for window.__results.
import { runSuite } from './suite.js';

const params = new URLSearchParams(location.search);

function log(line) {
  document.getElementById('log').textContent += line + '\n';
}

runSuite({
  tag: params.get('tag'),
  printer: params.get('printer') || 'Label_PDF',
  rawPrinter: params.get('raw'),
  capturePrinter: params.get('capture'),
  bigLabel: { width: Number(params.get('bigWidth') || 6000), height: Number(params.get('bigHeight') || 8000) },
  log,
}).then((results) => {
  window.__results = results;
  document.title = 'done';
}, (e) => {
  window.__results = { error: String((e && e.stack) || e) };
  document.title = 'failed';
});
