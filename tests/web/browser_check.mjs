// Drives the web control page from the LAN in Debian's headless Chromium:
//   node browser_check.mjs URL CAMERA_LOG SCREENSHOT
// Loads the page, waits for its figures to move, presses and releases
// zoom in, recalls a preset, goes home, fits a phone's screen, and closes a second page in the
// middle of a pan; after each release (and the close) the camera log must
// show the stop behind the drive. Every wait is bounded; a failure says
// what it waited for.
import { readFileSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const [url, cameraLog, screenshot] = process.argv.slice(2);
const WAIT_MS = 30000;

// Camera log lines: upper-case hex, an 8-byte tag first; the VISCA part.
function cameraMessages() {
  let text = '';
  try { text = readFileSync(cameraLog, 'utf8'); } catch { /* not yet written */ }
  return text.split('\n').filter(Boolean).map((l) => l.split(' ').slice(8).join(' '));
}

async function until(what, check) {
  const end = Date.now() + WAIT_MS;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error('waited 30 s for ' + what);
    await new Promise((r) => setTimeout(r, 100));
  }
}

// The index of the first message after from that matches pattern.
function indexAfter(from, pattern) {
  const m = cameraMessages();
  for (let i = from; i < m.length; i++) if (pattern.test(m[i])) return i + 1;
  return 0;
}

// The page's command list shows this command settled as expected.
async function commandState(page, name) {
  return page.evaluate((n) => [...document.querySelectorAll('#commands li')]
    .map((li) => li.textContent).find((t) => t.startsWith(n + ':')) || '', name);
}

const profile = mkdtempSync(join(tmpdir(), 'web-check-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
  viewport: { width: 1100, height: 1300 },
});
let failed = false;
try {
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(url);
  await until('the program to be shown running', async () =>
    (await page.textContent('#program')) === 'program running');

  // The figures move: new status lines arrive and pictures are being sent.
  const first = await page.evaluate(() => lastTime);
  await until('a newer status line', async () => (await page.evaluate(() => lastTime)) > first);
  await until('pictures a second on the full stream', async () => parseFloat(await page.textContent('#full_fps')) > 0);
  await until('three points in the plots', async () => (await page.evaluate(() => series.time.length)) >= 3);
  const fps = await page.textContent('#full_fps');
  const mbps = await page.textContent('#full_mbps');
  console.log(`page: full stream ${fps} pictures/s, ${mbps} Mbit/s, signal ${await page.textContent('#signal')}`);

  // Zoom in, held for a moment: the drive, then the stop, both answered.
  const before = cameraMessages().length;
  await page.hover('#zoom_in');
  await page.mouse.down();
  await until('the zoom drive at the camera', () => indexAfter(before, /^82 01 04 07 2[0-7] FF$/));
  await page.waitForTimeout(600);   // held across a few repeats: still one drive, no stop
  const driving = indexAfter(before, /^82 01 04 07 2[0-7] FF$/);
  if (indexAfter(driving, /^82 01 04 07 00 FF$/))
    throw new Error('the zoom stopped while the button was held');
  await page.mouse.up();
  await until('the zoom stop after the drive', () => indexAfter(driving, /^82 01 04 07 00 FF$/));
  await until('the zoom drive acknowledged or completed on the page', async () =>
    /: (acknowledged|completed)/.test(await commandState(page, 'zoom in speed 2')));
  await until('the zoom stop completed on the page', async () =>
    /: completed/.test(await commandState(page, 'zoom stop')));

  // A preset and home: each completed.
  await page.click('#presets button:nth-child(3)');
  await until('preset 3 recalled at the camera', () => indexAfter(before, /^82 01 04 3F 02 02 FF$/));
  await until('preset 3 completed on the page', async () =>
    /: completed/.test(await commandState(page, 'preset 3 recall')));
  await page.click('#home');
  await until('home completed on the page', async () => /: completed/.test(await commandState(page, 'home')));
  await page.screenshot({ path: screenshot, fullPage: true });

  // On a phone: nothing wider than the screen, the pad within reach.
  await page.setViewportSize({ width: 390, height: 844 });
  await until('the page laid out for a phone', async () => page.evaluate(() =>
    document.documentElement.scrollWidth <= 390 &&
    document.querySelector('.pad').getBoundingClientRect().right <= 390));
  await page.setViewportSize({ width: 1100, height: 1300 });

  // A second page closed in the middle of a pan: the camera stops anyway.
  const second = await context.newPage();
  await second.goto(url);
  const panFrom = cameraMessages().length;
  await second.hover('.pad button[aria-label="right"]');
  await second.mouse.down();
  const panned = await until('the pan drive at the camera', () => indexAfter(panFrom, /^82 01 06 01 .. .. 02 03 FF$/));
  await second.close();
  await until('the pan stop after the page closed', () => indexAfter(panned, /^82 01 06 01 .. .. 03 03 FF$/));

  if (errors.length) throw new Error('script errors on the page: ' + errors.join('; '));
  console.log('browser check passed');
} catch (e) {
  console.error('FAIL: ' + e.message);
  console.error('camera log: ' + cameraMessages().slice(-12).join(' | '));
  failed = true;
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
