"""The I/O controller link as a whole: tolvane's start-up commands, its pacing through noise
on the line, and mcu-probe against the I/O controller simulator mcu-sim."""

import os
import random
import re
import time
import tty
import unittest

import rig

ACK = rig.encode_7391(b"\x00")
ZERO_OUTPUTS = rig.output_command([0] * 8)


def noise_rounds():
    """Bytes that must neither crash the receiver nor release its frame in flight."""
    rnd = random.Random(7391)
    report = rig.encode_7391(bytes([3, 1, 0, 0, 0, 0, 0, 0, 1]))
    corrupt = bytearray(report)
    corrupt[7] ^= 0x01
    noise = bytes(rnd.randrange(256) for _ in range(3000)).replace(b"\x06\x06", b"\x06\x07")
    truncated = b"".join(report[:k] for k in range(1, len(report)))
    return [
        noise + bytes(corrupt) + truncated + report,
        rig.encode_7391(b"") + rig.encode_7391(bytes([7, 1, 2])) + b"\x05\x05\x81\x80"
        + b"A" * 10000 + b"\x04\x04\x06",
    ]


class TolvaneLine(unittest.TestCase):
    """tolvane's end of /dev/ttyS3."""

    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")

    def test_startup_sends_input_request_version_request_zero_outputs(self):
        line = self.sb.mcu_line(self.unit)
        p = self.unit.start([rig.binary("tolvane")])
        msgs = line.messages(count=3, timeout=10)
        self.assertEqual([m[:1] for m in msgs[:3]], [b"\x04", b"\x01", b"\x05"], p.stderr_text())
        self.assertEqual([len(m) for m in msgs[:2]], [2, 2])
        self.assertEqual(msgs[2], ZERO_OUTPUTS)
        time.sleep(0.5)
        self.assertEqual(len(line.messages()), 3)
        self.assertTrue(p.alive())

    def test_runs_against_the_simulator(self):
        fd = self.unit.pty("ttyS3").master
        sim = self.sb.spawn([rig.binary("mcu-sim"), "--fd", str(fd), "--version", "2.7"],
                            stdin=True, pass_fds=(fd,))
        p = self.unit.start([rig.binary("tolvane")])
        self.assertTrue(sim.wait_for("gpo 0 0 0 0 0 0 0 0", timeout=10, stream="stdout"),
                        p.stderr_text())
        lines = sim.stdout_text().splitlines()
        self.assertEqual([l for l in lines if l.startswith("rx")],
                         ["rx 04 00", "rx 01 00", "rx 05 00 00 00 00 00 00 00 00"])
        self.assertIn("tx 02 32 2e 37 00", sim.stdout_text())
        sim.write_stdin("gpi 1 1 0 0 0 0 0 1\n")
        self.assertTrue(sim.wait_for("tx 03 01 01 00 00 00 00 00 01", stream="stdout"))
        time.sleep(0.5)
        self.assertNotIn("LTC: UART timeout", p.stderr_text())
        self.assertNotIn("crc error", p.stdout_text())
        p.sigint()
        self.assertEqual(p.wait(10), 0)

    def test_noise_neither_releases_nor_stalls_the_frame_in_flight(self):
        pty = self.unit.pty("ttyS3")
        p = self.unit.start([rig.binary("tolvane")])
        frames = [rig.encode_7391(m) for m in (b"\x04\x00", b"\x01\x00", ZERO_OUTPUTS)]
        self.assertEqual(pty.read(len(frames[0]), timeout=10), frames[0], p.stderr_text())
        for n, noise in enumerate(noise_rounds(), start=1):
            with self.subTest(round=n):
                # Only an acknowledgement releases the next frame, and the one behind the
                # noise does so at once, long before the 2000 ms time-out.
                pty.write(noise)
                self.assertEqual(pty.read(1, timeout=0.5), b"")
                pty.write(ACK)
                self.assertEqual(pty.read(len(frames[n]), timeout=0.5), frames[n])
                self.assertNotIn("LTC: UART timeout", p.stderr_text())
        self.assertTrue(p.wait_for("crc error", stream="stdout"))
        self.assertIn("LTC: Unknown message", p.stderr_text())
        self.assertIn("LTC: RX buffer full", p.stderr_text())
        self.assertTrue(p.alive())
        p.sigint()
        self.assertEqual(p.wait(10), 0)


