// fflate (MIT), copied here by the build: deflate written in JavaScript, so that
// every browser compresses a page to the same bytes.
export { zlibSync } from 'fflate';
