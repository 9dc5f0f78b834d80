// Writes src/limits.ts from the protocol's limits file, before tsc compiles
// it: the host is built from the same file, so the client never carries a
// hand-copied number that could drift from the host's. The compiled constants
// land in dist, so an installed package does not need the protocol folder.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.join(path.dirname(fileURLToPath(import.meta.url)), '..');
const source = path.join(root, '..', '..', 'protocol', 'limits.json');
const target = path.join(root, 'src', 'limits.ts');

const limits = JSON.parse(fs.readFileSync(source, 'utf8'));
const lines = [
  '// Generated from protocol/limits.json by scripts/gen-limits.mjs, do not edit:',
  '// change protocol/limits.json and run `npm run build`.',
  '',
];
for (const [key, value] of Object.entries(limits)) {
  if (key === 'comment') continue;
  // A typo here would otherwise compile into a constant nobody reads, or a
  // limit that is not a whole number of bytes, pixels or pages.
  if (!/^[a-z][a-z0-9_]*$/.test(key)) throw new Error(`${source}: "${key}" is not a snake_case name`);
  if (!Number.isSafeInteger(value) || value < 0) throw new Error(`${source}: "${key}" is not a whole number`);
  lines.push(`/** \`${key}\` in protocol/limits.json. */`, `export const ${key.toUpperCase()} = ${value};`);
}
const text = `${lines.join('\n')}\n`;
// Rewritten only when it changes, so that tsc's and editors' caches stay warm.
if (!fs.existsSync(target) || fs.readFileSync(target, 'utf8') !== text) fs.writeFileSync(target, text);
