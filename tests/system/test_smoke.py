"""tolvane from start to stop in one run, touching each outside face once. Registered in
every build tree: in a cross-build it is how the ARM binaries are shown to work as a whole
(the rig runs them under the emulator)."""

import unittest

import rig


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

        # A browser: greeted with the state, then told of the controller's inputs.
        web = rig.WebClient.connect(self.unit, timeout=10)
        self.addCleanup(web.close)
        self.assertEqual(web.recv_type("gpio", timeout=10)["data"]["gpi"], [0] * 8)
        self.line.send_gpi([1, 0, 0, 0, 0, 0, 0, 1])
        m = web.recv_type("gpio", timeout=10)
        self.assertIsNotNone(m, p.stderr_text())
        self.assertEqual(m["data"]["gpi"], [1, 0, 0, 0, 0, 0, 0, 1])

        # A control panel: greeted, and a press on the outputs panel reaches the controller.
        panel = self.unit.spawn(rig.command("panel-sim", "--port", "10012",
                                            "--alive-interval", "0"), stdin=True)
        self.assertTrue(panel.wait_for("handshake\n", timeout=10, stream="stdout"),
                        panel.stdout_text() + panel.stderr_text())
        panel.write_stdin("press 3\n")
        self.assertTrue(rig.wait_until(
            lambda: bytes([5, 0, 0, 1, 0, 0, 0, 0, 0]) in self.line.messages(), timeout=10),
            self.line.messages())

        p.sigint()
        self.assertEqual(p.wait(15), 0, p.stderr_text())


if __name__ == "__main__":
    unittest.main()