class ProbeAgainstSimulator(unittest.TestCase):
    """mcu-probe on /dev/ttyS3, mcu-sim on the far end."""

    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")
        fd = self.unit.pty("ttyS3").master
        self.sim = self.sb.spawn([rig.binary("mcu-sim"), "--fd", str(fd)], stdin=True,
                                 pass_fds=(fd,))

    def start_probe(self):
        self.probe = self.unit.start([rig.binary("mcu-probe")])
        self.assertTrue(self.probe.wait_for("Mcu probe application"), self.probe.stderr_text())

    def received(self, count, timeout=10.0):
        """The messages the simulator has received, as hex lines, once there are count."""
        pattern = re.compile(r"^rx (.*)$", re.M)
        deadline = time.monotonic() + timeout
        while True:
            found = pattern.findall(self.sim.stdout_text())
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(0.05)

    def test_startup_frames_then_walking_outputs(self):
        self.start_probe()
        rx = self.received(12)
        self.assertGreaterEqual(len(rx), 12, self.probe.stderr_text())
        self.assertEqual(rx[0][:2], "01")
        self.assertEqual(rx[1][:2], "04")
        self.assertEqual(rx[2], "05 00 00 00 00 00 00 00 00")
        ticks = rx[3:12]
        walk = ["05 " + " ".join("01" if k == n else "00" for k in range(8)) for n in range(8)]
        self.assertEqual(ticks, walk + [walk[0]])
        self.assertNotIn("LTC: UART timeout", self.probe.stderr_text())

    def test_prints_version_and_input_reports(self):
        self.start_probe()
        self.assertTrue(self.probe.wait_for('Version: "1.2"'), self.probe.stderr_text())
        self.assertIn("Recieved: cpu_cmd_version_t", self.probe.stderr_text())
        self.assertTrue(self.probe.wait_for("(0, 0, 0, 0, 0, 0, 0, 0)"))
        self.sim.write_stdin("gpi 1 0 0 0 0 0 0 1\n")
        self.assertTrue(self.probe.wait_for("(1, 0, 0, 0, 0, 0, 0, 1)"), self.probe.stderr_text())
        log = self.probe.stderr_text()
        self.assertRegex(log, r"Recieved: cpu_cmd_gpi_t\n.*\(1, 0, 0, 0, 0, 0, 0, 1\)")

    def test_reports_get_through_after_noise(self):
        self.start_probe()
        self.assertTrue(self.probe.wait_for('Version: "1.2"'))
        for n, noise in enumerate(noise_rounds(), start=1):
            with self.subTest(round=n):
                self.sim.write_stdin("raw %s\n" % noise.hex())
                self.sim.write_stdin("toggle %d\n" % n)
                states = ", ".join("1" if k < n else "0" for k in range(8))
                self.assertTrue(self.probe.wait_for("(%s)" % states), self.probe.stderr_text())
        # The acknowledgements behind the noise kept the commands flowing.
        before = len(self.received(0))
        time.sleep(1.6)
        self.assertGreaterEqual(len(self.received(0)) - before, 3)
        self.assertNotIn("LTC: UART timeout", self.probe.stderr_text())
        self.assertTrue(self.probe.alive())

    def test_without_acknowledgements_commands_leave_every_2000_ms(self):
        self.sim.write_stdin("ack off\n")
        time.sleep(0.2)
        self.start_probe()
        time.sleep(4.5)
        # Written at about 0, 2000 and 4000 ms; the rest wait in the queue.
        self.assertEqual(len(self.received(0)), 3, self.sim.stdout_text())
        self.assertEqual(self.probe.stderr_text().count("LTC: UART timeout"), 2)
        self.assertTrue(self.probe.alive())


class SimulatorReadme(unittest.TestCase):
    """tools/mcu-sim/README.md: its example run as written, from the top of the tree; the
    commands and printed lines its tables name."""

    README = "tools/mcu-sim/README.md"

    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        with open(os.path.join(rig.SOURCE_DIR, self.README)) as f:
            self.text = f.read()

    def open_line(self, path):
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.addCleanup(os.close, fd)
        tty.setraw(fd)
        return fd

    def read_messages(self, fd, count, timeout=5.0):
        buf, got = b"", []
        deadline = time.monotonic() + timeout
        while len(got) < count and time.monotonic() < deadline:
            try:
                buf += os.read(fd, 4096)
            except BlockingIOError:
                time.sleep(0.05)
            msgs, buf = rig.decode_frames_7391(buf)
            got += msgs
        return got

    def test_example_on_its_own_pseudo_terminal(self):
        (example,) = rig.readme_blocks(self.README, "sh")
        sim = self.sb.spawn(["sh", "-c", example], stdin=True, cwd=rig.source_tree(self.sb.dir))
        self.assertTrue(sim.wait_for(re.compile(r"^/dev/pts/\d+\n"), stream="stdout"),
                        sim.stdout_text() + sim.stderr_text())
        line = self.open_line(sim.stdout_text().splitlines()[0])
        os.write(line, rig.encode_7391(b"\x01\x00"))  # version request
        self.assertEqual(self.read_messages(line, 2),
                         [b"\x00", b"\x02" + b"1.2".ljust(30, b"\x00")])
        # Commands of the README's table, as written there.
        for command in ("gpi 1 0 0 0 0 0 0 1", "toggle 3"):
            self.assertIn("| `%s` |" % command, self.text)
        sim.write_stdin("gpi 1 0 0 0 0 0 0 1\ntoggle 3\n")
        self.assertEqual(self.read_messages(line, 2),
                         [bytes([3, 1, 0, 0, 0, 0, 0, 0, 1]), bytes([3, 1, 0, 1, 0, 0, 0, 0, 1])])
        os.write(line, rig.encode_7391(bytes([5, 0, 1, 0, 0, 0, 0, 0, 0])))
        self.assertTrue(sim.wait_for("gpo 0 1 0 0 0 0 0 0\n", stream="stdout"), sim.stdout_text())
        # Every line printed has the form of one in the README's list.
        forms = [l.split()[0] for l in self.text.split("## What it prints", 1)[1]
                 .split("```", 1)[0].splitlines() if l.startswith("    ")]
        for printed in sim.stdout_text().splitlines()[1:]:
            self.assertIn(printed.split()[0], forms, sim.stdout_text())
        sim.write_stdin("quit\n")
        self.assertEqual(sim.wait(5), 0)


if __name__ == "__main__":
    unittest.main()
