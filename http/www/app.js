// The web console: the fleet table, the event log and a terminal's panel,
// kept live through /api/events.  Plain JavaScript, no build step.
'use strict';

const $ = (id) => document.getElementById(id);
const IDLE_MARK_S = 60;        // a terminal on line but silent this long is marked
const LOG_KEEP = 2000;         // event lines kept in memory
const EVENT_TYPES = ['start', 'stop', 'logon', 'logout', 'idle', 'closed', 'data', 'data_reply',
  'addr_change', 'duplicate_logon', 'invalid_frame', 'id_report', 'not_logged_on', 'param_read',
  'param_set', 'timeout', 'downlink_queued', 'downlink_sent', 'downlink_expired',
  'downlink_dropped', 'rejected', 'wire', 'error', 'dropped'];

// ---- the API, with the access token when the centre wants one ------------
let token = sessionStorage.getItem('dtu-token') || '';

function askToken() {
  return new Promise((resolve) => {
    const dlg = $('token-dialog');
    $('token-form').onsubmit = () => {
      token = $('token-input').value;
      sessionStorage.setItem('dtu-token', token);
      resolve();
    };
    if (!dlg.open) dlg.showModal();
  });
}

async function api(path, body) {
  for (;;) {
    const headers = {};
    if (token) headers.Authorization = 'Bearer ' + token;
    const init = { headers };
    if (body !== undefined) {
      init.method = 'POST';
      headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    const res = await fetch(path, init);
    if (res.status === 401) { await askToken(); continue; }
    let json = null;
    try { json = await res.json(); } catch (e) { json = { error: 'unreadable answer' }; }
    return { status: res.status, ok: res.ok, json };
  }
}

const enc = encodeURIComponent;

// ---- the fleet table ---------------------------------------------------------
const rows = new Map();        // id -> { t: terminal object, tr, cells }
const dirty = new Set();
let serverOffset = 0;          // server clock minus ours, ms
let sortKey = 'id', sortDesc = false, orderDirty = true, selected = null;
let frameQueued = false;

function schedule() {
  if (!frameQueued) { frameQueued = true; requestAnimationFrame(flush); }
}

function upsert(t) {
  let r = rows.get(t.id);
  if (!r) {
    const tr = document.createElement('tr');
    const cells = [];
    for (let i = 0; i < 9; i++) {
      const td = document.createElement('td');
      if (i >= 5) td.className = 'num';
      tr.appendChild(td);
      cells.push(td);
    }
    cells[4].classList.add('seen');
    tr.dataset.id = t.id;
    r = { t, tr, cells };
    rows.set(t.id, r);
    orderDirty = true;
  } else {
    if (sortValue(r.t) !== sortValue(t)) orderDirty = true;
    r.t = Object.assign(r.t, t);
  }
  dirty.add(r);
  schedule();
}

function idleSeconds(t) {
  if (!t.last_seen) return null;
  return Math.max(0, Math.floor((Date.now() + serverOffset - Date.parse(t.last_seen)) / 1000));
}

function stateOf(t) {
  if (t.online) return 'online';
  return t.offline_reason === 'idle' ? 'idle' : 'offline';
}

// Local wall-clock time of an ISO time (the date too when it is not today).
// Cheap on purpose: the table and the log call it hundreds of times a second.
const two = (n) => (n < 10 ? '0' : '') + n;
function clock(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  const t = two(d.getHours()) + ':' + two(d.getMinutes()) + ':' + two(d.getSeconds());
  return Date.now() - d > 86400000 ? d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate()) + ' ' + t : t;
}

function ago(s) {
  if (s === null) return '';
  if (s < 60) return s + ' s ago';
  if (s < 3600) return Math.floor(s / 60) + ' min ago';
  return Math.floor(s / 3600) + ' h ago';
}

function setText(td, text) { if (td.textContent !== text) td.textContent = text; }

