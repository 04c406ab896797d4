"""The extension in headless Firefox ESR, loaded from the same folder as in Chromium: its toolbar
button shares the page into the outbox through the real host.

    firefox_share.py <kestro> <kestro-browser-host> <kestro-devserver> <Tools/kestro-browser>"""

import sys

import browserrun
from browserrun import check, check_page_capture, check_screenshot, eventually

PAGE = """<!doctype html><html><head><meta charset="utf-8"><title>Foxes at dusk</title></head>
<body><p id="hunting">Red foxes hunt at dusk, listening for voles under the snow.</p>
<p>They pounce from above.</p></body></html>""".encode()
SELECTION = "Red foxes hunt at dusk, listening for voles under the snow."


def button(run):
    run.start_devserver()
    run.sign_in()
    pages = run.pages({"/fox.html": ("text/html; charset=utf-8", PAGE)})
    firefox = browserrun.Firefox(run)
    firefox.send("webExtension.install",
                 {"extensionData": {"type": "path", "path": run.extension}})
    url = pages.origin + "/fox.html"
    tab = firefox.open_tab(url)
    selected = firefox.evaluate(tab, """(() => {
        const range = document.createRange();
        range.selectNodeContents(document.getElementById("hunting"));
        getSelection().addRange(range);
        return String(getSelection());
    })()""")
    check(selected == SELECTION, "the page's selection: %r" % selected)
    firefox.click_button()

    def answered():
        state = firefox.button_state()
        return not run.host_running() and state[1].startswith("Kestro:") and state

    state = eventually(answered, "the button shows the host's answer")
    check(state[:2] == ("\u2713", "Kestro: stored on this device"),
          "the button shows %s" % (state,))
    records = run.outbox()
    check(len(records) == 1, "%d records in the outbox, not one" % len(records))
    check_page_capture(records[0], url, "Foxes at dusk", SELECTION,
                       ["Red foxes hunt at dusk", "They pounce from above."])
    check_screenshot(records[0])
    capture = records[0]["capture"]
    check(capture["origin"]["sourceApplication"] == "firefox-esr",
          "the browser named: %s" % capture["origin"].get("sourceApplication"))

    # Firefox words a missing host its own way; the button still says what to do.
    run.kestro("browser", "uninstall", "--browser", "firefox")
    firefox.click_button()
    missing = ("!", "Kestro: Kestro is not installed for this browser: run kestro browser install")
    eventually(lambda: firefox.button_state()[:2] == missing,
               lambda: "the button says Kestro is not installed: %s" % (firefox.button_state(),))
    check(len(run.outbox()) == 1, "a share without a host is in the outbox")


if __name__ == "__main__":
    if len(sys.argv) != 5:
        print(__doc__)
        sys.exit(2)
    sys.exit(browserrun.main(button, sys.argv[1:]))
