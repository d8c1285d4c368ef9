// The three browsers the page's tests run in, behind one small interface: Debian's chromium driven
// by playwright-core, Debian's firefox-esr driven by puppeteer-core over WebDriver BiDi, and
// Debian's WebKitGTK (its MiniBrowser, in an Xvfb of our own) driven by selenium-webdriver over
// classic W3C WebDriver. None of them downloads a browser or a driver. QUOLVANE_BROWSER names
// the one to use (chromium unless given); QUOLVANE_CHROMIUM, QUOLVANE_FIREFOX,
// QUOLVANE_WEBKIT_DRIVER and QUOLVANE_MINIBROWSER where they are not where Debian puts them.
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { chromium } from 'playwright-core';
import puppeteer from 'puppeteer-core';
import selenium from 'selenium-webdriver';
import seleniumCommand from 'selenium-webdriver/lib/command.js';
import seleniumHttp from 'selenium-webdriver/http/index.js';

export const browserName = process.env.QUOLVANE_BROWSER || 'chromium';
// The host name the browsers resolve to 127.0.0.1 without it counting as a secure context, as a
// host on the network does.
export const INSECURE_HOST = 'quolvane.test';
// What the browser can be made to do here, for the tests to skip what it cannot: run open()'s
// init before the page's scripts, resolve INSECURE_HOST, and take touches as a touch screen's
// (WebKitGTK gets WebDriver's touch actions as the mouse: see launchWebKit).
export const can = { init: true, mapHost: true, touch: browserName !== 'webkit' };

// Launches the browser; resolves to { name, open(url, options), close() }. open() makes a fresh
// profile (its own storage and service workers) with one page and resolves to a Page below.
// Options: viewport { width, height }, scale (device pixel ratio), mobile (a phone: touch, and
// the viewport meta honoured), init (a function run before the page's own scripts). launch's
// env adds variables to the browser's environment; WebKit also takes env per open().
export async function launch({ env = {} } = {}) {
  if (browserName === 'webkit') return launchWebKit(env);
  const environment = { ...process.env, ...env };
  if (browserName === 'chromium') {
    const browser = await chromium.launch({
      env: environment,
      executablePath: process.env.QUOLVANE_CHROMIUM || '/usr/bin/chromium',
      // As root Chromium needs --no-sandbox; the rest keep it off the network and quiet.
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        `--host-resolver-rules=MAP ${INSECURE_HOST} 127.0.0.1`],
    });
    return {
      name: 'chromium',
      open: async (url, { viewport = { width: 1366, height: 657 }, scale = 1, mobile = false,
        init } = {}) => {
        const context = await browser.newContext({
          viewport, deviceScaleFactor: scale, isMobile: mobile, hasTouch: mobile,
        });
        const page = await context.newPage();
        return wrap(page, {
          init: (fn) => page.addInitScript(fn),
          until: (fn, arg, timeout) => page.waitForFunction(fn, arg, { timeout, polling: 20 }),
          resize: (size) => page.setViewportSize(size),
          tap: (x, y) => page.touchscreen.tap(x, y),
          cdp: () => context.newCDPSession(page),
          close: () => context.close(),
        }, url, init);
      },
      close: () => browser.close(),
    };
  }
  if (browserName === 'firefox') {
    const browser = await puppeteer.launch({
      browser: 'firefox',
      protocol: 'webDriverBiDi',
      env: environment,
      executablePath: process.env.QUOLVANE_FIREFOX || '/usr/bin/firefox-esr',
      headless: true,
      extraPrefsFirefox: {
        'network.dns.localDomains': INSECURE_HOST,
        // Firefox on a desktop without a touch screen turns touch events off, and WebDriver's
        // touch actions then reach the page as the mouse only; on, as on a touch screen, the
        // page gets the touches a phone's player makes.
        'dom.w3c_touch_events.enabled': 1,
      },
    });
    return {
      name: 'firefox',
      open: async (url, { viewport = { width: 1366, height: 657 }, scale = 1, mobile = false,
        init } = {}) => {
        const context = await browser.createBrowserContext();
        const page = await context.newPage();
        await page.setViewport({ ...viewport, deviceScaleFactor: scale, hasTouch: mobile });
        return wrap(page, {
          init: (fn) => page.evaluateOnNewDocument(fn),
          until: (fn, arg, timeout) => page.waitForFunction(fn, { timeout, polling: 20 }, arg),
          resize: (size) => page.setViewport({ ...size, deviceScaleFactor: scale, hasTouch: mobile }),
          tap: (x, y) => page.touchscreen.tap(x, y),
          cdp: null,
          close: () => context.close(),
        }, url, init);
      },
      close: () => browser.close(),
    };
  }
  throw new Error(`QUOLVANE_BROWSER=${browserName}: chromium, firefox or webkit`);
}

