// The page in real headless browsers, Debian's chromium and firefox-esr (tests/web/browsers.mjs;
// QUOLVANE_BROWSER picks one), served as `make web-serve` serves it: the world on the canvas in the
// palette's colours, the caption line, the world fitted to every screen, the preview under the
// mouse, a click and a tap that pay the price shown, the buttons for the keys, r, Space, q and
// Escape, the keys left to the browser, a plain static server and no network at all, the
// manifest, and the lines the page shows when it cannot run.
//
// Run by scripts/test-web.sh after `make web`, as node --test page.test.mjs in tests/web/, once
// per browser. Every wait is for a condition, with a deadline far beyond what a busy two-core
// machine needs.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { cpSync, mkdtempSync, rmSync } from 'node:fs';
import os from 'node:os';
import { createInterface } from 'node:readline';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { INSECURE_HOST, browserName, can, launch } from './browsers.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const pageDir = process.env.QUOLVANE_WEB_DIR || path.join(root, 'build-web');
const DEADLINE_MS = 60000;
const chromium = browserName === 'chromium';
// What the browser can be made to do here (browsers.mjs): WebKitGTK's WebDriver hands touch
// actions to the page as the mouse.
const { init: canInit, mapHost: canMapHost, touch: canTouch } = can;

const CAPTION = /^RUD EZARAR EROV IZAZODER! Build cost: (\d+\.\d{6}) \((\d+\.\d{6})\)$/;
// The palette, indexed by owner * 2 + alive, as the desktop window shows it.
const PALETTE = [
  0x000000, 0x808080, 0x400000, 0xc0a0a0, 0x004000, 0xa0c0a0, 0x000040, 0xa0a0c0,
  0x404000, 0xc0c0a0, 0x400040, 0xc0a0c0, 0x004040, 0xa0c0c0,
];
const PREVIEW = PALETTE[1 * 2 + 1];  // player 1's live colour
// The glider's live cells as (row, column), and where quarter turn r puts cell (i, j) for the
// anchor cell (cx, cy).
const GLIDER = [[0, 0], [0, 1], [0, 2], [1, 0], [2, 1]];
const TURNED = [
  (cx, cy, i, j) => [cx + j, cy + i],
  (cx, cy, i, j) => [cx + i, cy + 3 - j],
  (cx, cy, i, j) => [cx + 3 - j, cy + 3 - i],
  (cx, cy, i, j) => [cx + 3 - i, cy + j],
];
const previewCells = (cx, cy, turn) => GLIDER.map(([i, j]) => TURNED[turn & 3](cx, cy, i, j));

// Starts a server on a free loopback port; resolves to { url, stop }. `command` is web/serve.py's
// arguments, or 'plain' for Python's own static server, which sends no isolation headers.
function serve(args, folder = pageDir) {
  const argv = args === 'plain'
    ? ['-u', '-m', 'http.server', '--bind', '127.0.0.1', '--directory', folder, '0']
    : [path.join(root, 'web/serve.py'), folder, '--port', '0', ...args];
  const child = spawn('python3', argv, { stdio: ['ignore', 'pipe', 'ignore'] });
  return new Promise((resolve, reject) => {
    const lines = createInterface({ input: child.stdout });
    lines.once('line', (line) => {
      const m = /http:\/\/127\.0\.0\.1:(\d+)\//.exec(line);
      if (!m) reject(new Error('the server said: ' + line));
      resolve({ url: `http://127.0.0.1:${m[1]}/`, port: Number(m[1]),
        stop: () => new Promise((done) => { child.once('exit', done); child.kill(); }) });
    });
    child.once('exit', (code) => reject(new Error('the server exited with ' + code)));
  });
}

let browser;
let server;
let bareServer;
let tmp;
const missingServers = {};
before(async () => {
  // The page with one of the program's files left out, for each that the page needs.
  tmp = mkdtempSync(path.join(os.tmpdir(), 'quolvane-page-'));
  const missing = {};
  // The .wasm case leaves out both kinds of build's, so whichever the browser gets is missing.
  const leftOut = { wasm: ['quolvane-simd128.wasm', 'quolvane-simd128-coop.wasm'],
    'worker.js': ['quolvane-simd128.worker.js'] };
  for (const [name, files] of Object.entries(leftOut)) {
    missing[name] = path.join(tmp, name.replace(/\W/g, '-'));
    cpSync(pageDir, missing[name], { recursive: true,
      filter: (f) => !files.includes(path.basename(f)) });
  }
  let missingList;
  [server, bareServer, browser, ...missingList] = await Promise.all([
    serve([]), serve(['--no-isolation']), launch(),
    ...Object.values(missing).map((folder) => serve([], folder))]);
  Object.keys(missing).forEach((name, i) => { missingServers[name] = missingList[i]; });
});
after(async () => {
  await browser?.close();
  for (const s of [server, bareServer, ...Object.values(missingServers)]) await s?.stop();
  if (tmp) rmSync(tmp, { recursive: true, force: true });
});

// A fresh page (a profile of its own), with its console errors collected.
function open(url, options = {}) {
  return browser.open(url, options);
}

const game = (page) => page.evaluate(() => ({ ...window.quolvane }));
const lineText = (page, id) => page.evaluate((id) => document.getElementById(id).textContent, id);

// Waits until fn(arg) holds in the page.
function until(page, fn, arg) {
  return page.until(fn, arg, DEADLINE_MS);
}

