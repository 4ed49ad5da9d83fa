"""The browser interface's WebSocket protocol on port 8080, against a real tolvane: the
greeting, keepalives, ignored messages, outputs from the web, settings and mode changes at
run time, the RS-232 activity flag, and clients that send too much or vanish."""

import configparser
import socket
import struct
import termios
import time
import unittest

import rig

VERSION = "1.9-r1 (Jun 24 2024)"
NAMES_CONFIG = "[gpio_names]\ngpi_name_0=Door\ngpo_name_7=Siren\n"


class WebUnit(unittest.TestCase):
    """One unit with a simulated controller; subclasses pick its settings file."""
    config = None

    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")
        if self.config:
            self.unit.write_config(self.config)
        self.line = self.sb.mcu_line(self.unit)
        self.tolvane = self.unit.start_tolvane()
        self.assertEqual(len(self.line.messages(3)), 3)

    def tearDown(self):
        self.assertTrue(self.tolvane.alive(), self.tolvane.stderr_text())
        self.assertNotRegex(self.tolvane.stderr_text(), "runtime error|AddressSanitizer")

    def client(self, greeted=True):
        c = rig.WebClient.connect(self.unit)
        self.addCleanup(c.close)
        if greeted:
            self.assertEqual([m["type"] for m in c.recv_all()], ["gpio", "system"])
        return c

    def commands_after(self, before, count, settle=0.3):
        self.line.messages(before + count, timeout=3)
        time.sleep(settle)
        return self.line.messages()[before:]


class Greeting(WebUnit):
    config = NAMES_CONFIG

    def test_new_client_gets_gpio_then_system_and_nobody_else_hears(self):
        first = self.client()
        c = rig.WebClient.connect(self.unit)
        self.addCleanup(c.close)
        gpio, system = c.recv_json(), c.recv_json()
        self.assertEqual(gpio, {"type": "gpio", "data": {
            "gpi": [0] * 8, "gpo": [0] * 8, "link": 0, "rs232_link": 0}})
        self.assertEqual(system["type"], "system")
        data = system["data"]
        self.assertEqual(data["version"], VERSION)
        self.assertEqual(data["version2"], "")  # the controller has not answered yet
        self.assertEqual((data["dst_ip"], data["system_mode"], data["baudrate"], data["parity"]),
                         ("", 2, 0, 0))
        self.assertEqual(data["gpi_names"], ["Door"] + ["GPI %d" % n for n in range(2, 9)])
        self.assertEqual(data["gpo_names"], ["GPO %d" % n for n in range(1, 8)] + ["Siren"])
        self.assertEqual(first.recv_all(), [])

    def test_controller_version_shows_in_system(self):
        self.line.send(b"\x02" + b"4.7\x00".ljust(30, b"\x00"))
        time.sleep(0.3)
        c = self.client(greeted=False)
        self.assertEqual(c.recv_type("system")["data"]["version2"], "4.7")

    def test_keepalive_is_answered_to_its_sender_only(self):
        other = self.client()
        c = self.client()
        c.send_json({"type": "keepalive", "data": {}})
        self.assertEqual(c.recv_json(), {"type": "keepalive", "data": {"status": "alive"}})
        c.send_json({"type": "keepalive", "data": {"anything": [1, 2]}})
        self.assertEqual(c.recv_json()["type"], "keepalive")
        c.send_json({"type": "keepalive"})
        self.assertEqual(c.recv_all(), [])
        self.assertEqual(other.recv_all(), [])

    def test_malformed_messages_are_ignored(self):
        c = self.client()
        ignored = ['{"type": "keepalive", "data": {}', '[{"type": "keepalive", "data": {}}]',
                   '{"data": {}}', '{"type": 3, "data": {}}', '{"type": "keepalive", "data": []}',
                   '{"type": "KEEPALIVE", "data": {}}', '{"type": "set_gpo", "data": 1}', '',
                   '\u00ff\u0000', '{"type": "set_system", "data": "x"}']
        for text in ignored:
            c.send_text(text)
        self.assertEqual(c.recv_all(), [])
        c.send_json({"type": "keepalive", "data": {}})
        self.assertEqual(c.recv_json()["type"], "keepalive")
        self.assertEqual(len(self.line.messages()), 3)

    def test_controller_inputs_reach_every_client(self):
        a, b = self.client(), self.client()
        self.line.send_gpi([1, 0, 0, 1, 0, 0, 0, 1])
        for c in (a, b):
            m = c.recv_json()
            self.assertEqual(m["type"], "gpio")
            self.assertEqual(m["data"]["gpi"], [1, 0, 0, 1, 0, 0, 0, 1])


