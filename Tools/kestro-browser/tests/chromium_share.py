"""The extension in headless Chromium, sharing into the outbox through the real host.

    chromium_share.py <case> <kestro> <kestro-browser-host> <kestro-devserver> \
        <Tools/kestro-browser>

Cases: button (the toolbar button: what the capture holds, its screenshot, the badge), offline
(shared while the server is down, then sent once), private (a private window is refused),
menus (each context-menu entry, and the screenshot option)."""

import json
import sys

import browserrun
from browserrun import check, check_page_capture, check_screenshot, eventually, host_answered

PAGE = """<!doctype html><html><head><meta charset="utf-8"><title>Herons of the fen</title></head>
<body><h1>Grey herons</h1><p id="nesting">Grey herons nest in colonies called heronries.</p>
<p>They stand still for minutes before striking at a fish.</p>
<p><a id="link" href="/about-egrets.html">Egrets</a> <img id="image" src="/heron.png" alt=""></p>
</body></html>""".encode()
# The smallest PNG: one transparent pixel.
PIXEL = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000001000000010806000000"
    "1f15c4890000000d49444154789c6360000002000001e221bc330000000049454e44ae426082")
SELECTION = "Grey herons nest in colonies called heronries."
VISIBLE = ("Grey herons", "They stand still for minutes before striking at a fish.")
TITLE = "Herons of the fen"


class Browser:
    """Chromium showing the heron page in a tab, with the host's messages watched."""

    def __init__(self, run, private=False):
        self.run = run
        self.pages = run.pages({"/heron.html": ("text/html; charset=utf-8", PAGE),
                                "/heron.png": ("image/png", PIXEL)})
        self.url = self.pages.origin + "/heron.html"
        self.chromium = browserrun.Chromium(run, private)
        self.worker = self.chromium.worker()
        self.background(browserrun.WATCH_HOST)
        if private:
            # The window --incognito opens is the private one: its tab shows the page.
            targets = self.chromium.send("Target.getTargets")["targetInfos"]
            page = next(t["targetId"] for t in targets if t["type"] == "page")
            self.page = self.chromium.attach(page)
            self.chromium.navigate(self.page, self.url)
        else:
            self.page = self.chromium.open_tab(self.url)
        host_answered(self.background, "status", self.url)
        self.tab = self.background("chrome.tabs.query({url: %s}).then(([tab]) => tab.id)"
                                   % json.dumps(self.url))

    def background(self, expression):
        return self.chromium.evaluate(self.worker, expression)

    def select(self, element):
        self.chromium.evaluate(self.page, """(() => {
            const range = document.createRange();
            range.selectNodeContents(document.getElementById(%s));
            getSelection().removeAllRanges();
            getSelection().addRange(range);
        })()""" % json.dumps(element))
        check(self.chromium.evaluate(self.page, "String(getSelection())") == SELECTION,
              "the page's selection")

    def click_button(self):
        # Cleared first, so that a title left by an earlier share is not taken for this one's.
        self.background("chrome.action.setTitle({tabId: %d, title: ''})" % self.tab)
        shares = self.background("hostWatch.sent.filter(m => m.type === 'share').length")
        self.chromium.send("Extensions.triggerAction", {
            "id": self.run.chromium_id, "targetId": self.chromium.tab_target(self.url)})
        eventually(lambda: self.background(
            "hostWatch.waiting === 0 && hostWatch.sent.filter(m => m.type === 'share').length")
                   > shares, "the button's share is answered")
        # The title is the last the share sets, and only a share's starts with "Kestro:".
        eventually(lambda: self.button_state()[1].startswith("Kestro:"), "the button shows")

    def button_state(self):
        """The badge and the title the button shows on the tab."""
        return tuple(self.background(
            "Promise.all([chrome.action.getBadgeText({tabId: %d}),"
            " chrome.action.getTitle({tabId: %d})])" % (self.tab, self.tab)))

    def check_button(self, badge, title):
        shown = self.button_state()
        check(shown == (badge, title), "the button shows %s" % (shown,))


def only_record(run):
    records = run.outbox()
    check(len(records) == 1, "%d records in the outbox, not one" % len(records))
    return records[0]


