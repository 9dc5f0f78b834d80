// Firefox: the test loads this add-on with web-ext, writes config.json beside
// it, and listens on a loopback port for the results.
import { runSuite } from './suite.js';

async function main() {
  const config = await (await fetch(browser.runtime.getURL('config.json'))).json();
  const report = (body) => fetch(config.report, { method: 'POST', body: JSON.stringify(body) });
  try {
    const results = await runSuite({ ...config, log: (line) => console.log(line) });
    await report(results);
  } catch (e) {
    await report({ error: String((e && e.stack) || e) });
  }
}

main();
