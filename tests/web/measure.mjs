// Measures the page in headless Chromium: the time from navigation to the first frame, and the
// CPU time Chromium's processes take while the game plays on its own for a while. Not a test:
// run by hand after `make web`, e.g.
//   node tests/web/measure.mjs [--build portable|simd128] [--seconds 20] [--loads 5]
// CPU time is read from /proc for every process of the browser, so it includes the browser's
// own work besides the page's (drawing the canvas, its compositor), which a player pays too.
import { spawn } from 'node:child_process';
import { readFileSync, readdirSync } from 'node:fs';
import { createInterface } from 'node:readline';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';

const { values: opt } = parseArgs({
  options: {
    build: { type: 'string', default: '' },
    seconds: { type: 'string', default: '20' },
    loads: { type: 'string', default: '5' },
  },
});
const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const ticksPerSecond = 100;  // USER_HZ on Linux

function serve() {
  const child = spawn('python3', [path.join(root, 'web/serve.py'),
    path.join(root, 'build-web'), '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve) => {
    createInterface({ input: child.stdout }).once('line', (line) => {
      resolve({ url: /(http:\S+)/.exec(line)[1], stop: () => child.kill() });
    });
  });
}

// User plus system CPU seconds of a process and all its descendants.
function cpuSeconds(rootPid) {
  const stats = new Map();
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const text = readFileSync(`/proc/${entry}/stat`, 'utf8');
      const fields = text.slice(text.lastIndexOf(')') + 2).split(' ');
      stats.set(Number(entry), { ppid: Number(fields[1]), cpu: Number(fields[11]) + Number(fields[12]) });
    } catch { /* the process ended meanwhile */ }
  }
  let total = 0;
  const within = (pid) => {
    for (let p = pid; p > 1; p = stats.get(p)?.ppid ?? 0) if (p === rootPid) return true;
    return false;
  };
  for (const [pid, s] of stats) if (within(pid)) total += s.cpu;
  return total / ticksPerSecond;
}

const server = await serve();
const browser = await chromium.launch({
  executablePath: process.env.QUOLVANE_CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const query = opt.build ? `?build=${opt.build}` : '';
const firsts = [];
for (let i = 0; i < Number(opt.loads); ++i) {
  const context = await browser.newContext({ viewport: { width: 1300, height: 800 } });
  const page = await context.newPage();
  await page.goto(server.url + query);
  await page.waitForFunction(() => window.quolvane.firstFrameMs !== null, null, { timeout: 60000 });
  firsts.push(await page.evaluate(() => window.quolvane.firstFrameMs));
  await context.close();
}
firsts.sort((a, b) => a - b);
console.log(`first frame after navigation: median ${firsts[firsts.length >> 1].toFixed(0)} ms ` +
            `(${firsts.map((t) => t.toFixed(0)).join(', ')})`);

const context = await browser.newContext({ viewport: { width: 1300, height: 800 } });
const page = await context.newPage();
await page.goto(server.url + query);
await page.waitForFunction(() => window.quolvane.frames >= 10, null, { timeout: 60000 });
const browserPid = browser.process ? browser.process().pid : null;
const pid = browserPid ?? Number(readFileSync('/proc/self/stat', 'utf8').split(' ')[0]);
const frames0 = await page.evaluate(() => window.quolvane.frames);
const cpu0 = cpuSeconds(pid);
const t0 = Date.now();
await page.waitForTimeout(Number(opt.seconds) * 1000);
const cpu1 = cpuSeconds(pid);
const seconds = (Date.now() - t0) / 1000;
const frames = (await page.evaluate(() => window.quolvane.frames)) - frames0;
const build = await page.evaluate(() => window.quolvane.build);
console.log(`${build} build, playing on its own for ${seconds.toFixed(1)} s: ${frames} frames, ` +
            `Chromium used ${(cpu1 - cpu0).toFixed(2)} CPU s (${(100 * (cpu1 - cpu0) / seconds).toFixed(0)} % of one core)`);
await browser.close();
server.stop();