function paint(r) {
  const t = r.t, c = r.cells, st = stateOf(t), idle = idleSeconds(t);
  setText(c[0], t.id);
  setText(c[1], st === 'online' ? 'on line' : st === 'idle' ? 'idle' : t.offline_reason ? 'off (' + t.offline_reason + ')' : 'off line');
  const cls = st === 'online' ? 'state-on' : 'state-off';
  if (c[1].className !== cls) c[1].className = cls;
  setText(c[2], t.peer || '');
  setText(c[3], clock(t.logon_time));
  setText(c[4], ago(idle));
  setText(c[5], String(t.in ? t.in.datagrams : 0));
  setText(c[6], String(t.out ? t.out.datagrams : 0));
  setText(c[7], String(t.in ? t.in.data : 0));
  setText(c[8], String(t.queued_downlinks || 0));
  r.tr.classList.toggle('idle', st === 'idle');
  r.tr.classList.toggle('quiet', st === 'online' && idle !== null && idle > IDLE_MARK_S);
  r.tr.classList.toggle('selected', t.id === selected);
  if (r.tr.dataset.state !== st) r.tr.dataset.state = st;
}

function sortValue(t) {
  switch (sortKey) {
    case 'online': return stateOf(t);
    case 'peer': return t.peer || '';
    case 'logon_time': return t.logon_time || '';
    case 'last_seen': return t.last_seen || '';
    case 'in': return t.in ? t.in.datagrams : 0;
    case 'out': return t.out ? t.out.datagrams : 0;
    case 'data': return t.in ? t.in.data : 0;
    case 'queued': return t.queued_downlinks || 0;
    default: return t.id;
  }
}

function visible(t) {
  const f = $('f-id').value.trim(), s = $('f-state').value;
  if (f && !t.id.includes(f)) return false;
  if (s === 'all') return true;
  const st = stateOf(t);
  return s === 'offline' ? st !== 'online' : st === s;
}

let lastOrder = [];
function flush() {
  frameQueued = false;
  for (const r of dirty) paint(r);
  dirty.clear();
  if (orderDirty) {
    orderDirty = false;
    const list = [...rows.values()].filter((r) => visible(r.t));
    list.sort((a, b) => {
      const x = sortValue(a.t), y = sortValue(b.t);
      const c = x < y ? -1 : x > y ? 1 : a.t.id < b.t.id ? -1 : a.t.id > b.t.id ? 1 : 0;
      return sortDesc ? -c : c;
    });
    const same = list.length === lastOrder.length && list.every((r, i) => r === lastOrder[i]);
    if (!same) {
      const frag = document.createDocumentFragment();
      for (const r of list) frag.appendChild(r.tr);
      const body = $('fleet-body');
      body.textContent = '';
      body.appendChild(frag);
      lastOrder = list;
    }
    let on = 0;
    for (const r of rows.values()) if (r.t.online) on++;
    $('totals').textContent = on + ' on line of ' + rows.size;
  }
}

async function loadFleet() {
  const r = await api('/api/terminals');
  if (!r.ok) return;
  serverOffset = 0;
  for (const t of r.json) upsert(t);
  orderDirty = true;
  schedule();
}

// ---- the event stream --------------------------------------------------------
let source = null;
function connect() {
  if (source) source.close();
  const url = '/api/events?fleet=true' + (token ? '&token=' + enc(token) : '');
  source = new EventSource(url);
  source.onopen = () => {
    $('conn').textContent = 'live';
    $('conn').className = 'conn live';
    loadFleet();
  };
  source.onerror = async () => {
    $('conn').textContent = 'reconnecting…';
    $('conn').className = 'conn down';
    if (source.readyState === EventSource.CLOSED) {
      // Refused (a missing or wrong token): find out, then try again.
      const r = await api('/api/catalogue');
      if (r.ok) setTimeout(connect, 2000);
      else connect();
    }
  };
  source.onmessage = (m) => {
    let e;
    try { e = JSON.parse(m.data); } catch (err) { return; }
    onEvent(e);
  };
}