// Waits for the next frame after frame `seen`; returns { frames, price, balance, caption }.
async function nextFrame(page, seen) {
  await until(page, (n) => window.quolvane.frames > n, seen);
  const [frames, caption] = await page.evaluate(
    () => [window.quolvane.frames, window.quolvane.caption]);
  const m = CAPTION.exec(caption);
  assert.ok(m, 'the caption after a frame: ' + caption);
  return { frames, caption, price: Number(m[1]), balance: Number(m[2]) };
}

// The colour of each cell (0xRRGGBB) on the canvas, or -1 where its 2 x 2 block is not one
// opaque colour; `cells` is a list of [x, y], or null for every cell, row by row.
function cellColours(page, cells = null) {
  return page.evaluate((cells) => {
    const canvas = document.getElementById('canvas');
    const d = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    const w = canvas.width;
    const at = (px, py) => {
      const o = (py * w + px) * 4;
      return d[o + 3] === 255 ? (d[o] << 16 | d[o + 1] << 8 | d[o + 2]) : -1;
    };
    const colour = (x, y) => {
      const c = at(2 * x, 2 * y);
      return c === at(2 * x + 1, 2 * y) && c === at(2 * x, 2 * y + 1) &&
        c === at(2 * x + 1, 2 * y + 1) ? c : -1;
    };
    if (cells) return cells.map(([x, y]) => colour(x, y));
    const all = [];
    for (let y = 0; y < canvas.height / 2; ++y) {
      for (let x = 0; x < canvas.width / 2; ++x) all.push(colour(x, y));
    }
    return all;
  }, cells);
}

// The canvas's place in the viewport, once the page has fitted it to the stage as it is now.
// The stage grows when the loading line goes with the first frame, and the canvas follows at the
// browser's next rendering (a ResizeObserver): a place read between the two would be the old
// one, and a pointer aimed by it would land elsewhere once the canvas grows.
async function canvasRect(page) {
  await until(page, () => {
    const c = document.getElementById('canvas').getBoundingClientRect();
    const s = document.getElementById('stage').getBoundingClientRect();
    return s.width - c.width <= 1 || s.height - c.height <= 1;
  });
  return page.evaluate(() => {
    const r = document.getElementById('canvas').getBoundingClientRect();
    return { left: r.left, top: r.top, width: r.width, height: r.height };
  });
}

// Where in the viewport canvas pixel (px, py) is shown, the canvas being scaled. Browsers may
// round a pointer's position to whole CSS pixels, so the tests aim at the middle of a cell's
// block, pixel (2x + 1, 2y + 1), where that cannot take the pointer to another cell.
async function shownAt(page, px, py) {
  const r = await canvasRect(page);
  return [r.left + px * r.width / 1280, r.top + py * r.height / 720];
}
const anchorOf = ([mx, my]) => [Math.floor(Math.min(mx, 1272) / 2), Math.floor(Math.min(my, 712) / 2)];

// Moves the mouse to about canvas pixel (px, py); once a frame is drawn for it, returns the
// preview's anchor cell there. On a small screen a whole CSS pixel, the pointer's step, spans
// several canvas pixels, so the cell is the one of the position the frame was drawn for.
async function pointAt(page, px, py) {
  const [x, y] = await shownAt(page, px, py);
  await page.mouse.move(x, y);
  const step = await page.evaluate(() => 1280 / document.getElementById('canvas').clientWidth);
  await until(page, ([px, py, near]) => {
    const m = window.quolvane.mouse;
    return m && Math.abs(m[0] - px) <= near && Math.abs(m[1] - py) <= near;
  }, [px, py, step + 1]);
  return anchorOf(await page.evaluate(() => window.quolvane.mouse));
}

// Every frame's pointer, caption and time (the page's clock as the frame began), in order, as
// window.frameLog: for a test to find the frame that was drawn for a spot, or to time frames
// without the lag of watching them from outside the page. Run before the page's scripts, it wraps
// the page's two hooks. While window.watchCells lists cells, each entry also holds their colours
// as the frame before it left them (the pointer is read before the frame paints): a test can see a
// given frame's world, however many frames the machine has drawn since.
function logFrames() {
  window.frameLog = [];
  const ctx = () => document.getElementById('canvas').getContext('2d');
  const before = () => (window.watchCells || []).map(([x, y]) => {
    const d = ctx().getImageData(2 * x, 2 * y, 1, 1).data;
    return d[3] === 255 ? (d[0] << 16 | d[1] << 8 | d[2]) : -1;
  });
  let module;
  Object.defineProperty(window, 'Module', {
    configurable: true,
    get: () => module,
    set: (m) => {
      if (m && !m.logged) {
        const [mouse, caption] = [m.onFrameMouse, m.onCaption];
        m.onFrameMouse = (x, y) => {
          window.frameLog.push(
            { mouse: [x, y], caption: null, at: performance.now(), before: before() });
          mouse(x, y);
        };
        m.onCaption = (text) => {
          const last = window.frameLog[window.frameLog.length - 1];
          if (last && last.caption === null) last.caption = text;
          caption(text);
        };
        m.logged = true;
      }
      module = m;
    },
  });
}

// An anchor whose whole 3 x 3 block is other players' ground (the dearest spot, well above what
// the balance moves by between two frames), away from the edges.
const enemyBlock = (cells, [x, y]) => {
  for (let i = 0; i < 3; ++i) {
    for (let j = 0; j < 3; ++j) if (PALETTE.indexOf(cells[(y + i) * 640 + x + j]) >> 1 < 2) return false;
  }
  return true;
};
function enemySpot(cells) {
  for (let y = 20; y < 340; y += 3) {
    for (let x = 20; x < 620; x += 3) if (enemyBlock(cells, [x, y])) return [x, y];
  }
  return null;
}

