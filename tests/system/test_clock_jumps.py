"""Two linked tolvane units whose wall clocks are set forward and back while they run (as on a
board without a real-time clock, set at boot and corrected later): the link's receive time-out
counts real elapsed time, so a jump forward does not drop a healthy link and a jump back does
not keep a dead one; the RS-232 activity flag likewise lasts its 9 to 10 s whatever the clock
does.

Each unit's clock is moved with libfaketime, preloaded into tolvane alone and told to read
its offset from a file on every clock call; the monotonic clock is left alone, as setting
the system clock leaves it alone on the board."""

import datetime
import glob
import re
import time
import unittest

import rig

DAY = 86400
# Every log line carries the wall-clock time the program sees, so a test can tell that a
# jump has reached the program.
PATTERN = "%{time yyyy-MM-ddThh:mm:ss} %{file}:%{line} %{function}: %{message}"


def faketime_library():
    found = sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))
    if not found:
        raise FileNotFoundError("libfaketime is not installed (Debian package faketime)")
    return found[0]


class ClockJumps(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.a, self.b = self.sb.pair()
        self.sb.mcu_line(self.a)
        self.sb.mcu_line(self.b)
        library = faketime_library()
        self.procs = {}
        for unit in (self.a, self.b):
            self.set_clock(unit, 0)
            env = {
                "LD_PRELOAD": library,
                "FAKETIME_TIMESTAMP_FILE": self.clock_file(unit),
                "FAKETIME_NO_CACHE": "1",
                "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                "QT_MESSAGE_PATTERN": PATTERN,
                # The sanitizer runtime would refuse to start behind a preloaded library.
                "ASAN_OPTIONS": "detect_leaks=1:verify_asan_link_order=0",
            }
            self.procs[unit.name] = unit.start([rig.binary("tolvane")], env=env)
        self.pa, self.pb = self.procs["a"], self.procs["b"]
        self.assertTrue(self.linked(10), self.logs())

    def tearDown(self):
        for p in (self.pa, self.pb):
            self.assertNotRegex(p.stderr_text(), "runtime error|AddressSanitizer")

    # --- helpers

    @staticmethod
    def clock_file(unit):
        return unit.dir + "/faketime.rc"

    def set_clock(self, unit, offset):
        """Moves the unit's wall clock to real time + offset seconds."""
        with open(self.clock_file(unit), "w") as f:
            f.write("%+d\n" % offset)

    def wall_clock_seen(self, unit):
        """The wall-clock time tolvane of the unit logs now, taken from the log line of a
        control-panel connection made for the purpose."""
        proc = self.procs[unit.name]
        before = proc.stderr_text().count("Connected ip:")
        s = unit.connect_tcp(10010)
        try:
            self.assertTrue(rig.wait_until(lambda: proc.stderr_text().count("Connected ip:") > before, 5))
        finally:
            s.close()
        line = [l for l in proc.stderr_text().splitlines() if "Connected ip:" in l][-1]
        return datetime.datetime.strptime(line.split()[0], "%Y-%m-%dT%H:%M:%S")

    def assert_clock(self, unit, offset):
        seen = self.wall_clock_seen(unit)
        expected = datetime.datetime.now() + datetime.timedelta(seconds=offset)
        self.assertLess(abs((seen - expected).total_seconds()), 60,
                        "%s sees %s, expected about %s" % (unit.name, seen, expected))

    def leds(self):
        return self.a.led("LINK"), self.b.led("LINK")

    def linked(self, timeout):
        return rig.pair_linked(self.a, self.b, timeout)

    def logs(self):
        return "A:\n%s\nB:\n%s" % (self.pa.stderr_text(), self.pb.stderr_text())

    def handshakes(self):
        return self.pa.stderr_text().count("Handshake ok"), self.pb.stderr_text().count("Handshake ok")

    # --- tests

    def test_forward_jump_keeps_healthy_link(self):
        before = self.handshakes()
        for unit in (self.a, self.b):
            self.set_clock(unit, DAY)
            self.assert_clock(unit, DAY)
        # Past the 10 s receive time-out and the ticks that check it: the link never drops.
        deadline = time.monotonic() + 14
        while time.monotonic() < deadline:
            self.assertEqual(self.leds(), ("1\n", "1\n"), self.logs())
            time.sleep(0.2)
        self.assertNotRegex(self.pa.stderr_text(), "client timeout")
        self.assertNotRegex(self.pb.stderr_text(), "server timeout")
        self.assertEqual(self.handshakes(), before, self.logs())
        # And it still carries RS-232 both ways.
        pty_a, pty_b = self.a.pty("ttyS2"), self.b.pty("ttyS2")
        pty_a.write(b"forward")
        self.assertEqual(pty_b.read(7, timeout=5), b"forward")
        pty_b.write(b"and back")
        self.assertEqual(pty_a.read(8, timeout=5), b"and back")

    def test_backward_jump_does_not_keep_dead_link(self):
        for unit in (self.a, self.b):
            self.assert_clock(unit, 0)
        # The peer goes silent without closing: the wire is cut, the connection stays open.
        self.a.ip("link", "set", "eth0", "down")
        time.sleep(1)
        # The clocks go back while the connection is silent.
        for unit in (self.a, self.b):
            self.set_clock(unit, -DAY)
            self.assert_clock(unit, -DAY)

        def dropped():
            return self.leds() == ("0\n", "0\n")

        # The server checks every second, the client with its 5 s keepalive: each drops the
        # other more than 10 s after the last packet it had, and soon after.
        self.assertTrue(rig.wait_until(dropped, 20), self.logs())
        self.assertTrue(self.pa.wait_for("client timeout", 1), self.pa.stderr_text())
        self.assertTrue(self.pb.wait_for("server timeout", 1), self.pb.stderr_text())
        # With the wire back the client links again, on the jumped clock.
        self.a.ip("link", "set", "eth0", "up")
        self.b.ip("link", "set", "eth0", "up")
        self.assertTrue(self.linked(10), self.logs())

    def test_rs232_activity_counts_real_time(self):
        web = rig.WebClient.connect(self.a)
        self.addCleanup(web.close)
        web.recv_all()
        pty_a = self.a.pty("ttyS2")

        def rs232_flags(seconds):
            """(seconds after the start, rs232_link) of each "gpio" for the next seconds."""
            start, out = time.monotonic(), []
            while time.monotonic() - start < seconds:
                m = web.recv_json(max(0.0, seconds - (time.monotonic() - start)))
                if m and m["type"] == "gpio":
                    out.append((time.monotonic() - start, m["data"]["rs232_link"]))
            return out

        # Bytes, then the clock goes back a day: the flag still ends 9 to 10 s after them.
        pty_a.write(b"x")
        self.set_clock(self.a, -DAY)
        flags = rs232_flags(12)
        self.assertEqual([f for _, f in flags], [1, 0], flags)
        self.assertTrue(8.4 <= flags[1][0] <= 10.8, flags)

        # Bytes, then the clock goes forward two days: the flag is not cut short.
        pty_a.write(b"y")
        self.set_clock(self.a, DAY)
        flags = rs232_flags(12)
        self.assertEqual([f for _, f in flags], [1, 0], flags)
        self.assertTrue(8.4 <= flags[1][0] <= 10.8, flags)


if __name__ == "__main__":
    unittest.main()
