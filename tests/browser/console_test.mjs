// The web console with a simulated fleet of 50: the table fills, a text sent
// from the panel reaches the terminal, a parameter edit round-trips, a killed
// terminal turns idle; a terminal named, grouped and found, its history paged
// and downloaded, its chart showing the frames it sent; the parameter form in
// the deployment's names, units, ranges and choices (the sample file's example
// enabled, plus a tag whose texts are hostile); a screenshot at the end.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createSocket } from 'node:dgram';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const [centreBin, simBin] = process.argv.slice(2);
const screenshot = process.env.SCREENSHOT || join(tmpdir(), 'dtucentre-web-console.png');
const procs = [];
let failed = 0;
const check = (ok, what) => { if (!ok) { failed++; console.log('FAIL: ' + what); } else console.log('ok: ' + what); };

function freeUdpPort() {
  return new Promise((resolve) => {
    const s = createSocket('udp4');
    s.bind(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
  });
}

function run(bin, args) {
  const p = spawn(bin, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  p.out = '';
  p.stdout.on('data', (d) => { p.out += d; });
  p.stderr.on('data', (d) => { p.out += d; });
  procs.push(p);
  return p;
}

async function until(fn, what, ms = 15000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await fn()) return true;
    await new Promise((r) => setTimeout(r, 100));
  }
  check(false, 'timed out: ' + what);
  return false;
}