// Waits, frame by frame, until the balance covers 1.5 times the price at the preview (and
// `least`) and the
// price is over four times what the balance moved by between any two of the last three frames,
// so that a payment stands out from the world's own flows; returns that frame and the flow.
async function affordable(page, frame, least = 0) {
  const moves = [];
  const start = Date.now();
  for (;;) {
    assert.ok(Date.now() - start < 3 * DEADLINE_MS,
      'no frame with a balance of 1.5 x a price over 4 x the flow');
    const next = await nextFrame(page, frame.frames);
    moves.push(Math.abs(next.balance - frame.balance));
    frame = next;
    if (moves.length > 3) moves.shift();
    const flow = Math.max(...moves);
    if (moves.length === 3 && frame.balance >= 1.5 * Math.max(frame.price, least) &&
        frame.price > 4 * flow) {
      return { frame, flow };
    }
  }
}

async function waitForPreview(page, cx, cy, turn) {
  const cells = previewCells(cx, cy, turn);
  await until(page, ([cells, preview]) => {
    const canvas = document.getElementById('canvas');
    const ctx = canvas.getContext('2d');
    return cells.every(([x, y]) => {
      const d = ctx.getImageData(2 * x, 2 * y, 2, 2).data;
      for (let o = 0; o < 16; o += 4) {
        if ((d[o] << 16 | d[o + 1] << 8 | d[o + 2]) !== preview) return false;
      }
      return true;
    });
  }, [cells, PREVIEW]);
}

// Whether the page fits the viewport: the whole canvas inside it, no scrolling either way, the
// world at 16 : 9 and centred, filling the stage one way, and a readable caption line.
const fitting = () => {
  const c = document.getElementById('canvas').getBoundingClientRect();
  const s = document.getElementById('stage').getBoundingClientRect();
  const root = document.documentElement;
  const font = parseFloat(getComputedStyle(document.getElementById('caption')).fontSize);
  const problems = [];
  if (root.scrollWidth > innerWidth || root.scrollHeight > innerHeight) {
    problems.push(`scrolls: ${root.scrollWidth} x ${root.scrollHeight} in ${innerWidth} x ${innerHeight}`);
  }
  if (c.left < 0 || c.top < 0 || c.right > innerWidth || c.bottom > innerHeight) {
    problems.push(`canvas ${c.left},${c.top} to ${c.right},${c.bottom}`);
  }
  if (Math.abs(c.width * 9 / 16 - c.height) > 1) problems.push(`canvas ${c.width} x ${c.height}`);
  if (Math.abs((c.left - s.left) - (s.right - c.right)) > 1 ||
      Math.abs((c.top - s.top) - (s.bottom - c.bottom)) > 1) problems.push('not centred');
  if (s.width - c.width > 1 && s.height - c.height > 1) problems.push('does not fill the stage');
  if (font < 12) problems.push(`caption at ${font} px`);
  if (getComputedStyle(document.getElementById('canvas')).imageRendering !== 'pixelated') {
    problems.push('not pixelated');
  }
  return problems.join('; ');
};
async function assertFits(page, size) {
  await page.resize(size);
  try {
    await until(page, (f) => new Function('return (' + f + ')()')() === '', fitting.toString());
  } catch (error) {
    assert.fail(`${size.width} x ${size.height}: ${await page.evaluate(fitting)}`);
  }
}