function onEvent(e) {
  if (e.event === 'fleet') {
    serverOffset = Date.parse(e.time) - Date.now();
    for (const t of e.terminals) upsert(t);
    if (selected && e.terminals.some((t) => t.id === selected)) refreshPanel();
    return;
  }
  if (e.id && rows.has(e.id)) {
    const t = { id: e.id };
    if (e.event === 'logon') { t.online = true; t.offline_reason = null; t.peer = e.peer; t.logon_time = e.time; }
    if (e.event === 'logout' || e.event === 'idle' || e.event === 'closed') {
      t.online = false;
      t.offline_reason = e.event;
    }
    if (e.event === 'data') t.last_seen = e.time;
    if (Object.keys(t).length > 1) upsert(t);
  } else if (e.id && e.event === 'logon') {
    upsert({ id: e.id, online: true, peer: e.peer, logon_time: e.time, last_seen: e.time, in: { datagrams: 1, data: 0 }, out: { datagrams: 0 } });
  }
  if (e.event === 'dropped') loadFleet();
  logEvent(e);
}

// ---- the event log -----------------------------------------------------------
const logAll = [];
const logPending = [];
let logQueued = false;

function logText(e) {
  const parts = [];
  if (e.peer) parts.push(e.peer);
  if (e.old_peer) parts.push('was ' + e.old_peer);
  if (e.reason) parts.push(e.reason);
  if (e.request) parts.push('#' + e.request);
  if (e.length !== undefined) parts.push(e.length + ' B');
  if (e.data !== undefined) parts.push(JSON.stringify(e.data.length > 120 ? e.data.slice(0, 120) + '…' : e.data));
  else if (e.hex) parts.push(e.hex.length > 96 ? e.hex.slice(0, 96) + '…' : e.hex);
  if (e.params) parts.push(Object.keys(e.params).length + ' parameters');
  if (e.count !== undefined) parts.push(e.count + ' events');
  if (e.text) parts.push(e.text.split('\n')[0]);
  return parts.join('  ');
}

function logShows(e) {
  const ty = $('l-type').value, id = $('l-id').value.trim();
  return (!ty || e.event === ty) && (!id || (e.id || '').includes(id));
}

function logLine(e) {
  const div = document.createElement('div');
  div.className = 'ev-' + e.event;
  const t = document.createElement('span');
  t.className = 't';
  t.textContent = clock(e.time) + ' ';
  div.appendChild(t);
  div.appendChild(document.createTextNode(e.event.padEnd(16) + ' ' + (e.id || '').padEnd(12) + ' ' + logText(e)));
  return div;
}

function logEvent(e) {
  logAll.push(e);
  if (logAll.length > LOG_KEEP) logAll.splice(0, logAll.length - LOG_KEEP);
  if ($('l-pause').checked || !logShows(e)) return;
  logPending.push(e);
  if (!logQueued) { logQueued = true; requestAnimationFrame(flushLog); }
}

// Newest first: new lines go on top, so the log never has to measure itself
// (a scroll position read would make the browser lay out the whole page).
function flushLog() {
  logQueued = false;
  const box = $('log-lines');
  const frag = document.createDocumentFragment();
  const lines = logPending.splice(0);
  for (let i = lines.length - 1; i >= 0; i--) frag.appendChild(logLine(lines[i]));
  box.insertBefore(frag, box.firstChild);
  while (box.childElementCount > 500) box.lastElementChild.remove();
}

function relog() {
  const box = $('log-lines');
  box.textContent = '';
  logPending.length = 0;
  for (const e of logAll.slice(-500)) if (logShows(e)) logPending.push(e);
  flushLog();
}

// ---- a terminal's panel ------------------------------------------------------
let catalogue = [];
let readValues = {};           // tag -> value as the terminal last reported it

function showResult(text, ok) {
  const el = $('p-result');
  el.textContent = text;
  el.className = 'result ' + (ok ? 'ok' : 'err');
}

function answerText(r) {
  return r.status + ' ' + JSON.stringify(r.json);
}