const profile = mkdtempSync(join(tmpdir(), 'dtu-chromium-'));
const stateDir = mkdtempSync(join(tmpdir(), 'dtu-state-'));
// The sample parameter names with its example enabled, and one tag whose help
// and choice label are markup: the page must show them as text.
const sample = readFileSync(join(dirname(fileURLToPath(import.meta.url)), '../../packaging/params.toml'), 'utf8');
const [sampleHead, sampleExample] = sample.split(/^# An example.*$/m);
// (The page's policy would stop an inline handler anyway; the checks look for the element.)
const hostile = '<img src=x onerror=pwned=1>';
const paramNames = join(stateDir, 'params.toml');
writeFileSync(paramNames, sampleHead + sampleExample.replace(/^# /gm, '') +
  `\n[tag.8]\nname = "valve"\nchoices = { 8 = "${hostile}", 9 = "nine" }\nhelp = "${hostile}"\n`);
let context;
try {
  const udp = await freeUdpPort();
  const centre = run(centreBin, ['--port', String(udp), '--http', '127.0.0.1:0', '--idle-timeout', '3',
    '--state-dir', stateDir, '--param-names', paramNames, '--quiet']);
  await until(() => /http:\/\/127\.0\.0\.1:\d+\//.test(centre.out), 'the centre starts');
  const url = centre.out.match(/http:\/\/127\.0\.0\.1:\d+\//)[0];
  const sim = ['--centre', `127.0.0.1:${udp}`, '--duration', '150', '--rate', '1'];
  run(simBin, [...sim, '-n', '49']);
  const lone = run(simBin, [...sim, '-n', '1', '--prefix', '777', '--show-downlink']);
  const loneId = '77700000001';

  context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1440, height: 900 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run'],
  });
  const page = context.pages()[0] || await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  await page.goto(url);

  const rows = page.locator('#fleet-body tr');
  check(await until(async () => (await rows.count()) === 50, 'fifty terminals listed'), 'the page lists the fleet of 50');
  check(await until(async () => (await page.locator('#fleet-body tr[data-state="online"]').count()) === 50, 'all on line'),
    'all fifty shown on line');
  check(await until(async () => (await page.locator('#log-lines div').count()) > 10, 'event lines'), 'the event log fills');

  // One more terminal that sends a known number of frames, then falls silent.
  const counted = '55500000001', countedFrames = 60;
  run(simBin, ['--centre', `127.0.0.1:${udp}`, '-n', '1', '--prefix', '555', '--count', String(countedFrames), '--rate', '20']);
  const getJson = async (path) => (await fetch(url + path.replace(/^\//, ''))).json();

  // A text from the panel reaches the terminal.
  const loneRow = page.locator(`#fleet-body tr[data-id="${loneId}"]`);
  await loneRow.click();
  check(await page.locator('#panel').isVisible(), 'the panel opens');
  await page.fill('#p-send-data', 'hello from the web console');
  await page.click('#p-send button[type=submit]');
  await until(async () => /"state":"sent"/.test(await page.textContent('#p-result')), 'send answered');
  check(await until(() => lone.out.includes('hello from the web console'), 'downlink printed'),
    'the text reaches the terminal');

  // A parameter edit round-trips: read, change tag 7 and tag 18, write, read again.
  await page.click('#p-read');
  await until(async () => /^read: /.test(await page.textContent('#p-result')), 'parameters read');
  const tag = (t) => page.locator(`#p-params-table tr[data-tag="${t}"] input`);
  check((await tag(6).inputValue()) === loneId, 'the form shows the values read');
  const row = (t) => page.locator(`#p-params-table tr[data-tag="${t}"]`);
  const named = [];
  for (const t of [2, 7, 11, 8]) named.push(await row(t).locator('td').nth(1).textContent());
  check(JSON.stringify(named) === '["apn","report_interval","heartbeat","valve"]', 'the deployment\'s names: ' + named);
  check((await tag(7).getAttribute('min')) === '10' && (await tag(7).getAttribute('max')) === '3600'
    && (await row(7).locator('.unit').textContent()) === ' s', 'report_interval: its range and unit from the file');
  const choice = (t) => row(t).locator('select');
  check((await choice(11).count()) === 1 && (await choice(11).inputValue()) === '1'
    && JSON.stringify(await choice(11).locator('option').allTextContents()) === '["","0 – off","1 – on"]',
  'heartbeat: a choice of off and on, showing the value read');
  check((await choice(8).count()) === 1 && (await choice(8).locator('option').nth(1).textContent()) === '8 – ' + hostile
    && (await row(8).locator('td').nth(1).getAttribute('title')).endsWith('\n' + hostile)
    && !(await page.locator('#p-params-table img').count()), 'a hostile choice label and help show as text');
  await tag(7).fill('42');
  const n5 = ['4321', '6', '2', '1', '4'];
  for (let i = 0; i < 5; i++) await tag(18).nth(i).fill(n5[i]);
  check((await tag(18).count()) === 5 && (await tag(18).first().getAttribute('max')) === '16777215',
    'tag 18 as five numbers with their ranges');
  await page.click('#p-params button[type=submit]');
  check(await until(async () => /"ok":true/.test(await page.textContent('#p-result')), 'write answered'),
    'the terminal confirms the write');
  await tag(7).fill('');
  await page.click('#p-read');
  await until(async () => /^read: /.test(await page.textContent('#p-result')), 'read again');
  check((await tag(7).inputValue()) === '42' && (await tag(18).nth(0).inputValue()) === '4321'
    && (await tag(18).nth(4).inputValue()) === '4', 'the new values come back from the terminal');

  // A value out of range is refused in the form, nothing sent.
  for (const v of ['70000', '5']) {
    await tag(7).fill(v);
    await page.click('#p-params button[type=submit]');
    await page.waitForTimeout(300);
    const refused = await page.textContent('#p-result');
    check(/^read: /.test(refused) && (await tag(7).evaluate((i) => !i.validity.valid)), `out of range, ${v} is not sent: ` + refused);
  }
  await tag(7).fill('42');

  // A killed terminal turns idle.
  lone.kill('SIGKILL');
  check(await until(async () => (await loneRow.getAttribute('class') || '').includes('idle'), 'idle mark', 12000),
    'the killed terminal is marked idle');
  check((await loneRow.locator('td').nth(1).textContent()) === 'idle', 'its state reads idle');
  // (The counted terminal below falls silent too, and turns idle as well when
  // its time comes: the filters must show every idle one and nothing else.)
  const lines = page.locator('#log-lines div');
  await page.selectOption('#l-type', 'idle');
  check(await until(async () => {
    const n = await lines.count();
    return n >= 1 && n === await page.locator('#log-lines div.ev-idle').count();
  }, 'idle lines'), 'the log filter shows idle events alone');
  check(((await page.textContent('#log-lines')) || '').includes(loneId), 'the idle event names it');
  await page.selectOption('#l-type', '');
  check(await until(async () => (await lines.count()) > await page.locator('#log-lines div.ev-idle').count(), 'all lines'),
    'without the filter the other events are back');

  // Filters of the table.
  const idleRows = async () => page.locator('#fleet-body tr.idle').count();
  const idleBefore = await idleRows();
  await page.selectOption('#f-state', 'idle');
  check(await until(async () => (await rows.count()) >= 1 && (await rows.count()) === await idleRows()
    && (await rows.count()) >= idleBefore && (await loneRow.count()) === 1, 'state filter'),
  'the state filter shows the idle ones alone');
  await page.selectOption('#f-state', 'all');
  await page.fill('#f-id', '1390000000');
  check(await until(async () => (await rows.count()) === 9, 'ID filter'), 'the ID filter');
  await page.fill('#f-id', '');
  await page.click('#fleet-table th[data-sort="id"]');
  check(await until(async () => (await rows.first().getAttribute('data-id')) === loneId, 'sorted'), 'sorting by ID descending');
  await page.click('#fleet-table th[data-sort="id"]');

  // The page's own helpers: labels as typed, and what the find box matches.
  const labelCases = [
    ['site=north, floor=2', { labels: { site: 'north', floor: '2' } }],
    ['site=north\nfloor = 2\n\n', { labels: { site: 'north', floor: '2' } }],
    ['', { labels: {} }],
    ['a=b=c', { labels: { a: 'b=c' } }],
    ['site', { error: 'labels: "site" is not key=value' }],
    ['=x', { error: 'labels: "=x" is not key=value' }],
    ['a=1,a=2', { error: 'labels: "a" is given twice' }],
  ];
  for (const [text, want] of labelCases) {
    const got = await page.evaluate((t) => parseLabels(t), text);
    check(JSON.stringify(got) === JSON.stringify(want), 'labels ' + JSON.stringify(text) + ' -> ' + JSON.stringify(got));
  }
  const term = { id: '13900000007', name: 'Pump North', group: 'pumps', labels: { site: 'north' } };
  const findCases = [[[], true], [['pump'], true], [['0007'], true], [['pumps', 'site=north'], true],
    [['site=nor'], false], [['site=south'], false], [['north'], true], [['valve'], false], [['floor=2'], false]];
  for (const [words, want] of findCases) {
    const got = await page.evaluate(([t, w]) => findMatches(t, w), [term, words]);
    check(got === want, 'find ' + JSON.stringify(words) + ' -> ' + got);
  }

  // The counted terminal: all its frames are in before its panel opens.
  check(await until(async () => (await getJson(`/api/terminals/${counted}`)).in?.data === countedFrames, 'counted frames'),
    'the counted terminal sent its ' + countedFrames + ' frames');
  const countedRow = page.locator(`#fleet-body tr[data-id="${counted}"]`);
  // Its registry entry is asked for on opening; what the operator types
  // before the answer comes (held back here) stays as typed.
  const metaAnswer = (id) => page.waitForResponse((r) => r.url().endsWith(`/api/terminals/${id}/meta`));
  const metaPath = `**/api/terminals/${counted}/meta`;
  let release;
  const held = new Promise((r) => { release = r; });
  await page.route(metaPath, async (route) => {
    if (route.request().method() === 'GET') await held;
    await route.continue();
  });
  await countedRow.click();
  await page.fill('#p-name', 'typed early');
  const answered = metaAnswer(counted);
  release();
  await answered;
  await page.unroute(metaPath);
  check((await page.inputValue('#p-name')) === 'typed early', 'what was typed before the entry came stays');

  // Registry: name (hostile text stays text), group, labels; found by them.
  {
    const name = `Pump ${hostile} "7"`;
    await page.fill('#p-name', name);
    await page.fill('#p-group', 'pumps');
    await page.fill('#p-labels', 'nonsense');
    await page.click('#p-meta button[type=submit]');
    check(/not key=value/.test(await page.textContent('#p-meta-result')), 'labels that are not key=value are refused in the form');
    await page.fill('#p-labels', 'site=north\nfloor=2');
    await page.click('#p-meta button[type=submit]');
    check(await until(async () => (await page.textContent('#p-meta-result')) === 'saved', 'saved'), 'the registry entry is saved');
    // (The table takes the entry with its next refresh, a moment after the save.)
    check(await until(async () => (await countedRow.locator('td').nth(2).textContent()) === name, 'name in the table')
      && !(await countedRow.locator('img').count()), 'the name shows in the table as text');
    check((await countedRow.locator('td').nth(3).textContent()) === 'pumps', 'the group shows in the table');
    const meta = await getJson(`/api/terminals/${counted}/meta`);
    check(meta.name === name && meta.group === 'pumps' && meta.labels.site === 'north', 'the API has it: ' + JSON.stringify(meta));
    for (const [find, n] of [['pump', 1], ['PUMPS site=north', 1], ['site=south', 0], ['floor=2 5550', 1]]) {
      await page.fill('#f-id', find);
      check(await until(async () => (await rows.count()) === n && (n === 0 || (await rows.first().getAttribute('data-id')) === counted),
        'find ' + find), `the find box "${find}" shows ${n}`);
    }
    await page.fill('#f-id', '');
    await page.click('#fleet-table th[data-sort="name"]');
    await page.click('#fleet-table th[data-sort="name"]');
    check(await until(async () => (await rows.first().getAttribute('data-id')) === counted, 'by name'), 'sorting by name');
    await page.click('#fleet-table th[data-sort="id"]');
    // Not registered: every other one; accepting one takes it off that list.
    await page.check('#f-unreg');
    check(await until(async () => (await rows.count()) === 50, 'unregistered'), 'the not-registered filter');
    await loneRow.locator('button.accept').click();
    check(await until(async () => (await rows.count()) === 49, 'accepted'), 'accept registers it in one click');
    check((await fetch(url + `api/terminals/${loneId}/meta`)).status === 200, 'the accepted one is registered');
    await page.uncheck('#f-unreg');
    await countedRow.click();
  }

  // History: newest first, a page of 50, then the older ones, each once.  The
  // panel's range ends when it was opened (its CSV link says so); the
  // terminal may have gone idle since, a record the panel does not show.
  check(await until(async () => (await page.locator('#p-history tbody tr').count()) === 50, 'first page'), 'the history shows a page');
  const range = new URL(await page.getAttribute('#p-csv', 'href'), url).searchParams;
  const all = (await getJson(`/api/terminals/${counted}/history?from=${range.get('from')}&to=${range.get('to')}&limit=1000`)).records;
  await page.click('#p-older');
  check(await until(async () => (await page.locator('#p-history tbody tr').count()) === all.length, 'older'),
    `"older" pages back to all ${all.length} records`);
  const kinds = await page.locator('#p-history tbody tr td:nth-child(3)').allTextContents();
  check(kinds.filter((k) => k === 'data').length === countedFrames && kinds[kinds.length - 1] === all[0].event,
    'every data record once, the oldest last');
  const dataRow = page.locator('#p-history tbody tr', { hasText: 'data' }).first();
  const last = all.filter((e) => e.event === 'data').pop();
  check((await dataRow.locator('code').textContent()) === last.data && (await dataRow.locator('.text').textContent()) === JSON.stringify(last.text.replace(/\0+$/, ''))
    && (await dataRow.locator('td').nth(1).textContent()).includes('up'), 'a data row: up, its hex and its text');

  // The CSV of the same range.
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#p-csv')]);
  const csv = readFileSync(await download.path(), 'utf8').trim().split('\r\n');
  check(csv[0] === 'seq,time,event,id,peer,length,data,text,reason,name,group', 'the CSV has its header');
  check(csv.slice(1).filter((l) => l.split(',')[2] === 'data' && l.split(',')[3] === counted).length === countedFrames
    && csv.length - 1 === all.length, `the CSV has the ${all.length} records`);

  // Charts: the frames sent, counted in the SVG and in its text.
  {
    const up = page.locator('#p-rate-chart g[data-series="up"]');
    check(await until(async () => (await up.count()) === 1, 'rate chart'), 'the rate chart is drawn');
    const values = await up.locator('rect').evaluateAll((rs) => rs.map((r) => Number(r.dataset.v)));
    check(values.reduce((a, v) => a + v, 0) === countedFrames && (await up.getAttribute('data-total')) === String(countedFrames)
      && (await up.locator('title').first().textContent()) === `up: ${countedFrames} frames`, 'the chart counts the frames sent: ' + values);
    check((await page.textContent('#p-chart-sum')).startsWith(`up ${countedFrames} frames, down 0 frames`), 'its numbers in text too');
    check((await page.locator('#p-online-chart g[data-series="online"] rect').count()) >= 1, 'its on-line period is drawn');
    check((await page.locator('#p-rate-chart .axis text').count()) >= 5, 'the axis has its time labels');
    await loneRow.click();
    const down = page.locator('#p-rate-chart g[data-series="down"]');
    check(await until(async () => (await down.getAttribute('data-total').catch(() => null)) === '1', 'down'),
      'the downlink sent shows as one frame down');
    await page.selectOption('#fc-range', 'week');
    await page.selectOption('#fc-range', 'day');
    const fleet = page.locator('#fc-chart g[data-series="online"]');
    check(await until(async () => (await fleet.getAttribute('data-total').catch(() => null)) === '51', 'fleet chart'),
      'the fleet chart shows the 51 on line');
  }

  // The picture: the idle one first, the panel from its top.
  await page.click('#fleet-table th[data-sort="online"]');
  await page.evaluate(() => { document.getElementById('panel').scrollTop = 0; });
  await page.waitForTimeout(1200);
  await page.screenshot({ path: screenshot });
  console.log('screenshot: ' + screenshot);

  // A centre with a token: the page asks once, then the stream is live.
  const secured = run(centreBin, ['--port', String(await freeUdpPort()), '--http', '127.0.0.1:0',
    '--http-token', 'browser-test-token', '--quiet']);
  await until(() => /http:\/\/127\.0\.0\.1:\d+\//.test(secured.out), 'the second centre starts');
  const page2 = await context.newPage();
  page2.on('pageerror', (e) => errors.push(String(e)));
  await page2.goto(secured.out.match(/http:\/\/127\.0\.0\.1:\d+\//)[0]);
  await page2.waitForSelector('#token-dialog[open]', { timeout: 5000 });
  await page2.fill('#token-input', 'browser-test-token');
  await page2.click('#token-form button');
  check(await until(async () => (await page2.textContent('#conn')) === 'live', 'live with the token'),
    'with a token: the page asks for it, then goes live');
  await page2.reload();
  check(await until(async () => (await page2.textContent('#conn')) === 'live', 'live after reload')
    && !(await page2.locator('#token-dialog[open]').count()), 'the token is asked only once');
  check(errors.length === 0, 'no script errors: ' + errors.join('; '));
} catch (e) {
  failed++;
  console.log('FAIL: ' + (e && e.stack || e));
} finally {
  if (context) await context.close();
  for (const p of procs) if (p.exitCode === null) p.kill('SIGTERM');
  rmSync(profile, { recursive: true, force: true });
  rmSync(stateDir, { recursive: true, force: true });
}
console.log(failed ? `${failed} failures` : 'all browser checks passed');
process.exit(failed ? 1 : 0);