class Outputs(WebUnit):
    def test_set_gpo_in_standalone_mode(self):
        a, b = self.client(), self.client()
        before = len(self.line.messages())
        a.send_json({"type": "set_gpo", "data": {"index": 0, "value": 1}})
        self.assertEqual(self.commands_after(before, 1),
                         [rig.output_command([1, 0, 0, 0, 0, 0, 0, 0])])
        for c in (a, b):
            got = c.recv_all()
            self.assertEqual([m["type"] for m in got], ["gpio", "gpio"])
            self.assertEqual(got[-1]["data"]["gpo"], [1, 0, 0, 0, 0, 0, 0, 0])

    def test_out_of_range_index_changes_nothing_but_broadcasts(self):
        a, b = self.client(), self.client()
        before = len(self.line.messages())
        for data in ({"index": 8, "value": 1}, {"index": -1, "value": 1}):
            a.send_json({"type": "set_gpo", "data": data})
            for c in (a, b):
                got = c.recv_all()
                self.assertEqual([m["type"] for m in got], ["gpio"])
                self.assertEqual(got[0]["data"]["gpo"], [0] * 8)
        self.assertEqual(self.commands_after(before, 0), [])

    def test_wrong_json_types_count_as_zero(self):
        c = self.client()
        before = len(self.line.messages())
        c.send_json({"type": "set_gpo", "data": {"index": "3", "value": 1.5}})
        self.assertEqual(self.commands_after(before, 1), [rig.output_command([0] * 8)])
        c.send_json({"type": "set_gpo", "data": {"index": 2.0, "value": 7}})
        self.assertEqual(self.commands_after(before + 1, 1),
                         [rig.output_command([0, 0, 7, 0, 0, 0, 0, 0])])

    def test_vanished_client_does_not_end_the_program(self):
        c = self.client()
        # A reset instead of a close handshake, then broadcasts towards the dead socket.
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        c.sock.close()
        for n in range(20):
            self.line.send_gpi([n % 2] * 8)
            time.sleep(0.02)
        self.client()


class ServerModeOutputs(WebUnit):
    config = "[General]\nsystem_mode=1\n"

    def test_set_gpo_outside_standalone_only_broadcasts(self):
        a, b = self.client(), self.client()
        before = len(self.line.messages())
        a.send_json({"type": "set_gpo", "data": {"index": 0, "value": 1}})
        for c in (a, b):
            got = c.recv_all()
            self.assertEqual([m["type"] for m in got], ["gpio"])
            self.assertEqual(got[0]["data"]["gpo"], [0] * 8)
        self.assertEqual(self.commands_after(before, 0), [])


