// The web console: the fleet table, the event log and a terminal's panel,
// kept live through /api/events.  Plain JavaScript, no build step.
'use strict';

const $ = (id) => document.getElementById(id);
const IDLE_MARK_S = 60;        // a terminal on line but silent this long is marked
const LOG_KEEP = 2000;         // event lines kept in memory
const EVENT_TYPES = ['start', 'stop', 'logon', 'logout', 'idle', 'closed', 'data', 'data_reply',
  'addr_change', 'duplicate_logon', 'invalid_frame', 'id_report', 'not_logged_on', 'param_read',
  'param_set', 'timeout', 'downlink_queued', 'downlink_sent', 'downlink_expired',
  'downlink_dropped', 'downlink_delivered', 'downlink_unconfirmed', 'rejected', 'wire', 'error', 'dropped'];

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

// A POST when there is a body, unless `method` says otherwise (PUT, DELETE).
async function api(path, body, method) {
  for (;;) {
    const headers = {};
    if (token) headers.Authorization = 'Bearer ' + token;
    const init = { headers };
    if (method) init.method = method;
    if (body !== undefined) {
      init.method = method || 'POST';
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
    for (let i = 0; i < 11; i++) {
      const td = document.createElement('td');
      if (i >= 7) td.className = 'num';
      tr.appendChild(td);
      cells.push(td);
    }
    cells[6].classList.add('seen');
    tr.dataset.id = t.id;
    r = { t, tr, cells };
    rows.set(t.id, r);
    orderDirty = true;
  } else {
    const before = sortValue(r.t), key = findText(r.t), reg = r.t.registered;
    r.t = Object.assign(r.t, t);
    if (before !== sortValue(r.t) || key !== findText(r.t) || reg !== r.t.registered) orderDirty = true;
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
  paintName(c[2], t);
  setText(c[3], t.group || '');
  setText(c[4], t.peer || '');
  setText(c[5], clock(t.logon_time));
  setText(c[6], ago(idle));
  setText(c[7], String(t.in ? t.in.datagrams : 0));
  setText(c[8], String(t.out ? t.out.datagrams : 0));
  setText(c[9], String(t.in ? t.in.data : 0));
  setText(c[10], String(t.queued_downlinks || 0));
  r.tr.classList.toggle('idle', st === 'idle');
  r.tr.classList.toggle('quiet', st === 'online' && idle !== null && idle > IDLE_MARK_S);
  r.tr.classList.toggle('selected', t.id === selected);
  if (r.tr.dataset.state !== st) r.tr.dataset.state = st;
}

function sortValue(t) {
  switch (sortKey) {
    case 'online': return stateOf(t);
    case 'name': return (t.name || '').toLowerCase();
    case 'group': return (t.group || '').toLowerCase();
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
  const s = $('f-state').value;
  if (!findMatches(t, findWords)) return false;
  if ($('f-unreg').checked && t.registered !== false) return false;
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
    fleetOnline(on);
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
  chartLive(e);
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
  // Bytes come as hex in `data`, and as `text` too when they are UTF-8.
  const bytes = e.data !== undefined;
  if (bytes && e.text !== undefined) parts.push(JSON.stringify(e.text.length > 120 ? e.text.slice(0, 120) + '…' : e.text));
  else if (bytes) parts.push(e.data.length > 96 ? e.data.slice(0, 96) + '…' : e.data);
  if (e.params) parts.push(Object.keys(e.params).length + ' parameters');
  if (e.count !== undefined) parts.push(e.count + ' events');
  if (e.text && !bytes) parts.push(e.text.split('\n')[0]);
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
    tr.insertCell().textContent = f.data;
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
  openMemory(id);
}

function buildParamForm() {
  const body = $('p-params-table').tBodies[0];
  body.textContent = '';
  for (const p of catalogue) {
    const tr = body.insertRow();
    tr.dataset.tag = p.tag;
    tr.insertCell().textContent = p.tag;
    // The deployment's name (label), unit and help where it gave them.
    const name = tr.insertCell();
    name.textContent = p.label || p.name;
    name.title = p.type + (p.type === 'text' ? ' ' + p.min_length + '–' + p.max_length + ' bytes' : p.type === 'composite' ? '' : ' ' + p.min + '–' + p.max) +
      (p.help ? '\n' + p.help : '');
    const cell = tr.insertCell();
    if (p.help) cell.title = p.help;
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
    } else if (p.choices) {
      const i = document.createElement('select');
      i.name = 'p' + p.tag;
      i.add(new Option('', ''));
      for (const c of p.choices) i.add(new Option(c.value + ' – ' + c.label, String(c.value)));
      cell.appendChild(i);
    } else {
      const i = mk(p.min, p.max);
      i.name = 'p' + p.tag;
      cell.appendChild(i);
    }
    if (p.unit) {
      const u = document.createElement('span');
      u.className = 'unit';
      u.textContent = ' ' + p.unit;
      cell.appendChild(u);
    }
    for (const i of cell.querySelectorAll('input, select')) i.addEventListener('input', () => markChanged(tr, p));
  }
}

function formValue(tr, p) {
  const inputs = [...tr.querySelectorAll('input, select')];
  if (p.type === 'composite') {
    if (inputs.every((i) => i.value === '')) return '';
    return inputs.map((i) => i.value).join('-');
  }
  return inputs[0].value;
}

function markChanged(tr, p) {
  const v = formValue(tr, p);
  const before = readValues[p.tag] === undefined ? '' : String(readValues[p.tag]);
  for (const i of tr.querySelectorAll('input, select')) i.classList.toggle('changed', v !== before);
}

function fillForm(values) {
  readValues = values;
  for (const tr of $('p-params-table').tBodies[0].rows) {
    const p = catalogue.find((c) => String(c.tag) === tr.dataset.tag);
    const v = values[p.tag];
    const inputs = [...tr.querySelectorAll('input, select')];
    if (p.type === 'composite') {
      const parts = v === undefined ? [] : String(v).split('-');
      inputs.forEach((i, k) => { i.value = parts[k] === undefined ? '' : parts[k]; });
    } else {
      const sel = inputs[0];
      // A value the terminal holds that is not one of the choices is shown as it is.
      if (sel.tagName === 'SELECT' && v !== undefined && ![...sel.options].some((o) => o.value === String(v)))
        sel.add(new Option(String(v), String(v)));
      sel.value = v === undefined ? '' : String(v);
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

// ---- the registry: names, groups, labels, a note ------------------------------
const lower = (v) => String(v).toLowerCase();
let findWords = [];            // the find box's words, lower case

// What the find box looks in: the ID, name, group and labels as k=v.
function findText(t) {
  let s = lower(t.id) + '\n' + lower(t.name || '') + '\n' + lower(t.group || '');
  if (t.labels) for (const k of Object.keys(t.labels)) s += '\n' + lower(k) + '=' + lower(t.labels[k]);
  return s;
}

// Every word must match: key=value a label exactly, any other word part of
// the ID, name or group, or a label's key or value.
function findMatches(t, words) {
  if (!words.length) return true;
  const labels = t.labels || {};
  const lk = Object.keys(labels);
  for (const w of words) {
    const eq = w.indexOf('=');
    if (eq > 0) {
      const k = w.slice(0, eq), v = w.slice(eq + 1);
      if (!lk.some((x) => lower(x) === k && lower(labels[x]) === v)) return false;
    } else if (!findText(t).includes(w)) {
      return false;
    }
  }
  return true;
}

// The name cell: the name, or for an ID seen but not registered an
// "accept" button (registering it with nothing set).
function paintName(td, t) {
  if (t.registered === false) {
    if (!td.firstElementChild) {
      td.textContent = '';
      const b = document.createElement('button');
      b.type = 'button'; b.className = 'accept'; b.textContent = 'accept';
      b.title = 'register this terminal';
      td.appendChild(b);
    }
  } else {
    setText(td, t.name || '');
  }
}

// "k=v" pieces, one a line or comma separated, into an object; an error
// text for a piece that is not key=value or a key given twice.
function parseLabels(text) {
  const labels = {};
  for (const raw of text.split(/[\n,]/)) {
    const piece = raw.trim();
    if (!piece) continue;
    const eq = piece.indexOf('=');
    if (eq <= 0) return { error: 'labels: "' + piece + '" is not key=value' };
    const k = piece.slice(0, eq).trim(), v = piece.slice(eq + 1).trim();
    if (Object.prototype.hasOwnProperty.call(labels, k)) return { error: 'labels: "' + k + '" is given twice' };
    labels[k] = v;
  }
  return { labels };
}

function labelsText(labels) {
  return Object.keys(labels || {}).map((k) => k + '=' + labels[k]).join('\n');
}

function metaResult(text, ok) {
  const el = $('p-meta-result');
  el.textContent = text;
  el.className = 'result ' + (ok ? 'ok' : 'err');
}

function apiError(r) {
  return r.status + ' ' + (r.json && typeof r.json.error === 'string' ? r.json.error : JSON.stringify(r.json));
}

// Fields of the registry form the operator typed in since the panel asked
// for the entry: the answer, when it comes later, leaves them as typed.
const META_FIELDS = ['p-name', 'p-group', 'p-labels', 'p-note'];
const metaTyped = new Set();

async function loadMeta(id) {
  metaTyped.clear();
  const r = await api('/api/terminals/' + enc(id) + '/meta');
  if (id !== selected) return;
  const m = r.ok && r.json ? r.json : {};
  const put = (field, value) => { if (!metaTyped.has(field)) $(field).value = value; };
  put('p-name', m.name || '');
  put('p-group', m.group || '');
  put('p-labels', labelsText(m.labels));
  put('p-note', m.note || '');
  $('p-meta-state').textContent = r.ok ? 'registered' : 'not registered';
  $('p-meta-result').textContent = '';
}

async function saveMeta(ev) {
  ev.preventDefault();
  const id = selected, parsed = parseLabels($('p-labels').value);
  if (parsed.error) { metaResult(parsed.error, false); return; }
  const meta = { name: $('p-name').value.trim(), group: $('p-group').value.trim(), labels: parsed.labels,
    note: $('p-note').value };
  const r = await api('/api/terminals/' + enc(id) + '/meta', meta, 'PUT');
  if (id !== selected) return;
  if (!r.ok) { metaResult('save: ' + apiError(r), false); return; }
  metaResult('saved', true);
  $('p-meta-state').textContent = 'registered';
  upsert({ id, name: meta.name, group: meta.group, labels: meta.labels, registered: true });
}

async function removeMeta() {
  const id = selected;
  const r = await api('/api/terminals/' + enc(id) + '/meta', undefined, 'DELETE');
  if (id !== selected) return;
  if (!r.ok) { metaResult('remove: ' + apiError(r), false); return; }
  metaResult('removed from the registry', true);
  $('p-meta-state').textContent = 'not registered';
  upsert({ id, name: '', group: '', labels: {}, registered: false });
}

async function acceptTerminal(id, button) {
  button.disabled = true;
  const r = await api('/api/terminals/' + enc(id) + '/meta', { name: '', group: '', labels: {}, note: '' }, 'PUT');
  button.disabled = false;
  if (!r.ok) { button.title = 'accept: ' + apiError(r); button.classList.add('failed'); return; }
  upsert({ id, registered: true });
  if (id === selected) loadMeta(id);
}

// ---- a terminal's history: its records, newest first, paged back ------------
const HISTORY_PAGE = 50;
const RANGES = { day: { ms: 86400000, bucket: 900 }, week: { ms: 7 * 86400000, bucket: 7200 } };
let hist = null;               // { id, from, to, cursor } of the list shown

function historyQuery(h, extra) {
  return '/api/terminals/' + enc(h.id) + '/history?from=' + h.from + '&to=' + h.to + extra;
}

// Printable text only (no control characters), else nothing.
const printable = (t) => typeof t === 'string' && t !== '' && !/[\u0000-\u001f\u007f-\u009f]/.test(t);

function historyRow(body, e) {
  const tr = body.insertRow();
  const down = e.event.startsWith('downlink_');
  tr.className = down ? 'down' : 'up';
  tr.insertCell().textContent = clock(e.time);
  tr.insertCell().textContent = down ? '↓ down' : '↑ up';
  tr.insertCell().textContent = e.event;
  const bytes = tr.insertCell();
  if (e.data !== undefined) {
    const hex = document.createElement('code');
    hex.textContent = e.data;
    bytes.appendChild(hex);
    // Text too when it reads as such; NULs padding its end do not count.
    const text = typeof e.text === 'string' ? e.text.replace(/\u0000+$/, '') : '';
    if (printable(text)) {
      const txt = document.createElement('div');
      txt.className = 'text';
      txt.textContent = JSON.stringify(text);
      bytes.appendChild(txt);
    }
  } else {
    bytes.textContent = [e.length !== undefined ? e.length + ' B' : '', e.reason || '', e.peer || ''].filter(Boolean).join(' ');
  }
}

async function loadHistory(more) {
  const h = hist;
  if (!h) return;
  const state = $('p-history-state'), older = $('p-older');
  older.disabled = true;
  state.textContent = 'reading…';
  const r = await api(historyQuery(h, '&order=desc&limit=' + HISTORY_PAGE + (more ? '&cursor=' + h.cursor : '')));
  if (h !== hist) return;
  const body = $('p-history').tBodies[0];
  if (!more) body.textContent = '';
  if (!r.ok) { state.textContent = apiError(r); return; }
  for (const e of r.json.records) historyRow(body, e);
  h.cursor = r.json.next_cursor;
  older.disabled = !h.cursor;
  state.textContent = body.rows.length + ' records' + (h.cursor ? '' : ', no older ones in range') +
    (r.json.truncated_by_retention ? ' (older ones deleted by retention)' : '');
}

// The CSV of the same range.  With a token the link cannot carry the
// header, so the file is fetched with it and saved from a blob.
async function downloadCsv(ev) {
  if (!token || !hist) return;
  ev.preventDefault();
  const res = await fetch(ev.currentTarget.href, { headers: { Authorization: 'Bearer ' + token } });
  if (!res.ok) { $('p-history-state').textContent = 'CSV: ' + res.status; return; }
  const url = URL.createObjectURL(await res.blob());
  const a = document.createElement('a');
  a.href = url;
  a.download = ev.currentTarget.getAttribute('download');
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

function openHistory(id) {
  const range = RANGES[$('p-range').value];
  const to = Date.now() + serverOffset;
  hist = { id, from: to - range.ms, to, cursor: null };
  const csv = $('p-csv');
  csv.href = historyQuery(hist, '&format=csv&limit=100000000');
  csv.setAttribute('download', 'history-' + id.replace(/[^A-Za-z0-9_-]/g, '_') + '.csv');
  loadHistory(false);
}

// ---- charts: plain SVG, drawn here -----------------------------------------
const SVG = 'http://www.w3.org/2000/svg';
const CHART_W = 400, CHART_H = 110, PAD_L = 34, PAD_B = 18, PAD_T = 6;

function svgEl(name, attrs, parent) {
  const el = document.createElementNS(SVG, name);
  for (const k of Object.keys(attrs)) el.setAttribute(k, attrs[k]);
  if (parent) parent.appendChild(el);
  return el;
}

function svgTitle(el, text) { svgEl('title', {}, el).textContent = text; }

// Axis labels: the day's clock for a day, weekday and day for longer.
function tickText(ms, span) {
  const d = new Date(ms);
  if (span <= 2 * 86400000) return two(d.getHours()) + ':' + two(d.getMinutes());
  return d.toLocaleDateString(undefined, { weekday: 'short' }) + ' ' + d.getDate();
}

// A chart of buckets over [from, to]: `bars` series side by side in each
// bucket, `step` series as an outline, `bands` as spans along the time axis.
// Each series is a <g> with its <title> and total; each mark has a title
// with its time and number, so the figures are there as text too.
function drawChart(box, chart) {
  const { from, to, step } = chart;
  const w = CHART_W - PAD_L, h = CHART_H - PAD_B - PAD_T, span = Math.max(1, to - from);
  const x = (ms) => PAD_L + Math.max(0, Math.min(1, (ms - from) / span)) * w;
  const svg = svgEl('svg', { viewBox: '0 0 ' + CHART_W + ' ' + CHART_H, role: 'img', class: 'chart-svg' });
  svgTitle(svg, chart.title);
  let max = 1;
  for (const s of chart.series) for (const p of s.points) max = Math.max(max, p.v);
  const y = (v) => PAD_T + h - (v / max) * h;
  const axis = svgEl('g', { class: 'axis' }, svg);
  svgEl('line', { x1: PAD_L, y1: PAD_T + h, x2: CHART_W, y2: PAD_T + h }, axis);
  if (chart.series.length) {
    svgEl('text', { x: PAD_L - 4, y: PAD_T + 8, 'text-anchor': 'end' }, axis).textContent = String(max);
    svgEl('text', { x: PAD_L - 4, y: PAD_T + h, 'text-anchor': 'end' }, axis).textContent = '0';
  }
  for (let i = 0; i <= 4; i++) {
    const t = from + (span * i) / 4;
    const label = svgEl('text', { x: x(t), y: CHART_H - 4, 'text-anchor': i === 0 ? 'start' : i === 4 ? 'end' : 'middle' }, axis);
    label.textContent = tickText(t, span);
  }
  const bars = chart.series.filter((s) => s.kind === 'bars');
  chart.series.forEach((s) => {
    const g = svgEl('g', { class: 'series ' + s.cls, 'data-series': s.cls, 'data-total': s.total }, svg);
    svgTitle(g, s.title);
    const k = bars.indexOf(s);
    if (s.kind === 'bars') {
      for (const p of s.points) {
        if (!p.v) continue;
        const x0 = x(p.t), bw = Math.max(1, (x(p.t + step) - x0) / bars.length - 0.5);
        const r = svgEl('rect', { x: x0 + k * bw, y: y(p.v), width: bw, height: PAD_T + h - y(p.v), 'data-t': p.t, 'data-v': p.v }, g);
        svgTitle(r, clock(new Date(p.t).toISOString()) + ' ' + s.name + ' ' + p.v);
      }
    } else {
      let d = '';
      for (const p of s.points) d += (d ? 'L' : 'M') + x(p.t).toFixed(1) + ' ' + y(p.v).toFixed(1) + 'L' + x(p.t + step).toFixed(1) + ' ' + y(p.v).toFixed(1);
      if (d) svgEl('path', { d }, g);
      for (const p of s.points) {
        const r = svgEl('rect', { x: x(p.t), y: PAD_T, width: Math.max(1, x(p.t + step) - x(p.t)), height: h, class: 'hit', 'data-t': p.t, 'data-v': p.v }, g);
        svgTitle(r, clock(new Date(p.t).toISOString()) + ' ' + s.name + ' ' + p.v);
      }
    }
  });
  if (chart.bands) {
    const g = svgEl('g', { class: 'series bands', 'data-series': 'online', 'data-total': chart.bands.length }, svg);
    svgTitle(g, chart.bandsTitle);
    for (const b of chart.bands) {
      const r = svgEl('rect', { x: x(b.from), y: PAD_T + h / 4, width: Math.max(1, x(b.to) - x(b.from)), height: h / 2, 'data-from': b.from, 'data-to': b.to }, g);
      svgTitle(r, 'on line ' + clock(new Date(b.from).toISOString()) + ' – ' + (b.open ? 'now' : clock(new Date(b.to).toISOString())));
    }
  }
  box.replaceChildren(svg);
}

// ---- the terminal's charts and the fleet's, kept live -------------------------
let pSum = null, fSum = null;  // the summaries shown: { data, id, range }
let pDrawQueued = false, fDrawQueued = false, pDrawnAt = 0, fDrawnAt = 0;

async function fetchSummary(rangeName, id) {
  const range = RANGES[rangeName];
  const to = Date.now() + serverOffset;
  const r = await api('/api/history/summary?from=' + Math.round(to - range.ms) + '&to=' + Math.round(to) +
    '&bucket=' + range.bucket + (id ? '&id=' + enc(id) : ''));
  return r;
}

// At most one redraw a second per chart, however fast the events come.
function queueDraw(which) {
  if (which === 'p') {
    if (pDrawQueued) return;
    pDrawQueued = true;
    setTimeout(() => { pDrawQueued = false; pDrawnAt = Date.now(); drawTerminalCharts(); }, Math.max(0, 1000 - (Date.now() - pDrawnAt)));
  } else {
    if (fDrawQueued) return;
    fDrawQueued = true;
    setTimeout(() => { fDrawQueued = false; fDrawnAt = Date.now(); drawFleetChart(); }, Math.max(0, 1000 - (Date.now() - fDrawnAt)));
  }
}

function sumOf(points) { return points.reduce((a, p) => a + p.v, 0); }

function drawTerminalCharts() {
  if (!pSum || pSum.id !== selected) return;
  const d = pSum.data, step = d.bucket_s * 1000, to = d.to;
  const up = d.buckets.map((b) => ({ t: b.t, v: b.up })), down = d.buckets.map((b) => ({ t: b.t, v: b.down }));
  const nUp = sumOf(up), nDown = sumOf(down);
  drawChart($('p-rate-chart'), { from: d.from, to, step, title: 'frames of ' + pSum.id + ' per ' + (d.bucket_s / 60) + ' min',
    series: [{ name: 'up', cls: 'up', kind: 'bars', points: up, total: nUp, title: 'up: ' + nUp + ' frames' },
      { name: 'down', cls: 'down', kind: 'bars', points: down, total: nDown, title: 'down: ' + nDown + ' frames' }] });
  const periods = (d.periods || []).map((p) => ({ from: p.from, to: p.to === null ? to : p.to, open: p.to === null }));
  let onMs = 0;
  for (const p of periods) onMs += Math.max(0, Math.min(p.to, to) - Math.max(p.from, d.from));
  drawChart($('p-online-chart'), { from: d.from, to, step, title: 'on-line periods of ' + pSum.id, series: [],
    bands: periods, bandsTitle: 'on line: ' + periods.length + ' periods' });
  $('p-chart-sum').textContent = 'up ' + nUp + ' frames, down ' + nDown + ' frames; on line ' + periods.length +
    ' periods, ' + Math.round(onMs / 60000) + ' min' + (d.truncated_by_retention ? ' (older records deleted by retention)' : '');
}

function drawFleetChart() {
  if (!fSum || !$('fleet-history').open) return;
  const d = fSum.data, step = d.bucket_s * 1000;
  const on = d.buckets.map((b) => ({ t: b.t, v: b.online }));
  const peak = on.reduce((a, p) => Math.max(a, p.v), 0), now = on.length ? on[on.length - 1].v : 0;
  drawChart($('fc-chart'), { from: d.from, to: d.to, step, title: 'terminals on line per ' + (d.bucket_s / 60) + ' min',
    series: [{ name: 'on line', cls: 'online', kind: 'step', points: on, total: peak, title: 'on line: at most ' + peak }] });
  $('fc-sum').textContent = 'on line: ' + now + ' in the latest ' + (d.bucket_s / 60) + ' min, at most ' + peak +
    (d.truncated_by_retention ? ' (older records deleted by retention)' : '');
}

async function loadTerminalCharts(id) {
  const rangeName = $('p-range').value;
  const r = await fetchSummary(rangeName, id);
  if (id !== selected || rangeName !== $('p-range').value) return;
  if (!r.ok) { pSum = null; $('p-chart-sum').textContent = 'charts: ' + apiError(r); return; }
  pSum = { data: r.json, id, range: rangeName };
  queueDraw('p');
}

async function loadFleetChart() {
  const rangeName = $('fc-range').value;
  const r = await fetchSummary(rangeName, '');
  if (rangeName !== $('fc-range').value) return;
  if (!r.ok) { fSum = null; $('fc-sum').textContent = 'chart: ' + apiError(r); return; }
  fSum = { data: r.json, range: rangeName };
  queueDraw('f');
}

// The bucket of `d` a time falls in, a new one added when time has moved
// past the last; null before the first.
function bucketAt(d, ms) {
  const step = d.bucket_s * 1000;
  if (!d.buckets.length || ms < d.buckets[0].t) return null;
  while (ms >= d.buckets[d.buckets.length - 1].t + step) {
    d.buckets.push({ t: d.buckets[d.buckets.length - 1].t + step, up: 0, down: 0, online: 0 });
    if (d.buckets.length > 2000) d.buckets.shift();
  }
  d.to = Math.max(d.to, ms);
  return d.buckets[Math.floor((ms - d.buckets[0].t) / step)];
}

// Live events between fetches: a frame counts in the terminal's latest
// bucket, logon and off-line events open and close its period.
function chartLive(e) {
  if (!pSum || e.id !== pSum.id) return;
  const d = pSum.data, ms = Date.parse(e.time);
  if (e.event === 'data' || e.event === 'downlink_sent') {
    const b = bucketAt(d, ms);
    if (b) b[e.event === 'data' ? 'up' : 'down']++;
  } else if (e.event === 'logon') {
    d.periods = d.periods || [];
    const last = d.periods[d.periods.length - 1];
    if (!last || last.to !== null) d.periods.push({ from: ms, to: null });
  } else if (e.event === 'logout' || e.event === 'idle' || e.event === 'closed') {
    const last = (d.periods || [])[d.periods.length - 1];
    if (last && last.to === null) last.to = ms;
  } else {
    return;
  }
  queueDraw('p');
}

// The fleet's count on line now, into the latest bucket.
function fleetOnline(on) {
  if (!fSum) return;
  const b = bucketAt(fSum.data, Date.now() + serverOffset);
  if (b && on > b.online) { b.online = on; queueDraw('f'); }
}

function openMemory(id) {
  pSum = null;
  $('p-rate-chart').textContent = '';
  $('p-online-chart').textContent = '';
  $('p-chart-sum').textContent = '';
  loadMeta(id);
  openHistory(id);
  loadTerminalCharts(id);
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
    const accept = e.target.closest('button.accept');
    if (tr && accept) { acceptTerminal(tr.dataset.id, accept); return; }
    if (tr) select(tr.dataset.id);
  });
  $('f-id').addEventListener('input', () => {
    findWords = lower($('f-id').value).split(/\s+/).filter(Boolean);
    orderDirty = true; schedule();
  });
  $('f-unreg').addEventListener('change', () => { orderDirty = true; schedule(); });
  $('p-meta').addEventListener('submit', saveMeta);
  for (const f of META_FIELDS) $(f).addEventListener('input', () => metaTyped.add(f));
  $('p-unregister').addEventListener('click', removeMeta);
  $('p-older').addEventListener('click', () => loadHistory(true));
  $('p-csv').addEventListener('click', downloadCsv);
  $('p-range').addEventListener('change', () => { if (selected) { openHistory(selected); loadTerminalCharts(selected); } });
  $('fc-range').addEventListener('change', loadFleetChart);
  $('fleet-history').addEventListener('toggle', () => { if ($('fleet-history').open) loadFleetChart(); });
  // The charts' figures read again now and then; live events fill in between.
  setInterval(() => { if (selected) loadTerminalCharts(selected); }, 60000);
  setInterval(() => { if ($('fleet-history').open) loadFleetChart(); }, 60000);
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
    loadFleetChart();
  });
}

init();
