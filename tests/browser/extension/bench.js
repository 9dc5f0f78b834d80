// The first and a later PDF page's rendering time on a page just opened:
// with `warm=1` the page first warms PDFium up, as an extension does when it
// starts (that time is not the user's, and is reported apart).
import { renderPdfPages, warmUpPdf } from './lib/pdf.js';

const warm = new URLSearchParams(location.search).get('warm') === '1';
const LABEL = { dpi: 203, printable: { width: 812, height: 1218 } };

async function timed(run) {
  const t = performance.now();
  await run();
  return performance.now() - t;
}

(async () => {
  try {
    const pdf = new Uint8Array(await (await fetch('labels.pdf')).arrayBuffer());
    const warmUp = warm ? await timed(() => warmUpPdf()) : 0;
    const first = await timed(() => renderPdfPages(pdf, LABEL, { pages: [1] }));
    const later = [];
    for (let i = 0; i < 5; i++) later.push(await timed(() => renderPdfPages(pdf, LABEL, { pages: [1] })));
    later.sort((a, b) => a - b);
    window.__bench = { warmUp, first, later: later[2] };
  } catch (e) {
    window.__bench = { error: String(e) };
  }
})();