// In Chromium the game is played again with its worker as a task on the page's thread
// (?threads=no): the build that WebKit, and any browser without shared memory, gets.
for (const kind of chromium ? ['', '?threads=no'] : ['']) {
  const at = () => server.url + kind;
  describe('the page with the game running' + (kind ? ', its worker a task' : ''), () => {
    test('loads without console errors and shows the world in the palette, with the caption line',
      async (t) => {
        const page = await open(at());
        try {
          await until(page, () => window.quolvane.frames >= 2);
          const state = await game(page);
          t.diagnostic(`${browserName}, build ${state.build}: first frame ` +
                       `${state.firstFrameMs.toFixed(0)} ms after navigation`);
          assert.equal(state.build, 'simd128', 'the browser has WebAssembly SIMD');
          // The line and the title follow the caption after it, each when the page shows them.
          await until(page, (re) => new RegExp(re).test(document.getElementById('caption').textContent) &&
            new RegExp(re).test(document.title), CAPTION.source);
          assert.equal(await lineText(page, 'status'), '', 'no status line while playing');
          assert.equal(await page.evaluate(() => document.getElementById('canvas').style.cursor),
            'none', 'the system pointer is hidden over the canvas');

          const cells = await cellColours(page);
          assert.equal(cells.length, 640 * 360);
          const strays = cells.filter((c) => !PALETTE.includes(c));
          assert.equal(strays.length, 0, `cells not one palette colour in all 2 x 2 pixels: ` +
                       strays.slice(0, 5).map((c) => c.toString(16)));
          const shown = new Set(cells);
          for (const owner of [1, 2, 3, 4, 5, 6]) {
            assert.ok(shown.has(PALETTE[owner * 2 + 1]), `live cells of player ${owner} shown`);
          }
          assert.ok(cells.filter((c) => c !== 0).length > cells.length / 10,
            'over a tenth of the world is not black');
          assert.deepEqual(page.errors, []);
        } finally {
          await page.close();
        }
      });

    test('the world fits every screen, refitted on resize; the manifest and its icons', async (t) => {
      const page = await open(at(), { viewport: { width: 1366, height: 657 } });
      try {
        await until(page, () => window.quolvane.frames >= 1);
        for (const size of [{ width: 1366, height: 657 }, { width: 1536, height: 730 },
          { width: 1920, height: 1080 }, { width: 1024, height: 1366 }]) {
          await assertFits(page, size);
        }
        const manifest = await page.evaluate(async () => {
          const link = document.querySelector('link[rel="manifest"]');
          const m = await (await fetch(link.href)).json();
          const icons = [];
          for (const icon of m.icons) {
            const img = new Image();
            img.src = new URL(icon.src, link.href).href;
            await img.decode();
            icons.push({ sizes: icon.sizes, type: icon.type, shown: `${img.naturalWidth}x${img.naturalHeight}` });
          }
          return { ...m, icons };
        });
        assert.equal(manifest.name, 'quolvane');
        assert.ok(manifest.short_name && manifest.short_name.length <= 12);
        assert.ok(['standalone', 'fullscreen'].includes(manifest.display));
        assert.match(manifest.orientation, /^landscape/);
        assert.ok(manifest.background_color && manifest.theme_color);
        assert.deepEqual(manifest.icons.map((i) => [i.sizes, i.type, i.shown]),
          [['192x192', 'image/png', '192x192'], ['512x512', 'image/png', '512x512']]);
        if (page.cdp) {
          // Chromium's own reading of the manifest, as it decides on offering to install. Firefox
          // offers no such reading over WebDriver BiDi.
          const cdp = await page.cdp();
          const { errors } = await cdp.send('Page.getAppManifest');
          assert.deepEqual(errors, [], 'Chromium finds no fault in the manifest');
        } else {
          t.diagnostic(`${browserName}: the manifest parsed and its icons checked by the page only`);
        }
        assert.deepEqual(page.errors, []);
      } finally {
        await page.close();
      }
  });

  test('the world fits a large screen at device pixel ratio 2', async () => {
    const page = await open(at(), { viewport: { width: 2560, height: 1440 }, scale: 2 });
    try {
      await until(page, () => window.quolvane.frames >= 1);
      await assertFits(page, { width: 2560, height: 1440 });
      assert.equal(await page.evaluate(() => devicePixelRatio), 2);
    } finally {
      await page.close();
    }
  });

  test('the world keeps stepping, at most ten generations a second, and the balance moves',
    async () => {
      const page = await open(at(), { init: logFrames });
      try {
        const first = await nextFrame(page, 0);
        const last = await nextFrame(page, first.frames + 19);
        // A frame is drawn only after a new generation, so frames count generations from below:
        // n frames after the first span at least n - 1 periods, however late any was drawn. Timed
        // by the page's clock as each frame began: watched from here, a first frame seen late
        // would shorten the span.
        const times = await page.evaluate(
          () => window.frameLog.filter((f) => f.caption !== null).map((f) => f.at));
        const frames = times.length - 1;
        const ms = Math.round(times[frames] - times[0]);
        assert.ok(frames >= 20, `${frames} frames logged after the first`);
        assert.ok(frames <= ms / 100 + 2,
          `${frames} frames in ${ms} ms: faster than one generation per 100 ms`);
        assert.notEqual(last.balance, first.balance, 'the balance after 20 generations');
        assert.deepEqual(page.errors, []);
      } finally {
        await page.close();
      }
    });

  test('the preview sits under the mouse on the scaled world, r turns it, and Left and Right ' +
       'are the game\'s', async () => {
    // Each key press as the browser finished with it: whether anything kept it from acting.
    const page = await open(at(), {
      init: () => {
        window.keysSeen = [];
        window.addEventListener('keydown', (e) => {
          setTimeout(() => window.keysSeen.push([e.key, e.defaultPrevented]));
        }, true);
      },
    });
    try {
      await until(page, () => window.quolvane.frames >= 1);
      const rect = await canvasRect(page);
      assert.ok(rect.width < 1280, `the world is shown scaled (${rect.width} px wide)`);
      const [cx, cy] = await pointAt(page, 401, 301);
      await waitForPreview(page, cx, cy, 0);
      await page.press('r');
      await waitForPreview(page, cx, cy, 1);
      await page.press('r');
      await waitForPreview(page, cx, cy, 2);
      await page.press('ArrowRight');
      await page.press('ArrowLeft');
      await page.press('a');
      // The edges: the clamp keeps the preview inside the canvas.
      const [ex, ey] = await pointAt(page, 1279, 719);
      assert.deepEqual([ex, ey], [636, 356]);
      await waitForPreview(page, ex, ey, 2);
      // Scrolled, the pointer still maps to the cell under it, in the part still in view.
      await page.evaluate(() => {
        document.documentElement.style.height = '300vh';
        window.scrollTo(0, 300);
      });
      await until(page, () => window.scrollY === 300);
      const inView = await canvasRect(page);
      const [sx, sy] = await pointAt(page, 601,
        Math.floor((inView.height - 20) * 720 / inView.height));
      await waitForPreview(page, sx, sy, 2);
      await until(page, () => window.keysSeen.length >= 5);
      const seen = await page.evaluate(() => window.keysSeen);
      assert.deepEqual(seen, [['r', true], ['r', true], ['ArrowRight', true],
        ['ArrowLeft', true], ['a', false]], 'the keys the game takes are kept from the browser');
      assert.deepEqual(page.errors, []);
    } finally {
      await page.close();
    }
  });

  test('a click pays the price the caption showed for that spot', async (t) => {
    const page = await open(at());
    try {
      const first = await nextFrame(page, 0);
      const spot = enemySpot(await cellColours(page));
      assert.ok(spot, 'some spot of enemy ground');
      const [cx, cy] = await pointAt(page, 2 * spot[0] + 1, 2 * spot[1] + 1);
      await waitForPreview(page, cx, cy, 0);
      const { frame, flow } = await affordable(page, first);
      await page.mouse.down();
      await page.mouse.up();
      let after = frame;
      let waited = 0;
      while (after.balance >= frame.balance && waited < 3) {
        after = await nextFrame(page, after.frames);
        waited += 1;
      }
      const paid = frame.balance - after.balance;
      t.diagnostic(`price ${frame.price}, balance ${frame.balance} -> ${after.balance} ` +
                   `${waited} frame(s) later; the world's own flow was up to ${flow} a frame`);
      assert.ok(after.balance < frame.balance, 'the balance fell after the click');
      assert.ok(Math.abs(paid - frame.price) <= 2 * flow * waited,
        `paid ${paid} for a price of ${frame.price} (flows up to ${flow} a frame)`);
      assert.deepEqual(page.errors, []);
    } finally {
      await page.close();
    }
  });

  test('Space restarts: a new world, balances from 0, and the page does not scroll',
    async (t) => {
      const page = await open(at());
      try {
        // A page longer than the window, so that a key the page let through would scroll it.
        await page.evaluate(() => { document.documentElement.style.height = '300vh'; });
        let frame = await nextFrame(page, 0);
        while (frame.balance < 200000) frame = await nextFrame(page, frame.frames);
        const old = await cellColours(page);
        await page.press(' ');
        // The frames already queued may still show the old world.
        let fresh = await nextFrame(page, frame.frames);
        for (let n = 0; n < 10 && fresh.balance >= frame.balance; ++n) {
          fresh = await nextFrame(page, fresh.frames);
        }
        assert.ok(fresh.balance < frame.balance / 2,
          `balance ${frame.balance} before Space, ${fresh.balance} after`);
        const now = await cellColours(page);
        const changed = now.filter((c, i) => c !== old[i]).length / now.length;
        t.diagnostic(`${(100 * changed).toFixed(1)} % of the cells changed with the restart`);
        assert.ok(changed > 0.25, `${(100 * changed).toFixed(1)} % of the cells changed`);
        assert.equal(await page.evaluate(() => window.scrollY), 0, 'Space did not scroll');
        await page.press('PageDown');
        await until(page, () => window.scrollY > 0);
        assert.deepEqual(page.errors, []);
      } finally {
        await page.close();
      }
    });

  for (const key of ['q', 'Escape']) {
    test(`${key} ends the game: the last frame stays and the page says how to start again`,
      async () => {
        const page = await open(at());
        try {
          await nextFrame(page, 2);
          await page.press(key);
          await until(page, () => window.quolvane.ended);
          const state = await game(page);
          assert.equal(state.exitStatus, 0);
          assert.equal(await lineText(page, 'status'),
            'The game has ended. Reload the page to start a new one.');
          // The line and the title end showing the last caption.
          await until(page, () => document.getElementById('caption').textContent ===
            window.quolvane.caption && document.title === window.quolvane.caption);
          assert.match(await lineText(page, 'caption'), CAPTION);
          const cells = await cellColours(page);
          assert.ok(cells.every((c) => PALETTE.includes(c)) && cells.some((c) => c !== 0),
            'the last frame stays on the canvas');
          assert.equal(await page.evaluate(() => document.getElementById('canvas').style.cursor),
            '', 'the pointer is shown again');
          assert.deepEqual(page.errors, []);
        } finally {
          await page.close();
        }
      });
  }
  });
}

