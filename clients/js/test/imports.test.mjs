// The built modules import one another without a cycle: in a cycle, one
// module runs before the other's bindings exist, and which one depends on
// which entry point an extension loads first. The declarations are walked
// too, where `import type` lives on after compiling.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const dist = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'dist');

// `import ... from '...'`, `export ... from '...'`, `import '...'` and `import('...')`.
const IMPORT_PATTERNS = [
  /(?:^|[\s;}])(?:import|export)\s[^'"`;]*?\sfrom\s*(['"])([^'"]+)\1/g,
  /(?:^|[\s;}])import\s*(['"])([^'"]+)\1/g,
  /\bimport\s*\(\s*(['"])([^'"]+)\1\s*\)/g,
];

function files(dir) {
  return fs.readdirSync(dir, { withFileTypes: true }).flatMap((entry) => {
    const full = path.join(dir, entry.name);
    return entry.isDirectory() ? files(full) : [full];
  });
}

/** Each module's relative imports, for the `.js` files or the `.d.ts` ones. */
function importGraph(declarations) {
  const ours = (f) => (declarations ? f.endsWith('.d.ts') : f.endsWith('.js'));
  const graph = new Map();
  for (const file of files(dist).filter(ours)) {
    const text = fs.readFileSync(file, 'utf8');
    const targets = new Set();
    for (const pattern of IMPORT_PATTERNS) {
      for (const match of text.matchAll(pattern)) {
        const imported = match[2];
        if (!imported.startsWith('.')) continue;
        let target = path.resolve(path.dirname(file), imported);
        if (declarations) target = target.replace(/\.js$/, '.d.ts');
        assert.ok(fs.existsSync(target), `${path.relative(dist, file)} imports ${imported}, which is not built`);
        targets.add(target);
      }
    }
    graph.set(file, targets);
  }
  return graph;
}

/** The first cycle found, as the files along it, or null. */
function findCycle(graph) {
  const state = new Map();  // file -> 'visiting' | 'done'
  const trail = [];
  const visit = (file) => {
    if (state.get(file) === 'done') return null;
    if (state.get(file) === 'visiting') return [...trail.slice(trail.indexOf(file)), file];
    state.set(file, 'visiting');
    trail.push(file);
    for (const next of graph.get(file) ?? []) {
      const cycle = visit(next);
      if (cycle) return cycle;
    }
    trail.pop();
    state.set(file, 'done');
    return null;
  };
  for (const file of graph.keys()) {
    const cycle = visit(file);
    if (cycle) return cycle.map((f) => path.relative(dist, f));
  }
  return null;
}

test('no built module imports itself back, at run time or in its types', () => {
  for (const [what, declarations] of [['modules', false], ['declarations', true]]) {
    const graph = importGraph(declarations);
    assert.ok(graph.size > 10 && [...graph.values()].some((targets) => targets.size > 0), `no ${what} found in ${dist}`);
    const cycle = findCycle(graph);
    assert.equal(cycle, null, `the ${what} import one another in a cycle: ${cycle?.join(' -> ')}`);
  }
});
