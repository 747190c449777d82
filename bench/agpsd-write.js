// Reads a document with the npm package ag-psd (every layer and the composite into typed arrays)
// and writes it again: node agpsd-write.js NODE_DIR IN OUT.
const fs = require('fs');
const path = require('path');
const agpsd = require(path.join(process.argv[2], 'node_modules', 'ag-psd'));
agpsd.initializeCanvas(
  () => { throw new Error('no canvas in this benchmark'); },
  (width, height) => ({ width, height, data: new Uint8ClampedArray(width * height * 4) }));
const psd = agpsd.readPsd(fs.readFileSync(process.argv[3]), { useImageData: true });
const psb = process.argv[4].toLowerCase().endsWith('.psb');
fs.writeFileSync(process.argv[4], agpsd.writePsdBuffer(psd, { psb }));
