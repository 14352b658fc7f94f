// The lap viewer's embedded columns decoded: the base64 text of the page's data element,
// inflated, each column's bytes joined back into its values. The page inlines this file
// before viewer.js; node's test runner loads it as a module.
'use strict';
const telvaneColumns = (function () {
  // Base64 lines of 4096 characters, decoded a line at a time into one array.
  function fromBase64(text) {
    const lines = text.split('\n').filter((line) => line.length);
    const size = lines.reduce((n, line) => n + line.length / 4 * 3 - (line.endsWith('==') ? 2 : line.endsWith('=') ? 1 : 0), 0);
    const bytes = new Uint8Array(size);
    let at = 0;
    for (const line of lines) {
      const binary = atob(line);
      for (let i = 0; i < binary.length; i++) bytes[at++] = binary.charCodeAt(i);
    }
    return bytes;
  }

  async function inflate(bytes) {
    const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate'));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  }

  // A column is stored as all first bytes of its values, then all second bytes, and so on:
  // `count` values of `width` bytes (4, float32; 8, float64) from `offset`.
  function joinBytes(bytes, offset, count, width) {
    if ((width !== 4 && width !== 8) || !Number.isInteger(offset) || !Number.isInteger(count) ||
        offset < 0 || count < 0 || offset + count * width > bytes.length) {
      throw new Error(`a column of ${count} values of ${width} bytes at ${offset} is not within the page's ${bytes.length} bytes of data`);
    }
    const out = new Uint8Array(count * width);
    for (let b = 0; b < width; b++) {
      const from = offset + b * count;
      for (let i = 0, j = b; i < count; i++, j += width) out[j] = bytes[from + i];
    }
    return width === 8 ? new Float64Array(out.buffer) : new Float32Array(out.buffer);
  }

  // The values of each column the manifest's `described` list places in `text`, in its order.
  async function decode(text, described) {
    const bytes = await inflate(fromBase64(text));
    return described.map((c) => joinBytes(bytes, c.offset, c.count, c.width));
  }

  return { decode };
}());
if (typeof module === 'object') module.exports = telvaneColumns;