async function refreshPanel() {
  if (!selected) return;
  const id = selected;
  const r = await api('/api/terminals/' + enc(id));
  if (!r.ok || id !== selected) return;
  const t = r.json;
  const facts = [['state', stateOf(t) === 'online' ? 'on line' : stateOf(t)], ['address', t.peer || '–'],
    ['reported', t.reported || '–'], ['slot', t.slot === null ? '–' : String(t.slot)],
    ['logon', t.logon_time || '–'], ['last seen', t.last_seen ? t.last_seen + ' (' + ago(idleSeconds(t)) + ')' : '–'],
    ['in', t.in.datagrams + ' datagrams, ' + t.in.bytes + ' B, ' + t.in.data + ' data'],
    ['out', t.out.datagrams + ' datagrams, ' + t.out.bytes + ' B, ' + t.out.downlinks + ' downlinks'],
    ['queued', String(t.queued_downlinks)], ['address changes', String(t.addr_changes)]];
  const dl = $('p-facts');
  dl.textContent = '';
  for (const [k, v] of facts) {
    const dt = document.createElement('dt'); dt.textContent = k;
    const dd = document.createElement('dd'); dd.textContent = v;
    dl.append(dt, dd);
  }
  const body = $('p-frames').tBodies[0];
  body.textContent = '';
  for (const f of t.frames.slice().reverse()) {
    const tr = body.insertRow();
    tr.insertCell().textContent = clock(f.time);
    tr.insertCell().textContent = f.direction === 'in' ? '→' : '←';
    tr.insertCell().textContent = f.kind;
    tr.insertCell().textContent = f.hex;
  }
}

function select(id) {
  selected = id;
  for (const r of rows.values()) r.tr.classList.toggle('selected', r.t.id === id);
  $('panel').hidden = !id;
  if (!id) return;
  $('p-id').textContent = id;
  $('p-result').textContent = '';
  readValues = {};
  buildParamForm();
  refreshPanel();
}

function buildParamForm() {
  const body = $('p-params-table').tBodies[0];
  body.textContent = '';
  for (const p of catalogue) {
    const tr = body.insertRow();
    tr.dataset.tag = p.tag;
    tr.insertCell().textContent = p.tag;
    const name = tr.insertCell();
    name.textContent = p.name;
    name.title = p.type + (p.type === 'text' ? ' ' + p.min_length + '–' + p.max_length + ' bytes' : p.type === 'composite' ? '' : ' 0–' + p.max);
    const cell = tr.insertCell();
    const mk = (min, max) => {
      const i = document.createElement('input');
      i.type = 'number'; i.min = min; i.max = max; i.step = 1; i.inputMode = 'numeric';
      return i;
    };
    if (p.type === 'composite') {
      const box = document.createElement('div');
      box.className = 'n5';
      p.fields.forEach((f, k) => {
        const i = mk(f.min, f.max);
        i.name = 'p' + p.tag + '_' + k;
        i.title = 'N' + (k + 1) + ': ' + f.min + '–' + f.max;
        box.appendChild(i);
      });
      cell.appendChild(box);
    } else if (p.type === 'text') {
      const i = document.createElement('input');
      i.type = 'text'; i.maxLength = p.max_length;
      if (p.min_length) { i.minLength = p.min_length; }
      i.name = 'p' + p.tag;
      cell.appendChild(i);
    } else {
      const i = mk(0, p.max);
      i.name = 'p' + p.tag;
      cell.appendChild(i);
    }
    for (const i of cell.querySelectorAll('input')) i.addEventListener('input', () => markChanged(tr, p));
  }
}

function formValue(tr, p) {
  const inputs = [...tr.querySelectorAll('input')];
  if (p.type === 'composite') {
    if (inputs.every((i) => i.value === '')) return '';
    return inputs.map((i) => i.value).join('-');
  }
  return inputs[0].value;
}

function markChanged(tr, p) {
  const v = formValue(tr, p);
  const before = readValues[p.tag] === undefined ? '' : String(readValues[p.tag]);
  for (const i of tr.querySelectorAll('input')) i.classList.toggle('changed', v !== before);
}

function fillForm(values) {
  readValues = values;
  for (const tr of $('p-params-table').tBodies[0].rows) {
    const p = catalogue.find((c) => String(c.tag) === tr.dataset.tag);
    const v = values[p.tag];
    const inputs = [...tr.querySelectorAll('input')];
    if (p.type === 'composite') {
      const parts = v === undefined ? [] : String(v).split('-');
      inputs.forEach((i, k) => { i.value = parts[k] === undefined ? '' : parts[k]; });
    } else {
      inputs[0].value = v === undefined ? '' : String(v);
    }
    markChanged(tr, p);
  }
}

