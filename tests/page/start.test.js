'use strict';
// Start-up, manifest handling and media/licence preload.
const { test, describe, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');

after(h.closeBrowser);

const PLUGIN = { id: 'alpha', name: 'Alpha', description: 'First plugin' };
const GOOD = { plugins: [PLUGIN] };

describe('start', () => {
  test('the loading page is shown first with its texts, then the host check runs after 100 ms', () =>
    h.withSession({}, async (s) => {
      assert.deepEqual(await s.activePages(), ['page-loading']);
      assert.equal(await s.text('loading-status'), 'Loading manifest...');
      assert.equal(await s.eval(() => document.title), 'Zorvik Installer');
      await s.tick(99);
      assert.deepEqual(await s.calls(), []);
      await s.tick(1);
      const names = (await s.calls()).map((c) => c.name);
      assert.deepEqual(names, ['checkHostApp', 'loadManifest']);
      assert.deepEqual((await s.calls()).map((c) => c.req), ['[]', '[]']);
      assert.ok(!names.includes('checkElevated'));
    }));

  test('the state fields start as documented', () =>
    h.withSession({}, async (s) => {
      const state = await s.eval(() => ({
        manifest: app.manifest, selected: app.selectedPlugins instanceof Set && app.selectedPlugins.size,
        page: app.currentPage, cache: app.licenseCache, installed: app.installedComponents,
        uninstall: app.selectedUninstallComponents instanceof Set && app.selectedUninstallComponents.size,
        force: app.forceReinstallRenderEngine, re: app.latestRenderEngineVersion, mrv: app.latestMrvServerVersion,
      }));
      assert.deepEqual(state, { manifest: null, selected: 0, page: 'loading', cache: {}, installed: null,
        uninstall: 0, force: false, re: null, mrv: null });
    }));

  // Where the loading page goes, by the answers of the first two bound calls.
  const startCases = [
    { name: 'host application running', bridge: { checkHostApp: h.ok({ isRunning: true }) }, page: 'ae-running', fetched: false },
    { name: 'host check refused', bridge: { checkHostApp: h.refused({ success: false, error: 'x' }) }, page: 'loading', fetched: true },
    { name: 'host check not bound', bridge: { checkHostApp: 'unbound' }, page: 'loading', fetched: true },
    { name: 'manifest load refused', bridge: { loadManifest: h.refused({ success: false, error: 'x' }) }, page: 'no-internet', fetched: true },
    { name: 'manifest load not bound', bridge: { loadManifest: 'unbound' }, page: 'no-internet', fetched: false },
    { name: 'manifest load answer not JSON', bridge: { loadManifest: { status: 0, result: 'not json' } }, page: 'no-internet', fetched: true },
  ];
  for (const c of startCases) {
    test('start: ' + c.name + ' -> ' + c.page, () =>
      h.withSession({ bridge: c.bridge }, async (s) => {
        await s.tick(100);
        assert.equal(await s.currentPage(), c.page);
        assert.equal((await s.calls('loadManifest')).length, c.fetched ? 1 : 0);
      }));
  }

  test('the 2000 ms timer shows no-internet, and a late manifest still leads to welcome', () =>
    h.withSession({}, async (s) => {
      await s.tick(1999);
      assert.equal(await s.currentPage(), 'loading');
      await s.tick(1);
      assert.equal(await s.currentPage(), 'no-internet');
      await s.run(h.manifestLoadedSnippet(JSON.stringify(GOOD)));
      await s.waitForPage('welcome');
    }));

  test('the timer leaves a page other than loading alone', () =>
    h.withSession({ bridge: { checkHostApp: h.ok({ isRunning: true }) } }, async (s) => {
      await s.tick(2500);
      assert.equal(await s.currentPage(), 'ae-running');
    }));

  test('while the host application runs no manifest is fetched; Retry checks at once', () =>
    h.withSession({ bridge: { checkHostApp: h.ok({ isRunning: true }) } }, async (s) => {
      await s.tick(2500);
      assert.equal(await s.currentPage(), 'ae-running');
      await s.click('#page-ae-running button:has-text("Retry")');
      await s.settle();
      assert.equal(await s.currentPage(), 'ae-running');
      assert.equal((await s.calls('checkHostApp')).length, 2);
      assert.equal((await s.calls('loadManifest')).length, 0);

      await s.setBridge('checkHostApp', h.ok({ isRunning: false }));
      await s.setBridge('checkHostApp', 'hold');
      await s.click('#page-ae-running button:has-text("Retry")');
      assert.equal(await s.currentPage(), 'loading', 'retry shows loading while the check runs');
      await s.settleHeld('checkHostApp', h.ok({ isRunning: false }));
      await s.settle();
      assert.equal((await s.calls('loadManifest')).length, 1);
      // No second 2000 ms timer after a retry.
      await s.tick(5000);
      assert.equal(await s.currentPage(), 'loading');
    }));

  test('no-internet Retry fetches again after 100 ms without a host check', () =>
    h.withSession({ bridge: { loadManifest: h.refused({ success: false, error: 'x' }) } }, async (s) => {
      await s.tick(2500);
      assert.equal(await s.currentPage(), 'no-internet');
      await s.setBridge('loadManifest', h.ok({ success: true }));
      await s.click('#page-no-internet button:has-text("Retry")');
      assert.equal(await s.currentPage(), 'loading');
      assert.equal(await s.text('loading-status'), 'Loading manifest...');
      await s.tick(99);
      assert.equal((await s.calls('loadManifest')).length, 1);
      await s.tick(1);
      assert.equal((await s.calls('loadManifest')).length, 2);
      assert.equal((await s.calls('checkHostApp')).length, 1);
      await s.tick(3000);
      assert.equal(await s.currentPage(), 'loading');
      await s.run(h.manifestLoadedSnippet(JSON.stringify(GOOD)));
      await s.waitForPage('welcome');
    }));
});

describe('manifest handling', () => {
  // Documents that must end on the no-internet page, whatever page is shown.
  const unusable = [
    ['success false', JSON.stringify({ success: false, plugins: [PLUGIN] })],
    ['error set', JSON.stringify({ error: 'boom', plugins: [PLUGIN] })],
    ['no plugins', JSON.stringify({ welcome_header_url: '' })],
    ['empty plugins', JSON.stringify({ plugins: [] })],
    ['every plugin hidden', JSON.stringify({ plugins: [{ ...PLUGIN, hidden: true }, { id: 'b', name: 'B', hidden: 1 }] })],
    ['not an object', 'null'],
    ['plugins of the wrong type', JSON.stringify({ plugins: 42 })],
    ['an HTML error page', '<html><body>502 Bad Gateway</body></html>'],
  ];
  for (const [name, text] of unusable) {
    test('unusable manifest: ' + name, () =>
      h.withSession({}, async (s) => {
        await s.tick(100);
        await s.run(h.manifestLoadedSnippet(text));
        await s.settle();
        assert.equal(await s.currentPage(), 'no-internet');
        assert.equal(await s.eval(() => app.manifest), null);
      }));
  }

  test('a fetch failure shows no-internet from any page, and its message is not shown', () =>
    h.withSession({}, async (s) => {
      await s.toPlugins(GOOD);
      await s.run(h.MANIFEST_FETCH_FAILED);
      assert.equal(await s.currentPage(), 'no-internet');
      assert.ok(!(await s.eval(() => document.body.innerText)).includes('Failed to fetch'));
    }));

  test('a second manifest shows welcome again', () =>
    h.withSession({}, async (s) => {
      await s.toPlugins(GOOD);
      await s.run(h.manifestLoadedSnippet(JSON.stringify({ plugins: [PLUGIN, { id: 'beta', name: 'Beta' }] })));
      await s.waitForPage('welcome');
      assert.deepEqual(await s.eval(() => app.manifest.plugins.map((p) => p.id)), ['alpha', 'beta']);
    }));

  test('manifest texts with quotes, backslashes, line breaks and U+2028 arrive unchanged', () =>
    h.withSession({}, async (s) => {
      const name = 'Q "quoted" \\back\\ \n line\u2028sep \u00e9\u{1F600}';
      await s.startWith({ plugins: [{ id: 'q', name }] });
      assert.equal(await s.eval(() => app.manifest.plugins[0].name), name);
    }));
});

describe('welcome media and preload', () => {
  const O = h.MEDIA_ORIGIN;

  test('preload requests header, banner and plug-in banners at once, except placeholder banners', () =>
    h.withSession({}, async (s) => {
      for (const u of ['/header.png', '/banner.png', '/alpha.png']) s.stall(O + u);
      await s.tick(100);
      await s.run(h.manifestLoadedSnippet(JSON.stringify({
        welcome_header_url: O + '/header.png', welcome_banner_url: O + '/banner.png',
        plugins: [{ ...PLUGIN, banner_url: O + '/alpha.png' }, { id: 'beta', name: 'Beta Tool' }],
      })));
      await s.waitFor((n) => document.getElementById('loading-status').textContent === 'Loading media...');
      await s.waitFor(() => true);
      const want = [O + '/header.png', O + '/banner.png', O + '/alpha.png'];
      const end = Date.now() + 3000;
      while (!want.every((u) => s.media.requests.includes(u)) && Date.now() < end) await new Promise((r) => setTimeout(r, 20));
      assert.deepEqual(want.filter((u) => !s.media.requests.includes(u)), [], 'all requested while still loading');
      assert.ok(!s.media.requests.some((u) => u.startsWith(h.PLACEHOLDER_URL)), 'placeholder banners are not preloaded');
      assert.equal(await s.currentPage(), 'loading');
      // Stalled resources count as failed after 15 s; the 2000 ms timer shows no-internet meanwhile.
      await s.tick(14999);
      assert.equal(await s.currentPage(), 'no-internet');
      await s.tick(1);
      await s.waitForPage('welcome');
    }));

  test('a stalled licence request gives up after 15 s and falls back to the manifest text', () =>
    h.withSession({}, async (s) => {
      s.stall(O + '/license.txt');
      await s.tick(100);
      await s.run(h.manifestLoadedSnippet(JSON.stringify({
        license_url: O + '/license.txt', license_text: 'Fallback terms', plugins: [PLUGIN],
      })));
      await new Promise((r) => setTimeout(r, 200));
      await s.tick(14999);
      assert.equal(await s.currentPage(), 'no-internet');
      await s.tick(1);
      await s.waitForPage('welcome');
      assert.equal(await s.eval(() => app.licenseCache.global), 'Fallback terms');
    }));

  test('a licence whose body stops half-way also times out', async () => {
    const server = await h.startStallingServer();
    try {
      await h.withSession({}, async (s) => {
        s.allowLoopback(server.origin);
        await s.tick(100);
        await s.run(h.manifestLoadedSnippet(JSON.stringify({
          plugins: [{ ...PLUGIN, license_url: server.origin + '/licence.txt' }],
        })));
        for (let i = 0; i < 250 && server.hits() === 0; i++) await new Promise((r) => setTimeout(r, 20));
        assert.equal(server.hits(), 1);
        await new Promise((r) => setTimeout(r, 100));
        await s.tick(14999);
        assert.notEqual(await s.currentPage(), 'welcome');
        await s.tick(1);
        await s.waitForPage('welcome');
        assert.equal(await s.eval(() => app.licenseCache.alpha), 'No license information available.');
      });
    } finally {
      await server.close();
    }
  });

  test('failed media count as done', () =>
    h.withSession({}, async (s) => {
      s.serveText(O + '/broken.png', 404, 'missing');
      await s.tick(100);
      await s.run(h.manifestLoadedSnippet(JSON.stringify({
        welcome_header_url: O + '/broken.png', welcome_banner_url: O + '/nowhere.mp4', plugins: [PLUGIN],
      })));
      s.media.routes.set(O + '/nowhere.mp4', (route) => route.abort('connectionrefused'));
      await s.waitForPage('welcome');
    }));

  // How the welcome containers show each address.
  const mediaCases = [
    { header: '/head.png', banner: '/ban.jpg', want: [['IMG', 'Header'], ['IMG', 'Banner']] },
    { header: '/head.mp4', banner: '/ban.mp4', want: [['VIDEO', null], ['VIDEO', null]] },
    { header: '/head.MP4', banner: '', want: [['IMG', 'Header'], null] },
    { header: '', banner: '/ban.mp4?x=1', want: [null, ['IMG', 'Banner']] },
  ];
  for (const c of mediaCases) {
    test('welcome media: header "' + c.header + '", banner "' + c.banner + '"', () =>
      h.withSession({}, async (s) => {
        const full = (u) => (u ? O + u : '');
        for (const u of [c.header, c.banner]) if (u) s.serveImage(full(u));
        await s.startWith({ welcome_header_url: full(c.header), welcome_banner_url: full(c.banner), plugins: [PLUGIN] });
        const got = await s.eval(() => ['welcome-header', 'welcome-banner'].map((id) => {
          const e = document.getElementById(id).firstElementChild;
          if (!e) return null;
          if (e.tagName === 'VIDEO') return ['VIDEO', null, e.autoplay, e.loop, e.muted];
          return [e.tagName, e.alt];
        }));
        const want = c.want.map((w) => (w && w[0] === 'VIDEO' ? ['VIDEO', null, true, true, true] : w));
        assert.deepEqual(got, want);
      }));
  }
});
