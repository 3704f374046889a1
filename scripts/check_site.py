#!/usr/bin/env python3
"""Opens every page of the built documentation site in headless Chromium
and fails when a page does not render, logs an error to its console (a
script error, a failed load), or links to a page or an anchor of the site
that does not exist.

    scripts/check_site.py [SITE]     (default build/site)

The site is served from a local HTTP server on a free port, as a reader's
browser would get it; Chromium is driven through its DevTools protocol
over a pipe (--remote-debugging-pipe), with the standard library only.
A screenshot of each page can be kept with ZK5_SITE_SCREENSHOTS=DIR.
"""

import base64
import functools
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE_TIMEOUT = 30.0  # seconds for one page to load and go quiet


class Browser:
    """Headless Chromium, one page, commands and events over the pipe."""

    def __init__(self, exe: str) -> None:
        self._profile = tempfile.mkdtemp(prefix="zk5-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # The browser reads commands from its descriptor 3 and writes to 4.
        self._proc = subprocess.Popen(
            [
                exe,
                "--headless=new",
                "--remote-debugging-pipe",
                "--no-sandbox",
                "--disable-gpu",
                "--window-size=1280,1600",
                "--no-first-run",
                "--no-default-browser-check",
                "--disable-extensions",
                "--disable-background-networking",
                "--disable-component-update",
                "--disable-sync",
                "--mute-audio",
                "--user-data-dir=" + self._profile,
                "about:blank",
            ],
            pass_fds=(3, 4),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            preexec_fn=functools.partial(_pipes_as_3_and_4, to_browser_r, from_browser_w),
        )
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self.events = []  # (method, params) of the page's session
        self._session = None
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self._session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})[
            "sessionId"
        ]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(domain + ".enable")
        self.call("Page.setLifecycleEventsEnabled", {"enabled": True})

    def _send(self, message: dict) -> None:
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._to_browser, data) :]

    def _receive(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("no answer from Chromium")
            chunk = os.read(self._from_browser, 1 << 16)
            if not chunk:
                raise RuntimeError("Chromium exited (status %s)" % self._proc.poll())
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method: str, params: dict = None, timeout: float = PAGE_TIMEOUT) -> dict:
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if self._session is not None:
            message["sessionId"] = self._session
        self._send(message)
        deadline = time.monotonic() + timeout
        while True:
            answer = self._receive(deadline)
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})
            if "method" in answer and answer.get("sessionId") == self._session:
                self.events.append((answer["method"], answer.get("params", {})))

    def wait_event(self, predicate, timeout: float = PAGE_TIMEOUT) -> None:
        deadline = time.monotonic() + timeout
        while not any(predicate(m, p) for m, p in self.events):
            answer = self._receive(deadline)
            if "method" in answer and answer.get("sessionId") == self._session:
                self.events.append((answer["method"], answer.get("params", {})))

    def close(self) -> None:
        try:
            self._session = None
            self._send({"id": self._next_id + 1, "method": "Browser.close", "params": {}})
            self._proc.wait(timeout=10)
        except Exception:
            self._proc.kill()
            self._proc.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        shutil.rmtree(self._profile, ignore_errors=True)


def _pipes_as_3_and_4(read_fd: int, write_fd: int) -> None:
    os.dup2(read_fd, 3)
    os.dup2(write_fd, 4)


def errors_of(events) -> list:
    """What a page logged as an error: script errors, console errors,
    failed loads and HTTP error statuses."""
    found = []
    for method, p in events:
        if method == "Runtime.exceptionThrown":
            d = p["exceptionDetails"]
            found.append("exception: %s" % d.get("exception", {}).get("description", d["text"]))
        elif method == "Runtime.consoleAPICalled" and p["type"] in ("error", "assert"):
            found.append(
                "console.%s: %s"
                % (
                    p["type"],
                    " ".join(str(a.get("value", a.get("description", ""))) for a in p["args"]),
                )
            )
        elif method == "Log.entryAdded" and p["entry"]["level"] == "error":
            found.append("log: %s %s" % (p["entry"]["text"], p["entry"].get("url", "")))
        elif method == "Network.loadingFailed" and not p.get("canceled"):
            found.append("load failed: %s" % p["errorText"])
        elif method == "Network.responseReceived" and p["response"]["status"] >= 400:
            found.append("HTTP %d: %s" % (p["response"]["status"], p["response"]["url"]))
    return found


