#!/usr/bin/python3
"""Judges a copy of a site as a reader meets it: every stored page opened from disk in headless
Chromium with the network cut off.

Usage: browser_check.py [--json] [--list] DIR

For every page under DIR (a name ending in .htm or .html), it counts the page's subresources that
load from disk, those that are missing, and those that try the network, and where each link of
the page leads: to a stored file, to an absolute http(s) address, or to nothing. It prints one
line of totals (and, with --list, every fault) and exits 0 when there are no faults, 1 when there
are, 2 when the browser cannot be started.
"""
import json
import os
import sys
import tempfile
import time
import urllib.parse

INSTALL = "apt-get install chromium chromium-driver python3-selenium"

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
except ImportError:
    sys.exit("browser_check: python3-selenium is missing: " + INSTALL)

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
PAGE_SECONDS = 20


def start_browser(profile):
    for program in (CHROMIUM, DRIVER):
        if not os.access(program, os.X_OK):
            print("browser_check: %s is missing: %s" % (program, INSTALL), file=sys.stderr)
            sys.exit(2)
    options = Options()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--allow-file-access-from-files", "--user-data-dir=" + profile):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(PAGE_SECONDS)
    driver.execute_cdp_cmd("Network.enable", {})
    # Cut off: any request that leaves the disk fails, and is seen.
    driver.execute_cdp_cmd("Network.emulateNetworkConditions",
                           {"offline": True, "latency": 0, "downloadThroughput": -1,
                            "uploadThroughput": -1})
    return driver


def file_path(url):
    """The local file a file: address names, without query or fragment."""
    return urllib.parse.unquote(urllib.parse.urlsplit(url).path)


def requests_of(driver):
    """Every request the last page load made: address, and whether it loaded. Waits until none is
    pending, so that late loads (background images, fonts) are counted, not cut off."""
    requests = {}
    quiet = 0
    deadline = time.monotonic() + PAGE_SECONDS
    while time.monotonic() < deadline:
        entries = driver.get_log("performance")
        for entry in entries:
            message = json.loads(entry["message"])["message"]
            params = message.get("params", {})
            if message["method"] == "Network.requestWillBeSent":
                requests[params["requestId"]] = {"url": params["request"]["url"], "ok": None,
                                                 "error": ""}
            elif message["method"] == "Network.loadingFinished" and params["requestId"] in requests:
                requests[params["requestId"]]["ok"] = True
            elif message["method"] == "Network.loadingFailed" and params["requestId"] in requests:
                requests[params["requestId"]]["ok"] = False
                requests[params["requestId"]]["error"] = params.get("errorText", "")
        pending = any(r["ok"] is None for r in requests.values())
        quiet = 0 if entries or pending else quiet + 1
        if quiet >= 3:
            break
        time.sleep(0.1)
    return requests.values()


LINKS = "return Array.from(document.querySelectorAll('a[href], area[href]')).map(a => a.href)"


def check_page(driver, page, totals, faults):
    address = "file://" + urllib.parse.quote(page, safe="/:~")
    driver.get_log("performance")  # what came before this page is not its own
    try:
        driver.get(address)
    except Exception as error:  # a page that never finishes loading is a fault of its own
        faults.append(("page did not load", page, str(error).splitlines()[0]))
        return
    for request in requests_of(driver):
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
    for link in driver.execute_script(LINKS):
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
    for directory, _, names in sorted(os.walk(root)):
        if "/.kelvane" in directory[len(root):]:
            continue
        for name in sorted(names):
            if name.endswith((".htm", ".html")):
                yield os.path.join(directory, name)


def main(arguments):
    as_json = "--json" in arguments
    listing = "--list" in arguments
    roots = [a for a in arguments if not a.startswith("--")]
    if len(roots) != 1 or not os.path.isdir(roots[0]):
        sys.exit("usage: browser_check.py [--json] [--list] DIR")
    root = os.path.abspath(roots[0])
    totals = {"pages": 0, "loaded": 0, "missing": 0, "network": 0, "links": 0,
              "online links": 0, "links to nothing": 0}
    faults = []
    with tempfile.TemporaryDirectory() as profile:
        driver = start_browser(profile)
        try:
            for page in pages_under(root):
                totals["pages"] += 1
                check_page(driver, page, totals, faults)
        finally:
            driver.quit()
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
