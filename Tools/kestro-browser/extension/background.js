// Kestro's browser extension: shares the current tab, a link, the selection or an image with the
// native host org.kestro.share (kestro-browser-host, installed by `kestro browser install`),
// which stores it in the outbox on this device. The toolbar button's badge and title say what
// the host answered, in its words; the host is the one that knows, so nothing here claims more.
//
// One file for Chromium (a service worker) and Firefox (an event page): every listener is added
// when the script starts, and nothing is kept in memory between events but what storage holds.

'use strict';

const api = globalThis.browser ?? globalThis.chrome;

const HOST = 'org.kestro.share';
// The page's visible text is sent up to this many bytes of UTF-8, cut at a character boundary.
const VISIBLE_TEXT_LIMIT = 256 * 1024;
// The host reads requests of at most 4 MiB of JSON.
const REQUEST_LIMIT = 4 * 1024 * 1024;
const SCREENSHOT_OPTION = 'screenshot';
const NOT_INSTALLED = 'Kestro is not installed for this browser: run kestro browser install';
const SHARE_TITLE = 'Share with Kestro';

let nextRequestId = 1;

// `text` cut to at most `limit` bytes of UTF-8, never inside a character.
function cappedUTF8(text, limit = VISIBLE_TEXT_LIMIT) {
  const bytes = new TextEncoder().encode(text);
  if (bytes.length <= limit) return text;
  let end = limit;
  while (end > 0 && (bytes[end] & 0xc0) === 0x80) end -= 1;
  return new TextDecoder().decode(bytes.subarray(0, end));
}

function utf8Length(text) {
  return new TextEncoder().encode(text).length;
}

// The bytes the browser sends for `request`: Chromium's JSON writer escapes "<", U+2028 and
// U+2029 as six-character \u escapes, which JSON.stringify leaves as they are.
function requestLength(request) {
  return utf8Length(JSON.stringify(request).replace(/[<\u2028\u2029]/g, '\\u003C'));
}

// Whether the browser's reason for not reaching the host means that no host is installed for it
// (rather than a host that failed).
function hostMissing(reason) {
  return /not found|forbidden|no such native application/i.test(reason);
}

function isShareable(url) {
  return typeof url === 'string' && /^https?:\/\//i.test(url);
}

// The selection and the visible text of the tab's page; empty when the page cannot be read (a
// browser page, a page the extension may not script).
async function readPage(tabId) {
  try {
    const [injection] = await api.scripting.executeScript({
      target: { tabId },
      // Runs in the page. Each UTF-16 unit is at least one byte of UTF-8, so this many units
      // hold at least the bytes that are sent.
      func: (units) => ({
        selectedText: String(globalThis.getSelection?.() ?? ''),
        visibleText: document.body ? document.body.innerText.slice(0, units) : '',
      }),
      args: [VISIBLE_TEXT_LIMIT],
    });
    const result = injection?.result ?? {};
    return {
      selectedText: typeof result.selectedText === 'string' ? result.selectedText : '',
      visibleText: cappedUTF8(typeof result.visibleText === 'string' ? result.visibleText : ''),
    };
  } catch (error) {
    return { selectedText: '', visibleText: '' };
  }
}

async function screenshotWanted() {
  const stored = await api.storage.local.get(SCREENSHOT_OPTION);
  return stored[SCREENSHOT_OPTION] !== false;
}

// Chromium takes at most two screenshots a second and refuses a third with a quota error; a
// share made right after two others waits a second for the quota to renew rather than go
// without its screenshot.
const SCREENSHOT_QUOTA_WAIT_MS = 1000;

// The visible part of the tab as a PNG data URL, or nothing when it cannot be taken. After the
// wait, only if the tab is still the one its window shows: never a picture of another page.
async function takeScreenshot(tab) {
  for (let attempt = 0; ; ++attempt) {
    try {
      return await api.tabs.captureVisibleTab(tab.windowId, { format: 'png' });
    } catch (error) {
      if (attempt > 0 || !/quota/i.test(String(error?.message ?? error))) return undefined;
    }
    await new Promise((resolve) => setTimeout(resolve, SCREENSHOT_QUOTA_WAIT_MS));
    const [shown] = await api.tabs.query({ active: true, windowId: tab.windowId });
    if (shown?.id !== tab.id) return undefined;
  }
}

