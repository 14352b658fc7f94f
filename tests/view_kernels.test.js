// The lap viewer's pure parts (telvane/view/assets/kernels.js) under node's own test runner:
// node --test tests/view_kernels.test.js (test_view_kernels.py runs it with the suite).
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const K = require('../telvane/view/assets/kernels.js');

const cases = (name, table, check) => {
  for (const [label, ...args] of table) test(name + ': ' + label, () => check(...args));
};

cases('ticks', [
  ['quarters of ten', [0, 10, 4, false], [0, 2.5, 5, 7.5, 10]],
  ['tenths without float residue', [0, 0.3, 3, false], [0, 0.1, 0.2, 0.3]],
  ['a one-gear car: its gear and no half gear', [1.5, 2.5, 4, true], [2]],
  ['gears 1 to 6 in whole steps', [0.5, 6.5, 4, true], [2, 4, 6]],
  ['a flat range has none', [3, 3, 4, false], []],
  ['an endless range has none', [0, Infinity, 4, false], []],
], (args, expected) => assert.deepEqual(K.ticks(...args), expected));

// Metres 100 to 109 of two laps: one racing throughout, one that stops from metre 105.
const racing = { start: 100, values: Float32Array.from([60, 55, 50, 45, 40, 45, 50, 55, 60, 65]) };
const stopping = { start: 100, values: Float32Array.from([60, 50, 40, 30, 10, 0, 0, 0, 0, 0]),
                   counted: Float32Array.from([1, 0, 0, 0, 0, 0, 0, 0, 0, 0]) };
const inPits = { start: 100, values: Float32Array.from([20, 20, 20]), counted: Float32Array.from([0, 0, 0]) };

cases('valueRange', [
  ['a stopping lap stretches no scale', ['linear', [racing, stopping], 100, 109], [40 - 1.5, 65 + 1.5]],
  ['the zoomed range alone', ['linear', [racing], 103, 105], [40 - 0.3, 45 + 0.3]],
  ['between metres: those inside', ['linear', [racing], 102.5, 104.5], [40 - 0.3, 45 + 0.3]],
  ['laps that never race: all they show', ['linear', [inPits], 100, 109], [19, 21]],
  ['no values: 0 to 1', ['linear', [], 100, 109], [0, 1]],
  ['levels: half a step beyond', ['step', [{ start: 0, values: [2, 2, 3] }], 0, 2], [1.5, 3.5]],
  ['one level', ['step', [{ start: 0, values: [2, 2] }], 0, 1], [1.5, 2.5]],
  ['percent: 0 to 100 always', ['percent', [{ start: 0, values: [0.2, 0.5] }], 0, 1], [-0.04, 1.04]],
  ['NaN is no value', ['linear', [{ start: 0, values: [NaN, 4, 6, NaN] }], 0, 3], [4 - 0.12, 6 + 0.12]],
  ['delta: around 0', ['delta', [{ start: 0, values: [0, -200, 300] }], 0, 2], [-330, 330]],
  ['delta: 100 ms each way at least', ['delta', [{ start: 0, values: [0, 20] }], 0, 1], [-110, 110]],
  ['delta: a stop counts not', ['delta', [{ start: 0, values: [0, 150, 30000], counted: [1, 1, 0] }], 0, 2], [-165, 165]],
  ['delta: no values', ['delta', [], 0, 2], [-110, 110]],
], (args, expected) => {
  const range = K.valueRange(...args);
  expected.forEach((v, i) => assert.ok(Math.abs(range[i] - v) < 1e-9, `${range} against ${expected}`));
});

