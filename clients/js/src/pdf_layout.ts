// Where on a rendered PDF page the label is, for `fit: 'auto'`: the page's
// inked box, and, on a page that holds a label among other marks (a carrier's
// Letter or A4 sheet: the label in one half, instructions and a fold line in
// the other), the label's region. Pure functions over grey samples (0 black
// .. 255 white, rows top to bottom), the same in every browser.
//
// The region is found by cutting the page at blank gaps (an XY cut): a block
// is split across every blank band at least `minGap` pixels wide, by rows
// first, then by columns, down to a few levels. Each run of neighbouring
// blocks of one split is a candidate, boxed by their ink; of the candidates
// that fit the printable area (turned, where turning is allowed), the one
// with the most inked pixels wins, then the smaller box, then the one higher
// and further left. A candidate is whole blocks, and blocks are separated by
// blank bands: the chosen region never cuts a mark of its own, and holds no
// part of another block's.

/** A box of pixels: [left, left + width) x [top, top + height). */
export interface PixelBox {
  left: number;
  top: number;
  width: number;
  height: number;
}

/** How many levels of cuts a page is searched to: enough for a sheet of
 * halves, a framed label and its parts, bounded so that the search costs a
 * few passes over the page. */
const MAX_DEPTH = 6;

/** Counts of inked cells (a cell is `cell` x `cell` pixels, inked when any
 * of its pixels prints a dot: `dots` is 1 there), summed over every
 * rectangle from the top left corner: any box's count in four look-ups.
 * Boxes are in cells. Cells keep the table near 200 dpi's size however fine
 * the page was rendered. Ink is what prints: the faint anti-aliased rim of a
 * mark, which prints nothing, does not make it a dot larger. */
export class InkCounts {
  private readonly sums: Uint32Array;
  private readonly stride: number;
  readonly width: number;
  readonly height: number;

  constructor(dots: Uint8Array, pixelWidth: number, pixelHeight: number, readonly cell = 1) {
    this.width = Math.ceil(pixelWidth / cell);
    this.height = Math.ceil(pixelHeight / cell);
    const inked = new Uint8Array(this.width * this.height);
    for (let y = 0; y < pixelHeight; y++) {
      const from = y * pixelWidth;
      const at = Math.floor(y / cell) * this.width;
      for (let x = 0; x < pixelWidth; x++) {
        if (dots[from + x]) inked[at + Math.floor(x / cell)] = 1;
      }
    }
    this.stride = this.width + 1;
    this.sums = new Uint32Array(this.stride * (this.height + 1));
    for (let y = 0; y < this.height; y++) {
      let row = 0;
      const at = (y + 1) * this.stride;
      for (let x = 0; x < this.width; x++) {
        row += inked[y * this.width + x];
        this.sums[at + x + 1] = this.sums[at - this.stride + x + 1] + row;
      }
    }
  }

  inBox(b: PixelBox): number {
    const s = this.sums;
    const w = this.stride;
    const r = b.left + b.width;
    const d = b.top + b.height;
    return s[d * w + r] - s[b.top * w + r] - s[d * w + b.left] + s[b.top * w + b.left];
  }

  /** The box shrunk to its ink; null when it holds none. */
  tighten(b: PixelBox): PixelBox | null {
    if (this.inBox(b) === 0) return null;
    let { left, top, width, height } = b;
    while (this.inBox({ left, top, width, height: 1 }) === 0) { top++; height--; }
    while (this.inBox({ left, top: top + height - 1, width, height: 1 }) === 0) height--;
    while (this.inBox({ left, top, width: 1, height }) === 0) { left++; width--; }
    while (this.inBox({ left: left + width - 1, top, width: 1, height }) === 0) width--;
    return { left, top, width, height };
  }
}

/** The page's inked box; null for a blank page. */
export function inkBox(counts: InkCounts): PixelBox | null {
  return counts.tighten({ left: 0, top: 0, width: counts.width, height: counts.height });
}