class Settings(WebUnit):
    config = "[General]\nsystem_mode=1\ndst_ip=10.0.0.9\n" + NAMES_CONFIG

    def stored(self):
        cp = configparser.ConfigParser()
        cp.read(self.unit.config_path)
        return cp

    def rs232_speed(self):
        return termios.tcgetattr(self.unit.pty("ttyS2")._slave)[5]

    def test_baudrate_alone_keeps_mode_and_names(self):
        a, b = self.client(), self.client()
        a.send_json({"type": "set_system", "data": {"baudrate": 4}})
        for c in (a, b):
            got = c.recv_all()
            self.assertEqual([m["type"] for m in got], ["gpio", "system"])
            data = got[1]["data"]
            self.assertEqual((data["baudrate"], data["system_mode"], data["dst_ip"]), (4, 1, "10.0.0.9"))
            self.assertEqual(data["gpi_names"][0], "Door")
            self.assertEqual(data["gpo_names"][7], "Siren")
        self.assertEqual(self.rs232_speed(), termios.B9600)
        cp = self.stored()
        self.assertEqual(cp["General"]["baudrate"], "4")
        self.assertEqual(cp["General"]["system_mode"], "1")
        self.assertEqual(cp["gpio_names"]["gpi_name_0"], "Door")
        self.assertEqual(cp["gpio_names"]["gpo_name_7"], "Siren")

    def test_name_arrays_replace_all_eight(self):
        c = self.client()
        c.send_json({"type": "set_system", "data": {"gpi_names": ["In", 5, None], "gpo_names": "x"}})
        data = c.recv_type("system")["data"]
        self.assertEqual(data["gpi_names"], ["In"] + [""] * 7)
        self.assertEqual(data["gpo_names"][7], "Siren")
        self.assertEqual(self.stored()["gpio_names"]["gpi_name_0"], "In")

    def test_mode_as_text_is_not_a_mode(self):
        c = self.client()
        c.send_json({"type": "set_system", "data": {"system_mode": "0"}})
        self.assertEqual(c.recv_type("system")["data"]["system_mode"], 1)
        self.assertTrue(self.unit.listening(11010))

    def test_mode_change_switches_outputs_off_and_moves_the_link_end(self):
        a, b = self.client(), self.client()
        self.assertTrue(self.unit.listening(11010))
        # A repeated mode changes no output.
        before = len(self.line.messages())
        a.send_json({"type": "set_system", "data": {"system_mode": 1}})
        self.assertEqual([m["type"] for m in a.recv_all()], ["gpio", "system"])
        b.recv_all()
        self.assertEqual(self.commands_after(before, 0), [])

        # A link peer connected to the server end is dropped when the mode goes to client.
        peer = self.unit.connect_tcp(11010)
        self.addCleanup(peer.close)
        self.assertEqual(rig.recv_exactly(peer, 8), rig.LINK_HANDSHAKE)
        a.send_json({"type": "set_system", "data": {"system_mode": 0}})
        self.assertEqual(self.commands_after(before, 1), [rig.output_command([0] * 8)])
        for c in (a, b):
            got = c.recv_all()
            self.assertEqual([m["type"] for m in got], ["gpio", "gpio", "system"])
            self.assertEqual(got[0]["data"]["gpo"], [0] * 8)
            self.assertEqual(got[2]["data"]["system_mode"], 0)
        peer.settimeout(3)
        self.assertEqual(peer.recv(1), b"")
        self.assertEqual(self.stored()["General"]["system_mode"], "0")


class Limits(WebUnit):
    def test_oversized_message_closes_only_that_client(self):
        others = [self.client() for _ in range(2)]
        rss_before = rig.rss_kb(self.tolvane.pid)[0]
        for size, closed in ((64 * 1024, False), (64 * 1024 + 1, True)):
            c = self.client()
            body = b'{"type": "keepalive", "data": {}}'
            c.send_text(body + b" " * (size - len(body)))
            got = c.recv_json(3)
            if closed:
                self.assertIsNone(got)
                self.assertTrue(c.closed)
            else:
                self.assertEqual(got["type"], "keepalive")
        # A huge frame is refused from its header on: the unit never buffers it.
        big = self.client()
        head = bytes([0x81, 0x80 | 127]) + struct.pack(">Q", 100 * 1024 * 1024) + b"\0\0\0\0"
        big.sock.sendall(head)
        try:
            for _ in range(64):
                big.sock.sendall(b"x" * 65536)
        except OSError:
            pass  # closed by the unit while we were still sending
        self.assertTrue(rig.wait_until(lambda: big.recv_message(0.2) is None and big.closed, 5))
        self.line.send_gpi([0, 1, 0, 0, 0, 0, 0, 0])
        for c in others:
            self.assertEqual(c.recv_type("gpio")["data"]["gpi"][1], 1)
        self.assertLess(rig.rss_kb(self.tolvane.pid)[0] - rss_before, 2048)