describe('on a phone (390 x 844, touch)', () => {
  let page;
  before(async () => {
    page = await open(server.url,
      { viewport: { width: 390, height: 844 }, scale: 3, mobile: true, init: logFrames });
    await until(page, () => window.quolvane.frames >= 1);
  });
  after(async () => { await page?.close(); });

  test('the world fits upright and turned, the page at the device\'s width', async () => {
    assert.equal(await page.evaluate(() => innerWidth), 390, 'the page is not zoomed out');
    await assertFits(page, { width: 844, height: 390 });
    await assertFits(page, { width: 390, height: 844 });
    assert.equal(await page.evaluate(() => getComputedStyle(document.getElementById('canvas')).touchAction),
      'none', 'a finger on the world neither scrolls nor zooms the page');
  });

  test('a tap places the glider at the tapped cells, for the price shown there', async (t) => {
    if (!canTouch) {
      // Moved, pressed and released at once, the page has no touch to show the preview by
      // before it places: the frame drawn for the spot may already show the payment.
      t.skip(`${browserName}: its WebDriver delivers touch actions as mouse events`);
      return;
    }
    const first = await nextFrame(page, 0);
    // A touch lands on whole CSS pixels, each several canvas pixels wide here: the spot is one
    // such pixel, and the cell under it as the page maps it.
    const rect = await canvasRect(page);
    const cells = await cellColours(page);
    let spot = null;
    let x;
    let y;
    for (y = Math.ceil(rect.top) + 10; !spot && y < rect.top + rect.height - 10; y += 2) {
      for (x = Math.ceil(rect.left) + 10; !spot && x < rect.left + rect.width - 10; x += 2) {
        const anchor = anchorOf([Math.trunc((x - rect.left) * 1280 / rect.width),
          Math.trunc((y - rect.top) * 720 / rect.height)]);
        if (enemyBlock(cells, anchor)) spot = anchor;
      }
    }
    assert.ok(spot, 'some spot of enemy ground');
    [x, y] = [x - 2, y - 2];
    const [cx, cy] = spot;
    // The preview is elsewhere, so the tap must bring it there before it places; the balance
    // must cover the dearest price a glider can have, all five cells on enemy ground.
    assert.notDeepEqual(anchorOf((await game(page)).mouse), spot);
    const { flow } = await affordable(page, first, 5 * 17000);
    // The four dead cells of the glider's block, watched from frame to frame.
    const blank = [[1, 1], [1, 2], [2, 0], [2, 2]].map(([i, j]) => [cx + j, cy + i]);
    await page.evaluate((cells) => { window.watchCells = cells; }, blank);
    const logged = await page.evaluate(() => window.frameLog.length);
    await page.tap(x, y);
    // The frame drawn for the tapped spot shows the price there; a later one the payment.
    await until(page, ([from, cx, cy]) => {
      const log = window.frameLog.slice(from);
      const at = log.findIndex((f) => Math.floor(Math.min(f.mouse[0], 1272) / 2) === cx &&
        Math.floor(Math.min(f.mouse[1], 712) / 2) === cy);
      return at >= 0 && log.length > at + 3;
    }, [logged, cx, cy]);
    const log = (await page.evaluate((from) => window.frameLog.slice(from), logged))
      .filter((f) => f.caption !== null)
      .map((f) => ({ mouse: f.mouse, before: f.before, ...(([, p, b]) => ({ price: Number(p), balance: Number(b) }))(CAPTION.exec(f.caption)) }));
    const at = log.findIndex((f) => anchorOf(f.mouse).join() === [cx, cy].join());
    const shown = log[at];
    const paidAt = log.findIndex((f, i) => i > at && f.balance < shown.balance - shown.price / 2);
    assert.ok(paidAt > at, `the balance fell by the price within the frames logged: ` +
      JSON.stringify(log.slice(at, at + 4)));
    const paid = log[paidAt - 1].balance - log[paidAt].balance;
    t.diagnostic(`price ${shown.price} shown at the tap, paid ${paid}; flow up to ${flow} a frame`);
    assert.ok(Math.abs(paid - shown.price) <= 2 * flow, `paid ${paid} for ${shown.price}`);
    // The glider's block is player 1's now: its five cells lie under the preview, and of the
    // four dead ones at least three keep player 1 as owner a generation on, in the frame that
    // shows the payment (read from the next frame's log: by the time the test looks at the canvas,
    // a busy machine may have drawn many generations more).
    await until(page, ([from, n]) =>
      window.frameLog.slice(from).filter((f) => f.caption !== null).length > n, [logged, paidAt + 1]);
    const after = (await page.evaluate((from) => window.frameLog.slice(from), logged))
      .filter((f) => f.caption !== null)[paidAt + 1];
    const owners = after.before.map((c) => PALETTE.indexOf(c) >> 1);
    assert.ok(owners.filter((o) => o === 1).length >= 3, `owners of the block's dead cells: ${owners}`);
    assert.deepEqual(page.errors, []);
  });

  test('two quick taps place two gliders, each at its own tapped cells, in order', async (t) => {
    if (!canTouch) {
      t.skip(`${browserName}: its WebDriver delivers touch actions as mouse events`);
      return;
    }
    const first = await nextFrame(page, (await game(page)).frames);
    // Two spots of enemy ground far apart, each under one whole CSS pixel, as a tap lands.
    const rect = await canvasRect(page);
    const cells = await cellColours(page);
    const spots = [];
    for (let y = Math.ceil(rect.top) + 10; spots.length < 2 && y < rect.top + rect.height - 10; y += 2) {
      for (let x = Math.ceil(rect.left) + 10; spots.length < 2 && x < rect.left + rect.width - 10; x += 2) {
        const anchor = anchorOf([Math.trunc((x - rect.left) * 1280 / rect.width),
          Math.trunc((y - rect.top) * 720 / rect.height)]);
        const far = spots.every((s) => Math.abs(s.cell[0] - anchor[0]) + Math.abs(s.cell[1] - anchor[1]) > 40);
        if (far && enemyBlock(cells, anchor)) spots.push({ x, y, cell: anchor });
      }
    }
    assert.equal(spots.length, 2, 'two spots of enemy ground');
    await affordable(page, first, 2 * 5 * 17000);
    // The four dead cells of each glider's block, watched from frame to frame.
    const blank = (cx, cy) => [[1, 1], [1, 2], [2, 0], [2, 2]].map(([i, j]) => [cx + j, cy + i]);
    await page.evaluate((c) => { window.watchCells = c; },
      [...blank(...spots[0].cell), ...blank(...spots[1].cell)]);
    const logged = await page.evaluate(() => window.frameLog.length);
    await page.tap(spots[0].x, spots[0].y);
    await page.tap(spots[1].x, spots[1].y);
    // Frames drawn for each spot, in the order tapped: the frames after the taps until three
    // follow the one drawn for the second spot (or, should that never come, thirty).
    const drawnAt = (log, [cx, cy]) => log.findIndex((f) => f.caption !== null &&
      Math.floor(Math.min(f.mouse[0], 1272) / 2) === cx && Math.floor(Math.min(f.mouse[1], 712) / 2) === cy);
    await until(page, ([from, b, drawnAt]) => {
      const log = window.frameLog.slice(from);
      const second = new Function('return ' + drawnAt)()(log, b);
      return (second >= 0 && log.length > second + 3) || log.length >= 30;
    }, [logged, spots[1].cell, drawnAt.toString()]);
    const log = (await page.evaluate((from) => window.frameLog.slice(from), logged))
      .filter((f) => f.caption !== null);
    const [a, b] = [drawnAt(log, spots[0].cell), drawnAt(log, spots[1].cell)];
    assert.ok(a >= 0, 'no frame was drawn for the first tap\'s spot before it clicked');
    assert.ok(b > a, `the first tap's frame (${a}) comes before the second's (${b})`);
    // Each glider's block is player 1's a generation after its click: at least three of its
    // four dead cells keep player 1 as owner in some frame after the one drawn for its spot.
    const owned = (from, k) => log.slice(from + 1).some((f) =>
      f.before.slice(4 * k, 4 * k + 4).filter((c) => PALETTE.indexOf(c) >> 1 === 1).length >= 3);
    assert.ok(owned(a, 0), 'the first tap placed no glider at its own cells');
    assert.ok(owned(b, 1), 'the second tap placed no glider at its own cells');
    t.diagnostic(`frames drawn for the taps: ${a} and ${b} after tapping`);
    assert.deepEqual(page.errors, []);
  });

  test('the buttons send the game\'s keys as the keyboard does, big enough and never focused',
    async () => {
      await page.evaluate(() => {
        window.keyEvents = [];
        for (const type of ['keydown', 'keyup']) {
          document.addEventListener(type, (e) => window.keyEvents.push(
            [e.type, e.key, e.code, e.keyCode, e.which]), true);
        }
      });
      const buttons = await page.evaluate(() => [...document.querySelectorAll('#controls button')]
        .map((b) => { const r = b.getBoundingClientRect(); return { key: b.dataset.key, w: r.width, h: r.height, x: r.left + r.width / 2, y: r.top + r.height / 2 }; }));
      assert.deepEqual(buttons.map((b) => b.key), ['r', 'ArrowLeft', 'ArrowRight', ' ', 'q']);
      for (const b of buttons) assert.ok(b.w >= 40 && b.h >= 40, `button ${b.key}: ${b.w} x ${b.h}`);
      const press = async (how) => {
        await page.evaluate(() => { window.keyEvents = []; });
        await how();
        await until(page, () => window.keyEvents.length >= 2);
        return page.evaluate(() => window.keyEvents);
      };
      const [px, py] = await pointAt(page, 601, 301);
      await waitForPreview(page, px, py, 0);
      let turn = 0;
      for (const b of buttons.filter((b) => b.key !== 'q')) {
        const keyboard = await press(() => page.press(b.key));
        const button = await press(() => page.mouse.click(b.x, b.y));
        assert.deepEqual(button, keyboard, `the ${b.key} button's events`);
        assert.equal(await page.evaluate(() => document.activeElement === document.body), true,
          `the ${b.key} button took no focus`);
        if (b.key === 'r') {
          turn += 2;
          await waitForPreview(page, px, py, turn);
        }
      }
      const q = buttons.find((b) => b.key === 'q');
      const events = await press(() => page.mouse.click(q.x, q.y));
      assert.deepEqual(events, [['keydown', 'q', 'KeyQ', 81, 81], ['keyup', 'q', 'KeyQ', 81, 81]]);
      await until(page, () => window.quolvane.ended);
      assert.equal((await game(page)).exitStatus, 0, 'the quit button ends the game as q does');
      assert.deepEqual(page.errors, []);
    });
});

