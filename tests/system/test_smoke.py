"""tolvane from start to stop in one run, touching each outside face once. Registered in
every build tree: in a cross-build it is how the ARM binaries are shown to work as a whole
(the rig runs them under the emulator)."""

import base64
import hashlib
import os
import unittest

import rig

WEBSOCKET_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def websocket_upgrade(sock):
    """Sends an opening handshake; returns (status line, Sec-WebSocket-Accept expected, head)."""
    key = base64.b64encode(os.urandom(16))
    sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\nSec-WebSocket-Key: " + key +
                 b"\r\nSec-WebSocket-Version: 13\r\n\r\n")
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = sock.recv(4096)
        if not chunk:
            break
        head += chunk
    accept = base64.b64encode(hashlib.sha1(key + WEBSOCKET_GUID).digest())
    return head.split(b"\r\n", 1)[0], accept, head


class Smoke(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")
        self.line = self.sb.mcu_line(self.unit)

    def test_starts_serves_every_face_and_stops_on_sigint(self):
        p = self.unit.start_tolvane()

        # The controller line: input request, version request, all outputs off.
        msgs = self.line.messages(count=3, timeout=10)
        self.assertEqual([m[:1] for m in msgs[:3]], [b"\x04", b"\x01", b"\x05"], p.stderr_text())

        # A control panel: greeted, and a press on the outputs panel reaches the controller.
        panel = self.unit.spawn(rig.command("panel-sim", "--port", "10012",
                                            "--alive-interval", "0"), stdin=True)
        self.assertTrue(panel.wait_for("handshake\n", timeout=10, stream="stdout"),
                        panel.stdout_text() + panel.stderr_text())
        panel.write_stdin("press 3\n")
        self.assertTrue(rig.wait_until(
            lambda: bytes([5, 0, 0, 1, 0, 0, 0, 0, 0]) in self.line.messages(), timeout=10),
            self.line.messages())

        # A browser: the WebSocket upgrade on port 8080 is accepted.
        ws = self.unit.connect_tcp(8080)
        self.addCleanup(ws.close)
        ws.settimeout(10)
        status, accept, head = websocket_upgrade(ws)
        self.assertTrue(status.startswith(b"HTTP/1.1 101"), head)
        self.assertIn(b"Sec-WebSocket-Accept: " + accept, head)

        p.sigint()
        self.assertEqual(p.wait(15), 0, p.stderr_text())


if __name__ == "__main__":
    unittest.main()