class PairedUnits(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.a, self.b = self.sb.pair()
        self.line_a, self.line_b = self.sb.mcu_line(self.a), self.sb.mcu_line(self.b)
        self.pa = self.a.start_tolvane()
        self.pb = self.b.start_tolvane()
        self.web_a = rig.WebClient.connect(self.a)
        self.web_b = rig.WebClient.connect(self.b)
        self.addCleanup(self.web_a.close)
        self.addCleanup(self.web_b.close)

    def tearDown(self):
        for p in (self.pa, self.pb):
            self.assertNotRegex(p.stderr_text(), "runtime error|AddressSanitizer")

    def link_changes(self, client, timeout):
        """The "link" values of the gpio messages that arrive within timeout seconds."""
        seen, deadline = [], time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = client.recv_json(max(0.0, deadline - time.monotonic()))
            if m and m["type"] == "gpio":
                seen.append(m["data"]["link"])
        return seen

    def wait_linked(self):
        for unit in (self.a, self.b):
            self.assertTrue(rig.wait_until(lambda: unit.led("LINK") == "1\n", 10))

    def test_inputs_drive_the_peer_and_link_is_published_once_per_change(self):
        self.wait_linked()
        for c in (self.web_a, self.web_b):
            self.assertEqual(self.link_changes(c, 1.2)[-1], 1)
        self.line_a.send_gpi([1, 0, 1, 0, 0, 0, 0, 1])
        self.assertTrue(rig.wait_until(
            lambda: rig.output_command([1, 0, 1, 0, 0, 0, 0, 1]) in self.line_b.messages(), 3))
        self.line_b.send_gpi([0, 1, 1, 0, 0, 1, 0, 0])
        self.assertTrue(rig.wait_until(
            lambda: rig.output_command([0, 1, 1, 0, 0, 1, 0, 0]) in self.line_a.messages(), 3))

        self.web_b.recv_all()
        self.pa.sigint()
        self.assertEqual(self.pa.wait(10), 0)
        # Down within a tick (500 ms) of the disconnection, published exactly once.
        self.assertTrue(rig.wait_until(lambda: self.b.led("LINK") == "0\n", 1.5))
        self.assertEqual(self.link_changes(self.web_b, 1.5), [0])

    def test_rs232_flag_follows_local_bytes_only(self):
        self.wait_linked()
        self.web_a.recv_all()
        self.web_b.recv_all()
        self.a.pty("ttyS2").write(b"hello")
        self.assertEqual(self.b.pty("ttyS2").read(5, 3), b"hello")
        t0 = time.monotonic()
        on = self.web_a.recv_type("gpio", 2)
        self.assertEqual(on["data"]["rs232_link"], 1)
        off = self.web_a.recv_type("gpio", 12)
        self.assertEqual(off["data"]["rs232_link"], 0)
        self.assertTrue(8.4 <= time.monotonic() - t0 <= 10.6, time.monotonic() - t0)
        # B only wrote the bytes out of its port: no activity there.
        self.assertTrue(all(m["data"]["rs232_link"] == 0 for m in self.web_b.recv_all()
                            if m["type"] == "gpio"))

    def test_standalone_from_the_web_ends_the_link_on_both_sides(self):
        self.wait_linked()
        self.web_b.recv_all()
        self.web_b.send_json({"type": "set_system", "data": {"system_mode": 2}})
        self.assertEqual(self.web_b.recv_type("system")["data"]["system_mode"], 2)
        self.assertTrue(rig.wait_until(lambda: self.a.led("LINK") == "0\n", 3))
        self.assertTrue(rig.wait_until(lambda: self.b.led("LINK") == "0\n", 3))
        time.sleep(2)  # no reconnection
        self.assertEqual(self.a.led("LINK"), "0\n")


if __name__ == "__main__":
    unittest.main()