// The build the page loads and the file it fetches for it.
const programOf = (g) => 'quolvane' + (g.build === 'simd128' ? '-simd128' : '') +
  (g.threads ? '' : '-coop');
// How the page came to be shown: 'navigate' for a load of its own, 'reload' after a reload.
const navigation = (page) => page.evaluate(() => performance.getEntriesByType('navigation')[0].type);

// Waits until the game has drawn a few frames in the world's colours; returns window.quolvane.
async function plays(page) {
  await until(page, () => window.quolvane && (window.quolvane.frames >= 3 || window.quolvane.ended));
  const g = await game(page);
  assert.ok(g.frames >= 3, 'the game did not play: ' + await lineText(page, 'status'));
  const cells = await cellColours(page);
  assert.ok(cells.every((c) => PALETTE.includes(c)), 'the world in the palette\'s colours');
  return g;
}

describe('from any static host, and offline', () => {
  test('a plain static server: the first load plays at once; later ones get threads where the ' +
    'browser has them, and play again with no network', async (t) => {
    const plain = await serve('plain');
    let stopped = false;
    const page = await open(plain.url);
    try {
      const first = await plays(page);
      assert.equal(await navigation(page), 'navigate', 'the page reloaded itself');
      assert.equal(first.threads, false, 'threads without the isolation headers');
      // The service worker, registered once the game has started, makes later loads isolated.
      await until(page, () => navigator.serviceWorker.ready.then(() => true));
      await page.reload();
      const second = await plays(page);
      const isolated = await page.evaluate(() => crossOriginIsolated);
      assert.equal(isolated, true, 'the service worker isolates the page');
      if (browserName !== 'webkit') assert.equal(second.threads, true, 'no threads once isolated');
      t.diagnostic(`${browserName}: first load ${first.build}, threads false, first frame after ` +
        `${Math.round(first.firstFrameMs)} ms; second load isolated, threads ${second.threads}, ` +
        `first frame after ${Math.round(second.firstFrameMs)} ms`);
      await plain.stop();
      stopped = true;
      await page.reload();
      await plays(page);
      assert.deepEqual(page.errors.filter((e) => !/Failed to load resource|NetworkError/.test(e)), []);
    } finally {
      await page.close();
      if (!stopped) await plain.stop();
    }
  });
});

