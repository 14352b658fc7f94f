// The telvane lap viewer: laps overlaid by lap distance in synced canvas panes, a track map
// and tables, all from the data embedded in this page. window.telvaneView is its scripting API.
'use strict';
(function () {
  const COLOURS = ['#1f5fbf', '#e4572e', '#2a9d3a', '#8e44ad', '#e69f00', '#0fa3b1', '#8c564b', '#d63384'];
  const MARGIN_LEFT = 54, MARGIN_RIGHT = 10, PANE_HEIGHT = 118, DELTA_HEIGHT = 110, AXIS_HEIGHT = 18;
  const G = 9.80665;
  const K = telvaneKernels;
  const manifest = JSON.parse(document.getElementById('telvane-manifest').textContent);
  const laps = manifest.laps;
  // A recording's channels may have any name, 'elapsed' or '__proto__' alike: they are kept
  // in Maps, apart from the page's own columns (lap.own) and panes (null: the delta).
  const channels = new Map(Object.entries(manifest.channels));
  const infoOf = (name) => channels.get(name) || { unit: '', desc: '', interpolate: true };
  const state = { ref: manifest.reference, others: manifest.others.slice(), x0: 0, x1: 1,
                  cursor: null, panes: manifest.panes.slice(), speedUnit: 'km/h', mapColour: null };
  let full = [0, 1], deltas = new Map(), panes = [], mapView = null, corners = null;

  // -- the embedded columns ---------------------------------------------------------------

  async function loadColumns() {
    const holder = document.getElementById('telvane-columns');
    const decoded = await telvaneColumns.decode(holder.textContent, manifest.columns);
    holder.textContent = '';  // the text is no longer needed once decoded
    for (const lap of laps) { lap.own = {}; lap.channels = new Map(); }
    manifest.columns.forEach((c, k) => {
      if (c.channel) laps[c.row].channels.set(c.name, decoded[k]); else laps[c.row].own[c.name] = decoded[k];
    });
  }

  const hasData = (row) => laps[row] && laps[row].own && laps[row].own.elapsed !== undefined;
  const chosen = () => [state.ref, ...state.others].filter(hasData);
  const colourOf = (row) => COLOURS[Math.max(0, chosen().indexOf(row)) % COLOURS.length];

  // The time `row` loses against `reference` at each metre both cover, kept once computed.
  function delta(reference, row) {
    const key = reference + ':' + row;
    if (!deltas.has(key)) {
      const of = (lap) => ({ start: lap.start, elapsed: lap.own.elapsed, racing: lap.own.racing });
      deltas.set(key, K.delta(of(laps[reference]), of(laps[row])));
    }
    return deltas.get(key);
  }

  // -- units shown ------------------------------------------------------------------------

  // How a pane or read-out shows a channel, or the delta (null).
  function shown(name) {
    if (name === null) return { scale: 0.001, unit: 's', label: 'delta' };
    const info = infoOf(name);
    if (name === 'Speed' || info.unit === 'm/s') {
      return state.speedUnit === 'mph' ? { scale: 2.2369362921, unit: 'mph', label: name }
                                       : { scale: 3.6, unit: 'km/h', label: name };
    }
    if (info.unit === '%') return { scale: 100, unit: '%', label: name };
    if (info.unit === 'rad') return { scale: 180 / Math.PI, unit: 'deg', label: name };
    if (info.unit === 'm/s^2') return { scale: 1 / G, unit: 'g', label: name };
    return { scale: 1, unit: info.unit, label: name };
  }

  const fixed = (v, digits) => (v === null || v === undefined ? '–' : v.toFixed(digits));
  const { valueAt, lapTime, signed } = K;

  const sessionName = (file, session) => manifest.files[file].sessions[session] || 'session ' + session;

  // A lap as FILE:N names it, the file left out where the page has one: 'lap 3.2'.
  function shortName(row) {
    const lap = laps[row];
    return (manifest.files.length > 1 ? manifest.files[lap.file].name + ':' : 'lap ') + lap.name;
  }

  // A lap in full: 'a.ibt:3.2 · PRACTICE · full · 1:27.428'.
  function lapName(row) {
    const lap = laps[row];
    return [manifest.files[lap.file].name + ':' + lap.name, sessionName(lap.file, lap.session),
            lap.lap_type, lapTime(lap.duration)].join(' · ');
  }

  const swatch = (row) => el('span', { class: 'swatch', style: 'background:' + colourOf(row) });

  // -- the lap table ----------------------------------------------------------------------

  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (k === 'class') node.className = v; else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
      else node.setAttribute(k, v);
    }
    for (const child of children) node.append(child);
    return node;
  }

  function buildLapTable() {
    const table = document.getElementById('laps');
    const sectorCount = Math.max(0, ...laps.map((lap) => lap.sectors.length));
    const several = manifest.files.length > 1;
    const head = el('tr', {}, el('th', {}, 'ref'), el('th', {}, 'cmp'), el('th', {}, ''));
    if (several) head.append(el('th', { class: 'text' }, 'file'));
    head.append(el('th', { class: 'text' }, 'session'), el('th', {}, 'lap'), el('th', { class: 'text' }, 'type'), el('th', {}, 'time'));
    for (let s = 0; s < sectorCount; s++) head.append(el('th', {}, 'S' + (s + 1)));
    table.replaceChildren(el('thead', {}, head));
    const body = el('tbody');
    laps.forEach((lap, row) => {
      const usable = hasData(row);
      const radio = el('input', { type: 'radio', name: 'ref', title: 'reference lap' });
      const box = el('input', { type: 'checkbox', title: 'compare with the reference' });
      radio.disabled = box.disabled = !usable;
      radio.addEventListener('change', () => select(row, state.others.filter((r) => r !== row)));
      box.addEventListener('change', () => toggle(row));
      const tr = el('tr', { class: 'lap' + (usable ? '' : ' nodata'), 'data-row': row },
        el('td', {}, radio), el('td', {}, box), el('td', {}, el('span', { class: 'swatch' })));
      if (several) tr.append(el('td', { class: 'text' }, manifest.files[lap.file].name));
      tr.append(el('td', { class: 'text' }, sessionName(lap.file, lap.session)), el('td', {}, lap.name),
        el('td', { class: 'text' }, lap.lap_type), el('td', { class: lap.best ? 'best-lap' : '' }, lapTime(lap.duration)));
      for (let s = 0; s < sectorCount; s++) {
        tr.append(el('td', { class: lap.sector_best[s] ? 'best-sector' : '' }, lapTime(lap.sectors[s])));
      }
      tr.addEventListener('click', (event) => {
        if (usable && event.target.tagName !== 'INPUT') toggle(row);
      });
      body.append(tr);
    });
    for (const best of manifest.theoretical) {
      const tr = el('tr', { class: 'theoretical' }, el('td', { colspan: 3 }));
      if (several) tr.append(el('td', { class: 'text' }, manifest.files[best.file].name));
      tr.append(el('td', { class: 'text' }, sessionName(best.file, best.session)), el('td', {}, ''), el('td', { class: 'text' }, 'theoretical best'),
        el('td', {}, lapTime(best.duration)));
      body.append(tr);
    }
    table.append(body);
  }

  function markLapTable() {
    for (const tr of document.querySelectorAll('#laps tr.lap')) {
      const row = Number(tr.dataset.row), on = chosen().includes(row);
      tr.classList.toggle('ref', row === state.ref);
      const [radio, box] = tr.querySelectorAll('input');
      radio.checked = row === state.ref;
      box.checked = state.others.includes(row);
      tr.querySelector('.swatch').style.background = on ? colourOf(row) : 'transparent';
    }
  }

  function toggle(row) {
    if (row === state.ref) return;
    const others = state.others.includes(row) ? state.others.filter((r) => r !== row) : [...state.others, row];
    select(state.ref, others);
  }

  // -- the panes --------------------------------------------------------------------------

  function plotWidth() { return document.getElementById('panes').clientWidth - MARGIN_LEFT - MARGIN_RIGHT; }
  const toX = (d) => MARGIN_LEFT + (d - state.x0) / (state.x1 - state.x0) * plotWidth();
  const toDistance = (x) => state.x0 + (x - MARGIN_LEFT) / plotWidth() * (state.x1 - state.x0);

  function buildPanes() {
    const box = document.getElementById('panes');
    box.replaceChildren();
    panes = [];
    for (const name of [null, ...state.panes]) {
      const canvas = el('canvas');
      const div = el('div', name === null ? { class: 'pane' } : { class: 'pane', 'data-channel': name }, canvas);
      if (name !== null && !manifest.panes.includes(name)) {
        div.append(el('button', { title: 'remove this pane', onclick: () => removePane(name) }, '×'));
      }
      box.append(div);
      panes.push({ name, canvas, height: name === null ? DELTA_HEIGHT : PANE_HEIGHT });
    }
    const last = panes[panes.length - 1];
    last.axis = AXIS_HEIGHT;
    last.height += AXIS_HEIGHT;
    sizeCanvases();
  }

  function sizeCanvases() {
    const ratio = window.devicePixelRatio || 1, width = document.getElementById('panes').clientWidth;
    for (const pane of panes) {
      pane.canvas.style.height = pane.height + 'px';
      pane.canvas.width = Math.round(width * ratio);
      pane.canvas.height = Math.round(pane.height * ratio);
      pane.ctx = pane.canvas.getContext('2d');
      pane.ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    }
  }

  function removePane(name) {
    state.panes = state.panes.filter((n) => n !== name);
    readoutCells = null;
    buildPanes();
    drawAll();
  }

  function addPane(name) {
    if (state.panes.includes(name)) return;
    state.panes.push(name);
    readoutCells = null;
    buildPanes();
    drawAll();
  }

  // The series a pane draws: per chosen lap, its values, first metre and the metres that
  // count towards the pane's scale (where its car races).
  function series(name) {
    if (name === null) {
      return state.others.filter(hasData).map((row) => ({ row, d: delta(state.ref, row) }))
        .filter((s) => s.d).map((s) => ({ row: s.row, values: s.d.values, start: s.d.start, counted: s.d.counted, linear: true }));
    }
    const linear = infoOf(name).interpolate;
    return chosen().filter((row) => laps[row].channels.has(name))
      .map((row) => ({ row, values: laps[row].channels.get(name), start: laps[row].start, counted: laps[row].own.racing, linear }));
  }

  function scaleKind(name) {
    if (name === null) return 'delta';
    return infoOf(name).unit === '%' ? 'percent' : infoOf(name).interpolate ? 'linear' : 'step';
  }

  function drawPane(pane) {
    const ctx = pane.ctx, width = document.getElementById('panes').clientWidth, height = pane.height;
    const list = series(pane.name), unit = shown(pane.name);
    const [low, high] = pane.range = K.valueRange(scaleKind(pane.name), list, state.x0, state.x1);
    const axis = pane.axis || 0, toY = (v) => 6 + (high - v) / (high - low) * (height - axis - 12);
    ctx.clearRect(0, 0, width, height);
    ctx.font = '11px system-ui, sans-serif';
    ctx.fillStyle = '#6b7585';
    ctx.strokeStyle = '#eef1f5';
    ctx.lineWidth = 1;
    for (const t of K.valueTicks(low, high, unit.scale, pane.name !== null && infoOf(pane.name).whole)) {
      const y = Math.round(toY(t.at)) + 0.5;
      ctx.beginPath(); ctx.moveTo(MARGIN_LEFT, y); ctx.lineTo(width - MARGIN_RIGHT, y); ctx.stroke();
      ctx.fillText(t.label, 4, y + 4);
    }
    for (const d of K.ticks(state.x0, state.x1, 8, false)) {
      const x = Math.round(toX(d)) + 0.5;
      ctx.beginPath(); ctx.moveTo(x, 0); ctx.lineTo(x, height - axis); ctx.stroke();
      if (axis) { ctx.fillStyle = '#6b7585'; ctx.fillText(String(Math.round(d * 10) / 10), x - 10, height - 4); }
    }
    if (axis) ctx.fillText('[m]', 4, height - 4);
    ctx.fillStyle = '#1d2430';
    const label = unit.label + (unit.unit ? ' [' + unit.unit + ']' : '');
    ctx.fillText(label, MARGIN_LEFT + 4, 14);
    drawCornerNumbers(ctx, 14, MARGIN_LEFT + 8 + ctx.measureText(label).width);
    ctx.strokeStyle = '#b9c0cc';
    ctx.setLineDash([4, 4]);
    for (const d of manifest.sector_starts.slice(1)) {
      if (d < state.x0 || d > state.x1) continue;
      const x = Math.round(toX(d)) + 0.5;
      ctx.beginPath(); ctx.moveTo(x, 0); ctx.lineTo(x, height); ctx.stroke();
    }
    ctx.setLineDash([]);
    if (pane.name === null) {
      ctx.strokeStyle = colourOf(state.ref);
      const y = Math.round(toY(0)) + 0.5;
      ctx.beginPath(); ctx.moveTo(MARGIN_LEFT, y); ctx.lineTo(width - MARGIN_RIGHT, y); ctx.stroke();
    }
    ctx.save();
    ctx.beginPath(); ctx.rect(MARGIN_LEFT, 0, width - MARGIN_LEFT - MARGIN_RIGHT, height); ctx.clip();
    for (const s of list.slice().reverse()) trace(ctx, s, toY, colourOf(s.row));
    ctx.restore();
    if (!list.length && pane.name !== null) {
      ctx.fillStyle = '#6b7585';
      ctx.fillText('not in the chosen laps (every channel is kept for the laps chosen when the page was written)', MARGIN_LEFT + 4, 34);
    }
  }

  // The reference's corner numbers at their apexes, `y` pixels from the pane's top, but
  // none left of `clear` (the pane's label).
  function drawCornerNumbers(ctx, y, clear) {
    ctx.save();
    ctx.font = '600 11px system-ui, sans-serif'; ctx.textAlign = 'center';
    for (const c of referenceCorners()) {
      const x = toX(c.apex), text = String(c.corner), w = ctx.measureText(text).width + 6;
      if (c.apex < state.x0 || c.apex > state.x1) continue;
      const at = x - w / 2 < clear ? y + 14 : y;  // below the label where it would cover it
      ctx.fillStyle = 'rgba(255, 255, 255, 0.85)'; ctx.fillRect(x - w / 2, at - 10, w, 13);
      ctx.fillStyle = '#59606d'; ctx.fillText(text, x, at);
    }
    ctx.restore();
  }

  // One line through the visible points; where several points share a pixel column, their
  // lowest and highest are drawn instead, so a whole hour draws as fast as a corner.
  function trace(ctx, s, toY, colour) {
    const values = s.values, i0 = Math.max(0, Math.floor(state.x0 - s.start) - 1);
    const i1 = Math.min(values.length - 1, Math.ceil(state.x1 - s.start) + 1);
    if (i1 < i0) return;
    const scale = plotWidth() / (state.x1 - state.x0), dense = (i1 - i0) * 1 > plotWidth() * 2;
    ctx.strokeStyle = colour;
    ctx.lineWidth = 1.3;
    ctx.beginPath();
    let pen = false, column = null, low = 0, high = 0, lastY = 0;
    const flush = () => {
      if (column === null) return;
      if (pen) ctx.lineTo(column, toY(low)); else ctx.moveTo(column, toY(low));
      ctx.lineTo(column, toY(high));
      pen = true;
    };
    for (let i = i0; i <= i1; i++) {
      const v = values[i];
      if (Number.isNaN(v)) { flush(); column = null; pen = false; continue; }
      const x = MARGIN_LEFT + (s.start + i - state.x0) * scale;
      if (dense) {
        const c = Math.round(x);
        if (c !== column) { flush(); column = c; low = high = v; } else { if (v < low) low = v; if (v > high) high = v; }
        continue;
      }
      const y = toY(v);
      if (!pen) ctx.moveTo(x, y);
      else { if (!s.linear) ctx.lineTo(x, lastY); ctx.lineTo(x, y); }
      pen = true;
      lastY = y;
    }
    flush();
    ctx.stroke();
  }

  // -- the map ----------------------------------------------------------------------------

  function mapFrame() {
    const canvas = document.getElementById('map'), box = canvas.parentElement;
    const lap = laps[state.ref], xs = lap.own.map_x, ys = lap.own.map_y;
    if (!xs) return null;
    let x0 = Infinity, x1 = -Infinity, y0 = Infinity, y1 = -Infinity;
    for (let i = 0; i < xs.length; i++) {
      if (Number.isNaN(xs[i])) continue;
      x0 = Math.min(x0, xs[i]); x1 = Math.max(x1, xs[i]); y0 = Math.min(y0, ys[i]); y1 = Math.max(y1, ys[i]);
    }
    const w = box.clientWidth, h = box.clientHeight, pad = 14;
    const k = Math.min((w - 2 * pad) / Math.max(x1 - x0, 1), (h - 2 * pad) / Math.max(y1 - y0, 1));
    const ox = (w - (x1 - x0) * k) / 2, oy = (h - (y1 - y0) * k) / 2;
    return { w, h, px: (x) => ox + (x - x0) * k, py: (y) => h - oy - (y - y0) * k };
  }

  function prepareCanvas(canvas, w, h) {
    const ratio = window.devicePixelRatio || 1;
    canvas.width = Math.round(w * ratio); canvas.height = Math.round(h * ratio);
    const ctx = canvas.getContext('2d');
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    return ctx;
  }

  // What colours the map line at each metre of the reference lap: the compared lap's loss
  // (ms per metre, over 20 m) or a channel's value, as one of a few shades.
  function mapShades(lap) {
    const n = lap.count, shade = new Int8Array(n).fill(-1);
    if (state.mapColour === null) {
      const other = state.others.find(hasData), d = other !== undefined ? delta(state.ref, other) : null;
      if (!d) return { shade, palette: [] };
      const palette = [];
      for (let k = 0; k < 11; k++) {
        const t = (k - 5) / 5;
        palette.push(t < 0 ? mix([160, 166, 176], [26, 152, 80], -t) : mix([160, 166, 176], [215, 48, 39], t));
      }
      const slope = new Float64Array(n).fill(NaN);
      let biggest = 1e-6;
      for (let i = 0; i < n; i++) {
        const a = valueAt(d.values, d.start, lap.start + i - 10, true), b = valueAt(d.values, d.start, lap.start + i + 10, true);
        if (a === null || b === null) continue;
        slope[i] = (b - a) / 20;
        biggest = Math.max(biggest, Math.abs(slope[i]));
      }
      for (let i = 0; i < n; i++) {
        if (!Number.isNaN(slope[i])) shade[i] = Math.max(0, Math.min(10, Math.round(5 + slope[i] / biggest * 2 * 5)));
      }
      return { shade, palette };
    }
    const values = lap.channels.get(state.mapColour);
    if (!values) return { shade, palette: [] };
    let low = Infinity, high = -Infinity;
    for (const v of values) { if (v < low) low = v; if (v > high) high = v; }
    const palette = [];
    for (let k = 0; k < 12; k++) {
      const t = k / 11;
      palette.push(t < 0.5 ? mix([49, 54, 149], [250, 220, 90], t * 2) : mix([250, 220, 90], [200, 30, 40], t * 2 - 1));
    }
    for (let i = 0; i < n; i++) if (!Number.isNaN(values[i])) shade[i] = Math.round((values[i] - low) / Math.max(high - low, 1e-9) * 11);
    return { shade, palette };
  }

  const mix = (a, b, t) => 'rgb(' + a.map((v, i) => Math.round(v + (b[i] - v) * t)).join(',') + ')';

  // The track, coloured, drawn once per choice of laps or colouring; zooming only lays the
  // zoomed stretch over a copy of it.
  const mapTrack = document.createElement('canvas');

  function drawMap() {
    const canvas = document.getElementById('map'), note = document.getElementById('map-note');
    mapView = hasData(state.ref) ? mapFrame() : null;
    const box = canvas.parentElement, ctx = prepareCanvas(mapTrack, box.clientWidth, box.clientHeight);
    if (!mapView) { note.textContent = 'no Lat/Lon or Yaw to draw the track with'; showMap(); return; }
    note.textContent = 'track from ' + manifest.map_source + (state.mapColour === null ? ' · green: gaining, red: losing' : ' · ' + state.mapColour);
    const lap = laps[state.ref], xs = lap.own.map_x, ys = lap.own.map_y;
    const { px, py } = mapView, { shade, palette } = mapShades(lap);
    ctx.lineCap = 'round';
    ctx.lineWidth = 7; ctx.strokeStyle = '#e6e9ee';
    path(ctx, xs, ys, 0, xs.length - 1, px, py); ctx.stroke();
    ctx.lineWidth = 3;
    for (let k = -1; k < palette.length; k++) {
      ctx.strokeStyle = k < 0 ? '#8a93a3' : palette[k];
      ctx.beginPath();
      for (let i = 1; i < xs.length; i++) {
        if (shade[i] !== k || Number.isNaN(xs[i]) || Number.isNaN(xs[i - 1])) continue;
        ctx.moveTo(px(xs[i - 1]), py(ys[i - 1])); ctx.lineTo(px(xs[i]), py(ys[i]));
      }
      ctx.stroke();
    }
    ctx.strokeStyle = '#1d2430'; ctx.fillStyle = '#1d2430'; ctx.lineWidth = 2; ctx.font = '11px system-ui, sans-serif';
    manifest.sector_starts.forEach((d, s) => {
      const i = Math.round(d - lap.start);
      if (i < 0 || i + 1 >= xs.length) return;
      const dx = xs[i + 1] - xs[i], dy = ys[i + 1] - ys[i], len = Math.hypot(dx, dy) || 1;
      const nx = -dy / len * 9, ny = dx / len * 9, x = px(xs[i]), y = py(ys[i]);
      ctx.beginPath(); ctx.moveTo(x - nx, y + ny); ctx.lineTo(x + nx, y - ny); ctx.stroke();
      const lx = Math.max(2, Math.min(mapView.w - 24, x + nx * 1.6 + 2)), ly = Math.max(11, Math.min(mapView.h - 16, y - ny * 1.6 + 4));
      ctx.fillText(s === 0 ? 'S/F' : 'S' + (s + 1), lx, ly);
    });
    ctx.font = '600 10px system-ui, sans-serif'; ctx.textAlign = 'center'; ctx.textBaseline = 'middle';
    for (const c of referenceCorners()) {
      const x = valueAt(xs, lap.start, c.apex, true), y = valueAt(ys, lap.start, c.apex, true);
      if (x === null || y === null) continue;
      ctx.beginPath(); ctx.arc(px(x), py(y), 7, 0, 2 * Math.PI);
      ctx.fillStyle = '#fff'; ctx.fill(); ctx.lineWidth = 1; ctx.strokeStyle = '#59606d'; ctx.stroke();
      ctx.fillStyle = '#1d2430'; ctx.fillText(String(c.corner), px(x), py(y) + 0.5);
    }
    showMap();
  }

  function showMap() {
    const canvas = document.getElementById('map'), box = canvas.parentElement;
    const ctx = prepareCanvas(canvas, box.clientWidth, box.clientHeight);
    ctx.drawImage(mapTrack, 0, 0, box.clientWidth, box.clientHeight);
    if (mapView && state.x1 - state.x0 < full[1] - full[0] - 1) {
      const lap = laps[state.ref], xs = lap.own.map_x, ys = lap.own.map_y;
      const i0 = Math.max(0, Math.floor(state.x0 - lap.start)), i1 = Math.min(xs.length - 1, Math.ceil(state.x1 - lap.start));
      ctx.lineCap = 'round'; ctx.lineWidth = 11; ctx.strokeStyle = 'rgba(40, 110, 220, 0.28)';
      path(ctx, xs, ys, i0, i1, mapView.px, mapView.py); ctx.stroke();
    }
    drawDots();
  }

  function path(ctx, xs, ys, i0, i1, px, py) {
    ctx.beginPath();
    let pen = false;
    for (let i = i0; i <= i1; i++) {
      if (Number.isNaN(xs[i])) { pen = false; continue; }
      if (pen) ctx.lineTo(px(xs[i]), py(ys[i])); else ctx.moveTo(px(xs[i]), py(ys[i]));
      pen = true;
    }
  }

  function drawDots() {
    const canvas = document.getElementById('map-dots'), box = canvas.parentElement;
    const ctx = canvas.getContext('2d'), ratio = window.devicePixelRatio || 1;
    if (canvas.width !== Math.round(box.clientWidth * ratio)) prepareCanvas(canvas, box.clientWidth, box.clientHeight);
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    ctx.clearRect(0, 0, box.clientWidth, box.clientHeight);
    if (!mapView || state.cursor === null) return;
    for (const row of chosen().slice().reverse()) {
      const lap = laps[row];
      const x = valueAt(lap.own.map_x, lap.start, state.cursor, true), y = valueAt(lap.own.map_y, lap.start, state.cursor, true);
      if (x === null || y === null) continue;
      ctx.beginPath(); ctx.arc(mapView.px(x), mapView.py(y), 5, 0, 2 * Math.PI);
      ctx.fillStyle = colourOf(row); ctx.fill();
      ctx.lineWidth = 1.5; ctx.strokeStyle = '#fff'; ctx.stroke();
    }
  }

  // -- cursor, read-out and sector table --------------------------------------------------

  // Each chosen lap's delta and channel values (a Map) at `d` metres.
  function readout(d) {
    return {
      laps: chosen().map((row) => {
        const lap = laps[row], values = new Map();
        for (const [name, column] of lap.channels) values.set(name, valueAt(column, lap.start, d, infoOf(name).interpolate));
        let deltaMs = null;
        if (row === state.ref) deltaMs = valueAt(lap.own.elapsed, lap.start, d, true) === null ? null : 0;
        else {
          const dl = delta(state.ref, row);
          if (dl) deltaMs = valueAt(dl.values, dl.start, d, true);
        }
        return { row, distance: d, delta_ms: deltaMs, values };
      }),
    };
  }

  // The read-out table is built once per choice of laps and panes; the cursor only changes
  // the text of its cells.
  let readoutCells = null;

  // A lap a row: so that eight laps and more fit a narrow side panel, the channels are the
  // columns, their names wrapped where their words meet.
  function buildReadout() {
    const table = document.getElementById('readout'), rows = chosen();
    const corner = el('th', { class: 'text' });
    const broken = (text) => K.nameParts(text).flatMap((part) => [part, el('wbr')]);
    const header = (name, unit) => el('th', {}, ...broken(name), ...(unit ? [el('br'), ...broken('[' + unit + ']')] : []));
    const head = el('tr', {}, corner, header('Δ', 's'), ...state.panes.map((n) => header(n, shown(n).unit)));
    const cells = { corner, delta: rows.map(() => el('td')), panes: rows.map(() => state.panes.map(() => el('td'))) };
    const body = rows.map((row, j) => el('tr', {}, el('th', { class: 'text lap-name', title: lapName(row) }, swatch(row), ' ' + shortName(row)),
      cells.delta[j], ...cells.panes[j]));
    table.replaceChildren(el('thead', {}, head), el('tbody', {}, ...body));
    readoutCells = cells;
  }

  function showReadout(result) {
    if (!readoutCells) buildReadout();
    const cells = readoutCells;
    cells.corner.textContent = state.cursor === null ? '' : fixed(state.cursor, 1) + ' m';
    result.laps.forEach((r, j) => {
      const cell = cells.delta[j];
      if (!cell) return;
      cell.textContent = signed(r.delta_ms);
      cell.className = r.delta_ms > 0 ? 'loss' : r.delta_ms < 0 ? 'gain' : '';
      state.panes.forEach((n, k) => {
        const u = shown(n);
        cells.panes[j][k].textContent = K.formatValue(r.values.get(n), u.scale, u.unit, infoOf(n).whole);
      });
    });
  }

  function setCursor(d) {
    state.cursor = Math.max(full[0], Math.min(full[1], Number(d)));
    const line = document.getElementById('cursor-line');
    const x = toX(state.cursor);
    line.hidden = state.cursor < state.x0 || state.cursor > state.x1;
    line.style.left = x + 'px';
    drawDots();
    const result = readout(state.cursor);
    showReadout(result);
    return result;
  }

  function sectorTable() {
    const table = document.getElementById('sector-table'), ref = laps[state.ref];
    if (!ref || !ref.sectors.length) { table.replaceChildren(el('caption', {}, 'no sectors in the session info')); return; }
    const head = el('tr', {}, el('th', { class: 'text' }, 'lap'), ...ref.sectors.map((_, s) => el('th', {}, 'S' + (s + 1))), el('th', {}, 'lap time'));
    const rows = [el('tr', {}, el('td', { class: 'text lap-name', title: lapName(state.ref) }, swatch(state.ref), ' ' + shortName(state.ref)),
      ...ref.sectors.map((ms) => el('td', {}, lapTime(ms))), el('td', {}, lapTime(ref.duration)))];
    for (const row of state.others.filter(hasData)) {
      const lap = laps[row];
      const cell = (a, b) => {
        const diff = a === null || b === null || a === undefined || b === undefined ? null : a - b;
        return el('td', { class: diff > 0 ? 'loss' : diff < 0 ? 'gain' : '' }, signed(diff));
      };
      const whole = lap.lap_type === 'full' && ref.lap_type === 'full' ? lap.duration : null;
      rows.push(el('tr', {}, el('td', { class: 'text lap-name', title: lapName(row) }, swatch(row), ' ' + shortName(row)),
        ...ref.sectors.map((ms, s) => cell(lap.sectors[s], ms)), cell(whole, ref.duration)));
    }
    table.replaceChildren(el('thead', {}, head), el('tbody', {}, ...rows));
  }

  // -- extras: g-g diagram, pedal histograms, corners --------------------------------------

  function drawGG() {
    const canvas = document.getElementById('gg'), w = 300, h = 300, ctx = prepareCanvas(canvas, w, h);
    canvas.style.width = w + 'px'; canvas.style.height = h + 'px';
    const r = 130, cx = w / 2, cy = h / 2, limit = 2.5;
    ctx.strokeStyle = '#e3e7ed'; ctx.fillStyle = '#6b7585'; ctx.font = '11px system-ui, sans-serif';
    for (const g of [1, 2]) { ctx.beginPath(); ctx.arc(cx, cy, g / limit * r, 0, 2 * Math.PI); ctx.stroke(); ctx.fillText(g + ' g', cx + g / limit * r - 16, cy - 3); }
    ctx.beginPath(); ctx.moveTo(cx - r, cy); ctx.lineTo(cx + r, cy); ctx.moveTo(cx, cy - r); ctx.lineTo(cx, cy + r); ctx.stroke();
    ctx.fillText('lateral', w - 44, cy + 14); ctx.fillText('longitudinal', cx + 4, 12);
    let any = false;
    for (const row of chosen().slice().reverse()) {
      const lap = laps[row], lat = lap.channels.get('LatAccel'), lon = lap.channels.get('LongAccel');
      if (!lat || !lon) continue;
      any = true;
      ctx.fillStyle = colourOf(row); ctx.globalAlpha = 0.35;
      const i0 = Math.max(0, Math.floor(state.x0 - lap.start)), i1 = Math.min(lat.length - 1, Math.ceil(state.x1 - lap.start));
      const stride = Math.max(1, Math.floor((i1 - i0) / 2000));
      for (let i = i0; i <= i1; i += stride) {
        if (Number.isNaN(lat[i]) || Number.isNaN(lon[i])) continue;
        ctx.fillRect(cx + lat[i] / G / limit * r - 1, cy - lon[i] / G / limit * r - 1, 2, 2);
      }
      ctx.globalAlpha = 1;
    }
    if (!any) { ctx.fillStyle = '#6b7585'; ctx.fillText('no LatAccel and LongAccel', 10, h - 10); }
  }

  function drawHistograms() {
    const canvas = document.getElementById('hist'), w = 460, h = 300, ctx = prepareCanvas(canvas, w, h);
    canvas.style.width = w + 'px'; canvas.style.height = h + 'px';
    const rows = chosen(), bins = 10;
    ctx.font = '11px system-ui, sans-serif';
    ['Throttle', 'Brake'].forEach((name, k) => {
      const left = 20 + k * 225, width = 195, top = 20, height = 240;
      ctx.fillStyle = '#1d2430'; ctx.fillText(name + ' [%]', left, 12);
      ctx.strokeStyle = '#d8dde5'; ctx.beginPath(); ctx.moveTo(left, top + height); ctx.lineTo(left + width, top + height); ctx.stroke();
      ctx.fillStyle = '#6b7585';
      for (let b = 0; b <= bins; b += 5) ctx.fillText(String(b * 10), left + b / bins * width - 6, top + height + 13);
      rows.forEach((row, j) => {
        const values = laps[row].channels.get(name);
        if (!values) return;
        const counts = new Array(bins).fill(0);
        let total = 0;
        for (const v of values) if (!Number.isNaN(v)) { counts[Math.min(bins - 1, Math.max(0, Math.floor(v * bins)))]++; total++; }
        const barW = width / bins / rows.length;
        ctx.fillStyle = colourOf(row);
        counts.forEach((c, b) => {
          const bh = total ? c / total * height : 0;
          ctx.fillRect(left + b * width / bins + j * barW, top + height - bh, Math.max(1, barW - 1), bh);
        });
      });
    });
  }

  // The library's corner table for the reference, if the page holds one.
  const cornerTableOf = (row) => manifest.corners.find((t) => t.reference === row && !t.error) || null;

  // The reference's corners (corner 0, from the line, has no apex), in track order.
  function referenceCorners() {
    const rows = K.cornerRows(cornerTableOf(state.ref), state.ref, []) || [];
    return rows.filter((r) => r.corner > 0 && r.apex !== null);
  }

  const speedText = (ms) => (ms === null ? '–' : (ms * shown('Speed').scale).toFixed(1));

  // Per compared lap, its corners ranked by the time lost in them; a click on one zooms to
  // its segment.
  function cornerTable() {
    const box = document.getElementById('corners'), others = state.others.filter(hasData);
    const table = manifest.corners.find((t) => t.reference === state.ref);
    corners = K.cornerRows(table, state.ref, others);
    const note = (text) => box.replaceChildren(el('p', { class: 'note' }, text));
    if (!table) return note('Corners are measured against the laps the page opened with and the fastest full laps; write the page with ' + shortName(state.ref) + ' first to measure against it.');
    if (table.error) return note('No corners: ' + table.error);
    if (!corners) return note('No corners: a compared lap has no Speed, Brake or Throttle to measure it by.');
    if (!others.length) return note('Choose laps to compare to see where they lose time.');
    const ref = K.ranked(corners, 0), unit = shown('Speed').unit;
    box.replaceChildren(...others.map((row, k) => {
      const rows = K.ranked(corners, k + 1), lost = rows.map((r) => r.time_lost);
      const head = el('tr', {}, ...['corner', 'lost [s]', 'brake Δ [m]', 'min [' + unit + ']', 'ref min'].map((t) => el('th', {}, t)));
      const body = rows.map((r) => {
        const theirs = ref.find((c) => c.corner === r.corner);
        const tr = el('tr', { class: 'corner', title: 'zoom to ' + fixed(r.start, 0) + '–' + fixed(r.end, 0) + ' m' },
          el('td', {}, r.corner ? String(r.corner) : 'line → 1'),
          el('td', { class: r.time_lost > 0 ? 'loss' : r.time_lost < 0 ? 'gain' : '' }, signed(r.time_lost)),
          el('td', {}, r.brake_delta === null ? '–' : (r.brake_delta > 0 ? '+' : '') + r.brake_delta.toFixed(1)),
          el('td', {}, speedText(r.min_speed)), el('td', {}, speedText(theirs.min_speed)));
        tr.addEventListener('click', () => zoom(r.start, r.end));
        return tr;
      });
      const total = lost.includes(null) ? null : lost.reduce((a, b) => a + b, 0);
      const foot = el('tr', {}, el('td', {}, 'lap'), el('td', { class: total > 0 ? 'loss' : total < 0 ? 'gain' : '' }, signed(total)));
      return el('table', {}, el('caption', { title: lapName(row) }, swatch(row), ' ' + shortName(row) + ' against ' + shortName(state.ref)),
        el('thead', {}, head), el('tbody', {}, ...body), el('tfoot', {}, foot));
    }));
  }

  // Which colour is which lap: file, lap, session, type and time of each.
  function legend() {
    document.getElementById('legend').replaceChildren(...chosen().map((row) =>
      el('span', { class: 'entry' }, swatch(row), ' ' + lapName(row) + (row === state.ref ? ' · reference' : ''))));
  }

  // -- selection, zoom and drawing --------------------------------------------------------

  function select(reference, others) {
    reference = Number(reference);
    if (!hasData(reference)) throw new Error('lap row ' + reference + ' has no traces to show');
    state.ref = reference;
    state.others = [...new Set((others || []).map(Number))].filter((r) => r !== reference && hasData(r));
    full = [Infinity, -Infinity];
    for (const row of [reference, ...state.others]) {
      full[0] = Math.min(full[0], laps[row].start); full[1] = Math.max(full[1], laps[row].start + laps[row].count - 1);
    }
    if (full[1] - full[0] < 5) full[1] = full[0] + 5;
    state.x0 = full[0]; state.x1 = full[1];
    markLapTable();
    legend();
    readoutCells = null;
    drawAll();
    sectorTable();
    cornerTable();
    if (state.cursor !== null) setCursor(state.cursor);
  }

  function zoom(from, to) {
    let a = Math.max(full[0], Math.min(Number(from), Number(to))), b = Math.min(full[1], Math.max(Number(from), Number(to)));
    if (!(b - a >= 5)) { const mid = (a + b) / 2; a = Math.max(full[0], mid - 2.5); b = Math.min(full[1], a + 5); }
    state.x0 = a; state.x1 = b;
    drawAll(true);
    if (state.cursor !== null) setCursor(state.cursor);
  }

  // Everything that shows the chosen laps; a zoom redraws only what shows the zoomed range.
  function drawAll(zoomOnly) {
    for (const pane of panes) drawPane(pane);
    if (zoomOnly) showMap(); else drawMap();
    drawGG();
    if (!zoomOnly) drawHistograms();
  }

  function hookMouse() {
    const box = document.getElementById('panes'), sel = document.getElementById('selection');
    let drag = null;
    const xOf = (event) => event.clientX - box.getBoundingClientRect().left;
    box.addEventListener('mousedown', (event) => {
      if (event.target.tagName === 'BUTTON') return;
      drag = { x: xOf(event), pan: event.shiftKey, x0: state.x0, x1: state.x1 };
      event.preventDefault();
    });
    window.addEventListener('mousemove', (event) => {
      const x = xOf(event);
      if (!drag) {
        if (event.target.closest && event.target.closest('#panes')) setCursor(toDistance(x));
        return;
      }
      if (drag.pan) {
        const shift = (drag.x - x) / plotWidth() * (drag.x1 - drag.x0);
        const span = drag.x1 - drag.x0, a = Math.max(full[0], Math.min(full[1] - span, drag.x0 + shift));
        state.x0 = a; state.x1 = a + span; drawAll(true);
        return;
      }
      sel.hidden = false;
      sel.style.left = Math.min(drag.x, x) + 'px';
      sel.style.width = Math.abs(x - drag.x) + 'px';
      setCursor(toDistance(x));
    });
    window.addEventListener('mouseup', (event) => {
      if (!drag) return;
      const x = xOf(event), start = drag;
      drag = null; sel.hidden = true;
      if (!start.pan && Math.abs(x - start.x) > 4) zoom(toDistance(start.x), toDistance(x));
    });
    box.addEventListener('dblclick', () => zoom(full[0], full[1]));
    box.addEventListener('wheel', (event) => {
      event.preventDefault();
      const at = toDistance(xOf(event)), factor = event.deltaY > 0 ? 1.25 : 0.8;
      if (event.shiftKey || Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
        const shift = (event.deltaX || event.deltaY) / plotWidth() * (state.x1 - state.x0);
        zoom(state.x0 + shift, state.x1 + shift);
      } else zoom(at - (at - state.x0) * factor, at + (state.x1 - at) * factor);
    }, { passive: false });
    window.addEventListener('keydown', (event) => {
      if (event.key !== 'ArrowLeft' && event.key !== 'ArrowRight') return;
      const step = (state.x1 - state.x0) / 200 * (event.shiftKey ? 10 : 1);
      setCursor((state.cursor === null ? state.x0 : state.cursor) + (event.key === 'ArrowLeft' ? -step : step));
    });
    let pending = false;
    window.addEventListener('resize', () => {
      if (pending) return;
      pending = true;
      requestAnimationFrame(() => { pending = false; sizeCanvases(); drawAll(); });
    });
  }

  function hookControls() {
    const unit = document.getElementById('speed-unit');
    unit.addEventListener('change', () => { state.speedUnit = unit.value; readoutCells = null; drawAll(); cornerTable(); if (state.cursor !== null) setCursor(state.cursor); });
    // Options are told apart by their place, so that no channel's name stands for the delta.
    const names = [...channels.keys()].sort((a, b) => a.localeCompare(b));
    const colour = document.getElementById('map-colour');
    colour.append(el('option', {}, 'delta gain/loss'), ...names.map((n) => el('option', {}, n)));
    colour.addEventListener('change', () => { state.mapColour = colour.selectedIndex ? names[colour.selectedIndex - 1] : null; drawMap(); });
    const picker = document.getElementById('add-pane');
    picker.append(el('option', {}, 'channel…'),
      ...names.map((n) => el('option', { title: infoOf(n).desc }, n + (infoOf(n).unit ? ' [' + infoOf(n).unit + ']' : ''))));
    picker.addEventListener('change', () => { if (picker.selectedIndex) addPane(names[picker.selectedIndex - 1]); picker.selectedIndex = 0; });
  }

  async function start() {
    document.getElementById('title').textContent = manifest.title + ' · lap viewer';
    await loadColumns();
    buildLapTable();
    buildPanes();
    hookControls();
    hookMouse();
    select(state.ref, state.others);
  }

  const ready = start().catch((error) => {
    const box = document.getElementById('error');
    box.hidden = false;
    box.textContent = 'The viewer could not start: ' + error.message;
    throw error;
  });

  window.telvaneView = {
    ready,
    laps: () => laps.map((lap) => ({ file: manifest.files[lap.file].name, session: lap.session, num: lap.num,
                                      lap_type: lap.lap_type, duration: lap.duration, best: lap.best,
                                      sectors: lap.sectors.slice(), sector_best: lap.sector_best.slice() })),
    sectorLines: () => manifest.sector_starts.slice(),
    select: (reference, others) => { select(reference, others); },
    setCursor: (d) => {
      const result = setCursor(d);
      return { laps: result.laps.map((lap) => ({ ...lap, values: Object.fromEntries(lap.values) })) };
    },
    zoom: (from, to) => { zoom(from, to); return [state.x0, state.x1]; },
    corners: () => (corners ? corners.map((row) => ({ ...row })) : null),
    scales: () => panes.map((pane) => ({ pane: pane.name, range: pane.range.slice() })),
    zoomed: () => [state.x0, state.x1],
    // Where the reference's corner numbers are drawn: x on the panes, x and y on the map.
    cornerMarks: () => referenceCorners().map((c) => {
      const lap = laps[state.ref], x = valueAt(lap.own.map_x, lap.start, c.apex, true), y = valueAt(lap.own.map_y, lap.start, c.apex, true);
      return { corner: c.corner, apex: c.apex, pane: toX(c.apex), map: mapView && x !== null ? [mapView.px(x), mapView.py(y)] : null };
    }),
    column: (row, name) => (hasData(row) ? Array.from(laps[row].channels.get(name) || []) : null),
    pageColumn: (row, name) => (hasData(row) && ['elapsed', 'map_x', 'map_y'].includes(name) ? Array.from(laps[row].own[name] || []) : null),
  };
}());
