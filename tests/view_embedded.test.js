// The columns of pages telvane wrote, decoded as the page's script decodes them
// (telvane/view/assets/columns.js), and the deltas of their laps (kernels.js). The pages,
// the arrays their columns were written from and telvane.delta of their laps come from
// test_view_kernels.py, which names their file in TELVANE_VIEW_PAGES.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const C = require('../telvane/view/assets/columns.js');
const K = require('../telvane/view/assets/kernels.js');

const file = process.env.TELVANE_VIEW_PAGES;
const pages = file ? JSON.parse(fs.readFileSync(file, 'utf8')) : [];
test('the pages come from test_view_kernels.py', { skip: !file && 'run by test_view_kernels.py' }, () => {
  assert.ok(pages.length > 0);
});

// The values `bytes` (little-endian, as pyarrow lays them out) hold, `width` bytes each.
function valuesOf(bytes, width, count) {
  const raw = Uint8Array.from(Buffer.from(bytes, 'base64')).slice(0, count * width);
  return width === 8 ? new Float64Array(raw.buffer) : new Float32Array(raw.buffer);
}

pages.forEach((page, p) => {
  const described = page.manifest.columns;

  test(`page ${p}: each of its ${described.length} columns decodes to the values written`, async () => {
    const decoded = await C.decode(page.text, described);
    assert.equal(decoded.length, described.length);
    described.forEach((c, k) => {
      const expected = valuesOf(page.expected[k].bytes, c.width, c.count), nulls = page.expected[k].nulls;
      assert.equal(decoded[k].constructor, c.width === 8 ? Float64Array : Float32Array);
      assert.equal(decoded[k].length, expected.length, `column ${k}`);
      for (let i = 0; i < expected.length; i++) {
        const wanted = nulls[i] ? NaN : expected[i];  // a null is no value, as NaN is
        if (!Object.is(decoded[k][i], wanted)) assert.fail(`column ${k} (${c.name}) value ${i}: ${decoded[k][i]}, not ${wanted}`);
      }
    });
  });

  if (!page.deltas.length) return;
  test(`page ${p}: the deltas of its laps are telvane.delta's`, async () => {
    const decoded = await C.decode(page.text, described);
    const own = (row, name) => decoded[described.findIndex((c) => c.row === row && !c.channel && c.name === name)];
    const lap = (row) => ({ start: page.manifest.laps[row].start, elapsed: own(row, 'elapsed'), racing: own(row, 'racing') });
    for (const { reference, lap: row, distance, delta } of page.deltas) {
      const d = K.delta(lap(reference), lap(row)), label = `row ${row} against ${reference}`;
      assert.deepEqual(Array.from(d.values, (_, i) => d.start + i), distance, label);
      d.values.forEach((v, i) => assert.ok(Math.abs(v - delta[i]) < 1e-6, `${label} at ${distance[i]} m: ${v}, not ${delta[i]}`));
    }
  });
});

test('a column beyond the page\'s data is refused, not read as zeros', async () => {
  const text = Buffer.from(require('node:zlib').deflateSync(Buffer.alloc(12))).toString('base64');
  await assert.rejects(C.decode(text, [{ offset: 4, count: 3, width: 4 }]), /a column of 3 values of 4 bytes at 4 is not within the page's 12 bytes of data/);
  await assert.rejects(C.decode(text, [{ offset: 0, count: 1, width: 2 }]), /not within/);
  assert.equal((await C.decode(text, [{ offset: 0, count: 3, width: 4 }]))[0].length, 3);
});
