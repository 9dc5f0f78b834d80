// Chromium: the extension's service worker (MV3), where the driver renders
// the test PDF, to show the PDF entry point works there too. Service workers
// cannot import() on demand, so the library is imported here up front.
import { renderPdfPages } from './lib/pdf.js';

self.renderLabelsPdf = async (dpi, width, height) => {
  const pdf = new Uint8Array(await (await fetch('labels.pdf')).arrayBuffer());
  const pages = await renderPdfPages(pdf, { dpi, printable: { width, height } });
  return Promise.all(pages.map(async (p) => {
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', p.png));
    return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
  }));
};