// The page with its console errors and uncaught exceptions collected, and what the tests do.
async function wrap(page, how, url, init) {
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push('console: ' + m.text()); });
  page.on('pageerror', (e) => errors.push('exception: ' + (e.message || e)));
  if (init) await how.init(init);
  if (url) await page.goto(url);
  return {
    errors,
    goto: (to) => page.goto(to),
    reload: () => page.reload(),
    evaluate: (fn, arg) => page.evaluate(fn, arg),
    until: how.until,
    resize: how.resize,
    mouse: page.mouse,
    press: (key) => page.keyboard.press(key),
    tap: how.tap,
    cdp: how.cdp,
    close: how.close,
  };
}

// WebKit: Debian's WebKitGTK, its MiniBrowser driven by WebKitWebDriver over classic W3C
// WebDriver, with selenium-webdriver as the client. selenium-webdriver only talks to the driver we
// start ourselves (WebDriver.createSession on its address): its Builder, which may read
// SELENIUM_REMOTE_URL or run the selenium-manager it ships to fetch a driver, is never used, and
// SE_MANAGER_PATH points selenium-manager at nothing in case anything did reach for it.
//
// MiniBrowser needs a display: launch() starts an Xvfb of its own on a free display number and
// close() stops it. Each open() starts its own WebKitWebDriver and MiniBrowser (the driver hands
// its environment to the browser), so pages can be open side by side, each with its own device
// pixel ratio (GDK_SCALE) and environment; MiniBrowser in automation mode keeps every session's
// storage, caches and service workers in memory, so each page starts with a fresh profile.
//
// Classic WebDriver has no hook to run a script before a page's own, no console to listen to and
// no host-name mapping, so each page goes through a proxy of our own (the standard proxy
// capability) that serves the tests' loopback servers and nothing else: it maps INSECURE_HOST to
// 127.0.0.1, and puts two scripts at the top of every HTML document it passes: one that collects
// the page's errors, then init. So init runs before the page's own scripts in every document
// loaded over http (not on about:blank or data: URLs), and the scripts remove their elements.
// The errors collected are console.error calls, uncaught exceptions and unhandled rejections of
// the page's documents; not collected: console messages and errors of workers and service workers
// (unless the page relays them), and the browser's own messages, such as a resource that failed to
// load. They reach Page.errors with the result of each evaluate() or until() call, and from a
// document that goes away in between by a beacon to the proxy.
//
// Known limits: WebKitGTK has no touch screen here, so tap() (WebDriver touch actions) reaches the
// page as mouse events, and `mobile` changes nothing else (the viewport meta is not honoured);
// scale must be a whole number (GDK_SCALE). Keys are WebDriver's key actions, so only the names
// in WEBDRIVER_KEYS and single characters.
const WEBKIT_DRIVER = process.env.QUOLVANE_WEBKIT_DRIVER || '/usr/bin/WebKitWebDriver';
const WEBKIT_DEADLINE_MS = 60000;  // for starting things and for resizing, never met when well
const ERROR_SINK = '/.quolvane-webkit-errors';
const ERRORS_KEY = 'quolvane.webkit.errors';  // the Symbol.for() key of the page's error queue

// MiniBrowser, which libwebkit2gtk-4.1-0 puts in the architecture's library folder.
function miniBrowser() {
  if (process.env.QUOLVANE_MINIBROWSER) return process.env.QUOLVANE_MINIBROWSER;
  for (const dir of readdirSync('/usr/lib')) {
    const bin = path.join('/usr/lib', dir, 'webkit2gtk-4.1', 'MiniBrowser');
    if (existsSync(bin)) return bin;
  }
  throw new Error('WebKit: no /usr/lib/*/webkit2gtk-4.1/MiniBrowser (apt-get install ' +
    'libwebkit2gtk-4.1-0, or set QUOLVANE_MINIBROWSER)');
}

