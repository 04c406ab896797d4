// The extension's background script under Node: what it sends the native host for each trigger,
// and what the toolbar button then says. No browser runs here, so the browser's side is a
// scripted stand-in that records the calls; the page script runs against a stand-in document.
// Run: node --test Tools/kestro-browser/BackgroundTests.js

'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const vm = require('node:vm');

const source = fs.readFileSync(path.join(__dirname, 'extension', 'background.js'), 'utf8');

// A fresh background script with a browser whose host gives `answers` in turn (an Error is a
// host that cannot be reached), whose page holds `page`, and whose storage holds `stored`.
function load({ answers = [], page = {}, stored = {} } = {}) {
  const sent = [];
  const button = {};
  const listeners = {};
  const event = (name) => ({ addListener: (f) => (listeners[name] = f) });
  const browser = {
    runtime: {
      onInstalled: event('installed'),
      onStartup: event('startup'),
      sendNativeMessage: async (host, message) => {
        sent.push({ host, message });
        const answer = answers.shift();
        if (answer instanceof Error) throw answer;
        return { id: message.id, ...answer };
      },
    },
    scripting: {
      executeScript: async ({ func, args }) => {
        const document = { body: { innerText: page.text ?? '' } };
        const getSelection = () => ({ toString: () => page.selection ?? '' });
        const run = vm.runInNewContext(`(${func})`, { document, getSelection });
        return [{ result: run(...args) }];
      },
    },
    storage: {
      local: {
        get: async (key) => (key in stored ? { [key]: stored[key] } : {}),
        set: async (values) => Object.assign(stored, values),
      },
    },
    tabs: {
      captureVisibleTab: async () => 'data:image/png;base64,iVBORw0KGgo=',
      onActivated: event('activated'),
      onUpdated: event('updated'),
    },
    action: {
      onClicked: event('clicked'),
      setBadgeText: async ({ text }) => (button.badge = text),
      setBadgeBackgroundColor: async () => {},
      setTitle: async ({ title }) => (button.title = title),
    },
    commands: { onCommand: event('command') },
    contextMenus: { onClicked: event('menu') },
  };
  const context = vm.createContext({ browser, TextEncoder, TextDecoder, setTimeout });
  vm.runInContext(source, context);
  return { context, sent, button, listeners, stored };
}

const tab = { id: 7, windowId: 1, url: 'https://example.com/a', title: 'A page', incognito: true };
const stored = { ok: true, outcome: 'stored', captureId: 'C', state: 'queued' };

test('each trigger sends what the protocol names, with the tab as it is', async () => {
  const run = load({ answers: [stored, stored, stored], page: { text: 'Body', selection: 'sel' } });
  await run.listeners.menu(
    { menuItemId: 'kestro-share-link', pageUrl: tab.url, linkUrl: 'https://example.com/b' },
    tab,
  );
  await run.listeners.clicked({ ...tab, incognito: false });
  await run.listeners.command('share-page', tab);
  const [link, button, shortcut] = run.sent.map((s) => s.message);
  assert.ok(run.sent.every((s) => s.host === 'org.kestro.share'));
  assert.deepEqual({ ...link, id: undefined }, {
    id: undefined,
    type: 'share',
    trigger: 'contextMenu',
    context: 'link',
    url: tab.url,
    title: 'A page',
    incognito: true,
    selectedText: 'sel',
    visibleText: 'Body',
    linkUrl: 'https://example.com/b',
    screenshot: 'data:image/png;base64,iVBORw0KGgo=',
  });
  assert.equal(button.trigger, 'button');
  assert.equal(button.incognito, false);
  assert.equal(shortcut.trigger, 'shortcut');
  assert.equal(new Set([link.id, button.id, shortcut.id]).size, 3);
  assert.equal(run.button.title, 'Kestro: stored on this device');
});

test('the visible text is cut at 256 KiB of UTF-8, never inside a character', async () => {
  for (const unit of ['a', '\u00e9', '\u20ac', '\u{1f426}']) {
    const text = unit.repeat(300 * 1024);
    const run = load({ answers: [stored], page: { text } });
    await run.context.shareImage({ srcUrl: 'https://example.com/i.png' }, tab);
    const visible = run.sent[0].message.visibleText;
    const bytes = Buffer.byteLength(visible, 'utf8');
    assert.ok(bytes <= 256 * 1024 && bytes > 256 * 1024 - 4, `${unit}: ${bytes} bytes`);
    assert.ok(text.startsWith(visible), unit);
    assert.equal(run.sent[0].message.srcUrl, 'https://example.com/i.png');
  }
});

