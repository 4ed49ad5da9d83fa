"""The hub's routing in standalone mode: panel commands to outputs, the LINK LED following
the panels, and the settings file rewritten after a command."""

import configparser
import socket
import struct
import time
import unittest

import rig


class Routing(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")
        self.line = self.sb.mcu_line(self.unit)
        self.tolvane = self.unit.start_tolvane()
        self.assertEqual(len(self.line.messages(3)), 3)

    def panel(self, port):
        sock = self.unit.connect_tcp(port)
        self.addCleanup(sock.close)
        sock.settimeout(5)
        self.assertEqual(sock.recv(8, socket.MSG_WAITALL), rig.PANEL_HANDSHAKE)
        sock.sendall(rig.PANEL_HANDSHAKE)
        self.assertEqual(len(sock.recv(55, socket.MSG_WAITALL)), 55)  # five greeting LED frames
        return sock

    def outputs_after(self, sock, frames, expected_commands):
        """Sends the frames; returns the output states of the next expected_commands commands."""
        before = len(self.line.messages())
        for f in frames:
            sock.sendall(f)
            time.sleep(0.1)
        msgs = self.line.messages(before + expected_commands, timeout=3)
        time.sleep(0.3)  # nothing more may follow
        msgs = self.line.messages()[before:]
        self.assertTrue(all(m[0] == 5 for m in msgs), msgs)
        return [list(m[1:]) for m in msgs]

    def test_toggle_panel_reacts_to_presses_only(self):
        p = self.panel(10010)
        self.assertEqual(self.outputs_after(p, [rig.panel_frame(2, 1), rig.panel_frame(2, 0)], 1),
                         [[0, 1, 0, 0, 0, 0, 0, 0]])
        self.assertEqual(self.outputs_after(p, [rig.panel_frame(2, 1)], 1),
                         [[0, 0, 0, 0, 0, 0, 0, 0]])
        self.assertEqual(self.outputs_after(p, [rig.panel_frame(5, 1)], 0), [])

    def test_panels_drive_their_own_outputs(self):
        cases = [
            (10011, rig.panel_frame(4, 1), 1, [0, 0, 0, 0, 0, 0, 0, 1]),  # toggle, 5-8
            (10012, rig.panel_frame(3, 1), 1, [0, 0, 1, 0, 0, 0, 0, 1]),  # set, 1-4
            (10013, rig.panel_frame(1, 7), 1, [0, 0, 1, 0, 7, 0, 0, 1]),  # set, 5-8, as sent
            (10014, rig.panel_frame(5, 0), 1, [0, 0, 1, 0, 0, 0, 0, 1]),  # set, 1-5
            (10014, rig.panel_frame(6, 1), 0, None),  # no button 6
            (10012, rig.panel_frame(0, 1), 0, None),
        ]
        for port, frame, count, states in cases:
            with self.subTest(port=port, frame=frame.hex()):
                got = self.outputs_after(self.panel(port), [frame], count)
                self.assertEqual(got, [states] if states else [])

    def test_command_rewrites_all_settings(self):
        self.outputs_after(self.panel(10012), [rig.panel_frame(1, 1)], 1)
        config = configparser.ConfigParser()
        self.assertTrue(rig.wait_until(lambda: config.read(self.unit.config_path)))
        keys = [k for s in config.sections() for k in config[s]]
        self.assertEqual(len(keys), 20, keys)
        self.assertEqual(config["General"]["system_mode"], "2")
        self.assertEqual(config["gpio_names"]["gpo_name_7"], "GPO 8")

    def test_link_led_follows_the_panels_in_standalone_mode(self):
        time.sleep(0.6)
        self.assertEqual(self.unit.led("LINK"), "0\n")
        p = self.panel(10013)
        self.assertTrue(rig.wait_until(lambda: self.unit.led("LINK") == "1\n", 2))
        p.close()
        self.assertTrue(rig.wait_until(lambda: self.unit.led("LINK") == "0\n", 2))

    def test_panel_leds_show_outputs_and_inputs(self):
        self.line.send_gpi([1, 0, 0, 1, 1, 0, 0, 0])
        time.sleep(0.2)
        p = self.panel(10014)
        # A refresh block: (5, 0) then LEDs 1 to 5 with 2 for on.
        deadline = time.monotonic() + 3
        data = b""
        while time.monotonic() < deadline and len(data) < 66 * 2:
            data += p.recv(4096)
        frames = [struct.unpack(">IBBHBH", data[i:i + 11]) for i in range(0, 66, 11)]
        self.assertEqual([(f[3], f[5]) for f in frames],
                         [(5, 0), (1, 2), (2, 0), (3, 0), (4, 2), (5, 2)])


if __name__ == "__main__":
    unittest.main()
