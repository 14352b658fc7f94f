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

// A column from metre 10: 1, 3, NaN, 7.
const column = Float32Array.from([1, 3, NaN, 7]);

cases('valueAt', [
  ['at its first metre', [10, true], 1],
  ['between two values, linear', [10.25, true], 1.5],
  ['between two values, held', [10.75, false], 1],
  ['at its last metre', [13, true], 7],
  ['beyond its last metre', [13.01, true], null],
  ['a metre beyond its last', [14, false], null],
  ['before its first metre', [9.99, true], null],
  ['at a NaN', [12, false], null],
  ['next to a NaN, linear', [11.5, true], null],
  ['next to a NaN, held', [11.5, false], 3],
  ['at no distance', [NaN, true], null],
], (args, expected) => assert.equal(K.valueAt(column, 10, ...args), expected));

test('valueAt: nothing where a lap lacks the column', () => assert.equal(K.valueAt(undefined, 0, 0, true), null));

// Two laps' ms since their start by metre (telvane.delta on real laps is test_view_kernels.py's).
cases('delta', [
  ['from the first metre both cover', { start: 0, elapsed: [0, 10, 20, 30] }, { start: 1, elapsed: [12, 25, 40] },
   { start: 1, values: [0, 3, 8] }],
  ['up to the last metre both cover', { start: 5, elapsed: [0, 10, 20, 30] }, { start: 3, elapsed: [0, 5, 10, 25] },
   { start: 5, values: [0, 5] }],
  ['a lap against itself', { start: 0, elapsed: [0, 4, 9] }, { start: 0, elapsed: [0, 4, 9] }, { start: 0, values: [0, 0, 0] }],
  ['one metre shared', { start: 0, elapsed: [0, 10] }, { start: 1, elapsed: [7, 9] }, { start: 1, values: [0] }],
  ['none shared', { start: 0, elapsed: [0, 10] }, { start: 2, elapsed: [0, 10] }, null],
], (ref, lap, expected) => {
  const d = K.delta(ref, lap);
  assert.deepEqual(d && { start: d.start, values: Array.from(d.values) }, expected);
});

test('delta: where either lap stops, its scale stops counting', () => {
  const d = K.delta({ start: 0, elapsed: [0, 1, 2, 3], racing: [1, 1, 1, 1] }, { start: 0, elapsed: [0, 2, 4, 9], racing: [1, 1, 0, 1] });
  assert.deepEqual(Array.from(d.counted), [1, 1, 0, 0]);
});

// A pane's scale in the channel's unit, ticks in what it shows.
cases('valueTicks', [
  ['m/s shown in km/h: at round km/h', [0, 100 / 3.6, 3.6, false], [[0, '0'], [25 / 3.6, '25'], [50 / 3.6, '50'], [75 / 3.6, '75'], [100 / 3.6, '100']]],
  ['whole m/s shown in km/h: not whole steps', [0, 10 / 3.6, 3.6, true], [[0, '0'], [2.5 / 3.6, '2.5'], [5 / 3.6, '5'], [7.5 / 3.6, '7.5'], [10 / 3.6, '10']]],
  ['gears in whole steps', [0.5, 6.5, 1, true], [[2, '2'], [4, '4'], [6, '6']]],
  ['the delta: ms shown in s', [-330, 330, 0.001, false], [[-200, '-0.2'], [0, '0'], [200, '0.2']]],
  ['fractions shown in percent', [-0.04, 1.04, 100, false], [[0, '0'], [0.5, '50'], [1, '100']]],
], (args, expected) => {
  const shown = K.valueTicks(...args);
  assert.deepEqual(shown.map((t) => t.label), expected.map(([, label]) => label));
  shown.forEach((t, i) => assert.ok(Math.abs(t.at - expected[i][0]) < 1e-9, `${t.at} against ${expected[i][0]}`));
});

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