test('a request stays within the 4 MiB the host reads, the screenshot going first', async () => {
  const run = load({ answers: [stored], page: { selection: '\u00e9'.repeat(3 << 20) } });
  run.context.browser.tabs.captureVisibleTab = async () => 'data:image/png;base64,' + 'A'.repeat(1 << 20);
  await run.context.shareCurrentTab(tab);
  const request = run.sent[0].message;
  assert.equal('screenshot' in request, false);
  assert.ok(Buffer.byteLength(JSON.stringify(request)) <= 4 << 20);
  assert.ok(request.selectedText.length > 1 << 20);
});

test('the screenshot follows the option that the button menu stores', async () => {
  const run = load({ answers: [stored, stored], stored: { screenshot: false } });
  await run.context.shareCurrentTab(tab);
  await run.listeners.menu({ menuItemId: 'screenshot', checked: true }, tab);
  await run.context.shareCurrentTab(tab);
  assert.deepEqual(run.sent.map((s) => 'screenshot' in s.message), [false, true]);
});

test('a screenshot refused for the quota is taken a moment later, of that tab only', async () => {
  const run = load({ answers: [stored, stored, stored] });
  const quota = new Error('This request exceeds the MAX_CAPTURE_VISIBLE_TAB_CALLS_PER_SECOND quota.');
  const shots = [quota, 'data:image/png;base64,AAAA', quota, quota, new Error('no permission')];
  let shown = tab;
  run.context.browser.tabs.captureVisibleTab = async () => {
    const next = shots.shift();
    if (next instanceof Error) throw next;
    return next;
  };
  run.context.browser.tabs.query = async ({ active, windowId }) =>
    active && windowId === shown.windowId ? [shown] : [];
  await run.context.shareCurrentTab(tab); // refused, then taken
  await run.context.shareCurrentTab(tab); // refused twice: goes without
  shown = { ...tab, id: 8 };
  shots.unshift(quota);
  await run.context.shareCurrentTab(tab); // another tab shown by then: not taken
  await run.context.shareCurrentTab(tab); // not a quota: not tried again
  assert.deepEqual(
    run.sent.map((s) => s.message.screenshot),
    ['data:image/png;base64,AAAA', undefined, undefined, undefined],
  );
  assert.equal(shots.length, 0);
});

test('the button says what the host answered, and never more', async () => {
  const cases = [
    [{ ...stored, state: 'sent' }, 'Kestro: sent', '\u2713'],
    [{ ok: false, outcome: 'refused', message: 'refused: a private window' },
      'Kestro: refused: a private window', '\u2717'],
    [{ ok: false, outcome: 'notSignedIn', message: 'x' }, 'Kestro: not signed in: run kestro signin', '!'],
    [{ ok: false, outcome: 'failed', message: 'disk full' }, 'Kestro: not shared: disk full', '!'],
    [new Error('Specified native messaging host not found.'),
      'Kestro: Kestro is not installed for this browser: run kestro browser install', '!'],
    [new Error('Error when communicating with the native messaging host.'),
      'Kestro: not shared: Kestro could not take it (Error when communicating with the native '
        + 'messaging host.)', '!'],
  ];
  for (const [answer, title, badge] of cases) {
    const run = load({ answers: [answer] });
    await run.context.shareSelection({ selectionText: 'words' }, tab);
    assert.equal(run.button.title, title);
    assert.equal(run.button.badge, badge);
    assert.doesNotMatch(run.button.title, /saved/);
  }
  const local = load();
  await local.context.shareCurrentTab({ ...tab, url: 'chrome://settings' });
  assert.equal(local.sent.length, 0);
  assert.match(local.button.title, /only web pages/);
});

test('the title tells whether the tab is already on this device or in the library', async () => {
  const cases = [
    [{ ok: true, onDevice: true, state: 'queued', inLibrary: false },
      'Share with Kestro (already on this device)'],
    [{ ok: true, onDevice: true, state: 'sent', inLibrary: true },
      'Share with Kestro (already sent from this device; already in your library)'],
    [new Error('Specified native messaging host not found.'),
      'Kestro: Kestro is not installed for this browser: run kestro browser install'],
  ];
  for (const [answer, title] of cases) {
    const run = load({ answers: [answer] });
    await run.listeners.updated(tab.id, { status: 'loading' }, { ...tab, active: true });
    await run.listeners.updated(tab.id, { status: 'complete' }, { ...tab, active: false });
    await run.listeners.updated(tab.id, { status: 'complete' }, { ...tab, active: true });
    assert.equal(run.sent.length, 1);
    assert.deepEqual({ ...run.sent[0].message }, { id: run.sent[0].message.id, type: 'status', url: tab.url });
    assert.equal(run.button.title, title);
  }
});
