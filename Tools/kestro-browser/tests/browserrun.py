"""What the extension's end-to-end tests share: a private machine for one run (HOME, XDG tree,
kestro and its browsers' host side by side, signed in to a kestro-devserver on 127.0.0.1), a web
page server on 127.0.0.1, and the two browsers driven headless over their own remote protocols
(Chromium's DevTools protocol on a pipe, Firefox's WebDriver BiDi on a WebSocket).

Every process a run starts is in a process group of its own and is killed with it at the end,
also when a check fails. Standard library only, and Debian's python3-websocket for Firefox."""

import hashlib
import http.server
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

SKIPPED = 77
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def eventually(probe, what, seconds=30.0):
    """probe()'s first true value, asked again until it gives one; fails after `seconds`, which
    only bounds a browser that never gets there (nothing is asserted about how long it took).
    `what` says what was awaited: a string, or a function giving one then."""
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("never happened: " + (what() if callable(what) else what))
        time.sleep(0.05)


def skip(message):
    print("skipped: " + message)
    sys.exit(SKIPPED)


def kill_group(process):
    """Kills `process` and whatever it started that is still in its group (a browser's helpers,
    the hosts it ran), also when `process` itself has ended."""
    if process is None:
        return
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


class PageServer:
    """Serves `pages` ({path: (content type, bytes)}) on 127.0.0.1 from a thread."""

    def __init__(self, pages):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                page = pages.get(self.path.split("?")[0])
                if page is None:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", page[0])
                self.send_header("Content-Length", str(len(page[1])))
                self.end_headers()
                self.wfile.write(page[1])

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.origin = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Run:
    """One run's private machine, with the programs built (kestro, kestro-browser-host,
    kestro-devserver) and the folder holding the extension and its id."""

    def __init__(self, kestro, host, devserver, folder):
        self.extension = os.path.join(folder, "extension")
        with open(os.path.join(folder, "extension-id.txt")) as ids:
            self.chromium_id = next(l[3:].strip() for l in ids if l.startswith("id="))
        self.root = tempfile.mkdtemp(prefix="kestro-browser-e2e.")
        self.home = os.path.join(self.root, "home")
        self.bin = os.path.join(self.root, "bin")
        self.env = {
            "PATH": "/usr/bin:/bin",
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local/share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_RUNTIME_DIR": os.path.join(self.root, "runtime"),
            "TMPDIR": os.path.join(self.root, "tmp"),
            "LANG": "C.UTF-8",
            # Inherited by every process the run starts, however it detaches: how the end of
            # the run finds them all (Firefox's crash helper leaves the browser's session).
            "KESTRO_BROWSER_TEST_RUN": self.root,
        }
        for key in ("HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                    "XDG_RUNTIME_DIR", "TMPDIR"):
            os.makedirs(self.env[key], mode=0o700, exist_ok=True)
        # kestro names the host beside itself, so the two go into one folder, as installed.
        os.makedirs(self.bin)
        shutil.copy2(kestro, os.path.join(self.bin, "kestro"))
        shutil.copy2(host, os.path.join(self.bin, "kestro-browser-host"))
        self.devserver_binary = devserver
        self.devserver = None
        self.server_url = None
        self.processes = []
        self.closers = []

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        for process in self.processes:
            kill_group(process)
        kill_group(self.devserver)
        eventually(lambda: not self.kill_leftovers(), "every process of the run ends", 20)
        for close in self.closers:
            close()
        shutil.rmtree(self.root, ignore_errors=True)

    def kill_leftovers(self):
        """Kills each process still running with this run's environment; whether there were."""
        marker = ("KESTRO_BROWSER_TEST_RUN=" + self.root).encode() + b"\0"
        found = False
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as environment:
                    if marker in environment.read():
                        os.kill(int(pid), signal.SIGKILL)
                        found = True
            except OSError:
                pass  # ended meanwhile, or not ours to read
        return found

    def start(self, arguments, **options):
        """A process of this run, in a process group of its own."""
        process = subprocess.Popen(arguments, env=self.env, start_new_session=True, **options)
        self.processes.append(process)
        return process

    def kestro(self, *arguments, ok=True):
        done = subprocess.run([os.path.join(self.bin, "kestro"), *arguments], env=self.env,
                              capture_output=True, text=True, timeout=60)
        if ok:
            check(done.returncode == 0, "kestro %s: %d %s" % (" ".join(arguments),
                                                               done.returncode, done.stderr))
        return done

    # The stand-in server, on a port of its own or the one it had before.
    def start_devserver(self, port=0):
        self.devserver = subprocess.Popen(
            [self.devserver_binary, "--port", str(port)], env=self.env, text=True,
            stdout=subprocess.PIPE, start_new_session=True)
        self.server_url = self.devserver.stdout.readline().strip()
        check(self.server_url.startswith("http://127.0.0.1:"), "devserver: " + self.server_url)

    def stop_devserver(self):
        self.devserver.terminate()
        self.devserver.wait(timeout=30)

    def sign_in(self):
        # The token goes to a file: the browsers need no keyring, and kestro flush reads it there.
        self.kestro("signin", "--server", self.server_url, "--email", "browser@example.com",
                    "--insecure-storage")

    def server_stats(self):
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(self.server_url + "/admin/stats", timeout=30) as answer:
            return json.load(answer)

    def pages(self, pages):
        server = PageServer(pages)
        self.closers.append(server.close)
        return server

    def outbox(self):
        return json.loads(self.kestro("outbox", "--json").stdout)

    def host_running(self):
        """Whether a kestro-browser-host of this run is running."""
        host = os.path.join(self.bin, "kestro-browser-host")
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink("/proc/%s/exe" % pid) == host:
                    return True
            except OSError:
                pass
        return False

    def staged_files(self):
        """Every file under the outbox's attachments folder."""
        found = []
        folder = os.path.join(self.env["XDG_DATA_HOME"], "group.kestro.capture", "attachments")
        for directory, _, files in os.walk(folder):
            found += [os.path.join(directory, name) for name in files]
        return found


class Chromium:
    """Chromium headless with the extension loaded, driven over --remote-debugging-pipe (the
    DevTools protocol as NUL-terminated JSON: commands on fd 3, answers and events on fd 4)."""

    BINARY = "/usr/lib/chromium/chromium"

    def __init__(self, run, private=False):
        if not os.access(self.BINARY, os.X_OK):
            skip("Chromium is not installed (the Debian package chromium)")
        self.run = run
        self.profile = os.path.join(run.root, "chromium-profile")
        os.makedirs(self.profile)
        run.kestro("browser", "install", "--browser", "chromium", "--profile", self.profile)
        commands_in, commands = os.pipe()
        answers, answers_out = os.pipe()

        def pipes():
            inbound, outbound = os.dup(commands_in), os.dup(answers_out)
            os.dup2(inbound, 3)
            os.dup2(outbound, 4)

        self.process = run.start(
            [self.BINARY, "--headless=new", "--no-sandbox", "--user-data-dir=" + self.profile,
             "--remote-debugging-pipe", "--no-first-run",
             "--disable-background-networking", "--disable-component-update",
             "--disable-default-apps", "--disable-sync", "--proxy-server=127.0.0.1:9",
             *(["--incognito", "--enable-unsafe-extension-debugging"] if private else
               ["--load-extension=" + run.extension]), "about:blank"],
            preexec_fn=pipes, close_fds=False, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(run.root, "chromium.log"), "wb"))
        os.close(commands_in)
        os.close(answers_out)
        self.commands = commands
        self.pending = {}
        self.next_id = 0
        self.lock = threading.Lock()
        threading.Thread(target=self._read, args=(answers,), daemon=True).start()
        if private:
            # The window is a private one, and --load-extension cannot let the extension in:
            # loaded here, it is allowed in private windows, as a user can allow it.
            self.send("Extensions.loadUnpacked", {"path": run.extension,
                                                  "enableInIncognito": True})

    def _read(self, fd):
        buffer = b""
        while True:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                break
            buffer += chunk
            while b"\0" in buffer:
                message, buffer = buffer.split(b"\0", 1)
                message = json.loads(message)
                if "id" in message:
                    with self.lock:
                        waiting = self.pending.pop(message["id"], None)
                    if waiting is not None:
                        waiting.put(message)
        with self.lock:
            for waiting in self.pending.values():
                waiting.put({"error": {"message": "Chromium closed its pipe"}})

    def send(self, method, params=None, session=None, seconds=60):
        with self.lock:
            self.next_id += 1
            number = self.next_id
            waiting = self.pending[number] = queue.Queue()
        message = {"id": number, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        try:
            answer = waiting.get(timeout=seconds)
        except queue.Empty:
            raise Failure("Chromium did not answer " + method)
        check("error" not in answer, "%s: %s" % (method, answer.get("error")))
        return answer["result"]

    def attach(self, target_id):
        return self.send("Target.attachToTarget", {"targetId": target_id, "flatten": True})[
            "sessionId"]

    def evaluate(self, session, expression):
        """The value of `expression` (awaited when it is a promise) in an attached target."""
        result = self.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True}, session)
        check("exceptionDetails" not in result, "%s: %s" % (expression, result.get(
            "exceptionDetails")))
        return result["result"].get("value")

    def worker(self):
        """A session in the extension's service worker."""
        address = "chrome-extension://%s/background.js" % self.run.chromium_id

        def found():
            targets = self.send("Target.getTargets")["targetInfos"]
            return next((t["targetId"] for t in targets
                         if t["type"] == "service_worker" and t["url"] == address), None)

        # A worker still starting may take an evaluation and never answer, or answer without
        # the extension's API: asked again, in a new session, until the script has run.
        def ready():
            session = self.attach(eventually(found, "the extension's service worker starts"))
            try:
                probe = self.send("Runtime.evaluate", {
                    "expression": "typeof chrome === 'object' && typeof onMenuClicked",
                    "returnByValue": True}, session, seconds=5)
            except Failure:
                return None
            return session if probe["result"].get("value") == "function" else None

        return eventually(ready, "the extension's background script runs")

    def open_tab(self, url):
        """A session in a new tab showing `url` once it has loaded. The tab opens on about:blank
        first, so the one status question the extension asks is the one for `url`."""
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.attach(target)
        self.navigate(session, url)
        return session

    def navigate(self, session, url):
        self.send("Page.navigate", {"url": url}, session)
        eventually(lambda: self.evaluate(
            session, "document.readyState === 'complete' && location.href") == url, url + " loads")

    def tab_target(self, url):
        """The tab target (what Extensions.triggerAction takes) of the tab showing `url`."""
        tabs = self.send("Target.getTargets", {"filter": [{"type": "tab"}]})["targetInfos"]
        return next(tab["targetId"] for tab in tabs if tab["url"] == url)


