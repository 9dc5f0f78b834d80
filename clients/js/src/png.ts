// Label images as the host takes them: PNG bytes, their size read from the
// PNG's own header, and base64 text.

import { badRequest, viewOf } from './checks.js';

/** Anything a label can be given as. Canvases are encoded as PNG. */
export type LabelImage = Blob | ArrayBuffer | Uint8Array | OffscreenCanvas | HTMLCanvasElement;

/** The host's limits: the largest PNG, and the largest request, in bytes. */
export { MAX_PNG_BYTES, MAX_REQUEST_BYTES } from './limits.js';

const SIGNATURE = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];

/** The bytes of a label: as given, or a canvas encoded as PNG. */
export async function bytesOf(image: LabelImage): Promise<Uint8Array> {
  if (image instanceof Uint8Array || image instanceof ArrayBuffer) return viewOf(image, 'The label');
  if (typeof Blob !== 'undefined' && image instanceof Blob) return new Uint8Array(await image.arrayBuffer());
  const canvas = image as OffscreenCanvas | HTMLCanvasElement;
  if (typeof canvas !== 'object' || canvas === null) throw notAnImage();
  if (typeof (canvas as OffscreenCanvas).convertToBlob === 'function') {
    const blob = await (canvas as OffscreenCanvas).convertToBlob({ type: 'image/png' });
    return new Uint8Array(await blob.arrayBuffer());
  }
  if (typeof (canvas as HTMLCanvasElement).toBlob === 'function') {
    const blob = await new Promise<Blob | null>((resolve) => (canvas as HTMLCanvasElement).toBlob(resolve, 'image/png'));
    if (!blob) throw badRequest('The canvas could not be encoded as PNG (is it 0 pixels wide or high?).');
    return new Uint8Array(await blob.arrayBuffer());
  }
  throw notAnImage();
}

function notAnImage() {
  return badRequest('A label must be a Blob, ArrayBuffer, Uint8Array or canvas.');
}

/** Width and height from the PNG header, or null when the bytes are not a PNG. */
export function pngSize(bytes: Uint8Array): { width: number; height: number } | null {
  if (bytes.length < 24) return null;
  for (let i = 0; i < 8; i++) if (bytes[i] !== SIGNATURE[i]) return null;
  if (String.fromCharCode(bytes[12], bytes[13], bytes[14], bytes[15]) !== 'IHDR') return null;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  return { width: view.getUint32(16), height: view.getUint32(20) };
}

/** Standard base64 with padding, as the host requires it. */
export function toBase64(bytes: Uint8Array): string {
  // btoa takes a binary string; building it in slices keeps the argument
  // lists of String.fromCharCode small.
  let binary = '';
  const step = 0x8000;
  for (let i = 0; i < bytes.length; i += step) {
    binary += String.fromCharCode(...bytes.subarray(i, i + step));
  }
  return btoa(binary);
}

/** The UTF-8 size of a message as the browser will send it. */
export function encodedSize(message: unknown): number {
  return new TextEncoder().encode(JSON.stringify(message)).length;
}
