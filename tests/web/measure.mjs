// Measures the page in headless Chromium. Not a test: run by hand after `make web`.
//   node tests/web/measure.mjs [--first] [--cpu [--threads] [--rounds 1] [--pace MS]] [--profile]
//                              [--build portable|simd128] [--seconds 20] [--loads 5]
//                              [--dir build-web]
//   --first    the time from navigation to the first frame, over --loads loads, for the game
//              with its worker on a thread and as a task on the page's thread (the default
//              when nothing else is asked for)
//   --cpu      the CPU the whole browser takes, for --seconds each, with no page open (the
//              baseline), a reference page that does the least a page showing 10 frames a
//              second must (putImageData of a 1280 x 720 frame and one line of text, 10 times a
//              second), and the game playing on its own, with its worker on a thread and as a
//              task (the cooperative build, asked for by ?threads=no); --rounds times in turn,
//              each printed less the baseline, with the medians and the games' ratios to the
//              reference
//   --threads  with --cpu: where each page's CPU goes, by process type and thread name
//   --pace     with --cpu: the game once more, its redraw timer slowed to MS by the Right key,
//              to tell what the timer's ticks cost from what the frames cost
//   --profile  the functions the page's main thread spends its time in while the game plays,
//              for --seconds, from Chromium's sampling profiler
// The game's CPU and profile are read on a second visit, with the service worker in charge and
// its cache filled, as every visit after the first is.
//   --dir      the page's folder to serve (another build's, to compare)
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
    first: { type: 'boolean', default: false },
    cpu: { type: 'boolean', default: false },
    profile: { type: 'boolean', default: false },
    build: { type: 'string', default: '' },
    seconds: { type: 'string', default: '20' },
    rounds: { type: 'string', default: '1' },
    threads: { type: 'boolean', default: false },
    loads: { type: 'string', default: '5' },
    dir: { type: 'string', default: '' },
    pace: { type: 'string', default: '' },
  },
});
if (!opt.cpu && !opt.profile) opt.first = true;
const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const dir = opt.dir ? path.resolve(opt.dir) : path.join(root, 'build-web');
const seconds = Number(opt.seconds);
const ticksPerSecond = 100;  // USER_HZ on Linux
const viewport = { width: 1366, height: 657 };

function serve() {
  const child = spawn('python3', [path.join(root, 'web/serve.py'), dir, '--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve) => {
    createInterface({ input: child.stdout }).once('line', (line) => {
      resolve({ url: /(http:\S+)/.exec(line)[1], pid: child.pid, stop: () => child.kill() });
    });
  });
}

// The processes below this one (the browser's), less the server's, with their CPU ticks (user
// plus system).
function browserProcesses() {
  const stats = new Map();
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const text = readFileSync(`/proc/${entry}/stat`, 'utf8');
      const fields = text.slice(text.lastIndexOf(')') + 2).split(' ');
      stats.set(Number(entry), { ppid: Number(fields[1]), cpu: Number(fields[11]) + Number(fields[12]) });
    } catch { /* the process ended meanwhile */ }
  }
  const within = (pid) => {
    if (pid === process.pid || pid === server.pid) return false;
    for (let p = pid; p > 1; p = stats.get(p)?.ppid ?? 0) {
      if (p === server.pid) return false;
      if (p === process.pid) return true;
    }
    return false;
  };
  return [...stats].filter(([pid]) => within(pid)).map(([pid, s]) => ({ pid, cpu: s.cpu }));
}

// The CPU seconds the browser's processes took since `since` (a reading of browserProcesses, or
// none for all of their time). Only processes still running count: one that ended meanwhile
// (the last page's renderer, say) takes its ticks with it, which would otherwise come out as
// negative time.
function cpuSeconds(since = []) {
  const before = new Map(since.map((p) => [p.pid, p.cpu]));
  return browserProcesses().reduce((sum, p) => sum + p.cpu - (before.get(p.pid) || 0), 0) /
         ticksPerSecond;
}

// CPU ticks of every thread of the browser, keyed by its process's type and the thread's name
// (digits at the name's end dropped, so that a pool's threads add up).
function threadTicks() {
  const ticks = new Map();
  for (const { pid: entry } of browserProcesses()) {
    try {
      const cmd = readFileSync(`/proc/${entry}/cmdline`, 'utf8');
      const type = (/--type=([a-z-]+)/.exec(cmd) || [null, 'browser'])[1];
      for (const task of readdirSync(`/proc/${entry}/task`)) {
        const text = readFileSync(`/proc/${entry}/task/${task}/stat`, 'utf8');
        const name = text.slice(text.indexOf('(') + 1, text.lastIndexOf(')')).replace(/\d+$/, '');
        const fields = text.slice(text.lastIndexOf(')') + 2).split(' ');
        const key = `${type}: ${name}`;
        ticks.set(key, (ticks.get(key) || 0) + Number(fields[11]) + Number(fields[12]));
      }
    } catch { /* the process or thread ended meanwhile */ }
  }
  return ticks;
}

