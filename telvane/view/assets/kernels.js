// The lap viewer's pure parts, with no page to draw on: values at a distance, the time
// delta between laps, the panes' scales and ticks, how values are written, and the corner
// table of the chosen laps. The page inlines this file
// before viewer.js; node's test runner loads it as a module.
'use strict';
const telvaneKernels = (function () {
  // About `count` round values from `low` to `high`; whole numbers only when `whole`.
  function ticks(low, high, count, whole) {
    if (!(high > low) || !Number.isFinite(high - low)) return [];
    const raw = (high - low) / count, power = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = Math.max(whole ? 1 : 0, (whole ? [1, 2, 5, 10] : [1, 2, 2.5, 5, 10]).map((m) => m * power).find((s) => s >= raw));
    const out = [];
    for (let k = Math.ceil(low / step); k * step <= high + step * 1e-9; k++) out.push(Math.round(k * step * 1e6) / 1e6);
    return out;
  }

  // The lowest and highest of the series' values from metre `x0` to `x1`, counting only
  // metres their `counted` marks (every metre where a series has none) when `masked`.
  function extent(list, x0, x1, masked) {
    let low = Infinity, high = -Infinity;
    for (const s of list) {
      const i0 = Math.max(0, Math.ceil(x0 - s.start)), i1 = Math.min(s.values.length - 1, Math.floor(x1 - s.start));
      for (let i = i0; i <= i1; i++) {
        if (masked && s.counted && !s.counted[i]) continue;
        const v = s.values[i];
        if (v < low) low = v;
        if (v > high) high = v;
      }
    }
    return [low, high];
  }

  // A pane's scale: what the series show from `x0` to `x1` where their cars race (all they
  // show there when they never race). `kind` is 'delta' (ms, around 0, at least 100 ms each
  // way), 'percent' (fractions: 0 to 1 always in sight), 'step' (levels) or 'linear'.
  function valueRange(kind, list, x0, x1) {
    let [low, high] = extent(list, x0, x1, true);
    if (!Number.isFinite(low)) [low, high] = extent(list, x0, x1, false);
    if (kind === 'delta') {
      const m = Number.isFinite(low) ? Math.max(Math.abs(low), Math.abs(high), 100) : 100;
      return [-m * 1.1, m * 1.1];
    }
    if (!Number.isFinite(low)) return [0, 1];
    if (kind === 'percent') return [Math.min(low, 0) - 0.04, Math.max(high, 1) + 0.04];
    if (kind === 'step') return [low - 0.5, high + 0.5];
    if (low === high) return [low - 1, high + 1];
    const pad = (high - low) * 0.06;
    return [low - pad, high + pad];
  }

  // The value `d` metres along a column whose first value is at `start` (one a metre):
  // linear between its values when `linear`, else the value at or before; null off its
  // ends and where a value is NaN.
  function valueAt(values, start, d, linear) {
    const p = d - start;
    if (!values || !(p >= 0) || p > values.length - 1) return null;
    const i = Math.floor(p), f = p - i;
    const v = f === 0 || !linear ? values[i] : values[i] + (values[i + 1] - values[i]) * f;
    return Number.isNaN(v) ? null : v;
  }

  // The time `lap` loses (ms, positive) or gains against `ref` at each metre both cover,
  // counted from the first such metre, as telvane.delta computes it; each lap is its first
  // metre, its ms since its start at each metre (`elapsed`) and its racing marks, if any.
  // Null where they share no metre.
  function delta(ref, lap) {
    const a = Math.max(ref.start, lap.start);
    const b = Math.min(ref.start + ref.elapsed.length, lap.start + lap.elapsed.length) - 1;
    if (!(b >= a)) return null;
    const n = b - a + 1, values = new Float64Array(n);
    for (let i = 0, ir = a - ref.start, il = a - lap.start; i < n; i++) values[i] = lap.elapsed[il + i] - ref.elapsed[ir + i];
    const first = values[0];
    for (let i = 0; i < n; i++) values[i] -= first;
    const result = { start: a, values };
    result.counted = deltaCounted(result, { start: ref.start, racing: ref.racing }, { start: lap.start, racing: lap.racing });
    return result;
  }

  // A pane's value ticks from `low` to `high` in the channel's unit, shown times `scale`:
  // where each lies in the channel's unit and its label. Whole steps only for a whole
  // channel shown in its own unit (a gear, never a whole m/s shown in km/h).
  function valueTicks(low, high, scale, whole) {
    return ticks(low * scale, high * scale, 4, whole && scale === 1)
      .map((t) => ({ at: t / scale, label: String(Math.round(t * 1000) / 1000) }));
  }

  // Which metres of a delta (`d`: its first metre and values) count towards its scale: where
  // the reference and the lap (each its first metre and racing marks, or none) both race,
  // up to where either first does not: a stop adds its time to the rest of the lap.
  function deltaCounted(d, ref, lap) {
    const n = d.values.length, counted = new Uint8Array(n);
    const races = (l, metre) => !l.racing || l.racing[metre - l.start] > 0;
    for (let i = 0; i < n && races(ref, d.start + i) && races(lap, d.start + i); i++) counted[i] = 1;
    return counted;
  }

  // A value as shown: `v` in the channel's own unit times `scale`; whole channels without
  // decimals, g with two, four digits or more without, the rest with one.
  function formatValue(v, scale, unit, whole) {
    if (v === null || v === undefined || Number.isNaN(v)) return '–';
    const shown = v * scale;
    if (whole) return String(Math.round(shown));
    return shown.toFixed(unit === 'g' ? 2 : Math.abs(shown) >= 1000 ? 0 : 1);
  }

  function lapTime(ms) {
    if (ms === null || ms === undefined || !Number.isFinite(ms)) return '–';
    const whole = Math.round(ms), m = Math.floor(whole / 60000), s = (whole % 60000) / 1000;
    return m + ':' + s.toFixed(3).padStart(6, '0');
  }

  // Milliseconds as signed seconds: '+0.123' slower, '−0.123' faster.
  function signed(ms) {
    if (ms === null || ms === undefined || Number.isNaN(ms)) return '–';
    return (ms > 0 ? '+' : ms < 0 ? '−' : '±') + Math.abs(ms / 1000).toFixed(3);
  }

  // The rows telvane.corners gives for the page rows `reference` and `others`, from a table
  // the library computed for `reference` against many laps (its columns, and the page row
  // of each of its lap numbers); null when the table is of another reference or lacks a lap.
  function cornerRows(table, reference, others) {
    if (!table || table.error || table.laps[0] !== reference) return null;
    const index = others.map((row) => table.laps.indexOf(row));
    if (index.some((k) => k <= 0)) return null;
    const names = Object.keys(table.columns), lapColumn = table.columns.lap, out = [];
    [0, ...index].forEach((k, j) => {
      for (let i = 0; i < lapColumn.length; i++) {
        if (lapColumn[i] !== k) continue;
        const row = {};
        for (const name of names) row[name] = table.columns[name][i];
        row.lap = j;
        out.push(row);
      }
    });
    return out;
  }

  // One lap's rows of cornerRows, the most time lost first, rows without a time last.
  function ranked(rows, lap) {
    const lost = (r) => (r.time_lost === null ? -Infinity : r.time_lost);
    return rows.filter((r) => r.lap === lap).sort((a, b) => lost(b) - lost(a) || a.corner - b.corner);
  }

  // A channel's name or unit cut where a narrow header may wrap it: before each capital
  // that follows a small letter, and after each '/' ('SteeringWheelAngle' as 'Steering',
  // 'Wheel', 'Angle'; 'revs/min' as 'revs/', 'min').
  const nameParts = (name) => name.split(/(?<=[a-z])(?=[A-Z])|(?<=\/)/);

  return { valueAt, delta, ticks, valueTicks, valueRange, deltaCounted, formatValue, lapTime, signed, cornerRows, ranked, nameParts };
}());
if (typeof module === 'object') module.exports = telvaneKernels;
