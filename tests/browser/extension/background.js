// Firefox: the test loads this add-on with web-ext, writes config.json beside
// it, and listens on a loopback port for the results.
import { runSuite } from './suite.js';

async function main() {
  const config = await (await fetch(browser.runtime.getURL('config.json'))).json();
  const report = (body) => fetch(config.report, { method: 'POST', body: JSON.stringify(body) });
  // Each finished step, so that a run that never reports shows where it stopped.
  const progress = (line) => fetch(config.report.replace(/results$/, 'progress'),
    { method: 'POST', body: JSON.stringify({ line }) }).catch(() => {});
  try {
    progress('started');
    const results = await runSuite({ ...config, log: progress });
    await report(results);
  } catch (e) {
    await report({ error: String((e && e.stack) || e) });
  }
}

main();