/** The box's inked blocks along one axis, split at blank bands of at least `minGap` lines. */
function splitAlong(counts: InkCounts, box: PixelBox, rows: boolean, minGap: number): PixelBox[] {
  const length = rows ? box.height : box.width;
  const line = (i: number): PixelBox => rows
    ? { left: box.left, top: box.top + i, width: box.width, height: 1 }
    : { left: box.left + i, top: box.top, width: 1, height: box.height };
  const parts: PixelBox[] = [];
  let start = -1;
  let blank = 0;
  const close = (end: number) => {
    const part = rows
      ? { left: box.left, top: box.top + start, width: box.width, height: end - start }
      : { left: box.left + start, top: box.top, width: end - start, height: box.height };
    const tight = counts.tighten(part);
    if (tight) parts.push(tight);
  };
  for (let i = 0; i < length; i++) {
    if (counts.inBox(line(i)) > 0) {
      if (start < 0) start = i;
      blank = 0;
    } else if (start >= 0 && ++blank === minGap) {
      close(i - minGap + 1);
      start = -1;
      blank = 0;
    }
  }
  if (start >= 0) close(length - blank);
  return parts;
}

function union(boxes: PixelBox[]): PixelBox {
  const left = Math.min(...boxes.map((b) => b.left));
  const top = Math.min(...boxes.map((b) => b.top));
  const right = Math.max(...boxes.map((b) => b.left + b.width));
  const bottom = Math.max(...boxes.map((b) => b.top + b.height));
  return { left, top, width: right - left, height: bottom - top };
}

/**
 * The label's region on a page: the best run of neighbouring blocks (see the
 * top of this file) for which `fits(width, height)` holds; null when none does.
 */
export function findRegion(counts: InkCounts, minGap: number,
  fits: (width: number, height: number) => boolean): PixelBox | null {
  const page = inkBox(counts);
  if (!page) return null;
  let best: { box: PixelBox; ink: number } | null = null;
  const consider = (box: PixelBox) => {
    if (!fits(box.width, box.height)) return;
    const ink = counts.inBox(box);
    const area = box.width * box.height;
    if (!best || ink > best.ink || (ink === best.ink && (area < best.box.width * best.box.height ||
      (area === best.box.width * best.box.height && (box.top < best.box.top ||
        (box.top === best.box.top && box.left < best.box.left)))))) {
      best = { box, ink };
    }
  };
  const visit = (box: PixelBox, depth: number) => {
    consider(box);
    if (depth === MAX_DEPTH) return;
    for (const rows of [true, false]) {
      const parts = splitAlong(counts, box, rows, minGap);
      if (parts.length < 2) continue;
      for (let i = 0; i < parts.length; i++) {
        let run = parts[i];
        for (let j = i + 1; j < parts.length; j++) {
          run = union([run, parts[j]]);
          // A longer run is no smaller: once one does not fit, none after it does.
          if (!fits(run.width, run.height)) break;
          // Runs of two or more, short of the whole: the whole is `box`.
          if (i === 0 && j === parts.length - 1) continue;
          consider(run);
        }
      }
      for (const part of parts) visit(part, depth + 1);
      return;  // split by rows: the columns are split inside each row block
    }
  };
  visit(page, 0);
  const found = best as { box: PixelBox } | null;
  return found ? found.box : null;
}

/** A box of cells as pixels of a page `width` x `height`, shrunk to the
 * pixels' own dots (a cell's blank pixels are not the mark's). */
export function pixelsOf(box: PixelBox, cell: number, dots: Uint8Array, width: number, height: number): PixelBox {
  let left = box.left * cell;
  let top = box.top * cell;
  let right = Math.min(width, (box.left + box.width) * cell);
  let bottom = Math.min(height, (box.top + box.height) * cell);
  const rowInked = (y: number) => dots.subarray(y * width + left, y * width + right).some((v) => v !== 0);
  const columnInked = (x: number) => {
    for (let y = top; y < bottom; y++) if (dots[y * width + x]) return true;
    return false;
  };
  while (top < bottom - 1 && !rowInked(top)) top++;
  while (bottom > top + 1 && !rowInked(bottom - 1)) bottom--;
  while (left < right - 1 && !columnInked(left)) left++;
  while (right > left + 1 && !columnInked(right - 1)) right--;
  return { left, top, width: right - left, height: bottom - top };
}

/** The samples of `box`, as a page of their own. */
export function cropSamples(samples: Uint8Array, width: number, box: PixelBox): Uint8Array {
  const out = new Uint8Array(box.width * box.height);
  for (let y = 0; y < box.height; y++) {
    const from = (box.top + y) * width + box.left;
    out.set(samples.subarray(from, from + box.width), y * box.width);
  }
  return out;
}
