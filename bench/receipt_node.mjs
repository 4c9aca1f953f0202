// The receipt of bench_receipt_replay encoded with npm's
// @point-of-sale/receipt-printer-encoder on Node, for comparison. Prints
// microseconds per receipt.
//
//   node bench/receipt_node.mjs [path to the package's .mjs entry]
//
// Without an argument the package is imported by name (install it outside the
// repository, e.g. `npm install --prefix /tmp/rpe @point-of-sale/receipt-printer-encoder`,
// and run with NODE_PATH or the path argument).

import { pathToFileURL } from 'node:url';

const target = process.argv[2];
const module = target
  ? await import(pathToFileURL(target).href)
  : await import('@point-of-sale/receipt-printer-encoder');
const ReceiptPrinterEncoder = module.default;

// Made once, outside the timed loop, as in the C++ benchmark.
const items = [];
for (let i = 1; i <= 36; ++i) {
  const name = `Item ${String(i).padStart(2, '0')} fresh produce`;
  const price = ((i * 137) % 2000 / 100 + 0.99).toFixed(2);
  items.push(name.padEnd(40, ' ') + price.padStart(8, ' '));
}

function receipt(encoder) {
  encoder
    .initialize()
    .align('center')
    .bold(true)
    .size(2, 2)
    .line('CORNER GROCERY')
    .size(1, 1)
    .bold(false)
    .line('12 Market Street, Springfield')
    .line('Tel 555-0100  VAT 123456789')
    .align('left');
  items.forEach((line, i) => {
    if (i % 5 === 0) encoder.bold(true);
    encoder.line(line);
    if (i % 5 === 0) encoder.bold(false);
  });
  return encoder
    .underline(true)
    .line('TOTAL'.padEnd(40, ' ') + '   412.36')
    .underline(false)
    .align('center')
    .barcode('4006381333931', 'ean13', 60)
    .qrcode('https://example.com/r/12345', 2, 4, 'm')
    .cut()
    .encode();
}

// The encoder's default command language is the one the printer speaks.
const options = { columns: 48 };
const shared = new ReceiptPrinterEncoder(options);

// Median microseconds per receipt over several timed batches, after a warm-up.
function measure(once) {
  for (let i = 0; i < 1000; ++i) once();
  const batches = [];
  const perBatch = 1000;
  for (let b = 0; b < 15; ++b) {
    const start = process.hrtime.bigint();
    for (let i = 0; i < perBatch; ++i) once();
    batches.push(Number(process.hrtime.bigint() - start) / perBatch / 1000);
  }
  batches.sort((a, b) => a - b);
  return batches[Math.floor(batches.length / 2)];
}

const bytes = receipt(shared);
// encode() starts the next receipt afresh, so one encoder serves them all
// (the fair match for a builder made once at connect).
const reused = measure(() => receipt(shared));
const fresh = measure(() => receipt(new ReceiptPrinterEncoder(options)));
console.log(`receipt-printer-encoder, one encoder reused: ${reused.toFixed(2)} us per receipt`);
console.log(`receipt-printer-encoder, new encoder each:   ${fresh.toFixed(2)} us per receipt`);
console.log(`(${bytes.length} bytes per receipt; median of 15 batches of 1000; node ${process.version})`);
