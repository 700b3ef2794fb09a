'use strict';
// Drives the configured installer page in headless Chromium with a fake
// native bridge that follows the web view's promise rules, and builds the
// callback scripts exactly as the native side posts them.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { pathToFileURL } = require('node:url');
const { chromium } = require('playwright-core');

const PAGE_HTML = process.env.ZRVK_PAGE_HTML ||
  path.resolve(__dirname, '../../build/src/config_test/installer.html');
const SCREENSHOT_DIR = process.env.ZRVK_PAGE_SCREENSHOTS ||
  path.resolve(__dirname, '../../build/page-screenshots');
const CHROMIUM = process.env.ZRVK_CHROMIUM || '/usr/bin/chromium';
// The fonts the build pins for every test that draws the page.
const FONTS = process.env.ZRVK_PAGE_FONTS || path.resolve(__dirname, '../../build/test-fonts/fonts.conf');

// The configured page carries the flavour's addresses; read them back so the
// tests know what the build put in.
const PAGE_SOURCE = fs.readFileSync(PAGE_HTML, 'utf8');
const WEBSITE_URL = /const WEBSITE_URL = '([^']*)'/.exec(PAGE_SOURCE)[1].replace(/\/+$/, '');
const PLACEHOLDER_URL = /const PLACEHOLDER_IMAGE_URL = '([^']*)'/.exec(PAGE_SOURCE)[1].replace(/\/+$/, '');

// Media and licences live on a made-up origin answered by page.route.
const MEDIA_ORIGIN = 'http://media.zrvk.test';

const T0 = new Date('2026-01-05T10:00:00Z');

let browserPromise = null;

// playwright-core gives every launch a fresh profile in the temporary folder
// and removes it when the browser closes.
async function browser() {
  if (!browserPromise) {
    if (!fs.existsSync(FONTS)) throw new Error('no font configuration at ' + FONTS + ' (configure the build first)');
    browserPromise = chromium.launch({
      executablePath: CHROMIUM,
      headless: true,
      env: Object.assign({}, process.env, { FONTCONFIG_FILE: FONTS }),
      args: [
        '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
        '--disable-component-update', '--disable-sync', '--no-first-run',
      ],
    });
  }
  return browserPromise;
}

async function closeBrowser() {
  if (browserPromise) {
    const b = await browserPromise;
    browserPromise = null;
    await b.close();
  }
}

// ---- the native side's texts ----

// Backslash and quote first, then every character that would break or change
// a double-quoted script literal.
function escapeForScript(text) {
  let out = '';
  for (const ch of text) {
    const code = ch.codePointAt(0);
    if (ch === '\\') out += '\\\\';
    else if (ch === '"') out += '\\"';
    else if (ch === '\n') out += '\\n';
    else if (ch === '\r') out += '\\r';
    else if (ch === '\t') out += '\\t';
    else if (code < 0x20 || code === 0x7f || code === 0x2028 || code === 0x2029) {
      out += '\\u' + code.toString(16).padStart(4, '0');
    } else out += ch;
  }
  return out;
}

function startScript(devMode, fileName) {
  return 'window.DEV_MODE = ' + (devMode ? 'true' : 'false') + '; window.INSTALLER_FILENAME = "' +
    escapeForScript(fileName) + '"' + "; console.log('[MAIN] Set INSTALLER_FILENAME to:', window.INSTALLER_FILENAME);";
}

function manifestLoadedSnippet(manifestText) {
  return "if (window.onManifestLoaded) { try { console.log('[MANIFEST] Parsing JSON...'); var manifest = JSON.parse(\"" +
    escapeForScript(manifestText) + "\"); console.log('[MANIFEST] JSON parsed successfully'); window.onManifestLoaded(manifest); } " +
    "catch(e) { console.error('[MANIFEST] Parse error:', e, e.stack); window.onManifestLoadError('Failed to parse manifest: ' + e.message); } }";
}

const MANIFEST_FETCH_FAILED =
  "if (window.onManifestLoadError) { window.onManifestLoadError('Failed to fetch manifest from server'); }";

