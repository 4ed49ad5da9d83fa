"""The web page in a headless browser, inside a unit's network namespace.

serve_page(unit) serves web/ on the unit's port 8000, as the unit's own static web server
would; Browser(unit) runs Debian's chromium there through tests/web/driver.mjs
(playwright-core, installed by `npm ci --prefix tests/web`), so the page's default
ws://<host>:8080/ reaches the unit's tolvane. Both are stopped by the Sandbox's close().
"""

import json
import os
import shutil
import socket

import rig

WEB_DIR = os.path.join(rig.SOURCE_DIR, "web")
DRIVER = os.path.join(rig.SOURCE_DIR, "tests", "web", "driver.mjs")
PAGE_PORT = 8000


def missing_tools():
    """Why the browser cannot run here, or "" when it can."""
    if not os.path.exists("/usr/bin/chromium"):
        return "no /usr/bin/chromium (Debian package chromium)"
    if not shutil.which("node"):
        return "no node"
    if not os.path.isdir(os.path.join(os.path.dirname(DRIVER), "node_modules", "playwright-core")):
        return "no tests/web/node_modules (run: npm ci --prefix tests/web)"
    return ""


def serve_page(unit, port=PAGE_PORT):
    """Serves web/ inside the unit on all its addresses; returns the page's local URL."""
    unit.spawn(["python3", "-m", "http.server", "--directory", WEB_DIR, str(port)])
    unit.connect_tcp(port).close()
    return "http://127.0.0.1:%d/" % port


class Browser:
    """One chromium page. Each method is one request to the driver; a failed request
    raises BrowserError with the driver's message."""

    def __init__(self, unit, timeout=60.0):
        self.dir = os.path.join(unit.dir, "browser%d" % id(self))
        os.makedirs(os.path.join(self.dir, "profile"))
        path = os.path.join(self.dir, "driver.sock")
        self.proc = unit.spawn(["node", DRIVER, path, os.path.join(self.dir, "profile")])
        if not rig.wait_until(lambda: os.path.exists(path) or not self.proc.alive(), timeout):
            raise BrowserError("browser did not start")
        if not self.proc.alive():
            raise BrowserError("browser did not start:\n" + self.proc.stderr_text())
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(30)
        self.sock.connect(path)
        self.file = self.sock.makefile("rwb")

    def call(self, op, **args):
        args["op"] = op
        self.file.write(json.dumps(args).encode() + b"\n")
        self.file.flush()
        line = self.file.readline()
        if not line:
            raise BrowserError("browser ended:\n" + self.proc.stderr_text())
        reply = json.loads(line)
        if not reply["ok"]:
            raise BrowserError("%s: %s" % (op, reply["error"]))
        return reply["value"]

    def __getattr__(self, op):
        # b.click(selector=...) is b.call("click", selector=...); see ops in driver.mjs.
        if op.startswith("_"):
            raise AttributeError(op)
        return lambda **args: self.call(op, **args)

    def wait_text(self, selector, expected, timeout=5.0):
        """The element's text once it equals expected (or matches it, for a compiled
        regex), else its last text."""
        last = [None]

        def check():
            try:
                last[0] = self.call("text", selector=selector)
            except BrowserError:
                return False
            if hasattr(expected, "search"):
                return bool(expected.search(last[0]))
            return last[0] == expected

        rig.wait_until(check, timeout)
        return last[0]

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass
        try:
            self.proc.wait(10)
        except Exception:
            self.proc.stop()


class BrowserError(Exception):
    pass


def shots_dir():
    """Folder for the page's screenshots, kept as a CI artefact."""
    path = os.path.join(rig.build_dir(), "web-screenshots")
    os.makedirs(path, exist_ok=True)
    return path

