// The control page: polls /api/status once a second, keeps the figures of
// the last minutes for the plots, and drives the camera. A drive is held
// by repeating it while the button is down; the daemon stops any drive not
// repeated within a second, so a page that goes never leaves it moving.
'use strict';

const HOLD_MS = 250;
const KEEP_SECONDS = 600;
const $ = (id) => document.getElementById(id);

const series = { time: [], full_mbps: [], preview_mbps: [], full_q: [], preview_q: [], drops: [] };
let lastTime = 0;

function num(v) { const n = parseFloat(v); return Number.isFinite(n) ? n : null; }
function fixed(v, digits) { return v === null || v === undefined ? '–' : v.toFixed(digits); }

function addSample(t, values) {
  if (t <= lastTime) return;
  lastTime = t;
  series.time.push(t);
  for (const k of Object.keys(values)) series[k].push(values[k]);
  while (series.time.length && series.time[0] < t - KEEP_SECONDS) for (const k in series) series[k].shift();
}

async function loadHistory() {
  try {
    const h = await (await fetch('/api/history?since=' + lastTime)).json();
    for (let i = 0; i < h.time.length; i++) {
      addSample(h.time[i], { full_mbps: h.full_mbps[i], preview_mbps: h.preview_mbps[i], full_q: h.full_q[i],
                             preview_q: h.preview_q[i], drops: h.drops[i] });
    }
  } catch (e) { /* the next poll tries again */ }
}

function show(s) {
  const badge = $('program');
  if (s.program === 'answering') { badge.textContent = 'program running'; badge.className = 'badge up'; }
  else if (s.program === 'silent') { badge.textContent = 'program not answering'; badge.className = 'badge down'; }
  else { badge.textContent = 'program gone'; badge.className = 'badge down'; }
  const st = s.status;
  if (st) {
    const f = st.fields, r = st.rates;
    $('signal').textContent = f.signal || '–';
    $('receivers').textContent = f.receivers || '0';
    $('encoder_resets').textContent = f.encoder_resets || '0';
    const age = s.now - st.time;
    $('age').textContent = age < 3 ? 'live' : 'last ' + Math.round(age) + ' s ago';
    $('full_fps').textContent = fixed(r.full_fps, 2);
    $('preview_fps').textContent = fixed(r.preview_fps, 2);
    $('audio_bps').textContent = fixed(r.audio_bps, 1);
    for (const k of ['full_mbps', 'preview_mbps', 'full_q', 'preview_q', 'full_dropped', 'preview_dropped', 'audio_dropped'])
      $(k).textContent = f[k] || '–';
    const lamp = $('tally');
    lamp.className = 'lamp' + (f.tally && f.tally.startsWith('program') ? ' program' : f.tally === 'preview' ? ' preview' : '');
    lamp.textContent = 'tally ' + (f.tally || 'off');
    $('camera_counters').textContent = f.camera_commands === undefined ? 'no counters' :
      `${f.camera_commands} commands, ${f.camera_replies} replies, ${f.camera_refused} refused`;
    addSample(st.time, { full_mbps: num(f.full_mbps), preview_mbps: num(f.preview_mbps), full_q: num(f.full_q),
                         preview_q: num(f.preview_q), drops: r.drops });
  }
  if (s.camera) showCommands(s.camera);
  draw();
}

function showCommands(c) {
  const list = $('commands');
  list.replaceChildren(...c.commands.slice(0, 12).map((x) => {
    const li = document.createElement('li');
    const kind = x.state.startsWith('error') ? 'error' : x.state.startsWith('no') || x.state === 'not sent' ? 'none' : x.state.split(',')[0];
    li.className = kind;
    li.textContent = `${x.name}: ${x.state}` + (x.seconds > 0 ? ` (${x.seconds.toFixed(2)} s)` : '');
    li.dataset.id = x.id;
    return li;
  }));
}

async function poll() {
  try {
    const r = await fetch('/api/status');
    show(await r.json());
  } catch (e) {
    $('program').textContent = 'page not reachable';
    $('program').className = 'badge down';
  }
}