// The least a page showing 10 frames a second does: a 1280 x 720 frame put on a canvas scaled
// as the game's is, and one line of text, each time.
const REFERENCE = `<!doctype html><meta charset="utf-8"><body style="margin:0;background:#000;color:#ddd;
font:15px/22px monospace"><p id="line" style="margin:6px"></p><canvas width="1280" height="720"
style="display:block;margin:auto;image-rendering:pixelated;width:min(100vw,calc((100vh - 90px) * 16 / 9))">
</canvas><script>
const canvas = document.querySelector('canvas'), ctx = canvas.getContext('2d');
const line = document.getElementById('line'), frame = ctx.createImageData(1280, 720);
const pixels = new Uint32Array(frame.data.buffer);
window.quolvane = { frames: 0 };
setInterval(() => {
  const n = ++window.quolvane.frames;
  for (let i = 0; i < pixels.length; i += 97) pixels[i] = 0xff000000 | (n * 2654435761 + i);
  ctx.putImageData(frame, 0, 0);
  line.textContent = 'RUD EZARAR EROV IZAZODER! Build cost: 25000.000000 (' + (n * 1.5).toFixed(6) + ')';
}, 100);
</script>`;

// The same with the game's redraw timer beside it: a 10 ms one-shot timer armed again after each
// tick, doing nothing else. It shows what the designed loop's ticks alone cost the browser.
const REFERENCE_TIMER = REFERENCE.replace('</script>',
  'const tick = () => setTimeout(tick, 10); tick();\n</script>');