// Polls check() every 20 ms until it returns something truthy, which it returns.
async function pollFor(what, check, ms = WEBKIT_DEADLINE_MS) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`WebKit: ${what}, not within ${ms} ms`);
    await sleep(20);
  }
}

// Resolves to { display: ':N', stop() } once an Xvfb of its own accepts clients; -displayfd has
// it pick a free display number and write it on file descriptor 3 when it is ready. With no
// window manager, windows may be larger than the screen (a 2560 x 1440 viewport at scale 2).
function startXvfb() {
  return new Promise((resolve, reject) => {
    const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1920x1200x24', '-nolisten',
      'tcp', '-noreset'], { stdio: ['ignore', 'ignore', 'pipe', 'pipe'] });
    let said = '';
    let number = '';
    const exited = new Promise((done) => xvfb.once('exit', done));
    xvfb.stderr.on('data', (d) => { said = (said + d).slice(-2000); });
    xvfb.stdio[3].on('data', (d) => {
      number += d;
      if (!/\n/.test(number)) return;
      resolve({ display: ':' + number.trim(), process: xvfb,
        stop: () => { if (xvfb.exitCode === null) xvfb.kill(); return exited; } });
    });
    xvfb.once('error', (e) => reject(new Error(`WebKit: cannot start Xvfb (apt-get install xvfb): ${e.message}`)));
    xvfb.once('exit', (code) => reject(new Error(`WebKit: Xvfb exited (${code}) without a display: ${said.trim()}`)));
  });
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Whether anything answers HTTP on the port.
function answers(port) {
  return new Promise((resolve) => {
    const req = http.get({ host: '127.0.0.1', port, path: '/status', agent: false }, (res) => {
      res.resume();
      resolve(true);
    });
    req.once('error', () => resolve(false));
  });
}

// Starts WebKitWebDriver with the environment given (which its browsers inherit) on a free port;
// resolves to { url, stop() } once it answers.
async function startDriver(env) {
  for (let attempt = 1; ; ++attempt) {
    const port = await freePort();
    // In a process group of its own, with the browsers it starts: stopped together, even when
    // the driver has lost its session (a browser left behind would hold the display, and our
    // end of the driver's standard error, open).
    const driver = spawn(WEBKIT_DRIVER, [`--port=${port}`], { env, detached: true,
      stdio: ['ignore', 'ignore', 'pipe'] });
    let said = '';
    let ended = null;
    driver.stderr.on('data', (d) => { said = (said + d).slice(-4000); });
    driver.once('error', (e) => { ended = e.message; });
    const exited = new Promise((done) => driver.once('exit', done));
    driver.once('exit', (code, signal) => { ended ??= `exit status ${code ?? signal}`; });
    const kill = () => {
      try { process.kill(-driver.pid, 'SIGTERM'); } catch { /* gone already */ }
    };
    try {
      await pollFor(`WebKitWebDriver answering on port ${port}`, async () => {
        if (ended !== null) throw new Error(`WebKit: ${WEBKIT_DRIVER} ended (${ended}): ${said.trim()}`);
        return answers(port);
      });
    } catch (error) {
      if (ended === null) kill();
      // Another process may have taken the port between freePort() and the driver's start.
      if (attempt < 3 && ended !== null && !/ENOENT/.test(ended)) continue;
      throw error;
    }
    return {
      url: `http://127.0.0.1:${port}`,
      kill,
      said: () => said.trim(),
      stop: () => { kill(); return exited; },
    };
  }
}

// Runs in each document before its own scripts (see above): queues the document's errors for
// the adapter, and sends what is left by a beacon when the document goes.
function collectErrors(key, sink) {
  const queue = [];
  const text = (v) => {
    if (v instanceof Error) return v.message;
    if (typeof v !== 'object' || v === null) return String(v);
    try { return JSON.stringify(v); } catch { return String(v); }
  };
  const error = console.error;
  console.error = function (...args) {
    queue.push('console: ' + args.map(text).join(' '));
    return error.apply(this, args);
  };
  window.addEventListener('error', (e) => {
    queue.push('exception: ' + (e.error instanceof Error ? e.error.message : e.message));
  });
  window.addEventListener('unhandledrejection', (e) => queue.push('exception: ' + text(e.reason)));
  Object.defineProperty(window, Symbol.for(key), { value: () => queue.splice(0) });
  window.addEventListener('pagehide', () => {
    if (queue.length) navigator.sendBeacon(sink, JSON.stringify(queue.splice(0)));
  });
}

