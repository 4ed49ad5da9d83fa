"""The web server configuration that is installed with the page (/etc/tolvane/lighttpd.conf):
lighttpd started with it serves the page's folder on port 80."""

import os
import re
import shutil
import unittest

import rig

PAGE = b"<!DOCTYPE html><title>unit</title>\n"


class WebServer(unittest.TestCase):
    def setUp(self):
        self.lighttpd = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")
        self.conf = os.path.join(rig.build_dir(), "packaging", "lighttpd.conf")
        with open(self.conf) as f:
            docroot = re.search(r'^server\.document-root = "([^"]+)"', f.read(), re.M).group(1)
        # The page's folder (under the install prefix) exists only inside the unit, through
        # an overlay on its nearest existing parent.
        base = docroot
        while not os.path.isdir(base):
            base = os.path.dirname(base)
        www = os.path.join(self.unit.overlay(base), os.path.relpath(docroot, base))
        os.makedirs(www)
        with open(os.path.join(www, "index.html"), "wb") as f:
            f.write(PAGE)
        with open(os.path.join(www, "app.js"), "wb") as f:
            f.write(b"'use strict';\n")

    def get(self, path):
        sock = self.unit.connect_tcp(80, timeout=10)
        self.addCleanup(sock.close)
        sock.settimeout(5)
        sock.sendall(b"GET " + path + b" HTTP/1.0\r\nHost: unit\r\n\r\n")
        reply = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            reply += chunk
        head, _, body = reply.partition(b"\r\n\r\n")
        return head.decode(errors="replace"), body

    def test_serves_the_page_folder_on_port_80(self):
        server = self.unit.start([self.lighttpd, "-D", "-f", self.conf])
        cases = (
            (b"/", "200", "text/html", PAGE),
            (b"/index.html", "200", "text/html", PAGE),
            (b"/app.js", "200", "text/javascript", b"'use strict';\n"),
            (b"/missing.html", "404", None, None),
            (b"/../../../etc/passwd", "404", None, None),
        )
        for path, status, mime, body in cases:
            with self.subTest(path=path):
                head, got = self.get(path)
                self.assertIn(" %s " % status, head.splitlines()[0], server.stderr_text())
                if mime:
                    self.assertIn("Content-Type: " + mime, head)
                if body is not None:
                    self.assertEqual(got, body)


if __name__ == "__main__":
    unittest.main()