def button(run):
    run.start_devserver()
    run.sign_in()
    browser = Browser(run)
    browser.select("nesting")
    browser.click_button()
    record = only_record(run)
    check_page_capture(record, browser.url, TITLE, SELECTION, VISIBLE)
    check(record["capture"]["origin"]["mechanism"] == "manual", "the button is no manual share")
    check_screenshot(record)
    browser.check_button("\u2713", "Kestro: stored on this device")

    # Without the host's manifest the browser cannot start it; the button says what to do.
    run.kestro("browser", "uninstall", "--browser", "chromium", "--profile",
               browser.chromium.profile)
    browser.click_button()
    browser.check_button("!", "Kestro: Kestro is not installed for this browser: run kestro"
                         " browser install")
    check(len(run.outbox()) == 1, "a share without a host is in the outbox")


def offline(run):
    run.start_devserver()
    run.sign_in()
    port = run.server_url.rsplit(":", 1)[1]
    run.stop_devserver()
    browser = Browser(run)
    browser.click_button()
    browser.check_button("\u2713", "Kestro: stored on this device")
    record = only_record(run)
    check(record["capture"]["url"] == browser.url, "the capture's address")

    # The stand-in server keeps its accounts in memory: started again, it is signed in to again.
    run.start_devserver(port)
    run.sign_in()
    run.kestro("flush")
    run.kestro("flush")
    captures = run.server_stats()["captures"]
    check(len(captures) == 1 and list(captures.values())[0]["accepted"] == 1,
          "the server took %s" % captures)
    items = json.loads(run.kestro("items", "--json").stdout)
    check(len(items) == 1, "%d items on the server" % len(items))
    check(only_record(run)["state"] == "complete", "the capture is not sent")


def private(run):
    run.start_devserver()
    run.sign_in()
    browser = Browser(run, private=True)
    check(browser.background("chrome.tabs.get(%d).then(tab => tab.incognito)" % browser.tab),
          "the tab is not in a private window")
    browser.click_button()
    browser.check_button("\u2717", "Kestro: refused: the tab is in a private or incognito window")
    check(run.outbox() == [], "a private tab's share is in the outbox")
    check(run.staged_files() == [], "files staged: %s" % run.staged_files())


def menus(run):
    run.start_devserver()
    run.sign_in()
    browser = Browser(run)
    origin = browser.pages.origin
    info = {"pageUrl": browser.url}
    entries = [
        ("kestro-share-page", {}, browser.url),
        ("kestro-share-link", {"linkUrl": origin + "/about-egrets.html"},
         origin + "/about-egrets.html"),
        ("kestro-share-selection", {"selectionText": SELECTION}, browser.url),
        ("kestro-share-image", {"srcUrl": origin + "/heron.png", "mediaType": "image"},
         origin + "/heron.png"),
    ]

    # The screenshot option of the button's menu, first. The shares below follow each other
    # faster than the two screenshots a second Chromium allows: each must wait for its own.
    def set_screenshot(on):
        browser.background("chrome.tabs.get(%d).then(tab => onMenuClicked({menuItemId: "
                           "'screenshot', checked: %s}, tab))" % (browser.tab, json.dumps(on)))

    set_screenshot(False)
    browser.click_button()
    record = only_record(run)
    check(record["stagedAssets"] == [], "a screenshot was taken: %s" % record["stagedAssets"])
    check(not record["capture"]["privacy"]["screenshotIncluded"], "it says it has one")
    seen = {record["capture"]["clientCaptureId"]}
    set_screenshot(True)

    for menu_item, fields, address in entries:
        clicked = dict(info, menuItemId=menu_item, **fields)
        outcome = browser.background("chrome.tabs.get(%d).then(tab => onMenuClicked(%s, tab))"
                                     % (browser.tab, json.dumps(clicked)))
        check(outcome["title"] == "stored on this device", "%s: %s" % (menu_item, outcome))
        new = [r for r in run.outbox() if r["capture"]["clientCaptureId"] not in seen]
        check(len(new) == 1, "%s stored %d captures" % (menu_item, len(new)))
        capture = new[0]["capture"]
        seen.add(capture["clientCaptureId"])
        check(capture["url"] == address, "%s: the address %s" % (menu_item, capture["url"]))
        check(capture["origin"]["mechanism"] == "share_menu", menu_item + ": not a menu share")
        check(capture.get("title") == TITLE, menu_item + ": the page's title")
        if menu_item == "kestro-share-selection":
            check(capture.get("selectedText") == SELECTION, "the menu's selection")
        check_screenshot(new[0])  # on again


CASES = {"button": button, "offline": offline, "private": private, "menus": menus}

if __name__ == "__main__":
    if len(sys.argv) != 6 or sys.argv[1] not in CASES:
        print(__doc__)
        sys.exit(2)
    sys.exit(browserrun.main(CASES[sys.argv[1]], sys.argv[2:]))