# Installed in the extension's background script: records each message it sends to the host and
# counts those not yet answered, so a test waits for the host rather than for a while.
WATCH_HOST = """(() => {
  if (globalThis.hostWatch) return;
  const send = chrome.runtime.sendNativeMessage.bind(chrome.runtime);
  globalThis.hostWatch = { sent: [], waiting: 0 };
  chrome.runtime.sendNativeMessage = (host, message) => {
    hostWatch.sent.push(message);
    hostWatch.waiting += 1;
    return send(host, message).finally(() => { hostWatch.waiting -= 1; });
  };
})()"""


def host_answered(evaluate, kind, url):
    """Waits until the extension has asked the host a `kind` question about `url` and has every
    answer; `evaluate` runs an expression in its background script."""
    question = ("hostWatch.waiting === 0 && hostWatch.sent.some(m => m.type === %s && m.url === %s)"
                % (json.dumps(kind), json.dumps(url)))
    eventually(lambda: evaluate(question), "the host answers a %s of %s" % (kind, url))


def check_page_capture(record, url, title, selection, visible):
    """One outbox record holds the page as shared: its address, title, selection and the page's
    visible text (each of `visible` in it)."""
    capture = record["capture"]
    check(capture["url"] == url, "the capture's address: %s" % capture.get("url"))
    check(capture.get("title") == title, "the capture's title: %s" % capture.get("title"))
    check(capture.get("selectedText") == selection,
          "the capture's selection: %r" % capture.get("selectedText"))
    for text in visible:
        check(text in capture.get("visibleText", ""),
              "%r is not in the visible text %r" % (text, capture.get("visibleText")))
    check(record["state"] == "queued", "the record's state: " + record["state"])


