'use strict';
// Installation and uninstall: requests, progress, completion and failure pages.
const { test, describe, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');

after(h.closeBrowser);

// Enough for the Uninstall button to appear.
const SOMETHING_INSTALLED = { ...h.NOTHING_INSTALLED, userData: { exists: true, path: '/data' } };
const CATALOGUE = { plugins: [{ id: 'a', name: 'Alpha' }, { id: 'b', name: 'Beta' }, { id: 'c', name: 'Gamma' }] };

async function installing(s, ids, manifest = CATALOGUE) {
  await s.toPlugins(manifest);
  for (const id of ids) await s.click(`.plugin-item[data-plugin-id="${id}"]`);
  await s.click('#install-button');
  await s.waitFor(() => window.__bridge.calls.some((c) => c.name === 'startInstallation'));
  await s.settle();
}

const progressView = (s) => s.eval(() => ({
  phase: document.getElementById('progress-phase').textContent,
  plugin: getComputedStyle(document.getElementById('progress-plugin')).display === 'none'
    ? null : document.getElementById('progress-plugin').textContent,
  status: document.getElementById('progress-status').textContent,
  percent: document.getElementById('progress-percent').textContent,
  width: document.getElementById('progress-fill').style.width,
}));

describe('installation progress', () => {
  test('the progress page starts with its initial texts', () =>
    h.withSession({ bridge: { startInstallation: 'hold' } }, async (s) => {
      await s.toPlugins(CATALOGUE);
      await s.click('.plugin-item');
      await s.click('#install-button');
      assert.equal(await s.currentPage(), 'progress');
      assert.deepEqual(await progressView(s), { phase: 'Preparing...', plugin: null, status: 'Preparing...', percent: '0%', width: '' });
      assert.equal(await s.eval(() => getComputedStyle(document.getElementById('progress-phase')).textTransform), 'uppercase');
    }));

  // Reports applied one after another to the same page, with what it then shows.
  const steps = [
    [{ current: 0, currentStep: 0, phaseName: 'Render Engine', status: 'Downloading: 1.0 MB / 9.0 MB' },
      { phase: 'Phase 1 of 3: Render Engine', plugin: null, status: 'Downloading: 1.0 MB / 9.0 MB', percent: '0%', width: '0%' }],
    [{ current: 51, currentStep: 1, phaseName: 'MRV Server', status: 'Installing to system directory (this may take a moment)...', totalPlugins: 2 },
      { phase: 'Phase 2 of 3: MRV Server', plugin: null, status: 'Installing to system directory (this may take a moment)...', percent: '51%', width: '51%' }],
    [{ current: 1, total: 8, currentStep: 1, phaseName: 'MRV Server', status: 'Half up' },
      { phase: 'Phase 2 of 3: MRV Server', plugin: null, status: 'Half up', percent: '13%', width: '13%' }],
    [{ current: 2, currentStep: 2, phaseName: 'Plugins', status: 'Installing "Beta"', currentPlugin: 2, totalPlugins: 3, currentPluginName: 'Beta' },
      { phase: 'Phase 3 of 3: Plugins', plugin: 'Plugin 2 of 3: Beta', status: 'Installing "Beta"', percent: '2%', width: '2%' }],
    [{ current: 70, currentStep: 2, phaseName: 'Plugins', status: 'one plugin', currentPlugin: 1, totalPlugins: 1, currentPluginName: 'Beta' },
      { phase: 'Phase 3 of 3: Plugins', plugin: null, status: 'one plugin', percent: '70%', width: '70%' }],
    [{ current: 71, currentStep: 2, phaseName: 'Plugins', status: 'between plugins', currentPlugin: 0, totalPlugins: 3 },
      { phase: 'Phase 3 of 3: Plugins', plugin: null, status: 'between plugins', percent: '71%', width: '71%' }],
    [{ current: 72, currentStep: 2, phaseName: 'MRV Server', status: 'not the plugin phase', currentPlugin: 2, totalPlugins: 3, currentPluginName: 'Beta' },
      { phase: 'Phase 3 of 3: MRV Server', plugin: null, status: 'not the plugin phase', percent: '72%', width: '72%' }],
    [{ current: 80, currentStep: 2, phaseName: '', status: 'no phase name keeps the line' },
      { phase: 'Phase 3 of 3: MRV Server', plugin: null, status: 'no phase name keeps the line', percent: '80%', width: '80%' }],
    [{ current: 81, currentStep: 2, totalSteps: 0, phaseName: 'Plugins', status: 'no step count keeps the line' },
      { phase: 'Phase 3 of 3: MRV Server', plugin: null, status: 'no step count keeps the line', percent: '81%', width: '81%' }],
    [{ current: 150, currentStep: 2, phaseName: 'Plugins', status: 'Over \\ "the" top\nline two' },
      { phase: 'Phase 3 of 3: Plugins', plugin: null, status: 'Over \\ "the" top\nline two', percent: '150%', width: '150%' }],
    // A report without a usable total shows 0 % rather than "NaN%" or "Infinity%".
    [{ current: 5, total: 0, currentStep: 2, phaseName: 'Plugins', status: 'no total' },
      { phase: 'Phase 3 of 3: Plugins', plugin: null, status: 'no total', percent: '0%', width: '0%' }],
  ];

  test('each report updates the bar, the percentage, the phase, the plugin line and the status', () =>
    h.withSession({}, async (s) => {
      await installing(s, ['a', 'b']);
      for (const [report, want] of steps) {
        await s.run(h.progressSnippet(report));
        assert.deepEqual(await progressView(s), want, JSON.stringify(report));
        if (report.current > 100) {
          // Above 100 % the bar is simply full once its transition ends.
          await s.waitFor(() => {
            const fill = document.getElementById('progress-fill').getBoundingClientRect().width;
            const track = document.querySelector('#page-progress .progress-track').getBoundingClientRect().width;
            return track > 0 && fill === track;
          }, null, 'a full bar');
        }
      }
    }));
});

describe('installation outcome', () => {
  test('the complete page lists the selected plugins in selection order with the last-page button', () =>
    h.withSession({}, async (s) => {
      await installing(s, ['c', 'a'], { ...CATALOGUE, last_page_text: 'Read the Guide', last_page_url: 'https://guide.example/' });
      await s.run(h.INSTALL_SUCCESS);
      assert.equal(await s.currentPage(), 'complete');
      assert.deepEqual(await s.eval(() => Array.from(document.querySelectorAll('#installed-list li')).map((l) => l.textContent)), ['Gamma', 'Alpha']);
      assert.equal(await s.eval(() => getComputedStyle(document.querySelector('#installed-list li'), '::before').content), '"\u2713"');
      assert.equal(await s.text('custom-button'), 'Read the Guide');
      await s.click('#custom-button');
      await s.click('#page-complete button:has-text("Close")');
      await s.settle();
      assert.deepEqual((await s.calls()).filter((c) => ['openUrl', 'closeWindow'].includes(c.name)).map((c) => [c.name, c.req]),
        [['openUrl', JSON.stringify([JSON.stringify({ url: 'https://guide.example/' })])], ['closeWindow', '[]']]);
    }));

  test('the last-page button falls back to the web site', () =>
    h.withSession({}, async (s) => {
      await installing(s, ['a']);
      await s.run(h.INSTALL_SUCCESS);
      assert.equal(await s.text('custom-button'), 'Visit Website');
      await s.click('#custom-button');
      await s.settle();
      assert.deepEqual(JSON.parse(JSON.parse((await s.calls('openUrl'))[0].req)[0]), { url: h.WEBSITE_URL });
    }));

  // How each way of failing reads on the failed page.
  const failures = [
    ['a step failed', {}, h.installFailedSnippet('Failed to install MRV Server: "disk" full\\n\nsecond line'),
      'Failed to install MRV Server: "disk" full\\n\nsecond line'],
    ['authorization refused', {}, h.INSTALL_AUTH_REFUSED, 'Authorization required to install'],
    ['success false without error', {}, 'if (window.onInstallationComplete) { window.onInstallationComplete({success: false}); }', 'Installation failed'],
    ['success false with an empty error', {}, h.installFailedSnippet(''), 'Installation failed'],
    ['refused by the bridge', { startInstallation: h.refused({ success: false, error: 'Manifest not loaded' }) }, null, 'Unknown error occurred'],
    ['refused with a message', { startInstallation: h.refused({ success: false, message: 'Disk is read-only' }) }, null, 'Disk is read-only'],
    ['answer not JSON', { startInstallation: { status: 0, result: 'garbage' } }, null, 'Failed to parse binding result as JSON'],
    ['not bound', { startInstallation: 'unbound' }, null, 'window.startInstallation is not a function'],
  ];
  for (const [name, bridge, snippet, want] of failures) {
    test('failed page: ' + name, () =>
      h.withSession({ bridge }, async (s) => {
        await s.toPlugins(CATALOGUE);
        await s.click('.plugin-item');
        await s.click('#install-button');
        await s.settle();
        if (snippet) await s.run(snippet);
        await s.waitForPage('failed');
        assert.equal(await s.text('error-log'), want);
        await s.click('#page-failed button:has-text("Contact Support")');
        await s.settle();
        assert.deepEqual(JSON.parse(JSON.parse((await s.calls('openUrl'))[0].req)[0]),
          { url: h.WEBSITE_URL + '/r/plugin-contact?plugin=installer' });
      }));
  }

  test('Close without the bound function uses the browser window.close', () =>
    h.withSession({ bridge: { closeWindow: 'unbound', loadManifest: h.refused({}) } }, async (s) => {
      await s.eval(() => { window.close = () => { window.__closed = true; }; });
      await s.tick(100);
      await s.click('#page-no-internet button:has-text("Close")');
      assert.equal(await s.eval(() => window.__closed), true);
    }));

  test('a refused Close or openUrl leaves the page where it is', () =>
    h.withSession({ bridge: { closeWindow: h.refused({ success: false }), openUrl: h.refused({ success: false, error: 'Invalid URL' }) } }, async (s) => {
      await installing(s, ['a']);
      await s.run(h.INSTALL_SUCCESS);
      await s.click('#custom-button');
      await s.click('#page-complete button:has-text("Close")');
      await s.settle();
      assert.equal(await s.currentPage(), 'complete');
    }));
});

describe('uninstall', () => {
  const FOUND = {
    renderEngine: { installed: true, version: '3.10.4', path: '/re' },
    mrvServer: { installed: true, version: '', path: '/srv' },
    plugins: [
      { id: 'foo', name: 'Foo FX', version: '1.2', adobePluginPath: '/p/foo.plugin', mrvComponentPath: '' },
      { id: 'bar', name: '', version: '', adobePluginPath: '/p/bar.plugin', mrvComponentPath: '' },
    ],
    userData: { exists: true, path: '/data' },
    hasAnyInstallation: true,
  };
  const listed = (s) => s.eval(() => Array.from(document.querySelectorAll('#uninstall-components .uninstall-item')).map((r) => [
    r.dataset.componentId, r.querySelector('.plugin-name-text').textContent,
    r.querySelector('.uninstall-version') ? r.querySelector('.uninstall-version').textContent : '',
    r.querySelector('.uninstall-description').textContent]));

  async function openUninstall(s) {
    await s.toPlugins(CATALOGUE);
    await s.click('#uninstall-header-btn');
    await s.waitForPage('uninstall');
  }

  test('the list shows each detected component with its version and description', () =>
    h.withSession({ bridge: { detectInstalledComponents: h.ok(FOUND) } }, async (s) => {
      await openUninstall(s);
      assert.equal((await s.calls('detectInstalledComponents')).length, 2, 'detected again on opening');
      assert.deepEqual(await listed(s), [
        ['renderEngine', 'Render Engine', 'v3.10.4', 'Python runtime for AI processing (~1.5 GB)'],
        ['mrvServer', 'MORVANE Server', '', 'Background service for plugin communication'],
        ['plugin:foo', 'Foo FX', 'v1.2', 'Adobe plugin and AI components'],
        ['plugin:bar', 'bar', '', 'Adobe plugin and AI components'],
        ['userData', 'User Data', '', 'Anonymous ID, crash reports, and logs'],
      ]);
      assert.equal(await s.eval(() => document.getElementById('uninstall-button').disabled), true);
    }));

  // [name, first detection, second detection, expected empty-list text]
  const emptyCases = [
    ['no result at all', h.refused({}), h.refused({}), 'No components detected'],
    ['nothing installed', h.ok({ ...h.NOTHING_INSTALLED, userData: { exists: true, path: '' } }), h.ok(h.NOTHING_INSTALLED), 'No components installed'],
  ];
  for (const [name, first, second, want] of emptyCases) {
    test('empty uninstall list: ' + name, () =>
      h.withSession({ bridge: { detectInstalledComponents: first } }, async (s) => {
        await s.toPlugins(CATALOGUE);
        await s.setBridge('detectInstalledComponents', second);
        await s.eval(() => app.showUninstallPage());
        await s.waitForPage('uninstall');
        assert.equal(await s.text('uninstall-components'), want);
      }));
  }

  test('a failed fresh detection keeps the earlier result', () =>
    h.withSession({ bridge: { detectInstalledComponents: h.ok(FOUND) } }, async (s) => {
      await s.toPlugins(CATALOGUE);
      await s.setBridge('detectInstalledComponents', h.refused({ success: false }));
      await s.click('#uninstall-header-btn');
      await s.waitForPage('uninstall');
      assert.equal((await listed(s)).length, 5);
    }));

  test('user data and plugin foo send the request in member order, then progress and the complete list', () =>
    h.withSession({ bridge: { detectInstalledComponents: h.ok(FOUND) } }, async (s) => {
      await openUninstall(s);
      await s.click('.uninstall-item[data-component-id="userData"] input');
      await s.click('.uninstall-item[data-component-id="plugin:foo"] .uninstall-description');
      await s.click('.uninstall-item[data-component-id="plugin:bar"]');
      await s.click('.uninstall-item[data-component-id="plugin:bar"] input');
      assert.deepEqual(await s.eval(() => Array.from(app.selectedUninstallComponents)), ['userData', 'plugin:foo']);
      assert.equal(await s.eval(() => document.getElementById('uninstall-button').disabled), false);
      await s.click('#uninstall-button');
      assert.equal(await s.currentPage(), 'uninstall-progress');
      assert.deepEqual([await s.text('uninstall-status'), await s.text('uninstall-percent')], ['Preparing...', '0%']);
      await s.waitFor(() => window.__bridge.calls.some((c) => c.name === 'startUninstall'));
      const [call] = await s.calls('startUninstall');
      assert.equal(call.req, JSON.stringify(['{"renderEngine":false,"mrvServer":false,"userData":true,"pluginIds":["foo"]}']));

      await s.run(h.uninstallProgressSnippet(1, 3, 'Removing "Foo FX"...'));
      assert.deepEqual([await s.text('uninstall-status'), await s.text('uninstall-percent'),
        await s.eval(() => document.getElementById('uninstall-progress-fill').style.width)], ['Removing "Foo FX"...', '33%', '33%']);
      await s.run(h.uninstallProgressSnippet(2, 3, 'Done'));
      assert.equal(await s.text('uninstall-percent'), '67%');
      await s.run(h.UNINSTALL_SUCCESS);
      assert.equal(await s.currentPage(), 'uninstall-complete');
      assert.deepEqual(await s.eval(() => Array.from(document.querySelectorAll('#uninstalled-list li')).map((l) => l.textContent)),
        ['User Data', 'Foo FX']);
    }));

  test('the complete list names every kind of item, in selection order', () =>
    h.withSession({ bridge: { detectInstalledComponents: h.ok(FOUND) } }, async (s) => {
      await openUninstall(s);
      for (const id of ['plugin:bar', 'mrvServer', 'renderEngine', 'userData', 'plugin:foo']) {
        await s.click(`.uninstall-item[data-component-id="${id}"]`);
      }
      await s.click('#uninstall-button');
      await s.waitFor(() => window.__bridge.calls.some((c) => c.name === 'startUninstall'));
      assert.deepEqual(JSON.parse(JSON.parse((await s.calls('startUninstall'))[0].req)[0]),
        { renderEngine: true, mrvServer: true, userData: true, pluginIds: ['bar', 'foo'] });
      await s.run(h.UNINSTALL_SUCCESS);
      assert.deepEqual(await s.eval(() => Array.from(document.querySelectorAll('#uninstalled-list li')).map((l) => l.textContent)),
        ['bar', 'MORVANE Server', 'Render Engine', 'User Data', 'Foo FX']);
    }));

  const failures = [
    ['some components failed', {}, h.UNINSTALL_SOME_FAILED, 'Some components failed to uninstall'],
    ['authorization refused', {}, h.UNINSTALL_AUTH_REFUSED, 'Authorization required to uninstall'],
    ['success false without error', {}, 'if (window.onUninstallComplete) { window.onUninstallComplete({success: false}); }', 'Uninstall failed'],
    ['refused by the bridge', { startUninstall: h.refused({ success: false, error: 'Invalid request format' }) }, null, 'Unknown error occurred'],
  ];
  for (const [name, bridge, snippet, want] of failures) {
    test('uninstall failure: ' + name, () =>
      h.withSession({ bridge: { detectInstalledComponents: h.ok(FOUND), ...bridge } }, async (s) => {
        await openUninstall(s);
        await s.click('.uninstall-item[data-component-id="renderEngine"]');
        await s.click('#uninstall-button');
        await s.settle();
        if (snippet) await s.run(snippet);
        await s.waitForPage('failed');
        assert.equal(await s.text('error-log'), want);
        assert.equal(await s.eval(() => document.querySelector('#page-failed h1').textContent), 'Installation Failed');
      }));
  }

  test('Back returns to the plugin page without drawing or detecting again', () =>
    h.withSession({ bridge: { detectInstalledComponents: h.ok(FOUND) } }, async (s) => {
      await openUninstall(s);
      await s.eval(() => { document.querySelector('.plugin-item').dataset.marker = 'kept'; });
      await s.click('#page-uninstall button:has-text("Back")');
      assert.equal(await s.currentPage(), 'plugins');
      assert.equal(await s.eval(() => document.querySelector('.plugin-item').dataset.marker), 'kept');
      assert.equal((await s.calls('detectInstalledComponents')).length, 2);
    }));
});

describe('page switch', () => {
  test('exactly one page is active; an unknown name leaves none and keeps currentPage', () =>
    h.withSession({}, async (s) => {
      assert.equal(await s.eval(() => document.querySelectorAll('.page').length), 12);
      await s.eval(() => app.showPage('complete'));
      assert.deepEqual(await s.activePages(), ['page-complete']);
      await s.eval(() => app.showPage('nowhere'));
      assert.deepEqual(await s.activePages(), []);
      assert.equal(await s.currentPage(), 'complete');
    }));
});

describe('scroll positions', () => {
  const MANY = {
    license_text: Array.from({ length: 80 }, (_, i) => 'Term ' + (i + 1) + '.').join('\n'),
    plugins: Array.from({ length: 12 }, (_, i) => ({ id: 'p' + i, name: 'Plugin ' + i, description: 'Effect number ' + i + '.' })),
  };
  const scrolls = (s) => s.eval(() => ({
    page: document.getElementById('page-plugins').scrollTop,
    list: document.getElementById('plugins-list').scrollTop,
  }));

  test('Back from the licence and uninstall pages returns to the plugin page scrolled as it was left', () =>
    h.withSession({ bridge: { detectInstalledComponents: h.ok(SOMETHING_INSTALLED) } }, async (s) => {
      await s.toPlugins(MANY);
      // A list that keeps its full height under a taller header makes the page itself
      // taller than the window, as large text would.
      await s.eval(() => {
        document.getElementById('plugins-list').style.flexShrink = '0';
        document.querySelector('#page-plugins .page-header').style.marginBottom = '120px';
      });
      // Each button is scrolled to where it can be clicked as it stands.
      for (const [open, back, pageScroll] of [
        ['button:has-text("Terms and License Info")', '#page-license-info button:has-text("Back")', 1000],
        ['#uninstall-header-btn', '#page-uninstall button:has-text("Back")', 30],
      ]) {
        await s.eval((top) => {
          document.getElementById('plugins-list').scrollTop = 400;
          document.getElementById('page-plugins').scrollTop = top;
        }, pageScroll);
        const left = await scrolls(s);
        assert.ok(left.list > 0 && left.page > 0, 'the list and the page scroll');
        await s.click(open);
        await s.settle();
        await s.click(back);
        assert.equal(await s.currentPage(), 'plugins');
        assert.deepEqual(await scrolls(s), left, 'after ' + open);
      }
    }));

  test('the licence text starts at its top on every visit', () =>
    h.withSession({}, async (s) => {
      await s.toPlugins(MANY);
      await s.click('button:has-text("Terms and License Info")');
      await s.eval(() => { document.getElementById('license-text').scrollTop = 500; });
      assert.ok(await s.eval(() => document.getElementById('license-text').scrollTop) > 0, 'the licence text scrolls');
      await s.click('#page-license-info button:has-text("Back")');
      await s.click('.plugin-item[data-plugin-id="p3"]');
      await s.click('button:has-text("Terms and License Info")');
      assert.equal(await s.eval(() => document.getElementById('license-text').scrollTop), 0);
    }));
});

describe('result pages', () => {
  // Everything a page shows, top to bottom: each heading, line, list, box and
  // button with its text.
  const shown = (s) => s.eval(() => {
    const out = [];
    const walk = (parent) => {
      for (const e of parent.children) {
        if (e.getClientRects().length === 0) continue;
        if (e.children.length === 0 || e.matches('ul, .text-box')) {
          out.push(e.tagName.toLowerCase() + (e.id ? '#' + e.id : '') + ' ' + e.textContent);
        } else {
          walk(e);
        }
      }
    };
    walk(document.querySelector('.page.active'));
    return out;
  });

  // [page, bridge, how to get there, what it shows]
  const cases = [
    ['complete', {}, async (s) => { await installing(s, ['c', 'a']); await s.run(h.INSTALL_SUCCESS); },
      ['h1 Installation Complete', 'p Successfully installed:', 'ul#installed-list GammaAlpha',
        'button#custom-button Visit Website', 'button Close']],
    ['failed', {}, async (s) => { await installing(s, ['a']); await s.run(h.installFailedSnippet('Disk full')); },
      ['h1 Installation Failed', 'div#error-log Disk full', 'button Contact Support', 'button Close']],
    ['no-internet', {}, async (s) => { await s.tick(100); await s.run(h.MANIFEST_FETCH_FAILED); },
      ['h1 No Internet Connection', 'p Internet connection is required to use the installer.',
        'p Please check your connection and try again.', 'button Retry', 'button Close']],
    ['ae-running', { checkHostApp: h.ok({ isRunning: true }) }, async (s) => { await s.tick(100); await s.waitForPage('ae-running'); },
      ['h1 Adobe Application is Running', 'p Please close Adobe After Effects and Premiere Pro before installing.',
        'p The installer needs to update plugin files that may be in use.', 'button Retry', 'button Close']],
    ['uninstall-complete', { detectInstalledComponents: h.ok(SOMETHING_INSTALLED) }, async (s) => {
      await s.toPlugins(CATALOGUE);
      await s.click('#uninstall-header-btn');
      await s.waitForPage('uninstall');
      await s.click('.uninstall-item[data-component-id="userData"]');
      await s.click('#uninstall-button');
      await s.run(h.UNINSTALL_SUCCESS);
    }, ['h1 Uninstall Complete', 'p The following components have been removed:', 'ul#uninstalled-list User Data', 'button Close']],
  ];
  for (const [name, bridge, reach, want] of cases) {
    test('the ' + name + ' page shows only its heading, lines, list or box and buttons', () =>
      h.withSession({ bridge }, async (s) => {
        await reach(s);
        assert.equal(await s.currentPage(), name);
        assert.deepEqual(await shown(s), want);
      }));
  }
});
