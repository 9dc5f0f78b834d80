// The client against a fake runtime whose ports can drop, delay, reorder and
// answer anything: the retry rule, request matching, settling exactly once,
// the size checks and the id rule.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { deflateSync } from 'node:zlib';

import {
  PrintHostClient, PrintHostError, isValidId, kindOfCode, labelPixels, newIntentId, pngSize,
} from '../dist/index.js';
import { DECODERS } from './printer_decoders.mjs';

// A minimal PNG header of the given size (the client reads only the header).
function png(width = 40, height = 20, extra = 0) {
  const b = new Uint8Array(33 + extra);
  b.set([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0, 0, 0, 13, 73, 72, 68, 82]);
  const v = new DataView(b.buffer);
  v.setUint32(16, width);
  v.setUint32(20, height);
  return b;
}

function ok(message, result) {
  return { protocol: 1, request_id: message.request_id, ok: true, result };
}

function fail(message, code, text = code) {
  return { protocol: 1, request_id: message.request_id, ok: false, error: { code, message: text } };
}

// A runtime whose host is a function: host(message, port) answers by
// port.answer(...), drops by port.drop(...), or stays silent.
class FakeRuntime {
  constructor(host) {
    this.host = host;
    this.lastError = null;
    this.ports = [];
    this.sent = [];
  }

  connectNative(name) {
    const runtime = this;
    const listeners = { message: [], disconnect: [] };
    const port = {
      name,
      open: true,
      onMessage: { addListener: (f) => listeners.message.push(f) },
      onDisconnect: { addListener: (f) => listeners.disconnect.push(f) },
      postMessage(message) {
        assert.ok(port.open, 'posted on a closed port');
        runtime.sent.push(structuredClone(message));
        queueMicrotask(() => runtime.host(message, port));
      },
      disconnect() { port.open = false; },
      answer(response, delayMs = 0) {
        setTimeout(() => { if (port.open) listeners.message.forEach((f) => f(response)); }, delayMs);
      },
      drop(error = 'Native host has exited.') {
        if (!port.open) return;
        port.open = false;
        runtime.lastError = { message: error };
        listeners.disconnect.forEach((f) => f(port));
        runtime.lastError = null;
      },
    };
    this.ports.push(port);
    if (this.refuse) queueMicrotask(() => port.drop(this.refuse));
    return port;
  }

  sendNativeMessage(name, message, callback) {
    this.sent.push(structuredClone(message));
    const port = { answer: (response, delayMs = 0) => setTimeout(() => callback(response), delayMs),
      drop: (error) => setTimeout(() => { this.lastError = { message: error }; callback(undefined); this.lastError = null; }) };
    queueMicrotask(() => this.host(message, port));
  }
}

function client(host, options = {}) {
  const runtime = new FakeRuntime(host);
  const retries = [];
  const c = new PrintHostClient({ runtime, retryDelayMs: 1, timeoutMs: 200, onRetry: (i) => retries.push(i), ...options });
  return { c, runtime, retries };
}

const label = (intentId) => ({ printer: 'Label_PDF', png: png(), dpi: 203, title: 'Order', intentId });

test('answers are matched by request id, also out of order', async () => {
  const held = [];
  const { c } = client((m, port) => {
    held.push([m, port]);
    if (held.length === 2) {
      held[1][1].answer(ok(held[1][0], 'second'));
      held[0][1].answer(ok(held[0][0], 'first'), 5);
    }
  }, { transport: 'message' });
  const [a, b] = await Promise.all([c.call('hello', undefined, {}), c.call('hello', undefined, {})]);
  assert.deepEqual([a, b], ['first', 'second']);
});

test('over a port, requests go one at a time and each gets its own answer', async () => {
  let inFlight = 0;
  let most = 0;
  const { c } = client((m, port) => {
    inFlight++;
    most = Math.max(most, inFlight);
    setTimeout(() => { inFlight--; port.answer(ok(m, m.request_id)); }, 3);
  });
  const ids = await Promise.all([c.hello(), c.hello(), c.hello()]);
  assert.equal(new Set(ids).size, 3);
  assert.equal(most, 1);
});

test('a lost submit answer is repeated with the same intent id until the host answers', async () => {
  const cases = [
    ['the port drops', (m, port, n) => (n === 1 ? port.drop() : port.answer(ok(m, { duplicate: true, state: 'SUBMITTED' })))],
    ['the host is silent past the timeout', (m, port, n) => (n === 1 ? undefined : port.answer(ok(m, { duplicate: true, state: 'SUBMITTED' })))],
    ['the host answers only after the timeout', (m, port, n) => port.answer(ok(m, { duplicate: n > 1, state: 'SUBMITTED' }), n === 1 ? 400 : 0)],
  ];
  for (const [name, behaviour] of cases) {
    let n = 0;
    const { c, runtime, retries } = client((m, port) => behaviour(m, port, ++n));
    const result = await c.printLabel(label('order-7'));
    assert.equal(result.duplicate, true, name);
    const intents = runtime.sent.map((m) => m.payload.intent_id);
    assert.deepEqual(intents, ['order-7', 'order-7'], name);
    assert.deepEqual(runtime.sent[0].payload, runtime.sent[1].payload, name);
    assert.equal(retries.length, 1, name);
  }
});

test('after the last repeat the error says to repeat with the same id, never a new one', async () => {
  const { c, runtime } = client((m, port) => port.drop(), { retries: 2 });
  await assert.rejects(c.printLabel(label('order-8')), (e) => {
    assert.ok(e instanceof PrintHostError);
    assert.equal(e.kind, 'host-busy-or-crashed');
    assert.match(e.message, /same intent id \(order-8\)/);
    return true;
  });
  assert.deepEqual(runtime.sent.map((m) => m.payload.intent_id), ['order-8', 'order-8', 'order-8']);
});