// The share request for `tab`, from the trigger and the context menu's info (when there is one).
async function shareRequest(tab, trigger, context, info = {}) {
  const page = await readPage(tab.id);
  const request = {
    id: String(nextRequestId++),
    type: 'share',
    trigger,
    context,
    url: info.pageUrl ?? tab.url,
    incognito: Boolean(tab.incognito),
  };
  if (tab.title) request.title = tab.title;
  const selectedText = page.selectedText || info.selectionText || '';
  if (selectedText) request.selectedText = selectedText;
  if (page.visibleText) request.visibleText = page.visibleText;
  // Only web addresses: a data: image can be larger than a request may be, and the host would
  // take the page's address instead of one that is not on the web anyway.
  if (isShareable(info.linkUrl)) request.linkUrl = info.linkUrl;
  if (isShareable(info.srcUrl)) request.srcUrl = info.srcUrl;
  if (await screenshotWanted()) {
    const screenshot = await takeScreenshot(tab);
    if (screenshot) request.screenshot = screenshot;
  }
  // A request the host would refuse as too long loses its screenshot first (a large screen's
  // PNG can pass the limit alone), then as much of the selection as it must.
  if (requestLength(request) > REQUEST_LIMIT) delete request.screenshot;
  const over = requestLength(request) - REQUEST_LIMIT;
  if (over > 0 && request.selectedText) {
    const kept = utf8Length(request.selectedText) - over - 1024;
    request.selectedText = cappedUTF8(request.selectedText, Math.max(0, kept));
  }
  return request;
}

// The host's answer, or {unreachable} with the browser's reason when it could not be asked.
async function askHost(message) {
  try {
    return await api.runtime.sendNativeMessage(HOST, message);
  } catch (error) {
    return { unreachable: String(error?.message ?? error) };
  }
}

// What a share's answer means, as the badge (a mark) and the button's title (words) show it.
function shareOutcome(answer) {
  if (!answer) return { badge: '!', colour: '#b00020', title: NOT_INSTALLED };
  if (answer.unreachable !== undefined) {
    const title = hostMissing(answer.unreachable)
      ? NOT_INSTALLED
      : 'not shared: Kestro could not take it (' + answer.unreachable + ')';
    return { badge: '!', colour: '#b00020', title };
  }
  if (answer.ok && answer.outcome === 'stored') {
    const sent = answer.state === 'sent';
    return {
      badge: '\u2713',
      colour: '#12786e',
      title: sent ? 'sent' : 'stored on this device',
    };
  }
  switch (answer.outcome) {
    case 'refused':
      return { badge: '\u2717', colour: '#b00020', title: answer.message || 'refused' };
    case 'notSignedIn':
      return { badge: '!', colour: '#b00020', title: 'not signed in: run kestro signin' };
    default:
      return {
        badge: '!',
        colour: '#b00020',
        title: 'not shared: ' + (answer.message || 'Kestro gave no reason'),
      };
  }
}

async function showOutcome(tabId, outcome) {
  await api.action.setBadgeBackgroundColor({ tabId, color: outcome.colour });
  await api.action.setBadgeText({ tabId, text: outcome.badge });
  await api.action.setTitle({ tabId, title: 'Kestro: ' + outcome.title });
}

async function share(tab, trigger, context, info) {
  if (!tab || tab.id === undefined) return undefined;
  const url = info?.pageUrl ?? tab.url;
  if (!isShareable(url)) {
    const outcome = {
      badge: '!',
      colour: '#b00020',
      title: 'not shared: only web pages (http, https) can be shared',
    };
    await showOutcome(tab.id, outcome);
    return outcome;
  }
  const answer = await askHost(await shareRequest(tab, trigger, context, info));
  const outcome = shareOutcome(answer);
  await showOutcome(tab.id, outcome);
  return outcome;
}

