// The page in real headless Chromium (Debian's, driven by playwright-core), served as
// `make web-serve` serves it: the world on the canvas in the palette's colours, the caption line,
// the preview under the mouse, a click that pays the price shown, r, Space, q and Escape, the
// keys left to the browser, and the lines the page shows when it cannot run.
//
// Run by scripts/test-web.sh after `make web`, as node --test page.test.mjs in tests/web/. Every
// wait is for a condition, with a deadline far beyond what a busy two-core machine needs.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const pageDir = process.env.QUOLVANE_WEB_DIR || path.join(root, 'build-web');
const chromiumPath = process.env.QUOLVANE_CHROMIUM || '/usr/bin/chromium';
const DEADLINE_MS = 60000;

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

// Starts web/serve.py on a free loopback port; resolves to { url, stop }.
function serve(isolation = true) {
  const args = [path.join(root, 'web/serve.py'), pageDir, '--port', '0'];
  if (!isolation) args.push('--no-isolation');
  const child = spawn('python3', args, { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    const lines = createInterface({ input: child.stdout });
    lines.once('line', (line) => {
      const m = /(http:\/\/127\.0\.0\.1:\d+\/)/.exec(line);
      if (!m) reject(new Error('serve.py said: ' + line));
      resolve({ url: m[1], stop: () => child.kill() });
    });
    child.once('exit', (code) => reject(new Error('serve.py exited with ' + code)));
  });
}

let browser;
let server;
let bareServer;
before(async () => {
  [server, bareServer] = await Promise.all([serve(true), serve(false)]);
  browser = await chromium.launch({
    executablePath: chromiumPath,
    // As root Chromium needs --no-sandbox; the rest keep it off the network and quiet.
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});
after(async () => {
  await browser?.close();
  server?.stop();
  bareServer?.stop();
});

// A fresh page with its console errors and uncaught exceptions collected.
async function open(url, { viewport = { width: 1300, height: 800 }, init } = {}) {
  const context = await browser.newContext({ viewport });
  const page = await context.newPage();
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push('console: ' + m.text()); });
  page.on('pageerror', (e) => errors.push('exception: ' + e.message));
  if (init) await page.addInitScript(init);
  await page.goto(url);
  return { page, errors, close: () => context.close() };
}

const game = (page) => page.evaluate(() => ({ ...window.quolvane }));
const lineText = (page, id) => page.evaluate((id) => document.getElementById(id).textContent, id);

// Waits until fn(arg) holds in the page.
function until(page, fn, arg) {
  return page.waitForFunction(fn, arg, { timeout: DEADLINE_MS, polling: 20 });
}

