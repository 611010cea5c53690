// The lab's dashboard: the device list once, then live from the event stream.
'use strict';

const API = '/api/v1';
const RECENT = 60;            // events kept per device for the panel
const devices = new Map();    // instance -> device object as the API gives it
const recent = new Map();     // instance -> [event text, ...]
const tiles = new Map();      // instance -> tile element
const dirty = new Set();
let token = '';
let selected = null;
let eventTimes = [];
let frameQueued = false;

const $ = (id) => document.getElementById(id);

// The token arrives in the address's fragment (never sent to the server) and is kept
// for this tab only; the fragment is taken out of the address bar at once.
function takeToken() {
  const m = /(?:^#|&)token=([0-9a-fA-F]+)/.exec(location.hash);
  if (m) {
    sessionStorage.setItem('lcfleet-token', m[1]);
    history.replaceState(null, '', location.pathname + location.search);
  }
  token = sessionStorage.getItem('lcfleet-token') || '';
  $('tokenbar').hidden = !!token;
}

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function stateOf(d) {
  if (d.state === 'dead') return 'dead';
  if (d.state === 'frozen') return 'frozen';
  if (!d.plugged) return 'unplugged';
  return 'alive';
}

function faultList(f) {
  const out = [];
  if (f.input_off) out.push('input off');
  if (f.frozen) out.push('frozen');
  if (f.unplugged) out.push('unplugged');
  if (f.loss) out.push(`loss ${f.loss}%`);
  if (f.delay && f.delay.ms) out.push(`delay ${f.delay.ms} ms` + (f.delay.jitter_ms ? ` ±${f.delay.jitter_ms}` : ''));
  return out;
}

function showMessage(text) {
  const m = $('message');
  m.textContent = text;
  m.hidden = !text;
  if (text) setTimeout(() => { if (m.textContent === text) m.hidden = true; }, 8000);
}

async function change(n, method, path, body) {
  if (!token) { showMessage('Changes need the token (see the bar above).'); return; }
  const tile = tiles.get(n);
  if (tile) tile.classList.add('busy');
  try {
    const opts = { method, headers: { Authorization: 'Bearer ' + token } };
    if (body !== undefined) {
      opts.headers['Content-Type'] = 'application/json';
      opts.body = JSON.stringify(body);
    }
    const r = await fetch(`${API}/devices/${n}${path}`, opts);
    const j = await r.json().catch(() => ({}));
    if (!r.ok) {
      if (r.status === 401) { sessionStorage.removeItem('lcfleet-token'); token = ''; $('tokenbar').hidden = false; }
      showMessage(`Device ${n}: ${j.error || r.statusText} (${r.status})`);
    } else {
      setDevice(j);
    }
  } catch (e) {
    showMessage(`Device ${n}: ${e.message}`);
  } finally {
    if (tile) tile.classList.remove('busy');
  }
}

function button(label, action, cls) {
  const b = el('button', cls, label);
  b.type = 'button';
  b.disabled = !token;
  b.addEventListener('click', (ev) => { ev.stopPropagation(); action(); });
  return b;
}

function numberInput(label, value, min, max) {
  const i = el('input');
  i.type = 'number'; i.min = min; i.max = max; i.value = value; i.title = label;
  i.setAttribute('aria-label', label);
  i.addEventListener('click', (ev) => ev.stopPropagation());
  return i;
}

function buildTile(n) {
  const t = el('article', 'tile');
  t.dataset.instance = n;
  t.tabIndex = 0;
  const top = el('div', 'top');
  top.append(el('span', 'name'), el('span', 'state'));
  const info = el('dl');
  for (const k of ['address', 'master', 'streams to', 'rate', 'pid']) {
    info.append(el('dt', '', k), el('dd', 'v-' + k.replace(' ', '-')));
  }
  const meter = el('div', 'meter');
  const bar = el('div', 'bar');
  bar.append(el('div', 'fill'));
  meter.append(el('span', 'input'), bar, el('span', 'level'));
  const actions = el('div', 'actions');
  const loss = numberInput('loss percent', 20, 1, 100);
  const ms = numberInput('delay ms', 100, 1, 60000);
  const jit = numberInput('jitter ms', 0, 0, 60000);
  const lossGroup = el('span', 'group');
  lossGroup.append(button('loss', () => change(n, 'PUT', '/faults/loss', { percent: +loss.value }), 'act-loss'), loss,
                   button('×', () => change(n, 'DELETE', '/faults/loss'), 'act-loss-off'));
  const delayGroup = el('span', 'group');
  delayGroup.append(button('delay', () => change(n, 'PUT', '/faults/delay', { ms: +ms.value, jitter_ms: +jit.value }), 'act-delay'),
                    ms, jit, button('×', () => change(n, 'DELETE', '/faults/delay'), 'act-delay-off'));
  actions.append(
    button('input off', () => toggle(n, 'input_off'), 'act-input'),
    button('freeze', () => toggle(n, 'frozen'), 'act-freeze'),
    button('unplug', () => toggle(n, 'unplugged'), 'act-unplug'),
    button('restart', () => change(n, 'POST', '/restart'), 'act-restart'),
    button('clear all', () => change(n, 'DELETE', '/faults'), 'act-clear'),
    lossGroup, delayGroup);
  t.append(top, info, meter, el('div', 'faults'), actions);
  t.addEventListener('click', () => openEvents(n));
  t.addEventListener('keydown', (ev) => { if (ev.key === 'Enter') openEvents(n); });
  return t;
}

function toggle(n, kind) {
  const d = devices.get(n);
  const on = d && d.faults[kind];
  change(n, on ? 'DELETE' : 'PUT', `/faults/${kind}`);
}

function render(n) {
  const d = devices.get(n);
  let t = tiles.get(n);
  if (!d) { if (t) { t.remove(); tiles.delete(n); } return; }
  if (!t) {
    t = buildTile(n);
    tiles.set(n, t);
    const after = [...tiles.keys()].filter((k) => k > n).sort((a, b) => a - b)[0];
    $('devices').insertBefore(t, after !== undefined ? tiles.get(after) : null);
  }
  const state = stateOf(d);
  t.className = `tile state-${state}` + (selected === n ? ' selected' : '') + (t.classList.contains('busy') ? ' busy' : '');
  const q = (s) => t.querySelector(s);
  q('.name').textContent = `${n} · serial ${d.serial}`;
  q('.state').textContent = state;
  q('.v-address').textContent = d.address || '—';
  q('.v-master').textContent = d.master_ip || 'none';
  q('.v-streams-to').textContent = d.play_target || 'not streaming';
  q('.v-rate').textContent = d.rate === null || d.rate === undefined ? '—' : `${Math.round(d.rate)} frames/s`;
  q('.v-pid').textContent = d.pid || '—';
  const on = d.input_on;
  q('.meter').classList.toggle('off', on === false);
  q('.input').textContent = on === null || on === undefined ? 'input —' : (on ? 'input on' : 'input off') + (d.muted ? ' (muted)' : '');
  q('.fill').style.width = `${Math.max(0, Math.min(99, d.level || 0))}%`;
  q('.level').textContent = d.level === null || d.level === undefined ? '' : `${d.level}%`;
  const faults = faultList(d.faults);
  const fe = q('.faults');
  fe.replaceChildren(...(faults.length ? faults.map((f) => el('span', '', f)) : [el('span', 'none', 'no faults')]));
  q('.act-input').textContent = d.faults.input_off ? 'input on' : 'input off';
  q('.act-freeze').textContent = d.faults.frozen ? 'thaw' : 'freeze';
  q('.act-unplug').textContent = d.faults.unplugged ? 'plug' : 'unplug';
  for (const b of t.querySelectorAll('button')) b.disabled = !token;
}

function renderHeader() {
  let alive = 0, streaming = 0, faults = 0;
  for (const d of devices.values()) {
    if (d.state === 'alive') alive++;
    if (d.state === 'alive' && d.play_target) streaming++;
    faults += faultList(d.faults).length;
  }
  $('n-alive').textContent = `${alive}/${devices.size}`;
  $('n-streaming').textContent = streaming;
  $('n-faults').textContent = faults;
  $('empty').hidden = devices.size > 0;
}

function schedule(n) {
  dirty.add(n);
  if (frameQueued) return;
  frameQueued = true;
  requestAnimationFrame(() => {
    frameQueued = false;
    for (const k of dirty) render(k);
    dirty.clear();
    renderHeader();
  });
}

function setDevice(d) {
  devices.set(d.instance, d);
  schedule(d.instance);
}

// Loads are coalesced: events that come while a load is out ask for one more load
// after it, not one each (150 devices streaming at page open would otherwise ask
// for every device on its own).
let listInFlight = false;
let listAgain = false;
const deviceInFlight = new Set();
const deviceAgain = new Set();
const absent = new Set();     // instances the server said it does not have, until the next list

async function loadDevices() {
  if (listInFlight) { listAgain = true; return; }
  listInFlight = true;
  try {
    const r = await fetch(`${API}/devices`);
    if (r.ok) {
      const list = await r.json();
      const seen = new Set(list.map((d) => d.instance));
      absent.clear();
      for (const n of [...devices.keys()]) if (!seen.has(n)) { devices.delete(n); schedule(n); }
      for (const d of list) setDevice(d);
      renderHeader();
    }
  } catch (e) { /* the stream's error handler says the server is gone */ }
  listInFlight = false;
  if (listAgain) { listAgain = false; loadDevices(); }
}

async function loadDevice(n) {
  if (listInFlight) { listAgain = true; return; }
  if (absent.has(n)) return;
  if (deviceInFlight.has(n)) { deviceAgain.add(n); return; }
  deviceInFlight.add(n);
  try {
    const r = await fetch(`${API}/devices/${n}`);
    if (r.ok) setDevice(await r.json());
    else if (r.status === 404) absent.add(n);
  } catch (e) { /* as above */ }
  deviceInFlight.delete(n);
  if (deviceAgain.delete(n)) loadDevice(n);
}

// What a device event changes in the device's record.
function apply(e) {
  const n = e.instance;
  if (n === undefined) {
    if (e.type === 'reset' || e.type === 'fleet') loadDevices();
    return;
  }
  const list = recent.get(n) || [];
  list.push(describe(e));
  if (list.length > RECENT) list.shift();
  recent.set(n, list);
  if (selected === n) showEvents();
  const d = devices.get(n);
  if (!d) { loadDevice(n); return; }
  if (typeof e.serial === 'number') d.serial = e.serial;
  switch (e.type) {
    case 'started': d.state = 'alive'; d.master_ip = null; d.play_target = null; d.rate = null; break;
    case 'announced':
    case 'configured': if ('master_ip' in e) d.master_ip = e.master_ip; break;
    case 'play_started': d.play_target = e.target; break;
    case 'play_stopped': d.play_target = null; d.rate = null; break;
    case 'progress': d.rate = e.rate; if (e.target) d.play_target = e.target; break;
    case 'status_sent':
    case 'input_changed': d.input_on = e.input_on; d.level = e.level; break;
    case 'input_muted': d.muted = e.muted; break;
    case 'stopped': case 'exited': d.state = 'dead'; d.play_target = null; d.rate = null; break;
    case 'fault': case 'restarted': loadDevice(n); break;
    default: break;
  }
  schedule(n);
}

// One line of the events panel: its time of day, its type and its own keys.
function describe(e) {
  const t = typeof e.time === 'string' ? e.time.slice(11, 23) : '';
  const rest = Object.entries(e)
    .filter(([k]) => !['time', 'seq', 'serial', 'type', 'instance'].includes(k))
    .map(([k, v]) => `${k}=${typeof v === 'object' ? JSON.stringify(v) : v}`);
  return `${t} ${e.type} ${rest.join(' ')}`;
}

function openEvents(n) {
  const prev = selected;
  selected = n;
  if (prev !== null) schedule(prev);
  schedule(n);
  $('eventsPanel').hidden = false;
  document.body.classList.add('panel-open');
  showEvents();
}

function showEvents() {
  $('eventsTitle').textContent = `Recent events of device ${selected}`;
  const items = (recent.get(selected) || []).slice().reverse().map((t) => el('li', '', t));
  $('eventsList').replaceChildren(...(items.length ? items : [el('li', '', 'none since this page opened')]));
}

function setLink(state, text) {
  const l = $('link');
  l.className = `link ${state}`;
  l.textContent = text;
}

function connect() {
  const source = new EventSource(`${API}/events`);
  source.onopen = () => { setLink('live', 'live'); loadDevices(); };
  source.onerror = () => {
    // The browser reconnects by itself (the server asks for 2 s), resuming where it was.
    setLink('lost', source.readyState === EventSource.CLOSED ? 'stream lost' : 'stream lost — reconnecting…');
    if (source.readyState === EventSource.CLOSED) setTimeout(connect, 2000);
  };
  source.onmessage = (m) => {
    eventTimes.push(performance.now());
    let e;
    try { e = JSON.parse(m.data); } catch (err) { return; }
    apply(e);
  };
}

setInterval(() => {
  const now = performance.now();
  eventTimes = eventTimes.filter((t) => now - t < 1000);
  $('n-rate').textContent = eventTimes.length;
}, 1000);

$('eventsClose').addEventListener('click', () => {
  $('eventsPanel').hidden = true;
  document.body.classList.remove('panel-open');
  const prev = selected;
  selected = null;
  if (prev !== null) schedule(prev);
});
$('tokenform').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const v = $('tokeninput').value.trim();
  if (!/^[0-9a-fA-F]+$/.test(v)) { showMessage('A token is hexadecimal.'); return; }
  sessionStorage.setItem('lcfleet-token', v);
  token = v;
  $('tokenbar').hidden = true;
  for (const n of devices.keys()) schedule(n);
});

takeToken();
connect();
