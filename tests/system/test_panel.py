"""tolvane's control-panel ports, driven by raw sockets and by tools/panel-sim."""

import os
import re
import time
import unittest

import rig

PANEL_PORTS = (10010, 10011, 10012, 10013, 10014)
README = "tools/panel-sim/README.md"
GREETING = ["led %d 0" % n for n in range(1, 5)] + ["led 5 1"]


class Panel(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")
        self.line = self.sb.mcu_line(self.unit)
        self.tolvane = self.unit.start_tolvane()

    def panel_sim(self, port, *options):
        sim = self.unit.spawn([rig.binary("panel-sim"), "--port", str(port)] + list(options),
                              stdin=True)
        self.assertTrue(sim.wait_for("ready\n", stream="stdout"), sim.stdout_text())
        return sim

    def test_every_panel_port_greets_with_the_handshake(self):
        for port in PANEL_PORTS:
            with self.subTest(port=port):
                sock = self.unit.connect_tcp(port)
                self.addCleanup(sock.close)
                self.assertEqual(rig.recv_exactly(sock, 8), rig.PANEL_HANDSHAKE)
        self.assertEqual(self.tolvane.stderr_text().count("Connected ip:"), 5)

    def test_wrong_reply_is_refused(self):
        sock = self.unit.connect_tcp(10011)
        self.addCleanup(sock.close)
        self.assertEqual(rig.recv_exactly(sock, 8), rig.PANEL_HANDSHAKE)
        sock.sendall(bytes.fromhex("4e4f525600030000"))
        self.assertTrue(self.tolvane.wait_for("Incorrect connection protocol!"))
        sock.settimeout(5)
        rest = b""
        while True:
            chunk = sock.recv(4096)
            if not chunk:
                break
            rest += chunk
        # Only the port's periodic LED blocks may have gone out before the close, never the
        # greeting frames (the only ones carrying the value 1).
        self.assertEqual(len(rest) % 66, 0)

    def test_panel_sim_gets_leds_and_a_press_reaches_the_controller(self):
        sim = self.panel_sim(10012, "--alive-interval", "0")
        out = sim.stdout_text()
        self.assertIn("handshake\n", out)
        for n, v in ((1, 0), (2, 0), (3, 0), (4, 0), (5, 1)):
            self.assertIn("led %d %d\n" % (n, v), out)
        start_messages = len(self.line.messages(count=3))
        sim.write_stdin("press 3\n")
        pressed = rig.output_command([0, 0, 1, 0, 0, 0, 0, 0])
        released = rig.output_command([0] * 8)
        messages = self.line.messages(count=start_messages + 2)[start_messages:]
        self.assertEqual(messages, [pressed, released])
        # Periodic LED blocks keep coming: the port's inputs, all off.
        time.sleep(1.2)
        self.assertGreaterEqual(sim.stdout_text().count("led 5 0\n"), 4)

    def test_output_set_on_one_port_shows_on_the_output_panel(self):
        outputs = self.panel_sim(10010, "--alive-interval", "0")
        setter = self.panel_sim(10012, "--alive-interval", "0")
        setter.write_stdin("set 2 1\n")
        self.assertTrue(outputs.wait_for("led 2 2\n", stream="stdout"), outputs.stdout_text())

    def test_malformed_frames_are_dropped_and_the_port_keeps_working(self):
        sim = self.panel_sim(10013, "--alive-interval", "0")
        # A bad frame takes the rest of its read with it, so each goes in a read of its own.
        for raw in ("00", "000000", "00000000 0002000101 0001", "fffffff5 0002000101 0001",
                    "00000004 0002000101 0001"):
            sim.write_stdin("raw %s\n" % raw)
            time.sleep(0.2)
        sim.write_stdin("alive\n")
        self.assertTrue(sim.wait_for("alive\n", stream="stdout"), sim.stdout_text())
        self.assertTrue(self.tolvane.alive())
        log = self.tolvane.stderr_text()
        self.assertIn("discarded bytes:", log)
        self.assertEqual(self.line.messages(timeout=0.3)[3:], [])

    def test_panel_sim_closing_stdin_ends_it(self):
        sim = self.panel_sim(10014, "--alive-interval", "0")
        sim.popen.stdin.close()
        self.assertEqual(sim.wait(5), 0)
        self.assertTrue(sim.stdout_text().endswith("\nclosed\n"), sim.stdout_text())
        self.assertTrue(self.tolvane.wait_for('disconnected: "'))

    def test_quit_gives_up_on_a_port_that_never_greets(self):
        silent = self.unit.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 10099))
        silent.listen(1)
        sim = self.unit.spawn([rig.binary("panel-sim"), "--port", "10099", "--alive-interval", "0"],
                              stdin=True)
        sim.write_stdin("set 1 1\npress 2\nquit\n")
        self.assertEqual(sim.wait(10), 1, sim.stdout_text())
        self.assertEqual(sim.stdout_text().splitlines(), [
            "connected 127.0.0.1 10099",
            "error 3 frames not sent: the unit did not accept the panel",
            "closed"])

    def test_readme_piped_example(self):
        commands = rig.readme_blocks(README, "sh")
        shown = rig.readme_blocks(README, "text")
        self.assertEqual((len(commands), len(shown)), (2, 1))
        start_messages = len(self.line.messages(count=3))
        # Both lines of input are read before the unit's handshake arrives: the set command is
        # held back, and quit waits for it to go out.
        sim = self.unit.spawn(["sh", "-c", commands[1]], env={"PATH": rig.tool_path("panel-sim")})
        self.assertEqual(sim.wait(10), 0, sim.stdout_text() + sim.stderr_text())
        lines = sim.stdout_text().splitlines()
        self.assertIn("ready", lines)
        # A periodic LED block may come between "ready" and "closed".
        after = lines.index("ready") + 1
        lines = lines[:after] + [l for l in lines[after:] if not l.startswith("led ")]
        self.assertEqual(lines, shown[0].splitlines())
        self.assertEqual(self.line.messages(count=start_messages + 1)[start_messages:],
                         [rig.output_command([0, 0, 1, 0, 0, 0, 0, 0])])
        self.assertTrue(self.tolvane.wait_for('disconnected: "'))

    def test_readme_explains_every_line_printed(self):
        with open(os.path.join(rig.SOURCE_DIR, README)) as f:
            table = f.read().split("## Output", 1)[1].split("##", 1)[0]
        explained = set(re.findall(r"^\| `(\w+)", table, re.M))
        self.assertLessEqual({"connected", "handshake", "ready", "led", "alive", "closed",
                              "disconnected", "error", "frame"}, explained)
        sim = self.panel_sim(10011, "--alive-interval", "0")
        sim.write_stdin("alive\nbogus\n")
        self.assertTrue(sim.wait_for("error unknown command bogus\n", stream="stdout"))
        sim.popen.stdin.close()
        self.assertEqual(sim.wait(5), 0)
        printed = {line.split()[0] for line in sim.stdout_text().splitlines()}
        self.assertLessEqual(printed, explained, sim.stdout_text())

    def test_on_a_terminal_leds_print_when_they_change(self):
        term = rig.Pty()
        self.addCleanup(term.close)
        slave = os.open(term.slave, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, slave)
        sim = self.unit.spawn([rig.binary("panel-sim"), "--port", "10010", "--alive-interval", "0"],
                              stdin=slave)
        self.assertTrue(sim.wait_for("ready\n", stream="stdout"), sim.stdout_text())

        def leds():
            return [l for l in sim.stdout_text().splitlines() if l.startswith("led ")]

        time.sleep(1.6)  # three periodic LED blocks: only LED 5 going from 1 to 0 is a change
        self.assertEqual(leds(), GREETING + ["led 5 0"])
        term.write(b"1")  # toggles output 1, which is LED 1 of this port
        self.assertTrue(sim.wait_for("led 1 2\n", stream="stdout"), sim.stdout_text())
        time.sleep(1.2)
        self.assertEqual(leds(), GREETING + ["led 5 0", "led 1 2"])
        self.assertIn("keys: ", sim.stdout_text())
        term.write(b"q")
        self.assertEqual(sim.wait(5), 0)
        self.assertTrue(sim.stdout_text().endswith("closed\n"), sim.stdout_text())


if __name__ == "__main__":
    unittest.main()
