"""The web server configuration that is installed with the page (/etc/tolvane/lighttpd.conf):
lighttpd started with it serves the page's folder on port 80."""

import os
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
        # The page's folder exists only inside the unit, through an overlay on /usr/share.
        www = os.path.join(self.unit.overlay("/usr/share"), "tolvane", "www")
        os.makedirs(www)
        with open(os.path.join(www, "index.html"), "wb") as f:
            f.write(PAGE)
        with open(os.path.join(www, "app.js"), "wb") as f:
            f.write(b"'use strict';\n")
        self.conf = os.path.join(rig.build_dir(), "packaging", "lighttpd.conf")

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
