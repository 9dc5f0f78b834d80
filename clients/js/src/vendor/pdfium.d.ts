// PDFium compiled to WebAssembly (@hyzyla/pdfium, MIT), copied here by the build.
export { PDFiumLibrary } from '@hyzyla/pdfium';