describe('wherever WebAssembly runs', () => {
  test('served isolated, the worker gets a thread of its own where the browser shares memory',
    async (t) => {
      const page = await open(server.url);
      try {
        const g = await plays(page);
        const shares = await page.evaluate(() => typeof SharedArrayBuffer === 'function');
        assert.equal(g.threads, shares, `threads ${g.threads} with SharedArrayBuffer ${shares}`);
        if (browserName !== 'webkit') assert.equal(g.threads, true);
        t.diagnostic(`${browserName}: ${g.build}, threads ${g.threads}, first frame after ` +
          `${Math.round(g.firstFrameMs)} ms`);
        assert.deepEqual(page.errors, []);
      } finally {
        await page.close();
      }
    });

  test('over plain http from a host name, not a secure context, it plays without threads',
    async (t) => {
      if (!canMapHost) {
        t.skip('WebKit: no way here to point a test host name at 127.0.0.1');
        return;
      }
      const page = await open(`http://${INSECURE_HOST}:${server.port}/`);
      try {
        const g = await plays(page);
        assert.deepEqual([await page.evaluate(() => isSecureContext), g.threads], [false, false]);
        t.diagnostic(`${browserName}: first frame after ${Math.round(g.firstFrameMs)} ms`);
        // (The browser's own note that it ignores serve.py's isolation headers here is no error
        // of the page's.)
        assert.deepEqual(page.errors.filter((e) => !/header has been ignored/.test(e)), []);
      } finally {
        await page.close();
      }
    });

  test('with no service workers at all, it plays', async (t) => {
    if (!canInit) {
      t.skip(`${browserName}: no way here to run a script before the page's own`);
      return;
    }
    const page = await open(bareServer.url, {
      init: () => { Object.defineProperty(Navigator.prototype, 'serviceWorker', { value: undefined }); },
    });
    try {
      const g = await plays(page);
      assert.equal(g.threads, false);
      assert.deepEqual(page.errors, []);
    } finally {
      await page.close();
    }
  });
});

