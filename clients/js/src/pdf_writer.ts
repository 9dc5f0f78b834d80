// A PDF file from its objects, for the library's own small documents (the
// warm-up page) and the tests': objects numbered from 1 in order, object 1
// the catalog, with the cross-reference table PDF readers expect.

export function pdfFromObjects(objects: string[]): Uint8Array {
  let text = '%PDF-1.4\n';
  const offsets = objects.map((body, i) => {
    const at = text.length;
    text += `${i + 1} 0 obj\n${body}\nendobj\n`;
    return at;
  });
  const xref = text.length;
  text += `xref\n0 ${objects.length + 1}\n0000000000 65535 f \n`;
  for (const at of offsets) text += `${String(at).padStart(10, '0')} 00000 n \n`;
  text += `trailer\n<</Size ${objects.length + 1}/Root 1 0 R>>\nstartxref\n${xref}\n%%EOF\n`;
  return new TextEncoder().encode(text);
}