test("the host's answers are final: errors are typed and never repeated", async () => {
  const table = [
    ['ATTEMPT_FAILED', 'reprint-needs-a-new-id'],
    ['UNKNOWN_OUTCOME', 'ask-the-user-before-reprinting'],
    ['PRINTER_UNAVAILABLE', 'choose-another-printer'],
    ['MEDIA_MISMATCH', 'choose-another-printer'],
    ['INTENT_CONFLICT', 'id-used-for-other-output'],
    ['BAD_REQUEST', 'fix-the-request'],
    ['STATE_UNAVAILABLE', 'host-busy-or-crashed'],
    // A fleet's: repeating the same id later is safe.
    ['FLEET_UNAVAILABLE', 'host-busy-or-crashed'],
    ['INTENT_IN_PROGRESS', 'host-busy-or-crashed'],
  ];
  for (const [code, kind] of table) {
    const { c, runtime } = client((m, port) => port.answer(fail(m, code, 'because')));
    await assert.rejects(c.printLabel(label('x-1')), (e) => e.code === code && e.kind === kind && e.message === 'because');
    assert.equal(runtime.sent.length, 1, code);
    assert.equal(kindOfCode(code), kind);
  }
});

test('a conflict names the attempt that first used the id: its printer, time and state', async () => {
  const earlier = { created_at_ms: Date.UTC(2026, 11, 9, 8, 15, 54), printer: 'Label_PDF', state: 'COMPLETED' };
  const { c } = client((m, port) => port.answer({ protocol: 1, request_id: m.request_id, ok: false,
    error: { code: 'INTENT_CONFLICT', earlier_attempt: earlier,
      message: 'This print-attempt identifier was already used for different output.' } }));
  await assert.rejects(c.printLabel(label('x-3')), (e) => {
    assert.deepEqual(e.earlierAttempt, { printer: 'Label_PDF', createdAtMs: earlier.created_at_ms, state: 'COMPLETED' });
    assert.equal(e.message, 'This print-attempt identifier was already used for different output. It was first used ' +
      'on Label_PDF at 2026-12-09T08:15:54.000Z (COMPLETED); print again on purpose with a new id.');
    return true;
  });
});

test('in a fleet, the attempt another station is printing names that station', async () => {
  const earlier = { created_at_ms: 5, printer: 'Label_Raw', state: 'DISPATCHING', station: 'dock-2' };
  const { c } = client((m, port) => port.answer({ protocol: 1, request_id: m.request_id, ok: false,
    error: { code: 'INTENT_IN_PROGRESS', earlier_attempt: earlier, message: 'Another station is printing this attempt now.' } }));
  await assert.rejects(c.printLabel(label('x-4')), (e) => {
    assert.equal(e.code, 'INTENT_IN_PROGRESS');
    assert.deepEqual(e.earlierAttempt, { printer: 'Label_Raw', createdAtMs: 5, state: 'DISPATCHING', station: 'dock-2' });
    assert.equal(e.message, 'Another station is printing this attempt now.');
    return true;
  });
});

test('a missing host, or one that does not allow this extension, is reported as such and not repeated', async () => {
  const cases = [
    ['Specified native messaging host not found.', 'HOST_NOT_FOUND', 'host-not-installed',
      /not installed for this browser or its manifest does not list this extension \(abcdefgh\)/],
    ['Access to the specified native messaging host is forbidden.', 'HOST_FORBIDDEN', 'extension-not-allowed',
      /chrome-extension:\/\/abcdefgh\/ to the allowed_origins/],
  ];
  for (const [browserSays, code, kind, message] of cases) {
    for (const transport of ['port', 'message']) {
      const { c, runtime } = client((m, port) => port.drop(browserSays), { transport });
      runtime.id = 'abcdefgh';
      await assert.rejects(c.printLabel(label('x-2')),
        (e) => e.kind === kind && e.code === code && message.test(e.message) && !e.message.includes('.).'));
      assert.equal(runtime.sent.length, 1, transport);
    }
  }
});

test('the port closes once idle, so other clients get the host, and a burst shares one', async () => {
  const { c, runtime } = client((m, port) => port.answer(ok(m, 'hi')), { idleCloseMs: 30 });
  await Promise.all([c.hello(), c.hello(), c.listPrinters()]);
  assert.equal(runtime.ports.length, 1);
  await new Promise((r) => setTimeout(r, 60));
  assert.equal(runtime.ports[0].open, false, 'closed when idle');
  assert.equal(await c.hello(), 'hi');
  assert.equal(runtime.ports.length, 2, 'reopened for the next request');
  c.close();
});

