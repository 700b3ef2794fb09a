'use strict';
// The plug-in page: catalogue filter, model defaults, versions, selection,
// licences and manifest texts shown as text.
const { test, describe, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');

after(h.closeBrowser);

const rows = (s) => s.eval(() => Array.from(document.querySelectorAll('#plugins-list .plugin-item')).map((r) => ({
  id: r.dataset.pluginId,
  badge: !!r.querySelector('.hidden-badge'),
  dim: r.classList.contains('hidden-plugin'),
})));

describe('installer-name filter', () => {
  const CATALOGUE = [
    { id: 'zr-mask', name: 'Mask Pro' },
    { id: 'relight', name: 'Relight', hidden: true },
    { id: 'depthmap', name: 'Depth Map' },
    { id: 'secret', name: 'Secret Tool', hidden: true },
  ];
  // [file name, dev mode, offered ids, ids with the HIDDEN badge]
  const cases = [
    ['ZorvikInstaller.exe', false, ['zr-mask', 'depthmap'], []],
    ['ZORVIK_Installer .APP', false, ['zr-mask', 'depthmap'], []],
    ['ZorvikInstaller.app.exe', false, ['zr-mask', 'depthmap'], []],
    ['', false, ['zr-mask', 'depthmap'], []],
    ['Zorvik Installer.exe', true, ['zr-mask', 'relight', 'depthmap', 'secret'], ['relight', 'secret']],
    ['Zorvik-Installer-relight.exe', false, ['relight'], []],
    ['Zorvik-Installer-relight.exe', true, ['relight'], []],
    ['ZorvikInstaller_Mask_Pro.exe', false, ['zr-mask'], []],
    ['Zorvik-Installer-Mask-Pro.app', true, ['zr-mask'], []],
    ['zorvikinstallermaskpro', false, ['zr-mask'], []],
    ['Zorvik-Installer-p.exe', false, ['zr-mask', 'depthmap'], []],
    ['Zorvik-Installer-unknown.exe', false, ['zr-mask', 'depthmap'], []],
    ['Zorvik-Installer-unknown.exe', true, ['zr-mask', 'relight', 'depthmap', 'secret'], ['relight', 'secret']],
  ];
  for (const [fileName, devMode, offered, badged] of cases) {
    test(`"${fileName}"${devMode ? ' in dev mode' : ''} offers ${offered.join(', ')}`, () =>
      h.withSession({ fileName, devMode }, async (s) => {
        await s.toPlugins({ plugins: CATALOGUE });
        const got = await rows(s);
        assert.deepEqual(got.map((r) => r.id), offered);
        assert.deepEqual(got.filter((r) => r.badge).map((r) => r.id), badged);
        assert.deepEqual(got.filter((r) => r.dim).map((r) => r.id), badged);
        assert.equal(await s.eval(() => document.body.classList.contains('dev-mode')), devMode);
      }));
  }

  test('entries without a name or id do not match every installer name', () =>
    h.withSession({ fileName: 'Zorvik-Installer-relight.exe' }, async (s) => {
      await s.toPlugins({ plugins: [{ id: 'noname' }, { name: 'No Id' }, ...CATALOGUE] });
      assert.deepEqual((await rows(s)).map((r) => r.id), ['relight']);
    }));

  test('the context menu is cancelled outside dev mode only', async () => {
    for (const devMode of [false, true]) {
      await h.withSession({ devMode }, async (s) => {
        const cancelled = await s.eval(() => !document.dispatchEvent(new MouseEvent('contextmenu', { bubbles: true, cancelable: true })));
        assert.equal(cancelled, !devMode);
      });
    }
  });
});

describe('manifest model', () => {
  test('defaults and platform versions', () =>
    h.withSession({}, async (s) => {
      s.serveImage(h.MEDIA_ORIGIN + '/b.png');
      await s.startWith({
        plugins: [
          { id: 'a', name: 'Alpha One' },
          { id: 'b', name: 'B', banner_url: h.MEDIA_ORIGIN + '/b.png', learn_more_url: 'https://x.example/b',
            latest_version_win: '2.0', license_url: '', license_text: 'T' },
          { id: 'c', name: 'C', latest_version_mac: '3.1', latest_version_win: '3.0', hidden: false },
        ],
      });
      const model = await s.eval(() => app.manifest);
      assert.deepEqual(model.plugins[0], {
        id: 'a', name: 'Alpha One', description: '', hidden: false,
        bannerUrl: h.PLACEHOLDER_URL + '/220x90/24C3F1/FFFFFF?text=Alpha%20One',
        learnMoreUrl: h.WEBSITE_URL, version: '1.0.0', licenseUrl: '', licenseText: '',
      });
      assert.equal(model.plugins[1].bannerUrl, h.MEDIA_ORIGIN + '/b.png');
      assert.equal(model.plugins[1].learnMoreUrl, 'https://x.example/b');
      assert.equal(model.plugins[1].version, '2.0');
      assert.equal(model.plugins[2].version, '3.1');
      assert.equal(model.lastPageText, 'Visit Website');
      assert.equal(model.lastPageUrl, h.WEBSITE_URL);
      assert.equal(model.welcomeHeaderUrl, '');
      assert.equal(model.licenseUrl, '');
    }));
});

describe('versions', () => {
  const TIP_MATCH = 'Force reinstall even if version matches (useful when migrating from Intel to Apple Silicon Mac)';
  const installed = (re, mrv) => ({
    renderEngine: re === null ? { installed: false, version: '', path: '' } : { installed: true, version: re, path: '/x' },
    mrvServer: mrv === null ? { installed: false, version: '', path: '' } : { installed: true, version: mrv, path: '/y' },
    plugins: [], userData: { exists: false, path: '' }, hasAnyInstallation: re !== null || mrv !== null,
  });
  const option = (s) => s.eval(() => {
    const box = document.getElementById('force-reinstall-checkbox');
    const label = document.getElementById('force-reinstall-label');
    return { checked: box.checked, disabled: box.disabled, flag: app.forceReinstallRenderEngine, tip: label.title,
      info: document.getElementById('render-engine-version-info').textContent,
      dimmed: label.classList.contains('checkbox-disabled') };
  });

  // [name, platform, manifest version keys, detection answer, expected option]
  const cases = [
    ['not installed', null, { latest_render_engine_win_version: '3.1' }, h.ok(installed(null, null)),
      { checked: true, disabled: true, flag: true, tip: 'Render Engine will be installed', info: 'v3.1 will be installed', dimmed: true }],
    ['installed "3", manifest number 3', null, { latest_render_engine_win_version: 3 }, h.ok(installed('3', null)),
      { checked: false, disabled: false, flag: false, tip: TIP_MATCH, info: 'v3', dimmed: false }],
    ['installed "3.0", manifest number 3', null, { latest_render_engine_win_version: 3 }, h.ok(installed('3.0', null)),
      { checked: true, disabled: true, flag: true, tip: 'Render Engine will be updated from v3.0 to v3', info: 'v3.0 \u2192 v3', dimmed: true }],
    ['installed with an empty version', null, { latest_render_engine_win_version: '3' }, h.ok(installed('', null)),
      { checked: true, disabled: true, flag: true, tip: 'Render Engine will be updated from v to v3', info: 'v \u2192 v3', dimmed: true }],
    ['macOS: arm differs from the installed x64 version', 'MacIntel',
      { latest_render_engine_mac_arm_version: '2.0', latest_render_engine_mac_x64_version: '1.0', latest_render_engine_win_version: '1.0' },
      h.ok(installed('1.0', null)),
      { checked: true, disabled: true, flag: true, tip: 'Render Engine will be updated from v1.0 to v2.0', info: 'v1.0 \u2192 v2.0', dimmed: true }],
    ['macOS without an arm version uses x64', 'MacIntel', { latest_render_engine_mac_x64_version: '1.0' }, h.ok(installed('1.0', null)),
      { checked: false, disabled: false, flag: false, tip: TIP_MATCH, info: 'v1.0', dimmed: false }],
    ['manifest names no version', null, {}, h.ok(installed('1', null)),
      { checked: true, disabled: true, flag: true, tip: 'Render Engine will be updated', info: '', dimmed: true }],
    ['detection refused', null, { latest_render_engine_win_version: '3' }, h.refused({ success: false, error: 'x' }),
      { checked: false, disabled: false, flag: false, tip: TIP_MATCH, info: '', dimmed: false }],
    ['detection not bound', null, { latest_render_engine_win_version: '3' }, 'unbound',
      { checked: false, disabled: false, flag: false, tip: TIP_MATCH, info: '', dimmed: false }],
  ];
  for (const [name, platform, keys, detection, want] of cases) {
    test('reinstall option: ' + name, () =>
      h.withSession({ platform, bridge: { detectInstalledComponents: detection } }, async (s) => {
        await s.startWith({ ...keys, plugins: [{ id: 'a', name: 'A' }] });
        await s.click('#page-welcome button');
        await s.waitForPage('plugins');
        await s.settle();
        assert.deepEqual(await option(s), want);
        // The request carries the flag as shown.
        await s.click('.plugin-item');
        await s.click('#install-button');
        await s.waitFor(() => window.__bridge.calls.some((c) => c.name === 'startInstallation'));
        const [call] = await s.calls('startInstallation');
        assert.deepEqual(JSON.parse(JSON.parse(call.req)[0]), { pluginIds: ['a'], forceReinstallRenderEngine: want.flag });
      }));
  }

  test('an enabled option copies its state into the flag', () =>
    h.withSession({ bridge: { detectInstalledComponents: h.ok(installed('3', null)) } }, async (s) => {
      await s.toPlugins({ latest_render_engine_win_version: '3', plugins: [{ id: 'a', name: 'A' }] });
      await s.click('#force-reinstall-label');
      assert.equal(await s.eval(() => app.forceReinstallRenderEngine), true);
      await s.click('#force-reinstall-checkbox');
      assert.equal(await s.eval(() => app.forceReinstallRenderEngine), false);
    }));

  // [name, platform, manifest keys, installed server version or null, line before detection, line after]
  const serverCases = [
    ['not installed', null, { latest_mrv_server_version: '1.2' }, null, 'MRV Server v1.2 will be installed', 'MRV Server v1.2 will be installed'],
    ['older installed', null, { latest_mrv_server_version: '1.2' }, '1.0', 'MRV Server v1.2 will be installed', 'MRV Server v1.0 \u2192 v1.2 will be updated'],
    ['same installed', null, { latest_mrv_server_version: '1.2' }, '1.2', 'MRV Server v1.2 will be installed', 'MRV Server v1.2'],
    ['installed with an empty version', null, { latest_mrv_server_version: '1.2' }, '', 'MRV Server v1.2 will be installed', 'MRV Server v1.2'],
    ['Windows key order: _win first', null,
      { latest_mrv_server_version_win: '4', latest_mrv_server_version_windows: '5', latest_mrv_server_version: '6', latest_mrv_server_version_mac: '7' },
      '4', 'MRV Server v4 will be installed', 'MRV Server v4'],
    ['Windows key order: _windows next', null, { latest_mrv_server_version_windows: '5', latest_mrv_server_version: '6' },
      null, 'MRV Server v5 will be installed', 'MRV Server v5 will be installed'],
    ['macOS key order', 'MacIntel', { latest_mrv_server_version_win: '4', latest_mrv_server_version_mac: '7', latest_mrv_server_version: '6' },
      '6', 'MRV Server v7 will be installed', 'MRV Server v6 \u2192 v7 will be updated'],
    ['no server version', null, {}, '1.0', '', ''],
  ];
  for (const [name, platform, keys, mrv, before, afterText] of serverCases) {
    test('server version line: ' + name, () =>
      h.withSession({ platform, bridge: { detectInstalledComponents: 'hold' } }, async (s) => {
        await s.startWith({ ...keys, plugins: [{ id: 'a', name: 'A' }] });
        await s.click('#page-welcome button');
        await s.waitForPage('plugins');
        assert.equal(await s.text('mrv-version-info'), before);
        await s.settleHeld('detectInstalledComponents', h.ok(installed(null, mrv)));
        await s.settle();
        assert.equal(await s.text('mrv-version-info'), afterText);
      }));
  }

  // The "Uninstall" header button, by detection answer.
  const uninstallButtonCases = [
    ['nothing installed', h.ok(h.NOTHING_INSTALLED), false],
    ['something installed', h.ok(installed('1', null)), true],
    ['only user data', h.ok({ ...h.NOTHING_INSTALLED, userData: { exists: true, path: '/d' } }), true],
    ['detection refused', h.refused({ success: false }), false],
  ];
  for (const [name, answer, shown] of uninstallButtonCases) {
    test('uninstall header button: ' + name, () =>
      h.withSession({ bridge: { detectInstalledComponents: answer } }, async (s) => {
        await s.toPlugins({ plugins: [{ id: 'a', name: 'A' }] });
        assert.equal(await s.visible('uninstall-header-btn'), shown);
      }));
  }
});

describe('selection', () => {
  const ABC = { plugins: ['A', 'B', 'C'].map((n) => ({ id: n.toLowerCase(), name: 'Plugin ' + n, description: 'Does ' + n })) };
  const selected = (s) => s.eval(() => Array.from(app.selectedPlugins));
  const row = (id) => `.plugin-item[data-plugin-id="${id}"]`;

  test('B, then A, then Select All sends B, A, C; reselecting A moves it to the end', () =>
    h.withSession({}, async (s) => {
      await s.toPlugins(ABC);
      assert.equal(await s.eval(() => document.getElementById('install-button').disabled), true);
      await s.click(row('b') + ' .plugin-description');
      await s.click(row('a') + ' input[type=checkbox]');
      assert.deepEqual(await selected(s), ['b', 'a']);
      await s.click('button:has-text("Select All")');
      assert.deepEqual(await selected(s), ['b', 'a', 'c']);
      await s.click('button:has-text("Select All")');
      assert.deepEqual(await selected(s), ['b', 'a', 'c'], 'Select All never deselects');
      await s.click(row('a'));
      assert.deepEqual(await selected(s), ['b', 'c']);
      await s.click(row('a') + ' input[type=checkbox]');
      assert.deepEqual(await selected(s), ['b', 'c', 'a']);
      const drawn = await s.eval(() => Array.from(document.querySelectorAll('.plugin-item')).map((r) =>
        [r.dataset.pluginId, r.classList.contains('selected'), r.querySelector('input').checked]));
      assert.deepEqual(drawn, [['a', true, true], ['b', true, true], ['c', true, true]]);
      await s.click('#install-button');
      assert.equal(await s.currentPage(), 'progress');
      await s.waitFor(() => window.__bridge.calls.some((c) => c.name === 'startInstallation'));
      const [call] = await s.calls('startInstallation');
      assert.equal(call.req, JSON.stringify([JSON.stringify({ pluginIds: ['b', 'c', 'a'], forceReinstallRenderEngine: true })]));
    }));

  // One click or key press on a part of a row changes the selection this often.
  const clickCases = [
    ['the check box', ' input[type=checkbox]', 1],
    ['the row', '', 1],
    ['the banner', ' .plugin-banner', 1],
    ['the name', ' .plugin-name-text', 1],
    ['the version', ' .plugin-version', 1],
    ['Learn More', ' .learn-more', 0],
  ];
  for (const [name, suffix, toggles] of clickCases) {
    test('a click on ' + name + ' toggles ' + toggles + ' time(s)', () =>
      h.withSession({}, async (s) => {
        await s.toPlugins(ABC);
        await s.click(row('b') + suffix);
        assert.deepEqual(await selected(s), toggles ? ['b'] : []);
        assert.equal(await s.eval(() => document.getElementById('install-button').disabled), !toggles);
      }));
  }

  test('the space key on a focused check box toggles once', () =>
    h.withSession({}, async (s) => {
      await s.toPlugins(ABC);
      await s.page.focus(row('c') + ' input[type=checkbox]');
      await s.page.keyboard.press('Space');
      assert.deepEqual(await selected(s), ['c']);
    }));

  test('Learn More opens its address through openUrl and does not navigate', () =>
    h.withSession({}, async (s) => {
      await s.toPlugins({ plugins: [{ id: 'a', name: 'A', learn_more_url: 'https://docs.example/a?x=1' }, { id: 'b', name: 'B' }] });
      const before = s.page.url();
      await s.click(row('a') + ' .learn-more');
      await s.click(row('b') + ' .learn-more');
      await s.settle();
      assert.deepEqual((await s.calls('openUrl')).map((c) => JSON.parse(JSON.parse(c.req)[0])),
        [{ url: 'https://docs.example/a?x=1' }, { url: h.WEBSITE_URL }]);
      assert.equal(s.page.url(), before);
    }));
});

describe('licences', () => {
  const O = h.MEDIA_ORIGIN;
  const RULE = '='.repeat(60);
  const block = (name, text) => RULE + '\n' + name + '\n' + RULE + '\n\n' + text;

  // [name, manifest extras, plugin extras by id, ids to select, expected text]
  const cases = [
    ['nothing selected, no general licence', {}, {}, [],
      'No global license information, select a plugin to view its license.'],
    ['nothing selected, general licence', { license_text: 'General terms' }, { a: { license_text: 'A terms' } }, [],
      'General terms'],
    ['general and two selected plugins, in selection order', { license_url: O + '/general.txt' },
      { a: { license_text: 'A terms' }, b: { license_url: O + '/b.txt' }, c: {} }, ['b', 'c', 'a'],
      [block('GENERAL LICENSE', 'General from server'), block('Beta', 'B from server'), block('Alpha', 'A terms')].join('\n\n\n')],
    ['selected plugins without licences, no general', {}, {}, ['a', 'b'], 'No license information available.'],
    ['licence address answering 404 with a manifest text', {}, { a: { license_url: O + '/missing.txt', license_text: 'A fallback' } }, ['a'],
      block('Alpha', 'A fallback')],
    ['licence address answering 404 without a text', {}, { a: { license_url: O + '/missing.txt' } }, ['a'],
      block('Alpha', 'No license information available.')],
    ['licence address refused', { license_url: O + '/refused.txt' }, {}, [], 'No license information available.'],
  ];
  for (const [name, extras, pluginExtras, select, want] of cases) {
    test('licence page: ' + name, () =>
      h.withSession({}, async (s) => {
        s.serveText(O + '/general.txt', 200, 'General from server');
        s.serveText(O + '/b.txt', 201, 'B from server');
        s.serveText(O + '/missing.txt', 404, 'Not Found');
        s.serve(O + '/refused.txt', (route) => route.abort('connectionrefused'));
        const plugins = [['a', 'Alpha'], ['b', 'Beta'], ['c', 'Gamma']]
          .map(([id, n]) => ({ id, name: n, ...(pluginExtras[id] || {}) }));
        await s.toPlugins({ ...extras, plugins });
        for (const id of select) await s.click(`.plugin-item[data-plugin-id="${id}"]`);
        await s.click('button:has-text("Terms and License Info")');
        assert.equal(await s.currentPage(), 'license-info');
        assert.equal(await s.text('license-text'), want);
        await s.click('#page-license-info button:has-text("Back")');
        assert.equal(await s.currentPage(), 'plugins');
        assert.deepEqual(await s.eval(() => Array.from(app.selectedPlugins)), select);
        assert.equal((await s.calls('detectInstalledComponents')).length, 1, 'Back detects nothing again');
      }));
  }
});

describe('manifest texts are shown as text', () => {
  const EVIL = {
    id: "it's<b>\"x\"",
    name: '<img src=x onerror="window.__pwned=1">Evil',
    description: '<script>window.__pwned=2</script><b>bold</b> & more',
    learn_more_url: "https://x.example/?q=' onmouseover='window.__pwned=3",
    latest_version_win: '<i>9</i>',
  };

  test('names, descriptions, ids and addresses never become markup', () =>
    h.withSession({ devMode: true }, async (s) => {
      await s.toPlugins({ plugins: [EVIL, { id: 'ok', name: 'Fine' }], last_page_text: '<u>Site</u>' });
      const row = await s.eval(() => {
        const r = document.querySelector('.plugin-item');
        return { id: r.dataset.pluginId, name: r.querySelector('.plugin-name-text').textContent,
          description: r.querySelector('.plugin-description').textContent,
          version: r.querySelector('.plugin-version').textContent,
          images: r.querySelectorAll('img').length, bold: r.querySelectorAll('b, i, script').length,
          alt: r.querySelector('img').alt };
      });
      assert.deepEqual(row, { id: EVIL.id, name: EVIL.name, description: EVIL.description, version: EVIL.latest_version_win,
        images: 1, bold: 0, alt: EVIL.name });
      await s.click('.plugin-item .plugin-description');
      await s.click('.plugin-item .learn-more');
      await s.settle();
      assert.deepEqual(await s.eval(() => Array.from(app.selectedPlugins)), [EVIL.id]);
      assert.deepEqual(JSON.parse(JSON.parse((await s.calls('openUrl'))[0].req)[0]), { url: EVIL.learn_more_url });
      await s.click('#install-button');
      await s.waitFor(() => window.__bridge.calls.some((c) => c.name === 'startInstallation'));
      assert.deepEqual(JSON.parse(JSON.parse((await s.calls('startInstallation'))[0].req)[0]).pluginIds, [EVIL.id]);
      await s.run(h.INSTALL_SUCCESS);
      assert.equal(await s.eval(() => document.querySelector('#installed-list li').textContent), EVIL.name);
      assert.equal(await s.text('custom-button'), '<u>Site</u>');
      assert.equal(await s.eval(() => document.querySelectorAll('#page-complete u, #page-complete img').length), 0);
      assert.equal(await s.eval(() => window.__pwned), undefined);
    }));
});