// The HTML body with the error collector, then init if given, as the first scripts: after the
// doctype, where the parser puts them at the start of the head.
function withScripts(body, init) {
  const script = (code) => Buffer.from(`<script>${code.replace(/<\/(script)/gi, '<\\/$1')}</script>`);
  const scripts = [script(`(${collectErrors})(${JSON.stringify(ERRORS_KEY)}, ` +
    `${JSON.stringify(ERROR_SINK)}); document.currentScript.remove();`)];
  if (init) scripts.push(script(`try { (${init})(); } finally { document.currentScript.remove(); }`));
  const doctype = /^(\xEF\xBB\xBF)?\s*<!doctype[^>]*>/i.exec(body.toString('latin1'));
  const at = doctype ? doctype[0].length : 0;  // a latin1 character per byte
  return Buffer.concat([body.subarray(0, at), ...scripts, body.subarray(at)]);
}

const HOP_BY_HOP = ['connection', 'keep-alive', 'proxy-connection', 'proxy-authorization',
  'transfer-encoding', 'upgrade'];
const withoutHopByHop = (headers) =>
  Object.fromEntries(Object.entries(headers).filter(([name]) => !HOP_BY_HOP.includes(name)));

// The page's proxy (see above); `page` holds its init and errors. Resolves to the listening server.
function startProxy(page) {
  const server = http.createServer((req, res) => {
    let target;
    try {
      target = new URL(req.url);
    } catch {
      res.writeHead(400).end();
      return;
    }
    if (target.pathname === ERROR_SINK && req.method === 'POST') {
      const chunks = [];
      req.on('data', (c) => chunks.push(c));
      req.on('end', () => {
        try { page.errors.push(...JSON.parse(Buffer.concat(chunks).toString())); } catch { /* not ours */ }
        res.writeHead(204).end();
      });
      return;
    }
    const host = target.hostname === INSECURE_HOST ? '127.0.0.1' : target.hostname;
    // Nothing but the tests' own servers, and a server that is not there is a network error to
    // the page, as it is without a proxy, rather than a response the proxy makes up.
    if (target.protocol !== 'http:' || !['127.0.0.1', 'localhost'].includes(host)) {
      req.socket.destroy();
      return;
    }
    const upstream = http.request({ host, port: target.port || 80, method: req.method,
      path: target.pathname + target.search, headers: withoutHopByHop(req.headers), agent: false });
    upstream.once('error', () => req.socket.destroy());
    upstream.once('response', (r) => {
      const headers = withoutHopByHop(r.headers);
      if (req.method !== 'GET' || r.statusCode !== 200 || r.headers['content-encoding'] ||
          !/^text\/html\b/i.test(r.headers['content-type'] || '')) {
        res.writeHead(r.statusCode, headers);
        r.pipe(res);
        return;
      }
      const chunks = [];
      r.on('data', (c) => chunks.push(c));
      r.once('error', () => req.socket.destroy());
      r.once('end', () => {
        const body = withScripts(Buffer.concat(chunks), page.init);
        res.writeHead(r.statusCode, { ...headers, 'content-length': body.length }).end(body);
      });
    });
    req.pipe(upstream);
  });
  server.on('connect', (req, socket) => socket.destroy());
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

// Playwright's names of the keys the tests press, as WebDriver's key values.
const WEBDRIVER_KEYS = {
  Space: ' ', Enter: '\uE007', Tab: '\uE004', Backspace: '\uE003', Escape: '\uE00C',
  PageUp: '\uE00E', PageDown: '\uE00F', End: '\uE010', Home: '\uE011', ArrowLeft: '\uE012',
  ArrowUp: '\uE013', ArrowRight: '\uE014', ArrowDown: '\uE015', Insert: '\uE016',
  Delete: '\uE017', Shift: '\uE008', Control: '\uE009', Alt: '\uE00A', Meta: '\uE03D',
  ...Object.fromEntries(Array.from({ length: 12 }, (_, i) => [`F${i + 1}`, String.fromCharCode(0xE031 + i)])),
};

// Runs fn(arg) in the page, awaiting a promise it returns; the result carries the errors queued.
const EVALUATE = `const [arg, done] = arguments;
const drain = () => { const f = window[Symbol.for(${JSON.stringify(ERRORS_KEY)})]; return f ? f() : []; };
Promise.resolve().then(() => (FN)(arg)).then(
  (value) => done({ value: value === undefined ? null : value, errors: drain() }),
  (e) => done({ thrown: String(e && e.stack ? e.message + '\\n' + e.stack : e), errors: drain() }));`;

class PageError extends Error {}

async function launchWebKit(launchEnv) {
  // Nothing here runs selenium-manager; should anything in selenium-webdriver reach for it, it
  // finds none rather than fetching a driver.
  process.env.SE_MANAGER_PATH = '/nonexistent/selenium-manager';
  process.env.SE_OFFLINE = 'true';
  const binary = miniBrowser();
  if (!existsSync(WEBKIT_DRIVER)) {
    throw new Error(`WebKit: no ${WEBKIT_DRIVER} (apt-get install webkit2gtk-driver, or set QUOLVANE_WEBKIT_DRIVER)`);
  }
  const xvfb = await startXvfb();
  // Settings of the browsers' own (XDG_CONFIG_HOME): a GTK style that shrinks MiniBrowser's
  // toolbar so that the window can be as narrow as a phone's screen (otherwise 447 px at least).
  const home = mkdtempSync(path.join(os.tmpdir(), 'quolvane-webkit-'));
  mkdirSync(path.join(home, 'config', 'gtk-3.0'), { recursive: true });
  writeFileSync(path.join(home, 'config', 'gtk-3.0', 'gtk.css'), `
button, entry, headerbar, toolbar, box, image, label {
  min-width: 0; min-height: 0; margin: 0; padding: 0; border-width: 0; font-size: 1px;
  -gtk-icon-transform: scale(0.1);
}
`);
  const pages = new Set();
  const stopAll = () => {
    for (const p of pages) p.kill();
    if (xvfb.process.exitCode === null) xvfb.process.kill();
  };
  process.once('exit', stopAll);

  const open = async (url, { viewport = { width: 1366, height: 657 }, scale = 1, mobile = false,
    init, env = {} } = {}) => {
    void mobile;  // no touch screen nor mobile layout in WebKitGTK: see above
    if (!Number.isInteger(scale) || scale < 1) throw new Error(`WebKit: scale ${scale}: whole numbers only (GDK_SCALE)`);
    const state = { init, errors: [] };
    const proxy = await startProxy(state);
    const environment = { ...process.env, DISPLAY: xvfb.display, GDK_BACKEND: 'x11',
      GDK_SCALE: String(scale), XDG_CONFIG_HOME: path.join(home, 'config'),
      // No session bus: GLib would otherwise start one (dbus-launch) that outlives the tests.
      DBUS_SESSION_BUS_ADDRESS: 'disabled:', NO_AT_BRIDGE: '1', ...launchEnv, ...env };
    delete environment.WAYLAND_DISPLAY;
    let driver;
    let session;
    const record = { kill: () => driver?.kill(), close: () => close() };
    pages.add(record);
    const close = async () => {
      pages.delete(record);
      try {
        if (session) await session.quit();
      } finally {
        await driver?.stop();
        proxy.closeAllConnections();
        await new Promise((done) => proxy.close(done));
      }
    };
    try {
      driver = await startDriver(environment);
      session = await selenium.WebDriver.createSession(
        new seleniumHttp.Executor(new seleniumHttp.HttpClient(driver.url)),
        new selenium.Capabilities({
          'webkitgtk:browserOptions': { binary, args: ['--automation'] },
          proxy: { proxyType: 'manual', httpProxy: `127.0.0.1:${proxy.address().port}` },
          pageLoadStrategy: 'normal',
        }));
      await session.manage().setTimeouts({ script: 10 * WEBKIT_DEADLINE_MS, pageLoad: 2 * WEBKIT_DEADLINE_MS });
    } catch (error) {
      await close().catch(() => {});
      throw new Error(`WebKit: no session: ${error.message}${driver ? '\n' + driver.said() : ''}`, { cause: error });
    }

    // A session the driver gave up (WebKit's "page crash or hang") is explained by what the
    // driver and its browser said on their standard error.
    const execute = session.execute.bind(session);
    session.execute = async (command) => {
      try {
        return await execute(command);
      } catch (error) {
        if (error instanceof selenium.error.NoSuchSessionError && driver.said()) {
          error.message += `\nWebKitWebDriver and MiniBrowser said:\n${driver.said()}`;
        }
        throw error;
      }
    };
    const perform = (sources) => session.execute(
      new seleniumCommand.Command(seleniumCommand.Name.ACTIONS).setParameter('actions', sources));
    const pointer = (id, pointerType, actions) => ({ type: 'pointer', id, parameters: { pointerType }, actions });
    const moveTo = (x, y) => ({ type: 'pointerMove', origin: 'viewport', duration: 0, x: Math.round(x), y: Math.round(y) });
    const DOWN = { type: 'pointerDown', button: 0 };
    const UP = { type: 'pointerUp', button: 0 };

    const evaluate = async (fn, arg) => {
      const result = await session.executeAsyncScript(
        EVALUATE.replace('FN', () => String(fn)), arg === undefined ? null : arg);
      state.errors.push(...result.errors);
      if ('thrown' in result) throw new PageError(`in the page: ${result.thrown}`);
      return result.value;
    };
    // Polls from here rather than in the page, so that a wait goes on across a navigation (the
    // page reloading itself) as Playwright's does; an exception in fn ends it.
    const until = async (fn, arg, timeout) => {
      const end = Date.now() + timeout;
      let last = null;
      for (;;) {
        try {
          const value = await evaluate(fn, arg);
          if (value) return value;
        } catch (error) {
          if (error instanceof PageError || error instanceof selenium.error.NoSuchSessionError ||
              error instanceof selenium.error.NoSuchWindowError) throw error;
          last = error;  // the document went away in the middle: try in the next one
        }
        if (Date.now() > end) {
          throw new Error(`WebKit: timed out after ${timeout} ms waiting for ${fn}` +
            (last ? ` (last: ${last.message})` : ''));
        }
        await sleep(20);
      }
    };
    // The window's outer size minus the viewport's: MiniBrowser's toolbar.
    const inner = () => session.executeScript('return [innerWidth, innerHeight]');
    const win = session.manage().window();
    const resize = async ({ width, height }) => {
      const rect = await win.getRect();
      const [w, h] = await inner();
      const want = { width: rect.width + width - w, height: rect.height + height - h };
      await win.setRect(want);
      const got = await win.getRect();
      if (got.width !== want.width || got.height !== want.height) {
        throw new Error(`WebKit: a viewport of ${width} x ${height} needs a window of ` +
          `${want.width} x ${want.height}, and MiniBrowser's is ${got.width} x ${got.height}`);
      }
      await pollFor(`a viewport of ${width} x ${height}`, async () => {
        const [iw, ih] = await inner();
        return iw === width && ih === height;
      });
    };
    // Errors of the document about to go, before it goes (the beacon may come later).
    const drained = () => evaluate(() => null).catch(() => {});

    try {
      await resize(viewport);
      const page = {
        errors: state.errors,
        goto: async (to) => { await drained(); await session.get(to); },
        reload: async () => { await drained(); await session.navigate().refresh(); },
        evaluate,
        until,
        resize,
        mouse: {
          move: (x, y) => perform([pointer('mouse', 'mouse', [moveTo(x, y)])]),
          down: () => perform([pointer('mouse', 'mouse', [DOWN])]),
          up: () => perform([pointer('mouse', 'mouse', [UP])]),
          click: (x, y) => perform([pointer('mouse', 'mouse', [moveTo(x, y), DOWN, UP])]),
        },
        press: (key) => {
          const value = [...key].length === 1 ? key : WEBDRIVER_KEYS[key];
          if (!value) throw new Error(`WebKit: no WebDriver key for '${key}'`);
          return perform([{ type: 'key', id: 'keyboard',
            actions: [{ type: 'keyDown', value }, { type: 'keyUp', value }] }]);
        },
        // WebKitGTK has no touch screen: the touch reaches the page as the mouse.
        tap: (x, y) => perform([pointer('finger', 'touch', [moveTo(x, y), DOWN, UP])]),
        cdp: null,
        close,
        // For the adapter's own checks: the session, to take screenshots with.
        webdriver: session,
      };
      if (url) await page.goto(url);
      return page;
    } catch (error) {
      await close().catch(() => {});
      throw error;
    }
  };

  return {
    name: 'webkit',
    open,
    close: async () => {
      await Promise.allSettled([...pages].map((p) => p.close()));
      process.removeListener('exit', stopAll);
      await xvfb.stop();
      rmSync(home, { recursive: true, force: true });
    },
  };
}