async function readParams() {
  const id = selected;
  showResult('reading the parameters of ' + id + '…', true);
  const r = await api('/api/terminals/' + enc(id) + '/params/read', {});
  if (id !== selected) return;
  if (r.ok) {
    fillForm(r.json.params);
    showResult('read: ' + Object.keys(r.json.params).length + ' parameters\n' + JSON.stringify(r.json.params), true);
  } else {
    showResult(answerText(r), false);
  }
}

async function writeParams(ev) {
  ev.preventDefault();
  const form = $('p-params');
  if (!form.reportValidity()) return;
  const params = {};
  for (const tr of $('p-params-table').tBodies[0].rows) {
    const p = catalogue.find((c) => String(c.tag) === tr.dataset.tag);
    const v = formValue(tr, p);
    const before = readValues[p.tag] === undefined ? '' : String(readValues[p.tag]);
    if (v === before || (v === '' && p.type !== 'text')) continue;
    params[p.tag] = p.type === 'text' || p.type === 'composite' ? v : Number(v);
  }
  if (!Object.keys(params).length) { showResult('nothing changed', false); return; }
  showResult('writing ' + JSON.stringify(params) + '…', true);
  const r = await api('/api/terminals/' + enc(selected) + '/params', { params });
  showResult('write ' + JSON.stringify(params) + ': ' + answerText(r), r.ok);
  if (r.ok) for (const k of Object.keys(params)) readValues[k] = params[k];
}

// ---- wiring --------------------------------------------------------------------
function init() {
  const sel = $('l-type');
  for (const t of EVENT_TYPES) {
    const o = document.createElement('option');
    o.value = o.textContent = t;
    sel.appendChild(o);
  }
  for (const th of document.querySelectorAll('#fleet-table th')) {
    th.addEventListener('click', () => {
      const key = th.dataset.sort;
      if (sortKey === key) sortDesc = !sortDesc; else { sortKey = key; sortDesc = false; }
      for (const h of document.querySelectorAll('#fleet-table th')) h.classList.remove('sorted', 'desc');
      th.classList.add('sorted');
      th.classList.toggle('desc', sortDesc);
      orderDirty = true;
      schedule();
    });
  }
  document.querySelector('#fleet-table th[data-sort="id"]').classList.add('sorted');
  $('fleet-body').addEventListener('click', (e) => {
    const tr = e.target.closest('tr');
    if (tr) select(tr.dataset.id);
  });
  $('f-id').addEventListener('input', () => { orderDirty = true; schedule(); });
  $('f-state').addEventListener('change', () => { orderDirty = true; schedule(); });
  $('l-type').addEventListener('change', relog);
  $('l-id').addEventListener('input', relog);
  $('l-pause').addEventListener('change', () => { if (!$('l-pause').checked) relog(); });
  $('l-clear').addEventListener('click', () => { logAll.length = 0; relog(); });
  $('p-close-panel').addEventListener('click', () => select(null));
  $('p-send').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const mode = $('p-send-mode').value, data = $('p-send-data').value;
    const r = await api('/api/terminals/' + enc(selected) + '/send', { [mode]: data });
    showResult('send: ' + answerText(r), r.ok);
  });
  $('p-close').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const r = await api('/api/terminals/' + enc(selected) + '/close', { tell: $('p-tell').checked });
    showResult('close: ' + answerText(r), r.ok);
  });
  $('p-read').addEventListener('click', readParams);
  $('p-params').addEventListener('submit', writeParams);
  // Every second: the "last seen" column moves on.
  setInterval(() => {
    for (const r of rows.values()) dirty.add(r);
    if (sortKey === 'last_seen' || $('f-state').value !== 'all') orderDirty = true;
    schedule();
  }, 1000);
  api('/api/catalogue').then((r) => {
    if (r.ok) catalogue = r.json;
    connect();
  });
}

init();