function progressSnippet(p) {
  const num = (v) => String(v);
  return 'if (window.onInstallProgress) { window.onInstallProgress({' + [
    'current: ' + num(p.current),
    'total: ' + num(p.total === undefined ? 100 : p.total),
    'currentStep: ' + num(p.currentStep),
    'totalSteps: ' + num(p.totalSteps === undefined ? 3 : p.totalSteps),
    'phaseName: "' + p.phaseName + '"',
    'status: "' + escapeForScript(p.status || '') + '"',
    'currentPlugin: ' + num(p.currentPlugin || 0),
    'totalPlugins: ' + num(p.totalPlugins || 0),
    'currentPluginName: "' + escapeForScript(p.currentPluginName || '') + '"',
  ].join(', ') + '}); }';
}

const INSTALL_SUCCESS = 'if (window.onInstallationComplete) { window.onInstallationComplete({success: true}); }';
function installFailedSnippet(message) {
  return 'if (window.onInstallationComplete) { window.onInstallationComplete({success: false, error: "' +
    escapeForScript(message) + '"}); }';
}
const INSTALL_AUTH_REFUSED = "if (window.onInstallationComplete) { window.onInstallationComplete({success: false, error: 'Authorization required to install'}); }";

function uninstallProgressSnippet(current, total, status) {
  return 'if (window.onUninstallProgress) { window.onUninstallProgress({current: ' + current + ', total: ' + total +
    ', status: "' + escapeForScript(status) + '"}); }';
}
const UNINSTALL_SUCCESS = 'if (window.onUninstallComplete) { window.onUninstallComplete({success: true}); }';
const UNINSTALL_SOME_FAILED = "if (window.onUninstallComplete) { window.onUninstallComplete({success: false, error: 'Some components failed to uninstall'}); }";
const UNINSTALL_AUTH_REFUSED = "if (window.onUninstallComplete) { window.onUninstallComplete({success: false, error: 'Authorization required to uninstall'}); }";

// ---- bound functions ----

const NOTHING_INSTALLED = {
  renderEngine: { installed: false, version: '', path: '' },
  mrvServer: { installed: false, version: '', path: '' },
  plugins: [],
  userData: { exists: false, path: '' },
  hasAnyInstallation: false,
};

function ok(value) { return { status: 0, result: JSON.stringify(value) }; }
function refused(value) { return { status: 1, result: JSON.stringify(value) }; }

const DEFAULT_BRIDGE = {
  checkElevated: ok({ elevated: false }),
  checkHostApp: ok({ isRunning: false }),
  loadManifest: ok({ success: true, message: 'Loading manifest in background' }),
  detectInstalledComponents: ok(NOTHING_INSTALLED),
  startInstallation: ok({ success: true, message: 'Installation started' }),
  startUninstall: ok({ success: true, message: 'Uninstall started' }),
  openUrl: ok({ success: true }),
  closeWindow: ok({ success: true }),
};

// Runs in the page before everything else. An answer is {status, result},
// "hold" (settled later by __bridge.settle) or "unbound" (not defined at all).
function installFakeBridge(config) {
  const bridge = { calls: [], config: config, held: {} };
  window.__bridge = bridge;
  const settleWith = (answer, resolve, reject) => {
    let value;
    try {
      value = JSON.parse(answer.result);
    } catch (e) {
      reject(new Error('Failed to parse binding result as JSON'));
      return;
    }
    if (answer.status === 0) resolve(value); else reject(value);
  };
  bridge.settle = (name, answer) => {
    const waiting = (bridge.held[name] || []).shift();
    if (waiting) settleWith(answer, waiting.resolve, waiting.reject);
    return !!waiting;
  };
  for (const name of Object.keys(config)) {
    if (config[name] === 'unbound') continue;
    window[name] = function (...args) {
      bridge.calls.push({ name: name, req: JSON.stringify(args) });
      const answer = bridge.config[name];
      return new Promise((resolve, reject) => {
        if (answer === 'hold') {
          (bridge.held[name] = bridge.held[name] || []).push({ resolve, reject });
          return;
        }
        // The native answer arrives after the calling script has returned.
        Promise.resolve().then(() => settleWith(answer, resolve, reject));
      });
    };
  }
}

// ---- the session ----

class PageSession {
  constructor(page, media) {
    this.page = page;
    this.media = media;
    this.consoleLines = [];
    this.pageErrors = [];
  }