// Waits for the next frame after frame `seen`; returns { frames, price, balance, caption }.
async function nextFrame(page, seen) {
  await until(page, (n) => window.quolvane.frames > n, seen);
  const [frames, caption] = await page.evaluate(() => [window.quolvane.frames, document.title]);
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

// Moves the mouse to canvas pixel (px, py); returns the preview's anchor cell.
async function pointAt(page, px, py) {
  const rect = await page.evaluate(() => {
    const r = document.getElementById('canvas').getBoundingClientRect();
    return { left: r.left, top: r.top };
  });
  await page.mouse.move(rect.left + px, rect.top + py);
  return [Math.floor(Math.min(px, 1272) / 2), Math.floor(Math.min(py, 712) / 2)];
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

describe('the page with the game running', () => {
  test('loads without console errors and shows the world in the palette, with the caption line',
    async (t) => {
      const { page, errors, close } = await open(server.url);
      try {
        await until(page, () => window.quolvane.frames >= 2);
        const state = await game(page);
        t.diagnostic(`build ${state.build}: first frame ${state.firstFrameMs.toFixed(0)} ms ` +
                     'after navigation');
        assert.equal(state.build, 'simd128', 'Chromium has WebAssembly SIMD');
        // Read together: the next frame may change both at any moment.
        const [caption, title] = await page.evaluate(
          () => [document.getElementById('caption').textContent, document.title]);
        assert.match(caption, CAPTION);
        assert.equal(title, caption, 'the title and the line above the canvas');
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
        assert.deepEqual(errors, []);
      } finally {
        await close();
      }
    });

  test('the world keeps stepping, at most ten generations a second, and the balance moves',
    async () => {
      const { page, errors, close } = await open(server.url);
      try {
        const first = await nextFrame(page, 0);
        const start = Date.now();
        // A frame is drawn only after a new generation, so frames count generations from below.
        await until(page, (n) => window.quolvane.frames >= n, first.frames + 20);
        const last = await nextFrame(page, first.frames + 19);
        const ms = Date.now() - start;
        assert.ok(last.frames - first.frames <= ms / 100 + 2,
          `${last.frames - first.frames} frames in ${ms} ms: faster than one generation per 100 ms`);
        assert.notEqual(last.balance, first.balance, 'the balance after 20 generations');
        assert.deepEqual(errors, []);
      } finally {
        await close();
      }
    });

  test('the preview sits under the mouse, r turns it, and Left and Right are the game\'s',
    async () => {
      // Each key press as the browser finished with it: whether anything kept it from acting.
      const { page, errors, close } = await open(server.url, {
        init: () => {
          window.keysSeen = [];
          window.addEventListener('keydown', (e) => {
            setTimeout(() => window.keysSeen.push([e.key, e.defaultPrevented]));
          }, true);
        },
      });
      try {
        await until(page, () => window.quolvane.frames >= 1);
        const [cx, cy] = await pointAt(page, 401, 301);
        await waitForPreview(page, cx, cy, 0);
        await page.keyboard.press('r');
        await waitForPreview(page, cx, cy, 1);
        await page.keyboard.press('r');
        await waitForPreview(page, cx, cy, 2);
        await page.keyboard.press('ArrowRight');
        await page.keyboard.press('ArrowLeft');
        await page.keyboard.press('a');
        // The edges: the clamp keeps the preview inside the canvas.
        const [ex, ey] = await pointAt(page, 1279, 719);
        assert.deepEqual([ex, ey], [636, 356]);
        await waitForPreview(page, ex, ey, 2);
        await until(page, () => window.keysSeen.length >= 5);
        const seen = await page.evaluate(() => window.keysSeen);
        assert.deepEqual(seen, [['r', true], ['r', true], ['ArrowRight', true],
          ['ArrowLeft', true], ['a', false]], 'the keys the game takes are kept from the browser');
        assert.deepEqual(errors, []);
      } finally {
        await close();
      }
    });

  test('a click pays the price the caption showed for that spot', async (t) => {
    const { page, errors, close } = await open(server.url);
    try {
      let frame = await nextFrame(page, 0);
      // An anchor whose five cells are all other players' ground: the dearest spot, 5 x 17000,
      // well above what the balance moves by between two frames.
      const cells = await cellColours(page);
      const owner = (c) => PALETTE.indexOf(c) >> 1;
      let spot = null;
      for (let y = 0; y < 356 && !spot; y += 3) {
        for (let x = 0; x < 636 && !spot; x += 3) {
          if (previewCells(x, y, 0).every(([px, py]) => owner(cells[py * 640 + px]) >= 2)) {
            spot = [x, y];
          }
        }
      }
      assert.ok(spot, 'some spot of enemy ground');
      const [cx, cy] = await pointAt(page, 2 * spot[0], 2 * spot[1]);
      await waitForPreview(page, cx, cy, 0);

      // Clicked once the balance covers the price and the price is over four times what the
      // balance moved by between any two of the last three frames, so the payment stands out
      // from the world's own flows.
      const moves = [];
      const start = Date.now();
      for (;;) {
        assert.ok(Date.now() - start < DEADLINE_MS,
          `no frame with a balance of at least a price over 4 x the flow within ${DEADLINE_MS} ms`);
        const next = await nextFrame(page, frame.frames);
        moves.push(Math.abs(next.balance - frame.balance));
        frame = next;
        if (moves.length > 3) moves.shift();
        const flow = Math.max(...moves);
        if (moves.length === 3 && frame.balance >= frame.price && frame.price > 4 * flow) break;
      }
      const flow = Math.max(...moves);
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
      assert.deepEqual(errors, []);
    } finally {
      await close();
    }
  });

  test('Space restarts: a new world, balances from 0, and the page does not scroll',
    async (t) => {
      // A window lower than the page, so that a key the page let through would scroll it.
      const { page, errors, close } = await open(server.url,
        { viewport: { width: 1300, height: 400 } });
      try {
        let frame = await nextFrame(page, 0);
        while (frame.balance < 200000) frame = await nextFrame(page, frame.frames);
        const old = await cellColours(page);
        await page.keyboard.press(' ');
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
        await page.keyboard.press('PageDown');
        await until(page, () => window.scrollY > 0);
        assert.deepEqual(errors, []);
      } finally {
        await close();
      }
    });

  for (const key of ['q', 'Escape']) {
    test(`${key} ends the game: the last frame stays and the page says how to start again`,
      async () => {
        const { page, errors, close } = await open(server.url);
        try {
          await nextFrame(page, 2);
          await page.keyboard.press(key);
          await until(page, () => window.quolvane.ended);
          const state = await game(page);
          assert.equal(state.exitStatus, 0);
          assert.equal(await lineText(page, 'status'),
            'The game has ended. Reload the page to start a new one.');
          assert.match(await lineText(page, 'caption'), CAPTION);
          const cells = await cellColours(page);
          assert.ok(cells.every((c) => PALETTE.includes(c)) && cells.some((c) => c !== 0),
            'the last frame stays on the canvas');
          assert.equal(await page.evaluate(() => document.getElementById('canvas').style.cursor),
            '', 'the pointer is shown again');
          assert.deepEqual(errors, []);
        } finally {
          await close();
        }
      });
  }
});

describe('the page where it cannot run', () => {
  test('served without cross-origin isolation, it says so and loads nothing', async () => {
    const { page, close } = await open(bareServer.url);
    try {
      await until(page, () => document.getElementById('status').textContent.includes('isolation'));
      assert.match(await lineText(page, 'status'),
        /^quolvane cannot start: the page was served without cross-origin isolation/);
      assert.equal((await game(page)).build, null, 'no program was loaded');
    } finally {
      await close();
    }
  });

  test('without WebAssembly, it says so', async () => {
    const { page, close } = await open(server.url, { init: () => { delete window.WebAssembly; } });
    try {
      assert.equal(await lineText(page, 'status'),
        'quolvane cannot start: this browser does not run WebAssembly.');
    } finally {
      await close();
    }
  });

  test('without WebAssembly SIMD, it loads the portable build, which plays', async () => {
    const { page, errors, close } = await open(server.url, {
      init: () => { WebAssembly.validate = () => false; },
    });
    try {
      await until(page, () => window.quolvane.frames >= 3);
      assert.equal((await game(page)).build, 'portable');
      const cells = await cellColours(page);
      assert.ok(cells.every((c) => PALETTE.includes(c)));
      assert.deepEqual(errors, []);
    } finally {
      await close();
    }
  });

  for (const missing of ['.wasm', '.worker.js']) {
    test(`with the program's ${missing} missing, a line says it could not start`, async () => {
      const context = await browser.newContext();
      const page = await context.newPage();
      try {
        await page.route((url) => url.pathname.endsWith(missing), (route) => route.fulfill(
          { status: 404, body: 'not here' }));
        await page.goto(server.url);
        await until(page, () => window.quolvane.ended);
        assert.match(await lineText(page, 'status'), /^quolvane (could not start|stopped)/);
        assert.equal((await game(page)).frames, 0);
      } finally {
        await context.close();
      }
    });
  }
});