describe('WebKit with its shared memory switched on', () => {
  test('it plays with its worker on a thread of its own', async (t) => {
    if (browserName !== 'webkit') {
      t.skip(`${browserName}: shared memory is the browser's own where the page is isolated`);
      return;
    }
    // WebKitGTK leaves SharedArrayBuffer out unless its JavaScript engine is told otherwise.
    const page = await open(server.url, { env: { JSC_useSharedArrayBuffer: '1' } });
    try {
      const g = await plays(page);
      assert.equal(g.threads, true);
      t.diagnostic(`webkit, JSC_useSharedArrayBuffer=1: ${g.build}, threads, first frame after ` +
        `${Math.round(g.firstFrameMs)} ms`);
      assert.deepEqual(page.errors, []);
    } finally {
      await page.close();
    }
  });
});

describe('the page where it cannot run', () => {
  test('without WebAssembly, it says so', async (t) => {
    if (!canInit) {
      t.skip(`${browserName}: no way here to run a script before the page's own`);
      return;
    }
    const page = await open(server.url, { init: () => { delete window.WebAssembly; } });
    try {
      assert.equal(await lineText(page, 'status'),
        'quolvane cannot start: this browser does not run WebAssembly.');
    } finally {
      await page.close();
    }
  });

  test('without WebAssembly SIMD, it loads the portable build, which plays', async (t) => {
    if (!canInit) {
      t.skip(`${browserName}: no way here to run a script before the page's own`);
      return;
    }
    const page = await open(server.url, {
      init: () => { WebAssembly.validate = () => false; },
    });
    try {
      const g = await plays(page);
      assert.equal(g.build, 'portable');
      assert.deepEqual(page.errors, []);
    } finally {
      await page.close();
    }
  });

  test('with the program\'s .wasm missing, a line names it, within seconds', async () => {
    const page = await open(missingServers.wasm.url);
    try {
      await until(page, () => window.quolvane.ended);
      const g = await game(page);
      assert.equal(await lineText(page, 'status'), `quolvane could not start: ${programOf(g)}` +
        '.wasm did not load. Reload the page to try again.');
      assert.equal(g.frames, 0);
    } finally {
      await page.close();
    }
  });

  test('with the threaded build\'s worker script missing, a line names it', async (t) => {
    const page = await open(missingServers['worker.js'].url);
    try {
      await until(page, () => window.quolvane.threads !== null);
      if (!(await game(page)).threads) {
        t.skip(`${browserName}: no shared memory, so no worker script to miss`);
        return;
      }
      await until(page, () => window.quolvane.ended);
      assert.match(await lineText(page, 'status'),
        /^quolvane could not start: its worker thread \(.*quolvane-simd128\.worker\.js\) did not load/);
      assert.equal((await game(page)).frames, 0);
    } finally {
      await page.close();
    }
  });

  test('a worker that cannot be handed the memory ends in a line saying what failed',
    async (t) => {
      if (!canInit) {
        t.skip(`${browserName}: no way here to run a script before the page's own`);
        return;
      }
      // As in a browser that makes a shared memory but will not post it: emscripten's hand-over
      // to its worker throws inside a promise that nothing else handles.
      const page = await open(server.url, {
        init: () => {
          const post = Worker.prototype.postMessage;
          Worker.prototype.postMessage = function (message, ...rest) {
            if (message && message.cmd === 'load') {
              throw new DOMException('The object can not be cloned.', 'DataCloneError');
            }
            return post.call(this, message, ...rest);
          };
        },
      });
      try {
        await until(page, () => window.quolvane.threads !== null);
        if (!(await game(page)).threads) {
          t.skip(`${browserName}: no shared memory, so no memory to hand over`);
          return;
        }
        await until(page, () => window.quolvane.ended);
        const line = await lineText(page, 'status');
        assert.match(line, /^quolvane could not start: DataCloneError: The object can not be cloned/);
        assert.doesNotMatch(line, /isolat/, 'nothing blames isolation that is not the cause');
      } finally {
        await page.close();
      }
    });
});
