// The page with a big fleet (a figure, not a test): how long the main thread
// is busy while 500 terminals send once a second and the table and the log
// stay live, first with no chart, then with the fleet's chart and a
// terminal's panel open, its charts redrawn as its frames come.  usage: node page_bench.mjs DTUCENTRE DTUSIM [TERMINALS] [SECONDS]
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { createSocket } from 'node:dgram';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const [centreBin, simBin, nArg, sArg] = process.argv.slice(2);
const n = Number(nArg || 500), seconds = Number(sArg || 10);
const procs = [];
const port = await new Promise((resolve) => {
  const s = createSocket('udp4');
  s.bind(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
});
const run = (bin, args) => {
  const p = spawn(bin, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  p.out = '';
  p.stderr.on('data', (d) => { p.out += d; });
  p.stdout.on('data', () => {});
  procs.push(p);
  return p;
};
const stateDir = mkdtempSync(join(tmpdir(), 'dtu-state-'));
const centre = run(centreBin, ['--port', String(port), '--http', '127.0.0.1:0', '--state-dir', stateDir, '--quiet',
  ...(process.env.HTTP_ROOT ? ['--http-root', process.env.HTTP_ROOT] : [])]);  // HTTP_ROOT: another page to compare
while (!/http:\/\/[\d.:]+\//.test(centre.out)) await new Promise((r) => setTimeout(r, 50));
run(simBin, ['--centre', `127.0.0.1:${port}`, '-n', String(n), '--rate', '1', '--duration', String(2 * seconds + 40)]);
const profile = mkdtempSync(join(tmpdir(), 'dtu-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, bypassCSP: true, viewport: { width: 1440, height: 900 },
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', '--no-first-run'],
});
try {
  const page = context.pages()[0] || await context.newPage();
  await page.goto(centre.out.match(/http:\/\/[\d.:]+\//)[0]);
  await page.waitForFunction((k) => document.querySelectorAll('#fleet-body tr').length === k, n, { timeout: 30000 });
  const measure = (ms) => page.evaluate((ms) => new Promise((resolve) => {
    const tasks = [];
    new PerformanceObserver((l) => { for (const e of l.getEntries()) tasks.push(e.duration); })
      .observe({ type: 'longtask', buffered: false });
    const frames = [];
    let last = performance.now();
    const tick = (t) => { frames.push(t - last); last = t; if (t < start + ms) requestAnimationFrame(tick); };
    const start = performance.now();
    requestAnimationFrame(tick);
    setTimeout(() => {
      frames.sort((a, b) => a - b);
      resolve({ frames: frames.length, p99: frames[Math.floor(frames.length * 0.99)], max: frames[frames.length - 1],
        longTasks: tasks.length, longest: tasks.length ? Math.max(...tasks) : 0,
        logLines: document.querySelectorAll('#log-lines div').length });
    }, ms + 200);
  }), ms);
  const report = (what, r) => console.log(`page with ${n} terminals sending 1 frame/s, ${what}, ${seconds} s: ` +
    `${r.frames} animation frames (${(r.frames / seconds).toFixed(0)}/s), frame interval p99 ${r.p99.toFixed(1)} ms, ` +
    `max ${r.max.toFixed(1)} ms; ${r.longTasks} long tasks (>50 ms), longest ${r.longest.toFixed(0)} ms`);
  const charts = await page.evaluate(() => !!document.getElementById('fleet-history'));
  if (charts) await page.evaluate(() => { document.getElementById('fleet-history').open = false; });
  report('no chart', await measure(seconds * 1000));
  if (charts) {
    await page.evaluate(() => { document.getElementById('fleet-history').open = true; });
    await page.click('#fleet-body tr');  // a panel: its charts drawn, then redrawn as its frames come
    await page.waitForSelector('#p-rate-chart svg', { timeout: 10000 });
    await page.waitForSelector('#fc-chart svg', { timeout: 10000 });
    report('fleet chart and a terminal\'s charts open', await measure(seconds * 1000));
  }
} finally {
  await context.close();
  for (const p of procs) p.kill('SIGTERM');
  rmSync(profile, { recursive: true, force: true });
  rmSync(stateDir, { recursive: true, force: true });
}
