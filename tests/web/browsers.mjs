// The two browsers the page's tests run in, behind one small interface: Debian's chromium driven
// by playwright-core, and Debian's firefox-esr driven by puppeteer-core over WebDriver BiDi.
// Neither library downloads a browser. QUOLVANE_BROWSER names the one to use (chromium unless
// given); QUOLVANE_CHROMIUM and QUOLVANE_FIREFOX where they are not in /usr/bin.
import { chromium } from 'playwright-core';
import puppeteer from 'puppeteer-core';

export const browserName = process.env.QUOLVANE_BROWSER || 'chromium';
// The host name both browsers resolve to 127.0.0.1 without it counting as a secure context, as a
// host on the network does.
export const INSECURE_HOST = 'quolvane.test';

// Launches the browser; resolves to { name, open(url, options), close() }. open() makes a fresh
// profile (its own storage and service workers) with one page and resolves to a Page below.
// Options: viewport { width, height }, scale (device pixel ratio), mobile (a phone: touch, and
// the viewport meta honoured), init (a function run before the page's own scripts).
export async function launch() {
  if (browserName === 'chromium') {
    const browser = await chromium.launch({
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
  throw new Error(`QUOLVANE_BROWSER=${browserName}: chromium or firefox`);
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
