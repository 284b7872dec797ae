#!/usr/bin/python3
"""Replays a WACZ package in an archive player no one here wrote, in headless Chromium.

Usage: replay_check.py PLAYER_DIR WACZ START_URL LINK_TEXT

PLAYER_DIR holds the player's prebuilt index.html, ui.js and sw.js. They are served with the
package and a page of this script's own, which embeds the player on the package, by a server on
127.0.0.1; every other address is cut off. The script waits until the player shows START_URL,
then prints one JSON line of what the replayed page shows (its title and text, its body's
background as its stylesheets make it, its pictures and whether each loaded), clicks the link
whose text is LINK_TEXT, and prints a second line for the page that opens. Exit status 0 when
both pages were shown, 1 when not, 2 when the browser cannot be started.
"""
import http.server
import json
import os
import shutil
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_check  # noqa: E402

SECONDS = 90

# Every document inside the page, through shadow roots and frames of the same origin; the last
# whose address names the target is the replayed page.
FIND = """
(() => {
  const docs = [];
  const walk = (root) => {
    for (const element of root.querySelectorAll('*')) {
      if (element.shadowRoot) walk(element.shadowRoot);
      if (element.tagName === 'IFRAME') {
        try {
          const inner = element.contentDocument;
          if (inner) { docs.push(inner); walk(inner); }
        } catch (e) {}
      }
    }
  };
  walk(document);
  const target = %s;
  const page = docs.reverse().find(d => d.location.href.endsWith(target));
  if (!page || page.readyState !== 'complete' || !page.body) return null;
  const images = Array.from(page.images).map(i => ({src: i.getAttribute('src'),
                                                    loaded: i.complete && i.naturalWidth > 0}));
  const style = page.defaultView.getComputedStyle(page.body);
  const result = {title: page.title, text: page.body.innerText,
                  background: style.backgroundImage, images: images};
  const click = %s;
  if (click) {
    const link = Array.from(page.links).find(a => a.textContent.trim() === click);
    // Where it leads, as the page's own address resolves it.
    if (link) {
      result.clicked = new URL(link.getAttribute('href'), target).href;
      link.click();
    }
  }
  return JSON.stringify(result);
})()
"""



class Files(http.server.SimpleHTTPRequestHandler):
    """Serves the directory, with byte ranges, which the player reads the package by."""

    def log_message(self, *arguments):
        pass

    def send_head(self):
        wanted = self.headers.get("Range", "")
        path = self.translate_path(self.path)
        if not wanted.startswith("bytes=") or not os.path.isfile(path):
            return super().send_head()
        size = os.path.getsize(path)
        first, _, last = wanted[6:].split(",")[0].partition("-")
        if first:
            start, end = int(first), int(last) if last else size - 1
        else:
            start, end = max(0, size - int(last)), size - 1
        end = min(end, size - 1)
        if start > end:
            self.send_error(416)
            return None
        body = open(path, "rb")
        body.seek(start)
        self.send_response(206)
        self.send_header("Content-Type", self.guess_type(path))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.send_header("Content-Length", str(end - start + 1))
        self.end_headers()
        self.range_left = end - start + 1
        return body

    def copyfile(self, source, destination):
        left = getattr(self, "range_left", None)
        if left is None:
            return super().copyfile(source, destination)
        while left > 0:
            piece = source.read(min(left, 1 << 16))
            if not piece:
                break
            destination.write(piece)
            left -= len(piece)


def evaluate(browser, target, click=None):
    result = browser.call("Runtime.evaluate", {
        "expression": FIND % (json.dumps(target), json.dumps(click)), "returnByValue": True},
        browser.session)
    value = result.get("result", {}).get("value")
    return json.loads(value) if value else None


def shown(browser, target, seconds):
    """What the player shows of the page whose address ends with target, once it has loaded and
    its pictures have (or have failed for a while)."""
    deadline = time.monotonic() + seconds
    page = None
    while time.monotonic() < deadline:
        page = evaluate(browser, target) or page
        if page and all(image["loaded"] for image in page["images"]):
            return page
        browser.events = []
        browser.receive(0.25)
    return page


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    player, wacz, start, link = sys.argv[1:]
    served = tempfile.mkdtemp(prefix="kelvane-replay-")
    profile = tempfile.mkdtemp(prefix="kelvane-replay-profile-")
    server = None
    browser = None
    try:
        for name in ("index.html", "ui.js", "sw.js"):
            shutil.copy(os.path.join(player, name), served)
        shutil.copy(wacz, os.path.join(served, "site.wacz"))
        with open(os.path.join(served, "replay.html"), "w") as page:
            page.write('<!DOCTYPE html><html><head><script src="./ui.js"></script></head><body>'
                       '<replay-web-page source="/site.wacz" url="%s" replayBase="./" '
                       'embed="replayonly" style="width:1000px;height:700px;display:block">'
                       '</replay-web-page></body></html>' % start)
        handler = lambda *arguments: Files(*arguments, directory=served)  # noqa: E731
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        port = server.server_address[1]
        # Every address but the player's server goes to a proxy that is not there.
        browser = browser_check.Browser(profile, offline=False, extra=[
            "--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>;127.0.0.1:%d" % port])
        browser.call("Page.navigate", {"url": "http://127.0.0.1:%d/replay.html" % port},
                     browser.session)
        first = shown(browser, start, SECONDS)
        print(json.dumps(first))
        target = (evaluate(browser, start, link) or {}).get("clicked") if first else None
        if not target:
            return 1
        second = shown(browser, target, SECONDS)
        print(json.dumps(second))
        return 0 if second else 1
    finally:
        if browser:
            browser.close()
        if server:
            server.shutdown()
        shutil.rmtree(served, ignore_errors=True)
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