cases('deltaCounted', [
  ['both race throughout', { start: 10, racing: [1, 1, 1, 1, 1] }, { start: 8, racing: [1, 1, 1, 1, 1, 1, 1] }, [1, 1, 1, 1, 1]],
  ['nothing after the lap first stops', { start: 10 }, { start: 10, racing: [1, 1, 0, 1, 1] }, [1, 1, 0, 0, 0]],
  ['nothing after the reference first stops', { start: 10, racing: [1, 0, 1, 1, 1] }, { start: 10 }, [1, 0, 0, 0, 0]],
  ['a lap from the pits: nothing', { start: 10 }, { start: 9, racing: [1, 0, 0, 1, 1, 1] }, [0, 0, 0, 0, 0]],
  ['without racing marks: all', { start: 10 }, { start: 10 }, [1, 1, 1, 1, 1]],
], (ref, lap, expected) => {
  const d = { start: 10, values: new Float64Array(5) };
  assert.deepEqual(Array.from(K.deltaCounted(d, ref, lap)), expected);
});

cases('formatValue', [
  ['a gear, whole', [2, 1, '', true], '2'],
  ['km/h from m/s', [39.46198654174805, 3.6, 'km/h', false], '142.1'],
  ['four digits without decimals', [6489.3046875, 1, 'revs/min', false], '6489'],
  ['g with two', [5.394, 1 / 9.80665, 'g', false], '0.55'],
  ['absent', [null, 1, '', false], '–'],
  ['NaN', [NaN, 1, '', false], '–'],
], (args, expected) => assert.equal(K.formatValue(...args), expected));

cases('lap times and signed seconds', [
  ['a lap', K.lapTime(86963.4), '1:26.963'],
  ['under a minute', K.lapTime(19400), '0:19.400'],
  ['no time', K.lapTime(null), '–'],
  ['slower', K.signed(465.2), '+0.465'],
  ['faster', K.signed(-35), '−0.035'],
  ['even', K.signed(0), '±0.000'],
  ['no delta', K.signed(null), '–'],
], (shown, expected) => assert.equal(shown, expected));

// A corner table as the page holds it: page row 7 against rows 1 and 3, two corners each.
const table = {
  reference: 7, laps: [7, 1, 3], error: null,
  columns: { lap: [0, 0, 1, 1, 2, 2], corner: [0, 1, 0, 1, 0, 1], time_lost: [0, 0, 12, null, 3, -4] },
};

cases('cornerRows', [
  ['the reference alone', [7, []], [[0, 0, 0], [0, 1, 0]]],
  ['the reference and its second lap, numbered 1', [7, [3]], [[0, 0, 0], [0, 1, 0], [1, 0, 3], [1, 1, -4]]],
  ['the laps in the order chosen', [7, [3, 1]], [[0, 0, 0], [0, 1, 0], [1, 0, 3], [1, 1, -4], [2, 0, 12], [2, 1, null]]],
  ['another reference', [1, [7]], null],
  ['a lap the table lacks', [7, [5]], null],
  ['the reference as a compared lap', [7, [7]], null],
], (args, expected) => {
  const rows = K.cornerRows(table, ...args);
  assert.deepEqual(rows && rows.map((r) => [r.lap, r.corner, r.time_lost]), expected);
});

test('cornerRows: none from a table the library could not make', () => {
  assert.equal(K.cornerRows({ ...table, error: 'no Brake' }, 7, []), null);
  assert.equal(K.cornerRows(null, 7, []), null);
});

test('ranked: the most time lost first, ties in track order, no time last', () => {
  const rows = [0, 1, 2, 3, 4].map((corner) => ({ lap: 1, corner, time_lost: [5, null, 20, 5, -3][corner] }));
  assert.deepEqual(K.ranked([...rows, { lap: 2, corner: 0, time_lost: 99 }], 1).map((r) => r.corner), [2, 0, 3, 4, 1]);
});

cases('nameParts', [
  ['words of a channel', 'SteeringWheelAngle', ['Steering', 'Wheel', 'Angle']],
  ['capitals together stay', 'RPM', ['RPM']],
  ['a unit at its slash', '[revs/min]', ['[revs/', 'min]']],
  ['a name as it is', 'delta', ['delta']],
], (name, expected) => assert.deepEqual(K.nameParts(name), expected));