const server = await serve();
const browser = await chromium.launch({
  executablePath: process.env.QUOLVANE_CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const query = opt.build ? `?build=${opt.build}` : '';
const game = server.url + query;
const coop = server.url + (query ? query + '&' : '?') + 'threads=no';

const shows = () => window.quolvane && window.quolvane.frames >= 10;

// Opens `what` (a URL, or a page's HTML) in a fresh page; resolves once it shows frames. The
// game is opened twice: the first visit installs the service worker, which fetches every file
// of both builds into its cache meanwhile, once; the second is the visit a player has every
// time after that.
async function open(what, presses = 0) {
  const context = await browser.newContext({ viewport });
  const page = await context.newPage();
  if (what.startsWith('http')) {
    await page.goto(what);
    await page.waitForFunction(shows, null, { timeout: 60000 });
    await page.evaluate(() => navigator.serviceWorker.ready.then(() => true));
    await page.reload();
    await page.waitForFunction(shows, null, { timeout: 60000 });
    for (let i = 0; i < presses; ++i) await page.keyboard.press('ArrowRight');
  } else {
    await page.setContent(what);
  }
  await page.waitForFunction(shows, null, { timeout: 60000 });
  return { page, close: () => context.close() };
}

// The browser's CPU over `seconds` with `what` open, or with no page at all when it is null.
// (Not about:blank: headless Chromium keeps a fresh context's blank page busy, at more than the
// reference page costs, which no player's page pays.)
async function cpuOf(what, presses = 0) {
  const { page, close } = what ? await open(what, presses) : { page: null, close: async () => {} };
  const framesNow = () => (page ? page.evaluate(() => window.quolvane.frames) : 0);
  const frames0 = await framesNow();
  const processes0 = browserProcesses();
  const threads0 = threadTicks();
  const t0 = Date.now();
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  const cpu = cpuSeconds(processes0);
  const threads = [...threadTicks()].map(([key, n]) => [key, n - (threads0.get(key) || 0)]);
  const wall = (Date.now() - t0) / 1000;
  const frames = (await framesNow()) - frames0;
  const build = what === game || what === coop ? await page.evaluate(
    () => window.quolvane.build + (window.quolvane.threads ? '' : '-coop')) : '';
  await close();
  const share = (n) => 100 * n / ticksPerSecond / wall;
  return { percent: share(cpu * ticksPerSecond), frames, wall, build,
           threads: threads.filter(([, n]) => n > 0).sort((a, b) => b[1] - a[1])
             .map(([key, n]) => [key, share(n)]) };
}

if (opt.first) {
  for (const [name, url] of [['threads', game], ['cooperative', coop]]) {
    const firsts = [];
    let build = '';
    for (let i = 0; i < Number(opt.loads); ++i) {
      const context = await browser.newContext({ viewport });
      const page = await context.newPage();
      await page.goto(url);
      await page.waitForFunction(() => window.quolvane.firstFrameMs !== null, null, { timeout: 60000 });
      firsts.push(await page.evaluate(() => window.quolvane.firstFrameMs));
      build = await page.evaluate(() => window.quolvane.build + (window.quolvane.threads ? '' : '-coop'));
      await context.close();
    }
    firsts.sort((a, b) => a - b);
    console.log(`${name} (${build}): first frame after navigation: median ` +
                `${firsts[firsts.length >> 1].toFixed(0)} ms (${firsts.map((t) => t.toFixed(0)).join(', ')})`);
  }
}

if (opt.cpu) {
  const pages = [['no page', null], ['reference page', REFERENCE],
                 ['reference + 10 ms timer', REFERENCE_TIMER], ['game', game],
                 ['game, cooperative', coop]];
  // With --pace, the game once more with its redraw timer slowed to MS by the Right key (10 ms
  // a press): what the timer's ticks cost shows as the difference, the frames being as many.
  const pace = Number(opt.pace || 0);
  if (pace > 10) pages.push([`game, timer every ${pace} ms`, game, Math.round((pace - 10) / 10)]);
  const readings = pages.map(() => []);
  console.log(`CPU of the whole browser, ${seconds} s each, ${viewport.width} x ${viewport.height}:`);
  console.log(`${'page'.padEnd(24)} ${'CPU'.padStart(8)} ${'less none'.padStart(10)}`);
  const median = (xs) => [...xs].sort((a, b) => a - b)[xs.length >> 1];
  for (let round = 0; round < Number(opt.rounds); ++round) {
    for (const [i, [name, what, presses]] of pages.entries()) {
      const r = await cpuOf(what, presses);
      readings[i].push(r.percent);
      const label = (what === game || what === coop) && !presses ? `game (${r.build})` : name;
      const less = r.percent - readings[0][round];
      console.log(`${label.padEnd(24)} ${r.percent.toFixed(1).padStart(6)} % ` +
                  `${less.toFixed(1).padStart(8)} %  ${String(r.frames).padStart(4)} frames in ` +
                  `${r.wall.toFixed(1)} s`);
      if (opt.threads) {
        for (const [key, share] of r.threads.slice(0, 8))
          console.log(`${''.padEnd(8)}${share.toFixed(2).padStart(6)} %  ${key}`);
      }
    }
  }
  const [none, reference, timed, played, cooperative, paced] = readings.map(median)
    .map((p, i, all) => (i === 0 ? p : p - all[0]));
  console.log(`medians over ${opt.rounds} round(s), less no page (${none.toFixed(1)} %): ` +
              `reference ${reference.toFixed(1)} %, reference + 10 ms timer ${timed.toFixed(1)} %, ` +
              `game ${played.toFixed(1)} %, game cooperative ${cooperative.toFixed(1)} %` +
              (paced === undefined ? '' : `, game with its timer every ${pace} ms ${paced.toFixed(1)} %`));
  console.log(`game / reference: ${(played / reference).toFixed(2)}; ` +
              `cooperative / reference: ${(cooperative / reference).toFixed(2)}; ` +
              `game / (reference + 10 ms timer): ${(played / timed).toFixed(2)}`);
}

if (opt.profile) {
  const { page, close } = await open(game);
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Profiler.enable');
  await cdp.send('Profiler.setSamplingInterval', { interval: 200 });
  await cdp.send('Profiler.start');
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  const { profile } = await cdp.send('Profiler.stop');
  await close();
  // Self time per function, from the samples' share.
  const self = new Map();
  let total = 0;
  for (const node of profile.nodes) {
    const f = node.callFrame;
    const name = `${f.functionName || '(anonymous)'} ${f.url ? path.basename(f.url) + ':' + (f.lineNumber + 1) : ''}`.trim();
    self.set(name, (self.get(name) || 0) + (node.hitCount || 0));
    total += node.hitCount || 0;
  }
  const top = [...self].sort((a, b) => b[1] - a[1]).slice(0, 12);
  console.log(`the page's main thread over ${seconds} s (share of samples, self time):`);
  for (const [name, hits] of top) console.log(`${(100 * hits / total).toFixed(1).padStart(6)} %  ${name}`);
}

await browser.close();
server.stop();