test('waiting and cancelling are told apart from a lost host', async () => {
  // A job on a paused queue: every poll answered, the job still waiting.
  const paused = client((m, port) => port.answer(ok(m, m.type === 'get_job'
    ? { intent_id: 'w-3', state: 'SUBMITTED', printer: 'Label_PDF' }
    : { default_printer: '', printers: [{ name: 'Label_PDF', state: 'paused', enabled: false, uri: 'cups' }] }))).c;
  await assert.rejects(paused.waitForJob('w-3', { intervalMs: 5, timeoutMs: 20 }), (e) => e.code === 'JOB_WAITING' &&
    e.kind === 'job-still-waiting' && !e.answerLost && e.queuePaused === true && e.record.state === 'SUBMITTED');
  // Cancelled before sending, while waiting between polls, or with a read in
  // flight: nothing can have printed, so the caller gets its own reason back.
  const silent = client(() => undefined, { timeoutMs: 0 }).c;
  const before = new AbortController();
  before.abort();
  const during = new AbortController();
  setTimeout(() => during.abort(), 20);
  const polling = new AbortController();
  setTimeout(() => polling.abort(), 20);
  const slow = client((m, port) => port.answer(ok(m, { state: 'SUBMITTED' }))).c;
  for (const [call, signal] of [[silent.hello({ signal: before.signal }), before.signal],
    [silent.hello({ signal: during.signal }), during.signal],
    [slow.waitForJob('w-4', { intervalMs: 1000, signal: polling.signal }), polling.signal]]) {
    await assert.rejects(call, (e) => e === signal.reason && e.name === 'AbortError');
  }
  // A bad id is a rejected promise, like every other failure.
  const bad = silent.getJob('has space');
  assert.ok(bad instanceof Promise);
  await assert.rejects(bad, (e) => e.code === 'BAD_REQUEST');
  for (const c of [paused, silent, slow]) c.close();
});

test('every request settles exactly once, whatever arrives late', async () => {
  const { c } = client((m, port) => {
    port.answer(ok(m, 'late'), 300); // after the 200 ms timeout
    setTimeout(() => port.drop(), 350);
  });
  let settlements = 0;
  const p = c.hello().then(() => settlements++, (e) => { settlements++; return e; });
  const error = await p;
  assert.equal(error.code, 'TIMEOUT');
  await new Promise((r) => setTimeout(r, 400));
  assert.equal(settlements, 1);
});

test('the port is opened again after it drops', async () => {
  let n = 0;
  const { c, runtime } = client((m, port) => (++n === 1 ? port.drop() : port.answer(ok(m, 'again'))));
  await assert.rejects(c.hello(), (e) => e.kind === 'host-busy-or-crashed');
  assert.equal(await c.hello(), 'again');
  assert.equal(runtime.ports.length, 2);
});

test('size limits and ids are checked before anything is sent', async () => {
  const { c, runtime } = client(() => assert.fail('nothing may be sent'));
  const cases = [
    [{ ...label('big-1'), png: png(40, 20, 5 * 1024 * 1024) }, 'PAYLOAD_TOO_LARGE'],
    [{ ...label('notpng-1'), png: new Uint8Array(40) }, 'UNREADABLE_FILE', 'ask-for-another-file'],
    [label('has space'), 'BAD_REQUEST'],
    [label('x'.repeat(161)), 'BAD_REQUEST'],
  ];
  for (const [options, code, kind = 'fix-the-request'] of cases) {
    await assert.rejects(c.printLabel(options), (e) => e.code === code && e.kind === kind);
  }
  const pages = [
    [[], 'BAD_REQUEST', /^A document has 1 to 1000 pages\.$/],
    [[png(), png(), new Uint8Array(40)], 'UNREADABLE_FILE', /^Page 3: The label is not a PNG; choose another file\.$/,
      'ask-for-another-file'],
    [[png(40, 20, 5 * 1024 * 1024)], 'PAYLOAD_TOO_LARGE', /^Page 1: /],
  ];
  for (const [list, code, message, kind = 'fix-the-request'] of pages) {
    await assert.rejects(c.printPages({ ...label('doc-1'), pages: list }),
      (e) => e.code === code && message.test(e.message) && e.kind === kind);
  }
  assert.equal(runtime.sent.length, 0);
});

test('intent ids obey the host rule and do not repeat', () => {
  const ids = new Set();
  for (let i = 0; i < 1000; i++) {
    const id = newIntentId('order-1234');
    assert.ok(isValidId(id) && id.startsWith('order-1234.'), id);
    ids.add(id);
  }
  assert.equal(ids.size, 1000);
  assert.throws(() => newIntentId('has space'));
  assert.ok(isValidId('x'.repeat(160)) && !isValidId('x'.repeat(161)) && !isValidId(''));
});

test('waitForJob polls until a final state', async () => {
  const states = ['SUBMITTED', 'OBSERVED', 'COMPLETED'];
  let n = 0;
  const { c } = client((m, port) => port.answer(ok(m, { intent_id: 'w-1', state: states[Math.min(n++, 2)] })));
  const record = await c.waitForJob('w-1', { intervalMs: 1 });
  assert.equal(record.state, 'COMPLETED');
  assert.equal(n, 3);
  const slow = client((m, port) => port.answer(ok(m, { state: 'SUBMITTED' }))).c;
  // Out of time with every poll answered: still waiting, not lost.
  await assert.rejects(slow.waitForJob('w-2', { intervalMs: 5, timeoutMs: 20 }),
    (e) => e.code === 'JOB_WAITING' && e.queuePaused === false && !e.answerLost);
});

test('pages: one submit_document with the pages in order, and the same retry rule', async () => {
  let n = 0;
  const { c, runtime } = client((m, port) => (++n === 1 ? port.drop() : port.answer(ok(m, { duplicate: true }))));
  const result = await c.printPages({ printer: 'Label_PDF', pages: [png(40, 20), png(50, 30), png(60, 40)], dpi: 203,
    title: 'Batch', intentId: 'doc-2', copies: 2 });
  assert.equal(result.duplicate, true);
  assert.deepEqual(runtime.sent.map((m) => [m.type, m.payload.intent_id]),
    [['submit_document', 'doc-2'], ['submit_document', 'doc-2']]);
  assert.deepEqual(runtime.sent[0].payload.pages.map((p) => [p.format, p.width_px, p.height_px]),
    [['png', 40, 20], ['png', 50, 30], ['png', 60, 40]]);
  assert.equal(runtime.sent[0].payload.copies, 2);
});

