'use strict';
// Walks through every page in the light and the dark theme, saves a
// screenshot of each and checks that nothing spills out of the window.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');

after(h.closeBrowser);

const O = h.MEDIA_ORIGIN;
const MANIFEST = {
  welcome_header_url: O + '/header.svg',
  welcome_banner_url: O + '/banner.svg',
  license_text: 'Zorvik general terms of use.\n\nUse of the plugins is subject to these terms.',
  latest_mrv_server_version: '2.4.0',
  latest_render_engine_win_version: '3.10.6',
  plugins: [
    { id: 'maskpro', name: 'Mask Pro', description: 'AI rotoscoping that follows hair, motion blur and fast movement.',
      banner_url: O + '/maskpro.svg', latest_version_win: '2.1.0', license_text: 'Mask Pro licence.' },
    { id: 'relight', name: 'Relight', description: 'Change the lighting of any shot after it was filmed.',
      latest_version_win: '1.4.2', license_text: 'Relight licence.' },
    { id: 'depthmap', name: 'Depth Map', description: 'Per-pixel depth from a single camera for fog, focus and parallax effects in your compositions.',
      banner_url: O + '/depth.svg', latest_version_win: '1.0.3' },
    { id: 'upscale', name: 'Super Resolution', description: 'Upscale footage four times with fine detail.', latest_version_win: '3.0.0' },
    { id: 'secret', name: 'Lab Preview', description: 'Experimental tools.', hidden: true },
  ],
};
const FOUND = {
  renderEngine: { installed: true, version: '3.10.4', path: '/re' },
  mrvServer: { installed: true, version: '2.3.1', path: '/srv' },
  plugins: [
    { id: 'maskpro', name: 'Mask Pro', version: '2.0.0', adobePluginPath: '/p/maskpro.plugin', mrvComponentPath: '/m/maskpro' },
    { id: 'relight', name: 'Relight', version: '1.4.2', adobePluginPath: '/p/relight.plugin', mrvComponentPath: '' },
  ],
  userData: { exists: true, path: '/data' },
  hasAnyInstallation: true,
};

async function session(scheme, options = {}) {
  const s = await h.PageSession.open({ colorScheme: scheme, bridge: { detectInstalledComponents: h.ok(FOUND) }, ...options });
  s.serveImage(O + '/header.svg', '#24C3F1', 180, 60);
  s.serveImage(O + '/banner.svg', '#1590B8', 300, 150);
  s.serveImage(O + '/maskpro.svg', '#ff6b6b');
  s.serveImage(O + '/depth.svg', '#2ecc71');
  return s;
}

async function shot(s, name) {
  // Let images decode and transitions end before the picture is taken.
  await s.waitFor(() => Array.from(document.images).every((i) => i.complete), null, 'images');
  await new Promise((r) => setTimeout(r, 400));
  const overflow = await s.eval(() => {
    const page = document.querySelector('.page.active');
    const out = [];
    if (document.documentElement.scrollWidth > 600 || document.documentElement.scrollHeight > 520) out.push('document');
    if (page && page.scrollWidth > page.clientWidth) out.push(page.id + ' is wider than the window');
    for (const e of page ? page.querySelectorAll('*') : []) {
      const r = e.getBoundingClientRect();
      if (r.width && (r.right > 600.5 || r.left < -0.5)) out.push(e.id || e.className || e.tagName);
    }
    return out;
  });
  assert.deepEqual(overflow, [], name + ': nothing spills out of the window');
  await s.screenshot(name);
}

for (const scheme of ['light', 'dark']) {
  test(scheme + ': installation pages', async () => {
    const s = await session(scheme);
    try {
      await shot(s, scheme + '-01-loading');
      await s.tick(100);
      await s.run(h.manifestLoadedSnippet(JSON.stringify(MANIFEST)));
      await s.waitForPage('welcome');
      await shot(s, scheme + '-02-welcome');
      await s.click('#page-welcome button');
      await s.waitForPage('plugins');
      await s.settle();
      await s.click('.plugin-item[data-plugin-id="maskpro"]');
      await s.click('.plugin-item[data-plugin-id="depthmap"]');
      await shot(s, scheme + '-03-plugins');
      await s.click('button:has-text("Terms and License Info")');
      await shot(s, scheme + '-04-license-info');
      await s.click('#page-license-info button:has-text("Back")');
      await s.click('#install-button');
      await s.run(h.progressSnippet({ current: 64, currentStep: 2, phaseName: 'Plugins',
        status: 'Downloading: 48.2 MB / 120.0 MB (40%)', currentPlugin: 2, totalPlugins: 2, currentPluginName: 'Depth Map' }));
      await shot(s, scheme + '-05-progress');
      await s.run(h.INSTALL_SUCCESS);
      await shot(s, scheme + '-06-complete');
      await s.run(h.installFailedSnippet('Failed to install plugin: Depth Map\nDownload failed: HTTP 503 from all mirrors'));
      await shot(s, scheme + '-07-failed');
      await s.run(h.MANIFEST_FETCH_FAILED);
      await shot(s, scheme + '-08-no-internet');
      assert.deepEqual(s.pageErrors, []);
      assert.deepEqual(s.media.unexpected, []);
    } finally {
      await s.close();
    }
  });

  test(scheme + ': host application and uninstall pages', async () => {
    const s = await session(scheme, { bridge: { detectInstalledComponents: h.ok(FOUND), checkHostApp: h.ok({ isRunning: true }) } });
    try {
      await s.tick(100);
      await shot(s, scheme + '-09-ae-running');
      await s.run(h.manifestLoadedSnippet(JSON.stringify(MANIFEST)));
      await s.waitForPage('welcome');
      await s.click('#page-welcome button');
      await s.waitForPage('plugins');
      await s.settle();
      await s.click('#uninstall-header-btn');
      await s.waitForPage('uninstall');
      await s.click('.uninstall-item[data-component-id="plugin:maskpro"]');
      await s.click('.uninstall-item[data-component-id="userData"]');
      await shot(s, scheme + '-10-uninstall');
      await s.click('#uninstall-button');
      await s.run(h.uninstallProgressSnippet(1, 2, 'Removing Mask Pro...'));
      await shot(s, scheme + '-11-uninstall-progress');
      await s.run(h.UNINSTALL_SUCCESS);
      await shot(s, scheme + '-12-uninstall-complete');
      assert.deepEqual(s.pageErrors, []);
      assert.deepEqual(s.media.unexpected, []);
    } finally {
      await s.close();
    }
  });
}

test('dev mode plugin list with a hidden plugin', async () => {
  const s = await session('light', { devMode: true });
  try {
    await s.toPlugins(MANIFEST);
    await s.eval(() => { document.getElementById('plugins-list').scrollTop = 1000; });
    await shot(s, 'light-13-plugins-dev-mode');
  } finally {
    await s.close();
  }
});