PAGE_FACTS = """(() => ({
  ready: document.readyState,
  title: document.title,
  text: document.body ? document.body.innerText.length : 0,
  headings: document.querySelectorAll('h1, h2').length,
  links: Array.from(document.querySelectorAll('a[href]'), a => a.href),
  resources: Array.from(document.querySelectorAll('link[href], script[src], img[src]'),
                        e => e.href || e.src),
  ids: Array.from(document.querySelectorAll('[id]'), e => e.id)
      .concat(Array.from(document.querySelectorAll('a[name]'), e => e.name)),
  // Docstring markup the site does not render (roles, literal-block colons),
  // outside code.
  markup: Array.from(document.querySelectorAll('p, li, td, dd'))
      .map(e => e.innerText)
      .filter(t => /:(class|func|meth|attr|exc|mod|data):`|::$/m.test(t))
      .map(t => t.slice(0, 80)),
}))()"""


def serve(site: str):
    handler = functools.partial(_QuietHandler, directory=site)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args) -> None:
        pass


def main() -> int:
    site = os.path.abspath(
        sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "site")
    )
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if exe is None:
        print("check_site: chromium is not installed (scripts/setup.sh installs it)")
        return 1
    shots = os.environ.get("ZK5_SITE_SCREENSHOTS")
    pages = sorted(
        os.path.relpath(os.path.join(d, f), site)
        for d, _, fs in os.walk(site)
        for f in fs
        if f.endswith(".html")
    )
    server = serve(site)
    origin = "http://127.0.0.1:%d/" % server.server_address[1]
    browser = Browser(exe)
    problems = []
    facts = {}
    try:
        for page in pages:
            url = origin + urllib.parse.quote(page)
            browser.events.clear()
            loader = browser.call("Page.navigate", {"url": url})["loaderId"]
            # This page loaded, and no request for half a second since
            # (scripts that fetch more, like the search index, have had
            # their answers).
            for event in ("load", "networkIdle"):
                browser.wait_event(
                    lambda m, p, event=event, loader=loader: m == "Page.lifecycleEvent"
                    and p["name"] == event
                    and p["loaderId"] == loader
                )
            got = browser.call(
                "Runtime.evaluate", {"expression": PAGE_FACTS, "returnByValue": True}
            )["result"]["value"]
            facts[url] = got
            for error in errors_of(browser.events):
                problems.append("%s: %s" % (page, error))
            for text in got["markup"]:
                problems.append("%s: unrendered markup in %r" % (page, text))
            if (
                got["ready"] != "complete"
                or got["text"] < 50
                or got["headings"] < 1
                or not got["title"]
            ):
                problems.append(
                    "%s: did not render (%r)"
                    % (page, {k: got[k] for k in ("ready", "title", "text", "headings")})
                )
            if shots:
                os.makedirs(shots, exist_ok=True)
                png = browser.call("Page.captureScreenshot", {"format": "png"})["data"]
                with open(os.path.join(shots, page.replace("/", "_") + ".png"), "wb") as f:
                    f.write(base64.b64decode(png))
    finally:
        browser.close()
        server.shutdown()

    # Every link and resource within the site must exist, every anchor too.
    links = 0
    for url, got in facts.items():
        page = url[len(origin) :]
        for target in got["links"] + got["resources"]:
            if not target.startswith(origin):
                continue
            links += 1
            path, _, anchor = target.partition("#")
            path = urllib.parse.unquote(path[len(origin) :].split("?")[0])
            file = os.path.join(site, path)
            if os.path.isdir(file):
                file = os.path.join(file, "index.html")
            if not os.path.isfile(file):
                problems.append("%s: broken link %s" % (page, target))
            elif anchor and file.endswith(".html"):
                ids = facts.get(origin + urllib.parse.quote(os.path.relpath(file, site)), {}).get(
                    "ids", []
                )
                if urllib.parse.unquote(anchor) not in ids:
                    problems.append("%s: broken anchor %s" % (page, target))
    for problem in problems:
        print("check_site: " + problem)
    print(
        "check_site: %d pages, %d internal links and resources, %d problems"
        % (len(pages), links, len(problems))
    )
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