test("results are camelCase, every field of the host's answer mapped", async () => {
  const job = { created_at_ms: 1, error_code: 'E', error_message: 'm', intent_id: 'j-1', os_job_id: '7',
    payload_sha256: 'ab', printer: 'P', state: 'COMPLETED', updated_at_ms: 2 };
  const jobCamel = { createdAtMs: 1, errorCode: 'E', errorMessage: 'm', intentId: 'j-1', osJobId: '7', payloadSha256: 'ab',
    printer: 'P', state: 'COMPLETED', updatedAtMs: 2 };
  const printers = [{ name: 'P', state: 'idle', enabled: true, raw: false, uri: 'u' }];
  const described = { name: 'P', state: 'idle', accepting_jobs: true, raw: false, dpi_x: 203, dpi_y: null,
    media: { name: 'na_index-4x6_4x6in', width_hmm: 10160, height_hmm: 15240, width_px: 812, height_px: 1218 },
    printable_area: { left_hmm: 1, top_hmm: 2, right_hmm: 3, bottom_hmm: 4, width_hmm: 5, height_hmm: 6,
      left_px: 7, top_px: 8, width_px: 9, height_px: 10 },
    notices: [{ code: 'SNMP_LOOKUP_DELAY', message: 'slow' }] };
  const raw = { name: 'R', state: 'idle', accepting_jobs: true, raw: true, dpi_x: null, dpi_y: null, media: null,
    printable_area: null, notices: [{ code: 'RAW_QUEUE', message: 'bytes as they are' }] };
  const rows = [
    [(c) => c.listPrinters(), { default_printer: 'P', printers }, { defaultPrinter: 'P', printers }],
    [(c) => c.getJob('j-1'), job, jobCamel],
    [(c) => c.findJobs('j-'), { jobs: [job], truncated: true }, { jobs: [jobCamel], truncated: true }],
    [(c) => c.printLabel(label('j-1')), { duplicate: false, intent_id: 'j-1', os_job_id: '7', printer: 'P', state: 'SUBMITTED' },
      { duplicate: false, intentId: 'j-1', osJobId: '7', printer: 'P', state: 'SUBMITTED' }],
    // A label handed over whose record could not be saved: printed, not a failure.
    [(c) => c.printLabel(label('j-1')), { duplicate: false, host_stopping: true, intent_id: 'j-1', os_job_id: '7',
      outcome_saved: false, printer: 'P', save_error: 'Cannot save print-helper state: disk full', state: 'SUBMITTED' },
    { duplicate: false, intentId: 'j-1', osJobId: '7', printer: 'P', state: 'SUBMITTED', outcomeSaved: false,
      hostStopping: true, saveError: 'Cannot save print-helper state: disk full' }],
    [(c) => c.describePrinter('P'), described, { name: 'P', state: 'idle', acceptingJobs: true, dpiX: 203, dpiY: null,
      media: { name: 'na_index-4x6_4x6in', widthHmm: 10160, heightHmm: 15240, widthPx: 812, heightPx: 1218 },
      printableArea: { leftHmm: 1, topHmm: 2, rightHmm: 3, bottomHmm: 4, widthHmm: 5, heightHmm: 6, leftPx: 7, topPx: 8,
        widthPx: 9, heightPx: 10 }, raw: false, notices: [{ code: 'SNMP_LOOKUP_DELAY', message: 'slow' }] }],
    // A host from before raw and notices.
    [(c) => c.describePrinter('P'), { ...described, raw: undefined, notices: undefined }, { name: 'P', state: 'idle',
      acceptingJobs: true, dpiX: 203, dpiY: null,
      media: { name: 'na_index-4x6_4x6in', widthHmm: 10160, heightHmm: 15240, widthPx: 812, heightPx: 1218 },
      printableArea: { leftHmm: 1, topHmm: 2, rightHmm: 3, bottomHmm: 4, widthHmm: 5, heightHmm: 6, leftPx: 7, topPx: 8,
        widthPx: 9, heightPx: 10 }, raw: false, notices: [] }],
    [(c) => c.describePrinter('R'), raw, { name: 'R', state: 'idle', acceptingJobs: true, raw: true, dpiX: null,
      dpiY: null, media: null, printableArea: null, notices: [{ code: 'RAW_QUEUE', message: 'bytes as they are' }] }],
  ];
  for (const [callOf, wire, expected] of rows) {
    const { c } = client((m, port) => port.answer(ok(m, wire)));
    assert.deepEqual(await callOf(c), expected);
    c.close();
  }
});

test('findJobs asks the host for an id prefix', async () => {
  const { c, runtime } = client((m, port) => port.answer(ok(m, { jobs: [], truncated: false })));
  assert.deepEqual(await c.findJobs('order-1234.', { limit: 5 }), { jobs: [], truncated: false });
  await c.findJobs('order-9.');
  assert.deepEqual(runtime.sent.map((m) => [m.type, m.payload]), [
    ['find_jobs', { intent_prefix: 'order-1234.', limit: 5 }], ['find_jobs', { intent_prefix: 'order-9.', limit: null }]]);
  c.close();
});

test('raw labels: the bytes as they are, and the same retry rule', async () => {
  let n = 0;
  const { c, runtime } = client((m, port) => (++n === 1 ? port.drop() : port.answer(ok(m, { duplicate: true }))));
  const result = await c.printRaw({ printer: 'Label_Raw', data: '^XA^FDhi^FS^XZ', language: 'zpl', title: 'Raw',
    intentId: 'raw-1', copies: 2 });
  assert.equal(result.duplicate, true);
  assert.deepEqual(runtime.sent.map((m) => [m.type, m.payload.intent_id]), [['submit_raw', 'raw-1'], ['submit_raw', 'raw-1']]);
  assert.equal(Buffer.from(runtime.sent[0].payload.base64, 'base64').toString(), '^XA^FDhi^FS^XZ');
  assert.equal(runtime.sent[0].payload.copies, 2);
  const empty = client(() => assert.fail('nothing may be sent')).c;
  await assert.rejects(empty.printRaw({ printer: 'Q', data: '', language: 'zpl', title: 't', intentId: 'raw-2' }),
    (e) => e.kind === 'fix-the-request');
});