// The triggers, each a function of its own.
function shareCurrentTab(tab) {
  return share(tab, 'button', 'page');
}

function shareFromShortcut(tab) {
  return share(tab, 'shortcut', 'page');
}

function sharePage(info, tab) {
  return share(tab, 'contextMenu', 'page', info);
}

function shareLink(info, tab) {
  return share(tab, 'contextMenu', 'link', info);
}

function shareSelection(info, tab) {
  return share(tab, 'contextMenu', 'selection', info);
}

function shareImage(info, tab) {
  return share(tab, 'contextMenu', 'image', info);
}

const MENU_HANDLERS = {
  'kestro-share-page': sharePage,
  'kestro-share-link': shareLink,
  'kestro-share-selection': shareSelection,
  'kestro-share-image': shareImage,
};

async function createMenus() {
  await api.contextMenus.removeAll();
  const items = [
    ['kestro-share-page', 'Share page with Kestro', ['page']],
    ['kestro-share-link', 'Share link with Kestro', ['link']],
    ['kestro-share-selection', 'Share selection with Kestro', ['selection']],
    ['kestro-share-image', 'Share image with Kestro', ['image']],
  ];
  for (const [id, title, contexts] of items) api.contextMenus.create({ id, title, contexts });
  api.contextMenus.create({
    id: SCREENSHOT_OPTION,
    title: 'Include a screenshot of the visible part',
    type: 'checkbox',
    checked: await screenshotWanted(),
    contexts: ['action'],
  });
}

function onMenuClicked(info, tab) {
  if (info.menuItemId === SCREENSHOT_OPTION) {
    return api.storage.local.set({ [SCREENSHOT_OPTION]: Boolean(info.checked) });
  }
  const handler = MENU_HANDLERS[info.menuItemId];
  return handler ? handler(info, tab) : undefined;
}

function onCommand(command, tab) {
  if (command !== 'share-page') return undefined;
  if (tab) return shareFromShortcut(tab);
  return api.tabs
    .query({ active: true, currentWindow: true })
    .then(([active]) => shareFromShortcut(active));
}

// The button's title for a page, from the host's status answer.
function statusTitle(answer) {
  if (!answer || (answer.unreachable !== undefined && hostMissing(answer.unreachable))) {
    return 'Kestro: ' + NOT_INSTALLED;
  }
  if (answer.unreachable !== undefined) return SHARE_TITLE;
  if (!answer.ok) return SHARE_TITLE;
  const known = [];
  if (answer.onDevice) {
    known.push(answer.state === 'sent' ? 'already sent from this device' : 'already on this device');
  }
  if (answer.inLibrary) known.push('already in your library');
  return known.length === 0 ? SHARE_TITLE : SHARE_TITLE + ' (' + known.join('; ') + ')';
}

// Shows in the button's title whether the tab's address is known, clearing a share's badge.
async function showStatus(tab) {
  if (!tab || tab.id === undefined) return undefined;
  await api.action.setBadgeText({ tabId: tab.id, text: '' });
  if (!isShareable(tab.url)) {
    await api.action.setTitle({ tabId: tab.id, title: SHARE_TITLE });
    return SHARE_TITLE;
  }
  const title = statusTitle(
    await askHost({ id: String(nextRequestId++), type: 'status', url: tab.url }),
  );
  await api.action.setTitle({ tabId: tab.id, title });
  return title;
}

function onTabActivated(activeInfo) {
  return api.tabs.get(activeInfo.tabId).then(showStatus, () => undefined);
}

// Asked once a page has loaded, and only for the tab in front: each question starts the host.
function onTabUpdated(tabId, changeInfo, tab) {
  return changeInfo.status === 'complete' && tab?.active ? showStatus(tab) : undefined;
}

api.runtime.onInstalled.addListener(createMenus);
api.runtime.onStartup.addListener(createMenus);
api.action.onClicked.addListener(shareCurrentTab);
api.commands.onCommand.addListener(onCommand);
api.contextMenus.onClicked.addListener(onMenuClicked);
api.tabs.onActivated.addListener(onTabActivated);
api.tabs.onUpdated.addListener(onTabUpdated);
