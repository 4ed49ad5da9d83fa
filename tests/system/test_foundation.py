"""tolvane as a whole: command line, signals, watchdog, LINK LED, settings file, busy web port."""

import os
import socket
import time
import unittest

import rig


class Foundation(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")
        self.line = self.sb.mcu_line(self.unit)

    def start(self, *args):
        p = self.unit.start([rig.binary("tolvane")] + list(args))
        # The LINK LED is switched off while the hub is built; the tick follows 500 ms later.
        deadline = time.monotonic() + 10
        while self.unit.led("LINK") != "0\n" and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.unit.led("LINK"), "0\n", p.stderr_text())
        time.sleep(0.5)
        return p

    def fds_of(self, pid):
        out = []
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                out.append(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
            except OSError:
                pass
        return out

    def test_help_lists_description_and_options(self):
        r = self.unit.run([rig.binary("tolvane"), "--help"])
        self.assertEqual(r.returncode, 0)
        self.assertIn("MERROW applicaton", r.stdout)
        self.assertRegex(r.stdout, r"-w\s+watchdog")
        self.assertRegex(r.stdout, r"-h, --help")

    def test_unknown_option_exits_before_anything_is_created(self):
        r = self.unit.run([rig.binary("tolvane"), "-x"])
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("Unknown option 'x'", r.stderr)
        # Nothing was created: the LINK LED was never touched, the controller line is silent.
        self.assertEqual(self.unit.led("LINK"), "")
        self.assertEqual(self.line.messages(timeout=0.5), [])

    def test_sigint_ends_with_status_zero(self):
        p = self.start()
        p.sigint()
        self.assertEqual(p.wait(10), 0)

    def test_without_w_watchdog_is_never_opened(self):
        p = self.start()
        time.sleep(1.5)
        self.assertFalse([f for f in self.fds_of(p.pid) if f.endswith("/watchdog")])
        p.sigint()
        self.assertEqual(p.wait(10), 0)
        self.assertEqual(self.unit.watchdog_read(), b"")

    def test_with_w_fed_every_second_and_disarmed_on_sigint(self):
        p = self.start("-w")
        self.assertTrue(p.wait_for("Watchdog enabled"))
        self.unit.watchdog_read()
        time.sleep(3.2)
        fed = self.unit.watchdog_read()
        self.assertIn(fed, (b"\0" * 3, b"\0" * 4))
        p.sigint()
        self.assertEqual(p.wait(10), 0)
        self.assertTrue(self.unit.watchdog_read().endswith(b"V"))
        self.assertFalse(os.path.exists("/proc/%d" % p.pid) and self.fds_of(p.pid))

    def test_link_led_switched_off_during_start_up(self):
        with open(self.unit.leds + "/LINK/brightness", "w") as f:
            f.write("1\n")
        p = self.unit.start([rig.binary("tolvane")])
        # The LED is switched off before the controller link exists, so well before the
        # first 500 ms tick.
        self.assertTrue(self.line.messages(1, timeout=10), p.stderr_text())
        self.assertEqual(self.unit.led("LINK"), "0\n")
        p.sigint()
        self.assertEqual(p.wait(10), 0)

    def test_settings_file_seeds_the_program(self):
        # Server mode from the file: the link server accepts and greets peers.
        self.unit.write_config("[General]\nsystem_mode=1\n")
        p = self.start()
        s = self.unit.connect_tcp(11010)
        s.settimeout(5)
        self.assertEqual(rig.recv_exactly(s, 8), rig.LINK_HANDSHAKE)
        s.close()
        p.sigint()
        self.assertEqual(p.wait(10), 0)

    def test_runs_with_web_port_taken(self):
        squatter = self.unit.socket(socket.AF_INET6, socket.SOCK_STREAM)
        squatter.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        squatter.bind(("::", 8080))
        squatter.listen(1)
        self.addCleanup(squatter.close)
        p = self.start()
        time.sleep(1)
        self.assertTrue(p.alive(), p.stderr_text())
        # The other services run: a control panel is greeted.
        panel = self.unit.connect_tcp(10010)
        panel.settimeout(5)
        self.assertEqual(rig.recv_exactly(panel, 8), rig.PANEL_HANDSHAKE)
        panel.close()
        p.sigint()
        self.assertEqual(p.wait(10), 0)


if __name__ == "__main__":
    unittest.main()