// An 8-bit RGBA PNG, filter type 0 on every row (the client reads it itself for printers without a driver).
function rgbaPng(width, height, pixel) {
  const raw = Buffer.alloc((4 * width + 1) * height);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) raw.set(pixel(x, y), y * (4 * width + 1) + 1 + 4 * x);
  }
  const chunk = (type, data) => {
    const out = Buffer.alloc(12 + data.length);
    out.writeUInt32BE(data.length, 0);
    out.write(type, 4, 'latin1');
    data.copy(out, 8);
    out.writeUInt32BE(crc32(out.subarray(4, 8 + data.length)), 8 + data.length);
    return out;
  };
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header[8] = 8;
  header[9] = 6;
  return new Uint8Array(Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', header), chunk('IDAT', deflateSync(raw)), chunk('IEND', Buffer.alloc(0))]));
}

function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) {
    c ^= b;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  }
  return (c ^ 0xffffffff) >>> 0;
}

test('a printer without a driver gets one submit_raw in its language, and a repeat sends the same bytes', async () => {
  // A 30 x 20 label on a 10 x 5 mm label at 203 dpi (80 x 40 dots): centred at (25, 10). Black, red and
  // half-grey print; white, transparent black and light grey do not.
  const colours = [[0, 0, 0, 255], [255, 255, 255, 255], [255, 0, 0, 255], [0, 0, 0, 0], [100, 100, 100, 255],
    [200, 200, 200, 255]];
  const dark = [true, false, true, false, true, false];
  const which = (x, y) => (x * 3 + y * 5 + ((x * y) >> 2)) % colours.length;
  const image = rgbaPng(30, 20, (x, y) => colours[which(x, y)]);
  const want = { perRow: 10, height: 40, rows: Buffer.alloc(400) };
  for (let y = 0; y < 20; y++) {
    for (let x = 0; x < 30; x++) if (dark[which(x, y)]) want.rows[(y + 10) * 10 + ((x + 25) >> 3)] |= 0x80 >> ((x + 25) & 7);
  }
  for (const language of Object.keys(DECODERS)) {
    const { c, runtime } = client((m, port) => port.answer(ok(m, { duplicate: runtime.sent.length > 1 })));
    const target = { language, dpi: 203, widthMm: 10, heightMm: 5 };
    const options = { printer: 'Label_Raw', png: image, dpi: 203, title: 'Order', intentId: `raw-${language}`, target };
    await c.printLabel(options);
    await c.printLabel(options);
    assert.deepEqual(runtime.sent.map((m) => [m.type, m.payload.intent_id, m.payload.language]),
      [['submit_raw', `raw-${language}`, language], ['submit_raw', `raw-${language}`, language]], language);
    const bytes = Buffer.from(runtime.sent[0].payload.base64, 'base64');
    assert.deepEqual(DECODERS[language](bytes, [{ width: 80, height: 40 }]), [want], language);
    assert.equal(runtime.sent[1].payload.base64, runtime.sent[0].payload.base64, `${language}: the repeat's bytes`);
    // Pages make one stream, one attempt.
    await c.printPages({ ...options, pages: [image, image], intentId: `raw2-${language}` });
    assert.equal(runtime.sent.length, 3);
    assert.deepEqual(DECODERS[language](Buffer.from(runtime.sent[2].payload.base64, 'base64'),
      [{ width: 80, height: 40 }, { width: 80, height: 40 }]), [want, want], `${language}: two pages`);
    c.close();
  }
});

test('a wrong target, or a label that does not fit it, is refused and nothing is sent', async () => {
  const good = { language: 'zpl', dpi: 203, widthMm: 10, heightMm: 5 };
  const rows = [
    ['no such language', { ...good, language: 'pcl' }, 'BAD_REQUEST'],
    ['no language', { dpi: 203, widthMm: 10, heightMm: 5 }, 'BAD_REQUEST'],
    ['dpi out of range', { ...good, dpi: 5 }, 'BAD_REQUEST'],
    ['width not a number', { ...good, widthMm: '10' }, 'BAD_REQUEST'],
    ['height zero', { ...good, heightMm: 0 }, 'BAD_REQUEST'],
    ['a label of a billion dots', { ...good, widthMm: 1e7 }, 'BAD_REQUEST'],
    ['not an object', 'zpl', 'BAD_REQUEST'],
    ['a label twice the size of the target', { ...good, widthMm: 5 }, 'PAGE_TOO_LARGE'],
  ];
  const { c } = client(() => assert.fail('nothing may be sent'));
  for (const [name, target, code] of rows) {
    await assert.rejects(c.printLabel({ printer: 'Q', png: rgbaPng(80, 40, () => [0, 0, 0, 255]), dpi: 203, title: 't',
      intentId: 'raw-bad', target }), (e) => e instanceof PrintHostError && e.code === code, name);
  }
});

