// The web console with a simulated fleet of 50: the table fills, a text sent
// from the panel reaches the terminal, a parameter edit round-trips, a killed
// terminal turns idle; a screenshot of the page at the end.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { createSocket } from 'node:dgram';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
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
let context;
try {
  const udp = await freeUdpPort();
  const centre = run(centreBin, ['--port', String(udp), '--http', '127.0.0.1:0', '--idle-timeout', '3', '--quiet']);
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
  await tag(7).fill('70000');
  await page.click('#p-params button[type=submit]');
  await page.waitForTimeout(300);
  const refused = await page.textContent('#p-result');
  check(/^read: /.test(refused) && (await tag(7).evaluate((i) => !i.validity.valid)), 'an out-of-range value is not sent: ' + refused);
  await tag(7).fill('42');

  // A killed terminal turns idle.
  lone.kill('SIGKILL');
  check(await until(async () => (await loneRow.getAttribute('class') || '').includes('idle'), 'idle mark', 12000),
    'the killed terminal is marked idle');
  check((await loneRow.locator('td').nth(1).textContent()) === 'idle', 'its state reads idle');
  await page.selectOption('#l-type', 'idle');
  check(await until(async () => (await page.locator('#log-lines div').count()) === 1, 'idle line'),
    'the log filter shows its idle event alone');
  check(((await page.textContent('#log-lines')) || '').includes(loneId), 'the idle event names it');
  await page.selectOption('#l-type', '');

  // Filters of the table.
  await page.selectOption('#f-state', 'idle');
  check(await until(async () => (await rows.count()) === 1, 'state filter'), 'the state filter shows the idle one');
  await page.selectOption('#f-state', 'all');
  await page.fill('#f-id', '1390000000');
  check(await until(async () => (await rows.count()) === 9, 'ID filter'), 'the ID filter');
  await page.fill('#f-id', '');
  await page.click('#fleet-table th[data-sort="id"]');
  check(await until(async () => (await rows.first().getAttribute('data-id')) === loneId, 'sorted'), 'sorting by ID descending');
  await page.click('#fleet-table th[data-sort="id"]');

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
}
console.log(failed ? `${failed} failures` : 'all browser checks passed');
process.exit(failed ? 1 : 0);