class Firefox:
    """Firefox ESR headless over its built-in WebDriver BiDi, in a profile of its own."""

    BINARY = "/usr/bin/firefox-esr"

    def __init__(self, run):
        if not os.access(self.BINARY, os.X_OK):
            skip("Firefox ESR is not installed (the Debian package firefox-esr)")
        try:
            import websocket
        except ImportError:
            skip("no WebSocket client for Python (the Debian package python3-websocket)")
        self.run = run
        run.kestro("browser", "install", "--browser", "firefox")
        self.profile = os.path.join(run.root, "firefox-profile")
        os.makedirs(self.profile)
        preferences = {
            # Nowhere but 127.0.0.1: every other address goes to a proxy nobody listens on.
            "network.proxy.type": 1,
            "network.proxy.http": "127.0.0.1",
            "network.proxy.http_port": 9,
            "network.proxy.ssl": "127.0.0.1",
            "network.proxy.ssl_port": 9,
            "network.proxy.allow_hijacking_localhost": False,
            "network.proxy.no_proxies_on": "127.0.0.1",
            "app.update.enabled": False,
            "browser.shell.checkDefaultBrowser": False,
            "datareporting.policy.dataSubmissionEnabled": False,
            "toolkit.telemetry.enabled": False,
            "extensions.getAddons.cache.enabled": False,
            "browser.safebrowsing.update.enabled": False,
            "network.captive-portal-service.enabled": False,
            "network.connectivity-service.enabled": False,
        }
        with open(os.path.join(self.profile, "user.js"), "w") as user:
            for name, value in preferences.items():
                user.write("user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value)))
        self.log = os.path.join(run.root, "firefox.log")
        self.process = run.start(
            [self.BINARY, "--headless", "--no-remote", "--profile", self.profile,
             "--remote-debugging-port", "0", "--remote-allow-system-access", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=open(self.log, "wb"))

        def address():
            with open(self.log, errors="replace") as log:
                for line in log:
                    if line.startswith("WebDriver BiDi listening on "):
                        return line.split(" on ", 1)[1].strip()
            return None

        url = eventually(address, "Firefox's WebDriver BiDi listens", 60)
        self.socket = websocket.create_connection(url + "/session", suppress_origin=True,
                                                  timeout=60)
        run.closers.insert(0, self.socket.close)
        self.next_id = 0
        self.send("session.new", {"capabilities": {}})

    def send(self, method, params=None):
        self.next_id += 1
        number = self.next_id
        self.socket.send(json.dumps({"id": number, "method": method, "params": params or {}}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == number:
                check(message.get("type") != "error", "%s: %s" % (method, message))
                return message["result"]

    def evaluate(self, context, expression):
        result = self.send("script.evaluate", {"expression": expression, "awaitPromise": True,
                                               "target": {"context": context},
                                               "resultOwnership": "none",
                                               "serializationOptions": {"maxObjectDepth": 4}})
        check(result.get("type") == "success", "%s: %s" % (expression, result))
        return unwrap(result["result"])

    def open_tab(self, url):
        """A tab in front showing `url`, once the extension has asked the host about it (its
        button then has a title of the tab's own, and no host runs)."""
        context = self.send("browsingContext.create", {"type": "tab"})["context"]
        self.send("browsingContext.activate", {"context": context})
        self.send("browsingContext.navigate", {"context": context, "url": url, "wait":
                                               "complete"})
        eventually(lambda: self.button_state()[2] and not self.run.host_running(),
                   "the host answers the status of " + url)
        return context

    def chrome(self, expression):
        """The value of `expression` in the browser window's own (privileged) scope."""
        tree = self.send("browsingContext.getTree", {"moz:scope": "chrome"})
        window = next(c["context"] for c in tree["contexts"]
                      if c["url"] == "chrome://browser/content/browser.xhtml")
        return self.evaluate(window, expression)

    # The extension's toolbar button in the browser window, for the tab in front.
    BUTTON = """const { ExtensionParent } = ChromeUtils.importESModule(
          "resource://gre/modules/ExtensionParent.sys.mjs");
      const extension = WebExtensionPolicy.getByID("share@kestro.org").extension;
      const button = ExtensionParent.apiManager.global.browserActionFor(extension);
      const tab = gBrowser.selectedTab;"""

    def click_button(self):
        self.chrome("(() => { %s button.triggerAction(window); })()" % self.BUTTON)

    def button_state(self):
        """The badge and title the button shows for the tab in front, and whether the title is
        the tab's own (set for it, rather than the one for every tab)."""
        return tuple(self.chrome("""(() => { %s
          const shown = button.action.getContextData(tab);
          return [shown.badgeText, shown.title,
                  Object.hasOwn(button.action.tabContext.get(tab), "title")];
        })()""" % self.BUTTON))


def unwrap(value):
    """A BiDi remote value as plain Python."""
    kind = value.get("type")
    if kind in ("string", "number", "boolean"):
        return value["value"]
    if kind in ("undefined", "null"):
        return None
    if kind == "array":
        return [unwrap(item) for item in value.get("value", [])]
    if kind == "object":
        return {key if isinstance(key, str) else unwrap(key): unwrap(item)
                for key, item in value.get("value", [])}
    return value


def check_screenshot(record):
    """The record's one asset is a PNG screenshot staged with the digest of its bytes."""
    assets = record["stagedAssets"]
    check([a["role"] for a in assets] == ["screenshot"], "the assets: %s" % assets)
    asset = assets[0]
    check(asset["mimeType"] == "image/png", "the screenshot's type: " + asset["mimeType"])
    path = urllib.parse.unquote(urllib.parse.urlparse(asset["localURL"]).path)
    with open(path, "rb") as staged:
        data = staged.read()
    check(data.startswith(PNG_SIGNATURE) and data[12:16] == b"IHDR", "the screenshot is no PNG")
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    check(width > 0 and height > 0, "the screenshot is %dx%d" % (width, height))
    check(hashlib.sha256(data).hexdigest() == asset["sha256"].lower(),
          "the screenshot's bytes do not have the digest the outbox gives")
    check(len(data) == asset["byteCount"], "the screenshot's byte count")
    check(record["capture"]["privacy"]["screenshotIncluded"], "the capture says no screenshot")


USAGE = "<kestro> <kestro-browser-host> <kestro-devserver> <Tools/kestro-browser>"


def main(test, arguments):
    """Runs `test(run)` on a private machine made of `arguments` (USAGE); says why it failed and
    gives 1 if it did. A signal to stop ends the browsers too."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    with Run(*arguments) as run:
        try:
            test(run)
        except Failure as failure:
            print("FAILED: %s" % failure)
            for log in ("chromium.log", "firefox.log"):
                path = os.path.join(run.root, log)
                if os.path.exists(path):
                    with open(path, errors="replace") as text:
                        print("--- %s (end)\n%s" % (log, text.read()[-3000:]))
            return 1
    print("passed")
    return 0
