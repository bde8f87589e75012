// A picture of the web console once it shows the fleet: waits until the
// table lists terminals (the page has its data from the API and its event
// stream), then saves the screenshot.  Fails if no terminal shows in time.
// usage: node screenshot.mjs URL FILE [WIDTHxHEIGHT]
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const [url, file, size = '1440x900'] = process.argv.slice(2);
if (!url || !file) {
  console.error('usage: node screenshot.mjs URL FILE [WIDTHxHEIGHT]');
  process.exit(2);
}
const [width, height] = size.split('x').map(Number);
const profile = mkdtempSync(join(tmpdir(), 'dtu-shot-'));
let context;
let code = 0;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    viewport: { width, height },
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
  });
  const page = context.pages()[0] || await context.newPage();
  await page.goto(url);
  await page.locator('#fleet-body tr').first().waitFor({ timeout: 15000 });
  await page.waitForTimeout(1000);  // a second of the event log
  await page.screenshot({ path: file });
  console.log(`${file}: ${await page.locator('#fleet-body tr').count()} terminals shown`);
} catch (e) {
  console.error(`no fleet shown at ${url}: ${e.message.split('\n')[0]}`);
  code = 1;
} finally {
  if (context) await context.close();
  rmSync(profile, { recursive: true, force: true });
}
process.exit(code);