  static async open(options = {}) {
    const b = await browser();
    const context = await b.newContext({
      viewport: { width: 600, height: 520 },
      colorScheme: options.colorScheme || 'light',
      serviceWorkers: 'block',
    });
    const page = await context.newPage();
    const media = { requests: [], routes: new Map(), unexpected: [], loopbackOrigins: [] };
    const session = new PageSession(page, media);
    session.context = context;
    page.on('console', (msg) => session.consoleLines.push(msg.type() + ': ' + msg.text()));
    page.on('pageerror', (err) => session.pageErrors.push(err.message));

    // Nothing leaves the machine: every request is answered here or refused.
    await context.route(/^https?:\/\//, async (route) => {
      const url = route.request().url();
      media.requests.push(url);
      const handler = media.routes.get(url);
      if (handler) return handler(route);
      if (media.loopbackOrigins.some((o) => url.startsWith(o + '/'))) return route.continue();
      if (url.startsWith(PLACEHOLDER_URL)) {
        return route.fulfill({ status: 200, contentType: 'image/svg+xml', body: placeholderSvg(url) });
      }
      media.unexpected.push(url);
      return route.abort('connectionrefused');
    });

    if (options.platform) {
      await page.addInitScript((platform) => {
        Object.defineProperty(Navigator.prototype, 'platform', { get: () => platform, configurable: true });
      }, options.platform);
    }
    const bridge = Object.assign({}, DEFAULT_BRIDGE, options.bridge || {});
    await page.addInitScript(installFakeBridge, bridge);
    await page.addInitScript({ content: startScript(!!options.devMode, options.fileName || 'ZorvikInstaller.exe') });
    await page.clock.install({ time: T0 });
    // Hold time still: the page's timers run only when a test moves the clock.
    await page.clock.pauseAt(new Date(T0.getTime() + 60000));
    await page.goto(pathToFileURL(PAGE_HTML).href);
    return session;
  }

  async close() { await this.context.close(); }

  // Answers for addresses the page will ask for.
  serve(url, handler) { this.media.routes.set(url, handler); }
  serveImage(url, color = '#24C3F1', w = 220, h = 90) {
    this.serve(url, (route) => route.fulfill({
      status: 200, contentType: 'image/svg+xml', headers: { 'access-control-allow-origin': '*' },
      body: `<svg xmlns="http://www.w3.org/2000/svg" width="${w}" height="${h}"><defs><linearGradient id="g" x1="0" x2="1"><stop offset="0" stop-color="${color}"/><stop offset="1" stop-color="#7b5cff"/></linearGradient></defs><rect width="100%" height="100%" fill="url(#g)"/></svg>`,
    }));
  }
  serveText(url, status, body) {
    this.serve(url, (route) => route.fulfill({
      status, contentType: 'text/plain', headers: { 'access-control-allow-origin': '*' }, body,
    }));
  }
  stall(url) {
    // Never answered: the page's own time limit has to end the wait.
    this.serve(url, () => {});
  }

  // Lets the page reach a server that the test started on 127.0.0.1.
  allowLoopback(origin) { this.media.loopbackOrigins.push(origin); }

  eval(fn, arg) { return this.page.evaluate(fn, arg); }
  run(snippet) { return this.page.evaluate((s) => { (0, eval)(s); }, snippet); }
  async tick(ms) { await this.page.clock.runFor(ms); await this.settle(); }
  // Lets promise chains and pending events run.
  async settle() {
    // Two message-channel turns: real macrotasks, which the fake clock leaves alone.
    await this.page.evaluate(async () => {
      for (let i = 0; i < 2; i++) {
        await new Promise((r) => { const c = new MessageChannel(); c.port1.onmessage = () => r(); c.port2.postMessage(0); });
      }
    });
  }

  currentPage() { return this.eval(() => app.currentPage); }
  async activePages() {
    return this.eval(() => Array.from(document.querySelectorAll('.page.active')).map((p) => p.id));
  }

  async waitFor(predicate, arg, what, timeoutMs = 5000) {
    const end = Date.now() + timeoutMs;
    for (;;) {
      if (await this.page.evaluate(predicate, arg)) return;
      if (Date.now() > end) throw new Error('timed out waiting for ' + (what || predicate.toString()));
      await new Promise((r) => setTimeout(r, 20));
    }
  }
  waitForPage(name) {
    return this.waitFor((n) => app.currentPage === n, name, 'page ' + name);
  }

  calls(name) {
    return this.eval((n) => window.__bridge.calls.filter((c) => !n || c.name === n), name || null);
  }
  setBridge(name, answer) {
    return this.eval(([n, a]) => { window.__bridge.config[n] = a; }, [name, answer]);
  }
  settleHeld(name, answer) {
    return this.eval(([n, a]) => window.__bridge.settle(n, a), [name, answer]);
  }

  text(id) { return this.eval((i) => document.getElementById(i).textContent, id); }
  visible(id) {
    return this.eval((i) => {
      const e = document.getElementById(i);
      return !!e && getComputedStyle(e).display !== 'none' && e.getClientRects().length > 0;
    }, id);
  }
  click(selector) { return this.page.click(selector); }

  // Host check, manifest request, manifest arrival and welcome page.
  async startWith(manifest) {
    await this.tick(100);
    await this.waitFor(() => window.__bridge.calls.some((c) => c.name === 'loadManifest'), null, 'loadManifest call');
    await this.run(manifestLoadedSnippet(typeof manifest === 'string' ? manifest : JSON.stringify(manifest)));
    await this.waitForPage('welcome');
  }

  async toPlugins(manifest) {
    await this.startWith(manifest);
    await this.click('#page-welcome button');
    await this.waitForPage('plugins');
    await this.waitFor(() => window.__bridge.calls.some((c) => c.name === 'detectInstalledComponents'));
    await this.settle();
  }

  async screenshot(name) {
    fs.mkdirSync(SCREENSHOT_DIR, { recursive: true });
    await this.page.screenshot({ path: path.join(SCREENSHOT_DIR, name + '.png'), animations: 'disabled' });
  }
}

