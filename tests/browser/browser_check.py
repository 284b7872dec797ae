#!/usr/bin/python3
"""Judges a copy of a site as a reader meets it: every stored page opened from disk in headless
Chromium with the network cut off.

Usage: browser_check.py [--json] [--list] DIR
       browser_check.py --served URL EXPRESSION

With --served, it opens a copy served on 127.0.0.1 (kelvane-cli --serve) with every other address
cut off, waits until EXPRESSION is true on the page, prints the value, and exits 0 when it came
true without a request leaving 127.0.0.1, else 1.

For every page under DIR (a name ending in .htm or .html), it counts the page's subresources that
load from disk, those that are missing, and those that try the network, the alerts that script
on the page raises (a copy must never run script its site did not), and where each link of the
page leads: to a stored file, to an absolute http(s) address, or to nothing. It prints one
line of totals (and, with --list, every fault) and exits 0 when there are no faults, 1 when there
are, 2 when the browser cannot be started.

The browser is driven over the DevTools protocol on a pipe (--remote-debugging-pipe): no port is
opened and no name is looked up.
"""
import json
import os
import select
import subprocess
import sys
import tempfile
import time
import urllib.parse

CHROMIUM = "/usr/bin/chromium"
INSTALL = "apt-get install chromium"
PAGE_SECONDS = 20
LINKS = ("JSON.stringify(Array.from(document.querySelectorAll('a[href], area[href]'))"
         ".map(a => a.href))")


class Browser:
    """Chromium with the DevTools protocol on file descriptors 3 (commands) and 4 (answers)."""

    def __init__(self, profile, offline=True, extra=()):
        if not os.access(CHROMIUM, os.X_OK):
            print("browser_check: %s is missing: %s" % (CHROMIUM, INSTALL), file=sys.stderr)
            sys.exit(2)
        commands_read, self.commands = os.pipe()
        self.answers, answers_write = os.pipe()

        def descriptors():
            os.dup2(commands_read, 3)
            os.dup2(answers_write, 4)

        arguments = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--disable-extensions",
                     "--remote-debugging-pipe", "--user-data-dir=" + profile, *extra,
                     "about:blank"]
        self.process = subprocess.Popen(arguments, preexec_fn=descriptors, pass_fds=(3, 4),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(commands_read)
        os.close(answers_write)
        self.pending = b""
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target, "flatten": True})["sessionId"]
        self.call("Network.enable", {}, self.session)
        self.call("Page.enable", {}, self.session)
        # Cut off: any request that leaves the disk fails, and is seen.
        if offline:
            self.call("Network.emulateNetworkConditions",
                      {"offline": True, "latency": 0, "downloadThroughput": -1,
                       "uploadThroughput": -1}, self.session)

    def close(self):
        try:
            self.call("Browser.close", {})
        except Exception:
            pass
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()

    def receive(self, seconds):
        """The next message, or None when none comes in time."""
        deadline = time.monotonic() + seconds
        while b"\0" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.answers], [], [], left)[0]:
                return None
            chunk = os.read(self.answers, 1 << 20)
            if not chunk:
                raise RuntimeError("the browser ended")
            self.pending += chunk
        message, self.pending = self.pending.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params, session=None):
        self.next_id += 1
        request = {"id": self.next_id, "method": method, "params": params}
        if session:
            request["sessionId"] = session
        os.write(self.commands, json.dumps(request).encode() + b"\0")
        while True:
            message = self.receive(PAGE_SECONDS)
            if message is None:
                raise RuntimeError("no answer to " + method)
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError("%s: %s" % (method, message["error"]))
                return message.get("result", {})
            self.events.append(message)

    def open(self, address):
        """Opens the page and waits until it has loaded and no request is pending; every request
        it made, with whether it loaded, and whether the page loaded at all."""
        self.events = []
        self.call("Page.navigate", {"url": address}, self.session)
        requests = {}
        alerts = []
        loaded = False
        quiet_since = None
        deadline = time.monotonic() + PAGE_SECONDS
        while time.monotonic() < deadline:
            events, self.events = self.events, []
            message = self.receive(0.1)
            if message is not None:
                events.append(message)
            for event in events:
                method = event.get("method")
                params = event.get("params", {})
                if method == "Network.requestWillBeSent":
                    requests[params["requestId"]] = {"url": params["request"]["url"], "ok": None,
                                                     "error": ""}
                elif method == "Network.loadingFinished" and params["requestId"] in requests:
                    requests[params["requestId"]]["ok"] = True
                elif method == "Network.loadingFailed" and params["requestId"] in requests:
                    requests[params["requestId"]]["ok"] = False
                    requests[params["requestId"]]["error"] = params.get("errorText", "")
                elif method == "Page.loadEventFired":
                    loaded = True
                elif method == "Page.javascriptDialogOpening":
                    alerts.append(params.get("message", ""))
                    self.call("Page.handleJavaScriptDialog", {"accept": True}, self.session)
            pending = any(r["ok"] is None for r in requests.values())
            if loaded and not pending and not events:
                quiet_since = quiet_since or time.monotonic()
                if time.monotonic() - quiet_since >= 0.3:
                    break
            else:
                quiet_since = None
        return requests.values(), alerts, loaded

    def links(self):
        result = self.call("Runtime.evaluate", {"expression": LINKS, "returnByValue": True},
                           self.session)
        return json.loads(result.get("result", {}).get("value", "[]"))