test('label sizes and PNG headers', () => {
  assert.deepEqual(labelPixels({ widthIn: 4, heightIn: 6, dpi: 203 }), { width: 812, height: 1218 });
  assert.deepEqual(labelPixels({ widthMm: 100, heightMm: 150, dpi: 300 }), { width: 1181, height: 1772 });
  assert.throws(() => labelPixels({ widthIn: 4, dpi: 203 }));
  assert.throws(() => labelPixels({ widthIn: 4, heightIn: 6, dpi: 50 }));
  assert.deepEqual(pngSize(png(812, 1218)), { width: 812, height: 1218 });
  assert.equal(pngSize(new Uint8Array(30)), null);
});

test('a call aborted while it waits its turn on the port rejects at once, with the reason, and is never sent', async () => {
  // The first request holds the port for 3 s; the others wait behind it.
  const { c, runtime } = client((m, port) => port.answer(ok(m, m.type === 'list_printers'
    ? { default_printer: 'P', printers: [] } : 'hi'), m.type === 'list_printers' ? 3000 : 0), { timeoutMs: 0 });
  const first = c.listPrinters();
  const rows = [
    ['a read, with the default reason', (signal) => c.hello({ signal }), undefined],
    ["a read, with the caller's reason", (signal) => c.getJob('q-1', { signal }), new Error('the dialog was closed')],
    ['a print, never sent, so nothing printed', (signal) => c.printLabel({ ...label('q-2'), signal }), 'a string reason'],
  ];
  const started = performance.now();
  await Promise.all(rows.map(([name, callOf, reason]) => {
    const controller = new AbortController();
    const call = callOf(controller.signal);
    setTimeout(() => controller.abort(reason), 50);
    return assert.rejects(call, (e) => {
      const after = performance.now() - started;
      assert.ok(after < 1000, `${name}: rejected after ${after} ms`);
      assert.equal(e, controller.signal.reason, name);
      if (reason === undefined) assert.equal(e.name, 'AbortError', name);
      return true;
    });
  }));
  // They left the line: the request after them is the next one sent.
  const next = c.hello();
  assert.equal((await first).defaultPrinter, 'P');
  assert.equal(await next, 'hi');
  assert.deepEqual(runtime.sent.map((m) => m.type), ['list_printers', 'hello']);
  c.close();
});

test('an abort once a print was sent says that it may have printed, with the reason as its cause', async () => {
  const reason = new Error('stop');
  const rows = [
    // [name, host, client options, abort: when the test aborts]
    ['with the print in flight', () => undefined, {}, 'at 50 ms'],
    ['between tries of a lost answer', (m, port) => port.drop(), { retryDelayMs: 5000 }, 'at 50 ms'],
    // The lost try's repeat waits its turn behind a request that came in meanwhile.
    ['while the repeat of a lost answer waits its turn', (m, port, c) => {
      if (m.type === 'submit') {
        c.listPrinters().catch(() => undefined);
        port.drop();
      }
    }, { retryDelayMs: 1 }, 'after the retry'],
  ];
  for (const [name, host, options, when] of rows) {
    const controller = new AbortController();
    const made = client((m, port) => host(m, port, made.c), {
      timeoutMs: 0, ...options,
      // The repeat is queued once its 1 ms pause is over, well before this.
      onRetry: () => when === 'after the retry' && setTimeout(() => controller.abort(reason), 20),
    });
    if (when === 'at 50 ms') setTimeout(() => controller.abort(reason), 50);
    await assert.rejects(made.c.printLabel({ ...label('sent-1'), signal: controller.signal }), (e) => {
      assert.ok(e instanceof PrintHostError, `${name}: ${e}`);
      assert.deepEqual([e.code, e.kind, e.cause, e.answerLost], ['ABORTED', 'cancelled', reason, false], name);
      assert.match(e.message, /may .*(printed|been sent).*same intent id/, name);
      return true;
    });
    assert.equal(made.runtime.sent.filter((m) => m.type === 'submit').length, 1, `${name}: not sent again once aborted`);
    made.c.close();
  }
});

test("an error code this version does not know is UNKNOWN_ERROR, with the host's code kept", async () => {
  const table = [
    // [the host's code, the error's code, its kind]
    ['PRINTER_UNAVAILABLE', 'PRINTER_UNAVAILABLE', 'choose-another-printer'],
    ['QUOTA_EXCEEDED', 'UNKNOWN_ERROR', 'host-busy-or-crashed'],
    // The library's own codes are not the host's to send: a host's TIMEOUT is
    // an answer, not a lost one to repeat.
    ['TIMEOUT', 'UNKNOWN_ERROR', 'host-busy-or-crashed'],
    ['ABORTED', 'UNKNOWN_ERROR', 'host-busy-or-crashed'],
  ];
  for (const [hostCode, code, kind] of table) {
    const { c, runtime } = client((m, port) => port.answer(fail(m, hostCode, 'from a newer host')));
    await assert.rejects(c.printLabel(label('u-1')), (e) => {
      assert.ok(e instanceof PrintHostError, hostCode);
      assert.deepEqual([e.code, e.hostCode, e.kind, e.message, e.answerLost], [code, hostCode, kind, 'from a newer host',
        false], hostCode);
      return true;
    });
    assert.equal(runtime.sent.length, 1, `${hostCode}: an answer is not repeated`);
    c.close();
  }
});