// A loopback server that sends its head and part of the body, then goes quiet.
function startStallingServer() {
  const http = require('node:http');
  const sockets = new Set();
  let hits = 0;
  const server = http.createServer((req, res) => {
    hits++;
    res.writeHead(200, { 'content-type': 'text/plain', 'content-length': '1000', 'access-control-allow-origin': '*' });
    res.write('partial licence text');
  });
  server.on('connection', (socket) => { sockets.add(socket); socket.on('close', () => sockets.delete(socket)); });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => {
    resolve({
      origin: 'http://127.0.0.1:' + server.address().port,
      hits: () => hits,
      close: () => new Promise((r) => { for (const so of sockets) so.destroy(); server.close(() => r()); }),
    });
  }));
}

function placeholderSvg(url) {
  const text = decodeURIComponent((url.split('text=')[1] || '').replace(/\+/g, ' '));
  const esc = text.replace(/[<>&"]/g, (c) => ({ '<': '&lt;', '>': '&gt;', '&': '&amp;', '"': '&quot;' }[c]));
  return `<svg xmlns="http://www.w3.org/2000/svg" width="220" height="90"><rect width="100%" height="100%" fill="#24C3F1"/>` +
    `<text x="50%" y="50%" fill="#FFFFFF" font-family="sans-serif" font-size="16" text-anchor="middle" dominant-baseline="middle">${esc}</text></svg>`;
}

// Opens a page session, runs the body, and checks that the page raised no
// error and asked for nothing outside the served addresses.
async function withSession(options, body) {
  const s = await PageSession.open(options);
  try {
    await body(s);
    assert.deepEqual(s.pageErrors, [], 'no uncaught page errors');
    assert.deepEqual(s.media.unexpected, [], 'no request outside the served addresses');
  } finally {
    await s.close();
  }
}

module.exports = {
  withSession,
  startStallingServer,
  PageSession, closeBrowser, escapeForScript, startScript, manifestLoadedSnippet, MANIFEST_FETCH_FAILED,
  progressSnippet, INSTALL_SUCCESS, installFailedSnippet, INSTALL_AUTH_REFUSED, uninstallProgressSnippet,
  UNINSTALL_SUCCESS, UNINSTALL_SOME_FAILED, UNINSTALL_AUTH_REFUSED, NOTHING_INSTALLED, ok, refused,
  WEBSITE_URL, PLACEHOLDER_URL, MEDIA_ORIGIN, SCREENSHOT_DIR,
};