def file_path(url):
    """The local file a file: address names, without query or fragment."""
    return urllib.parse.unquote(urllib.parse.urlsplit(url).path)


def check_page(browser, page, totals, faults):
    address = "file://" + urllib.parse.quote(page, safe="/:~")
    requests, alerts, loaded = browser.open(address)
    for message in alerts:
        totals["alerts"] += 1
        faults.append(("script ran", page, message))
    if not loaded:
        faults.append(("page did not load", page, address))
        return
    for request in requests:
        url = request["url"]
        scheme = urllib.parse.urlsplit(url).scheme
        if scheme in ("data", "blob", "about", "chrome", "devtools"):
            continue
        if scheme != "file":
            totals["network"] += 1
            faults.append(("tried the network", page, url))
        elif url.split("#")[0] == address.split("#")[0]:
            continue  # the page itself
        elif request["ok"]:
            totals["loaded"] += 1
        else:
            totals["missing"] += 1
            faults.append(("missing", page, "%s (%s)" % (url, request["error"] or "never loaded")))
    for link in browser.links():
        scheme = urllib.parse.urlsplit(link).scheme
        if scheme in ("http", "https"):
            totals["online links"] += 1
        elif scheme == "file":
            if os.path.isfile(file_path(link)):
                totals["links"] += 1
            else:
                totals["links to nothing"] += 1
                faults.append(("link to nothing", page, link))


def pages_under(root):
    for directory, subdirectories, names in os.walk(root):
        subdirectories.sort()
        if directory == root and ".kelvane" in subdirectories:
            subdirectories.remove(".kelvane")
        for name in sorted(names):
            if name.endswith((".htm", ".html")):
                yield os.path.join(directory, name)


def served(address, expression):
    """Whether the page a server of the copy gives comes to hold what its scripts build."""
    with tempfile.TemporaryDirectory() as profile:
        browser = Browser(profile, offline=False,
                          extra=("--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",))
        try:
            browser.call("Page.navigate", {"url": address}, browser.session)
            value = None
            deadline = time.monotonic() + PAGE_SECONDS
            while not value and time.monotonic() < deadline:
                # The page's next event, or a tenth of a second: whichever comes first.
                message = browser.receive(0.1)
                if message is not None:
                    browser.events.append(message)
                result = browser.call("Runtime.evaluate",
                                      {"expression": expression, "returnByValue": True},
                                      browser.session)
                value = result.get("result", {}).get("value")
            outside = [e["params"]["request"]["url"] for e in browser.events
                       if e.get("method") == "Network.requestWillBeSent" and
                       urllib.parse.urlsplit(e["params"]["request"]["url"]).hostname
                       not in (None, "127.0.0.1")]
        finally:
            browser.close()
    print("served: %s; outside: %s" % (json.dumps(value), outside))
    return 0 if value and not outside else 1


def main(arguments):
    if arguments[:1] == ["--served"] and len(arguments) == 3:
        return served(arguments[1], arguments[2])
    as_json = "--json" in arguments
    listing = "--list" in arguments
    roots = [a for a in arguments if not a.startswith("--")]
    if len(roots) != 1 or not os.path.isdir(roots[0]):
        sys.exit("usage: browser_check.py [--json] [--list] DIR")
    root = os.path.abspath(roots[0])
    totals = {"pages": 0, "loaded": 0, "missing": 0, "network": 0, "alerts": 0, "links": 0,
              "online links": 0, "links to nothing": 0}
    faults = []
    with tempfile.TemporaryDirectory() as profile:
        try:
            browser = Browser(profile)
        except (OSError, RuntimeError) as error:
            print("browser_check: the browser did not start: %s" % error, file=sys.stderr)
            return 2
        try:
            for page in pages_under(root):
                totals["pages"] += 1
                check_page(browser, page, totals, faults)
        finally:
            browser.close()
    if as_json:
        print(json.dumps({"totals": totals, "faults": faults}, indent=1))
    else:
        print(", ".join("%d %s" % (value, name) for name, value in totals.items()))
        if listing:
            for kind, page, what in faults:
                print("%s: %s: %s" % (kind, os.path.relpath(page, root), what))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
