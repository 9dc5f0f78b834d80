// The client's limits are the protocol's: compiled from protocol/limits.json
// by the build, the same file the host is built from.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { MAX_PNG_BYTES, MAX_REQUEST_BYTES } from '../dist/index.js';
import * as built from '../dist/limits.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const protocol = JSON.parse(fs.readFileSync(path.join(here, '..', '..', '..', 'protocol', 'limits.json'), 'utf8'));

test("the built limits are protocol/limits.json's, all of them and no others", () => {
  const expected = Object.fromEntries(Object.entries(protocol).filter(([key]) => key !== 'comment')
    .map(([key, value]) => [key.toUpperCase(), value]));
  assert.ok(Object.keys(expected).length > 10, 'protocol/limits.json lists the limits');
  assert.deepEqual({ ...built }, expected);
  // The names the package has always exported, now the same numbers.
  assert.deepEqual([MAX_PNG_BYTES, MAX_REQUEST_BYTES], [protocol.max_png_bytes, protocol.max_request_bytes]);
});