// Plots: lines over the time axis of the last minutes, drawn on a canvas.
function plot(canvas, lines, floor) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth, height = canvas.clientHeight;
  if (canvas.width !== Math.round(width * ratio)) canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  const t = series.time;
  if (t.length < 2) return;
  let top = floor;
  for (const l of lines) for (const v of series[l.key]) if (v !== null && v > top) top = v;
  top *= 1.1;
  const left = 34, span = Math.max(60, t[t.length - 1] - t[0]), t0 = t[t.length - 1] - span;
  const x = (tt) => left + (tt - t0) / span * (width - left - 4);
  const y = (v) => height - 14 - v / top * (height - 22);
  g.font = '10px system-ui, sans-serif';
  g.fillStyle = '#8d98a3';
  g.strokeStyle = '#2a323b';
  for (const v of [0, top / 2 / 1.1, top / 1.1]) {
    g.beginPath(); g.moveTo(left, y(v)); g.lineTo(width, y(v)); g.stroke();
    g.fillText(v >= 10 ? v.toFixed(0) : v.toFixed(1), 2, y(v) + 3);
  }
  g.fillText(`−${Math.round(span / 60 * 10) / 10} min`, left, height - 2);
  g.fillText('now', width - 22, height - 2);
  for (const l of lines) {
    g.strokeStyle = l.colour;
    g.lineWidth = 1.5;
    g.beginPath();
    let pen = false;
    series[l.key].forEach((v, i) => {
      if (v === null) { pen = false; return; }
      if (pen) g.lineTo(x(t[i]), y(v)); else g.moveTo(x(t[i]), y(v));
      pen = true;
    });
    g.stroke();
  }
}

function draw() {
  const css = getComputedStyle(document.documentElement);
  const full = css.getPropertyValue('--full').trim(), preview = css.getPropertyValue('--preview').trim();
  plot($('plot_mbps'), [{ key: 'full_mbps', colour: full }, { key: 'preview_mbps', colour: preview }], 1);
  plot($('plot_q'), [{ key: 'full_q', colour: full }, { key: 'preview_q', colour: preview }], 10);
  plot($('plot_drops'), [{ key: 'drops', colour: css.getPropertyValue('--bad').trim() }], 1);
}

// Camera commands.
async function command(path) {
  try {
    const r = await fetch('/api/camera/' + path, { method: 'POST' });
    if (r.status === 429) return;
    setTimeout(refreshCommands, 300);
  } catch (e) { /* shown by the next poll */ }
}

async function refreshCommands() {
  try { showCommands(await (await fetch('/api/camera')).json()); } catch (e) { /* next poll */ }
}

// One held drive at a time: pressed, it is sent and repeated; released,
// the camera is told to stop.
let held = null;
function press(button, kind, path) {
  release();
  held = { button, kind, timer: setInterval(() => command(path), HOLD_MS) };
  button.classList.add('held');
  command(path);
}
function release() {
  if (!held) return;
  clearInterval(held.timer);
  held.button.classList.remove('held');
  command('stop?drive=' + held.kind);
  held = null;
}
function holdable(button, kind, pathOf) {
  button.addEventListener('pointerdown', (e) => { e.preventDefault(); button.setPointerCapture(e.pointerId); press(button, kind, pathOf()); });
  for (const ev of ['pointerup', 'pointercancel', 'lostpointercapture']) button.addEventListener(ev, () => { if (held && held.button === button) release(); });
  button.addEventListener('contextmenu', (e) => e.preventDefault());
}

function speed() { return parseInt($('speed').value, 10); }

document.querySelectorAll('.pad button[data-pan]').forEach((b) =>
  holdable(b, 'pan-tilt', () => `pan-tilt?pan=${b.dataset.pan}&tilt=${b.dataset.tilt}&speed=${speed()}`));
document.querySelectorAll('button[data-zoom]').forEach((b) =>
  holdable(b, 'zoom', () => `zoom?direction=${b.dataset.zoom}&speed=${Math.min(7, Math.round(speed() * 7 / 24))}`));
$('speed').addEventListener('input', () => { $('speed_value').textContent = $('speed').value; });
$('home').addEventListener('click', () => command('home'));
$('white_balance').addEventListener('click', () => command('white-balance'));
for (let n = 1; n <= 8; n++) {
  const b = document.createElement('button');
  b.textContent = n;
  b.setAttribute('aria-label', 'preset ' + n);
  b.addEventListener('click', () => {
    if ($('store').checked) {
      if (confirm(`Store the camera's position as preset ${n}?`)) command(`preset?number=${n}&action=store`);
      $('store').checked = false;
    } else {
      command(`preset?number=${n}&action=recall`);
    }
  });
  $('presets').append(b);
}
// Leaving the page or the tab releases the button, as lifting a finger does.
window.addEventListener('blur', release);
document.addEventListener('visibilitychange', () => { if (document.hidden) release(); });
window.addEventListener('pagehide', () => {
  if (held) { clearInterval(held.timer); navigator.sendBeacon('/api/camera/stop?drive=' + held.kind); held = null; }
});
window.addEventListener('resize', draw);

loadHistory().then(poll);
setInterval(poll, 1000);
