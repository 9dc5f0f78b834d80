// Labels with transparency are flattened onto white before they are sent.
// The host draws a label's colour and ignores its alpha (a transparent pixel
// keeps whatever colour it hides, usually black), so a canvas left
// transparent where nothing was drawn would print solid black.

import { badRequest } from './checks.js';
import { LabelImage, bytesOf } from './png.js';

type AnyCanvas = OffscreenCanvas | HTMLCanvasElement;

function whiteCanvas(width: number, height: number): { canvas: AnyCanvas; g: CanvasDrawImage & CanvasFillStrokeStyles & CanvasRect } {
  let canvas: AnyCanvas;
  if (typeof OffscreenCanvas !== 'undefined') {
    canvas = new OffscreenCanvas(width, height);
  } else if (typeof document !== 'undefined') {
    canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
  } else {
    throw badRequest('Flattening a transparent label needs a canvas, and this context has none: give an opaque PNG.');
  }
  const g = canvas.getContext('2d') as (CanvasDrawImage & CanvasFillStrokeStyles & CanvasRect) | null;
  if (!g) throw badRequest('Flattening a transparent label needs a 2D canvas context: give an opaque PNG.');
  g.fillStyle = '#fff';
  g.fillRect(0, 0, width, height);
  return { canvas, g };
}

/** True when the PNG can hold transparency: an alpha channel, or a tRNS chunk. */
export function pngHasAlpha(bytes: Uint8Array): boolean {
  if (bytes.length < 33) return false;
  const colourType = bytes[25];
  if (colourType === 4 || colourType === 6) return true;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (let at = 8; at + 8 <= bytes.length;) {
    const length = view.getUint32(at);
    const type = String.fromCharCode(bytes[at + 4], bytes[at + 5], bytes[at + 6], bytes[at + 7]);
    if (type === 'tRNS') return true;
    if (type === 'IDAT' || type === 'IEND') return false;
    at += 12 + length;
  }
  return false;
}

// Told by what it can do rather than by class: a canvas may come from another
// realm, and anything else (a string, a number, an image element) is refused
// by bytesOf as a bad request instead of failing inside drawImage.
function isCanvas(image: LabelImage): image is AnyCanvas {
  const c = image as { width?: unknown; height?: unknown; convertToBlob?: unknown; toBlob?: unknown } | null;
  return typeof c === 'object' && c !== null && typeof c.width === 'number' &&
    typeof c.height === 'number' && (typeof c.convertToBlob === 'function' || typeof c.toBlob === 'function');
}

/** The label's PNG bytes, with any transparency flattened onto white. */
export async function opaqueLabelBytes(image: LabelImage): Promise<Uint8Array> {
  if (isCanvas(image)) {
    const { canvas, g } = whiteCanvas(image.width, image.height);
    g.drawImage(image, 0, 0);
    return bytesOf(canvas);
  }
  const bytes = await bytesOf(image);
  if (!pngHasAlpha(bytes)) return bytes;
  if (typeof createImageBitmap === 'undefined') {
    throw badRequest('Flattening a transparent PNG needs createImageBitmap, and this context has none: give an ' +
      'opaque PNG.');
  }
  const bitmap = await createImageBitmap(new Blob([bytes as Uint8Array<ArrayBuffer>], { type: 'image/png' }));
  try {
    const { canvas, g } = whiteCanvas(bitmap.width, bitmap.height);
    g.drawImage(bitmap, 0, 0);
    return bytesOf(canvas);
  } finally {
    bitmap.close();
  }
}
