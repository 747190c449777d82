// Decodes every layer and the composite of a document with the npm package ag-psd (pixels into
// plain typed arrays; no canvas is involved).
const fs = require('fs');
const path = require('path');
const agpsd = require(path.join(process.argv[2], 'node_modules', 'ag-psd'));
agpsd.initializeCanvas(
  () => { throw new Error('no canvas in this benchmark'); },
  (width, height) => ({ width, height, data: new Uint8ClampedArray(width * height * 4) }));
const psd = agpsd.readPsd(fs.readFileSync(process.argv[3]), { useImageData: true });
let layers = 0;
const walk = (list) => { for (const l of list || []) { layers++; walk(l.children); } };
walk(psd.children);
if (!psd.imageData) throw new Error('no composite decoded');
console.log(layers + ' layers');
