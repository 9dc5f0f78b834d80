// A canvas of the exact pixel size of a physical label, so that what is drawn
// on it prints at that size.

import { DPI_MAX, DPI_MIN, RASTER_MAX_PX, RASTER_MIN_PX } from './limits.js';

export interface LabelSize {
  widthIn?: number;
  widthMm?: number;
  heightIn?: number;
  heightMm?: number;
  /** The printer's resolution; the PNG carries this dpi to the host. */
  dpi: number;
}

export function labelPixels(size: LabelSize): { width: number; height: number } {
  const inches = (inch: number | undefined, mm: number | undefined, name: string): number => {
    if (inch !== undefined) return inch;
    if (mm !== undefined) return mm / 25.4;
    throw new TypeError(`Give the label's ${name} in inches or millimetres.`);
  };
  if (!(size.dpi >= DPI_MIN && size.dpi <= DPI_MAX)) throw new RangeError(`DPI must be between ${DPI_MIN} and ${DPI_MAX}.`);
  const width = Math.round(inches(size.widthIn, size.widthMm, 'width') * size.dpi);
  const height = Math.round(inches(size.heightIn, size.heightMm, 'height') * size.dpi);
  if (!(width >= RASTER_MIN_PX && height >= RASTER_MIN_PX && width <= RASTER_MAX_PX && height <= RASTER_MAX_PX)) {
    throw new RangeError(`The label is ${width} x ${height} pixels; the print host takes ${RASTER_MIN_PX} to ` +
      `${RASTER_MAX_PX} on each side.`);
  }
  return { width, height };
}

/** A 2D context on a label's canvas, offscreen or not: both draw the same. */
export type LabelContext = CanvasRenderingContext2D | OffscreenCanvasRenderingContext2D;

/** An OffscreenCanvas, or a page's canvas where there is none; getContext('2d') gives a LabelContext. */
export type LabelCanvas = { getContext(contextId: '2d'): LabelContext | null } & (OffscreenCanvas | HTMLCanvasElement);

/** A canvas of the label's pixel size, white. */
export function labelCanvas(size: LabelSize): LabelCanvas {
  const { width, height } = labelPixels(size);
  let canvas: LabelCanvas;
  if (typeof OffscreenCanvas !== 'undefined') {
    canvas = new OffscreenCanvas(width, height);
  } else {
    canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
  }
  const g = canvas.getContext('2d');
  if (g) {
    g.fillStyle = '#fff';
    g.fillRect(0, 0, width, height);
  }
  return canvas;
}