test('bad input to any call is a BAD_REQUEST, never a TypeError or RangeError, and nothing is sent', async () => {
  // A buffer transferred away (to a worker, say), and a view made on it before.
  const detached = (view = false) => {
    const buffer = new ArrayBuffer(64);
    const bytes = new Uint8Array(buffer);
    structuredClone(buffer, { transfer: [buffer] });
    return view ? bytes : buffer;
  };
  const transparent = png();
  transparent[25] = 6;  // grey and alpha: needs flattening, and Node.js has no canvas to do it
  const printLabel = (change) => (c) => c.printLabel({ ...label('bad-1'), ...change });
  const printPages = (change) => (c) => c.printPages({ ...label('bad-2'), pages: [png()], ...change });
  const printRaw = (change) => (c) => c.printRaw({ ...label('bad-3'), data: '^XA^XZ', language: 'zpl', ...change });
  const rows = [
    ['printLabel()', (c) => c.printLabel()],
    ['printLabel(null)', (c) => c.printLabel(null)],
    ['printLabel("x")', (c) => c.printLabel('x')],
    ['intentId 42', printLabel({ intentId: 42 })],
    ['printer left out', printLabel({ printer: undefined })],
    ['printer 42', printLabel({ printer: 42 })],
    ['title null', printLabel({ title: null })],
    ['png a string', printLabel({ png: 'not a png' })],
    ['png a number', printLabel({ png: 42 })],
    ['png null', printLabel({ png: null })],
    ['png a plain object', printLabel({ png: {} })],
    ['png a Uint16Array', printLabel({ png: new Uint16Array(20) })],
    ['png a detached ArrayBuffer', printLabel({ png: detached() })],
    ['png a view of a detached buffer', printLabel({ png: detached(true) })],
    ['png transparent with nothing to flatten it', printLabel({ png: transparent })],
    ['dpi a string', printLabel({ dpi: '203' })],
    ['dpi a BigInt', printLabel({ dpi: 203n })],
    ['dpi NaN', printLabel({ dpi: NaN })],
    ['dpi negative', printLabel({ dpi: -203 })],
    ['dpi Infinity', printLabel({ dpi: Infinity })],
    ['dpi above the limit', printLabel({ dpi: 1201 })],
    ['copies 0', printLabel({ copies: 0 })],
    ['copies negative', printLabel({ copies: -1 })],
    ['copies 1.5', printLabel({ copies: 1.5 })],
    ['copies above the limit', printLabel({ copies: 11 })],
    ['copies a BigInt', printLabel({ copies: 2n })],
    ['copies a string', printLabel({ copies: '2' })],
    ['timeoutMs negative', printLabel({ timeoutMs: -1 })],
    ['timeoutMs a BigInt', printLabel({ timeoutMs: 100n })],
    ['timeoutMs Infinity', printLabel({ timeoutMs: Infinity })],
    ['signal a plain object', printLabel({ signal: {} })],
    ['signal an AbortController', printLabel({ signal: new AbortController() })],
    ['printPages, pages left out', printPages({ pages: undefined })],
    ['printPages, pages a string', printPages({ pages: 'pages' })],
    ['printPages, a page a number', printPages({ pages: [png(), 42] })],
    ['printPages, a detached page', printPages({ pages: [detached()] })],
    ['printPages, dpi a BigInt', printPages({ dpi: 203n })],
    ['printPages, copies 0', printPages({ copies: 0 })],
    ['printRaw, data a number', printRaw({ data: 42 })],
    ['printRaw, data null', printRaw({ data: null })],
    ['printRaw, data a plain object', printRaw({ data: {} })],
    ['printRaw, data detached', printRaw({ data: detached() })],
    ['printRaw, language left out', printRaw({ language: undefined })],
    ['printRaw, copies a BigInt', printRaw({ copies: 1n })],
    ['getJob(42)', (c) => c.getJob(42)],
    ['getJob with timeoutMs "1"', (c) => c.getJob('j-1', { timeoutMs: '1' })],
    ['findJobs(42)', (c) => c.findJobs(42)],
    ['findJobs limit 0', (c) => c.findJobs('o.', { limit: 0 })],
    ['findJobs limit above the most', (c) => c.findJobs('o.', { limit: 101 })],
    ['findJobs limit 1.5', (c) => c.findJobs('o.', { limit: 1.5 })],
    ['findJobs limit a BigInt', (c) => c.findJobs('o.', { limit: 5n })],
    ['findJobs options null', (c) => c.findJobs('o.', null)],
    ['describePrinter(42)', (c) => c.describePrinter(42)],
    ['describePrinter()', (c) => c.describePrinter()],
    ['hello(null)', (c) => c.hello(null)],
    ['hello with a signal that is not one', (c) => c.hello({ signal: 'abort' })],
    ['listPrinters with timeoutMs a BigInt', (c) => c.listPrinters({ timeoutMs: 1n })],
    ['waitForJob(42)', (c) => c.waitForJob(42)],
    ['waitForJob until a string', (c) => c.waitForJob('w-1', { until: 'COMPLETED' })],
    ['waitForJob intervalMs a BigInt', (c) => c.waitForJob('w-1', { intervalMs: 10n })],
    ['waitForJob timeoutMs negative', (c) => c.waitForJob('w-1', { timeoutMs: -5 })],
    ['waitForJob options null', (c) => c.waitForJob('w-1', null)],
  ];
  const { c, runtime } = client(() => assert.fail('nothing may be sent'));
  for (const [name, callOf] of rows) {
    const call = callOf(c);
    assert.ok(call instanceof Promise, `${name}: a rejected promise, not a throw`);
    await assert.rejects(call, (e) => {
      assert.ok(e instanceof PrintHostError, `${name}: ${e?.name}: ${e?.message}`);
      assert.deepEqual([e.code, e.kind], ['BAD_REQUEST', 'fix-the-request'], name);
      return true;
    });
  }
  assert.equal(runtime.sent.length, 0);
});

// A host that can watch: hello lists it, a watch is answered and followed by
// the events `script` sends for it (script(message, send) with send(event)).
function watchingHost(script, unknown = []) {
  return (m, port) => {
    if (m.type === 'hello') return port.answer(ok(m, { capabilities: ['get_job', 'watch'] }));
    if (m.type === 'watch') {
      port.answer(ok(m, { printers: m.payload.printers, intents: m.payload.intents, unknown_intents: unknown }));
      return script(m, (event, delayMs = 1) => port.answer({ protocol: 1, event: event.event, ...event }, delayMs));
    }
    if (m.type === 'unwatch') return port.answer(ok(m, { printers: [], intents: [], unknown_intents: [] }));
    return port.answer(fail(m, 'UNKNOWN_MESSAGE'));
  };
}

const jobEvent = (intent, state) => ({ event: 'job', job: { intent_id: intent, state, printer: 'Label_PDF' } });
const printerEvent = (name, state, reasons) =>
  ({ event: 'printer', printer: { name, state, reasons, enabled: state === 'idle', accepting_jobs: true, raw: true } });

test('watch: events reach the watches that asked, as an iterator and as events, and close tells the host', async () => {
  const { c, runtime } = client(watchingHost((m, send) => {
    // As the host does, each watch is told the state now, then the change.
    if (m.payload.printers.includes('Dock')) send(printerEvent('Dock', 'idle', []));
    if (m.payload.intents.length === 0) send(printerEvent('Dock', 'error', ['head-open']), 5);
    if (m.payload.intents.includes('w-9')) send(jobEvent('w-9', 'COMPLETED'), 10);
  }), { idleCloseMs: 5 });
  const printers = await c.watch({ printers: ['Dock'] });
  const jobs = await c.watch({ intents: ['w-9'], printers: ['Dock'] });
  const heard = [];
  jobs.addEventListener('printer', (e) => heard.push(e.detail.printer.reasons.join() || 'none'));
  const seen = [];
  for await (const e of printers) {
    seen.push(`${e.printer.name}:${e.printer.state}:${e.printer.reasons.join()}`);
    if (e.printer.state === 'error') break;  // leaving the loop closes the watch
  }
  assert.equal(seen[0], 'Dock:idle:');
  assert.equal(seen.at(-1), 'Dock:error:head-open');
  assert.ok(printers.closed);
  const [event] = await Promise.all([new Promise((r) => jobs.addEventListener('job', r, { once: true }))]);
  assert.equal(event.detail.job.state, 'COMPLETED');
  assert.ok(heard.includes('none'), 'the second watch is told the state now');
  await new Promise((r) => setTimeout(r, 30));
  assert.equal(runtime.ports[0].open, true, 'a port with a watch open stays open');
  // The first close left Dock to the other watch: nothing was unwatched.
  assert.equal(runtime.sent.filter((m) => m.type === 'unwatch').length, 0);
  await jobs.close();
  const unwatch = runtime.sent.filter((m) => m.type === 'unwatch');
  assert.deepEqual(unwatch.map((m) => m.payload), [{ printers: ['Dock'], intents: ['w-9'] }]);
  await new Promise((r) => setTimeout(r, 30));
  assert.equal(runtime.ports[0].open, false, 'idle once the last watch closed');
});

test('watch: a dropped port ends every watch with the error, and the message transport cannot watch', async () => {
  const { c, runtime } = client(watchingHost(() => undefined));
  const watch = await c.watch({ printers: ['Dock'] });
  const ended = new Promise((r) => watch.addEventListener('end', r, { once: true }));
  const iterating = watch[Symbol.asyncIterator]().next();
  runtime.ports[0].drop();
  await assert.rejects(iterating, (e) => e.code === 'HOST_DISCONNECTED');
  assert.equal((await ended).error.code, 'HOST_DISCONNECTED');
  const message = client(watchingHost(() => undefined), { transport: 'message' }).c;
  await assert.rejects(message.watch({ printers: ['Dock'] }), (e) => e.code === 'BAD_REQUEST');
  for (const bad of [{ printers: 'Dock' }, { intents: ['has space'] }, { printers: [7] }]) {
    await assert.rejects(c.watch(bad), (e) => e.code === 'BAD_REQUEST', JSON.stringify(bad));
  }
  c.close();
});

test('waitForJob hears the outcome from events where the host watches, and never polls', async () => {
  const { c, runtime } = client(watchingHost((m, send) => {
    send(jobEvent('w-5', 'SUBMITTED'));
    send(jobEvent('w-5', 'COMPLETED'), 20);
  }));
  const record = await c.waitForJob('w-5', { intervalMs: 1 });
  assert.equal(record.state, 'COMPLETED');
  assert.equal(runtime.sent.filter((m) => m.type === 'get_job').length, 0, 'no get_job on the wire');
  // An attempt nobody made is refused as get_job would refuse it.
  const unknown = client(watchingHost(() => undefined, ['w-6'])).c;
  await assert.rejects(unknown.waitForJob('w-6'), (e) => e.code === 'JOB_NOT_FOUND');
  // Out of time with the host there: still waiting, not lost.
  const waiting = client(watchingHost((m, send) => send(jobEvent('w-7', 'SUBMITTED')))).c;
  await assert.rejects(waiting.waitForJob('w-7', { timeoutMs: 30 }),
    (e) => e.code === 'JOB_WAITING' && e.record.state === 'SUBMITTED' && !e.answerLost);
  // Already followed by another watch that heard the end: the host tells it again.
  const again = client(watchingHost((m, send) => send(jobEvent('w-8', 'COMPLETED')))).c;
  const first = await again.watch({ intents: ['w-8'] });
  assert.equal((await first[Symbol.asyncIterator]().next()).value.job.state, 'COMPLETED');
  assert.equal((await again.waitForJob('w-8', { timeoutMs: 1000 })).state, 'COMPLETED');
  await first.close();
  for (const x of [c, unknown, waiting, again]) x.close();
});
