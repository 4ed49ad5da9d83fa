"""The optional features against real units: safe outputs on link loss, the link allow list,
the web access key, the event history and low-latency RS-232; and, with every feature off,
a settings file byte for byte as the unit has always written it."""

import os
import socket
import threading
import time
import unittest

import rig

A_ADDR, B_ADDR = rig.PAIR_A_ADDR, rig.PAIR_B_ADDR

# What a save writes with every feature off: the twenty keys and nothing else.
PLAIN_CONFIG = """[General]
baudrate=0
dst_ip=
parity=0
system_mode=2

[gpio_names]
gpi_name_0=Door
gpi_name_1=GPI 2
gpi_name_2=GPI 3
gpi_name_3=GPI 4
gpi_name_4=GPI 5
gpi_name_5=GPI 6
gpi_name_6=GPI 7
gpi_name_7=GPI 8
gpo_name_0=GPO 1
gpo_name_1=GPO 2
gpo_name_2=GPO 3
gpo_name_3=GPO 4
gpo_name_4=GPO 5
gpo_name_5=GPO 6
gpo_name_6=GPO 7
gpo_name_7=GPO 8
"""


class Fixture(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            self.assertNotRegex(p.stderr_text(), "runtime error|AddressSanitizer")

    def start(self, unit):
        p = unit.start_tolvane()
        self.procs.append(p)
        return p

    def web(self, unit, path="/"):
        c = rig.WebClient.connect(unit, path=path)
        self.addCleanup(c.close)
        return c

    def pair(self, config_a="", config_b=""):
        self.a, self.b = self.sb.pair(config_a, config_b)
        self.line_a, self.line_b = self.sb.mcu_line(self.a), self.sb.mcu_line(self.b)
        self.pa, self.pb = self.start(self.a), self.start(self.b)

    def linked(self, timeout=10):
        return rig.pair_linked(self.a, self.b, timeout)


class FeaturesOff(Fixture):
    def test_settings_file_and_messages_as_always(self):
        unit = self.sb.unit("a")
        self.sb.mcu_line(unit)
        self.start(unit)
        c = self.web(unit)
        greeting = c.recv_all()
        self.assertEqual(sorted(greeting[0]["data"]), ["gpi", "gpo", "link", "rs232_link"])
        self.assertEqual(len(greeting[1]["data"]), 8)
        names = ["Door"] + ["GPI %d" % n for n in range(2, 9)]
        c.send_json({"type": "set_system", "data": {"gpi_names": names}})
        c.recv_type("system")
        c.send_json({"type": "get_history", "data": {}})  # unknown while the history is off
        self.assertEqual(c.recv_all(), [])
        with open(unit.config_path) as f:
            self.assertEqual(f.read(), PLAIN_CONFIG)


class Failsafe(Fixture):
    def test_safe_outputs_after_the_timeout_and_peer_states_after_relink(self):
        self.pair(config_b="failsafe_timeout=3\nfailsafe_gpo=\"0,0,0,0,0,0,1,1\"\n")
        self.assertTrue(self.linked())
        web = self.web(self.b)
        self.assertEqual(web.recv_json()["data"]["failsafe"], 0)
        self.line_a.send_gpi([1, 1, 0, 0, 0, 0, 0, 0])
        self.assertTrue(rig.wait_until(
            lambda: rig.output_command([1, 1, 0, 0, 0, 0, 0, 0]) in self.line_b.messages(), 3))

        safe = rig.output_command([0, 0, 0, 0, 0, 0, 1, 1])
        self.pa.sigint()
        self.assertEqual(self.pa.wait(10), 0)
        lost = time.monotonic()
        self.assertTrue(rig.wait_until(lambda: safe in self.line_b.messages(), 6))
        self.assertGreaterEqual(time.monotonic() - lost, 2.5)  # not before the time-out
        got = web.recv_all(0.5)
        gpio = [m["data"] for m in got if m["type"] == "gpio"]
        self.assertTrue(any(d["failsafe"] == 1 and d["gpo"] == [0, 0, 0, 0, 0, 0, 1, 1] for d in gpio))

        self.pa = self.start(self.a)
        self.assertTrue(self.linked())
        self.line_a.send_gpi([0, 0, 1, 0, 0, 0, 0, 0])
        self.assertTrue(rig.wait_until(
            lambda: rig.output_command([0, 0, 1, 0, 0, 0, 0, 0]) in self.line_b.messages(), 1))
        last = [m["data"] for m in web.recv_all(0.8) if m["type"] == "gpio"][-1]
        self.assertEqual((last["failsafe"], last["link"]), (0, 1))

    def test_standalone_unit_is_never_affected(self):
        unit = self.sb.unit("a")
        line = self.sb.mcu_line(unit)
        unit.write_config("[General]\nfailsafe_timeout=1\nfailsafe_gpo=\"1,1,1,1,1,1,1,1\"\n")
        self.start(unit)
        time.sleep(2.5)
        self.assertNotIn(rig.output_command([1] * 8), line.messages())


class AllowList(Fixture):
    def knock(self):
        """A link connection from B's address to A: the handshake it gets, or b"" if closed."""
        s = self.b.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(3)
        self.addCleanup(s.close)
        s.connect((A_ADDR, 11010))
        try:
            return s.recv(8)
        except ConnectionResetError:
            return b""

    def test_peer_outside_the_list_is_closed_before_any_packet(self):
        self.pair(config_a="link_allow=10.77.0.9, 192.168.0.0/16\n")
        self.assertEqual(self.knock(), b"")
        self.assertEqual(self.knock(), b"")
        self.line_b.send_gpi([1] * 8)
        time.sleep(2.5)
        self.assertEqual(self.a.led("LINK"), "0\n")
        self.assertNotIn(rig.output_command([1] * 8), self.line_a.messages())
        log = self.pa.stderr_text()
        self.assertEqual(log.count("Link connection refused:"), 1, log)  # once a minute
        self.assertIn('"%s"' % B_ADDR, log)

    def test_peer_inside_the_list_links(self):
        self.pair(config_a="link_allow=10.77.0.0/24\n")
        self.assertTrue(self.linked())


class AccessKey(Fixture):
    def setUp(self):
        super().setUp()
        self.unit = self.sb.unit("a")
        self.sb.mcu_line(self.unit)
        self.unit.write_config("[General]\nweb_key=open sesame\n")
        self.start(self.unit)

    def test_without_or_with_a_wrong_key_nothing_and_closed(self):
        for path in ("/", "/?key=open", "/?key=open%20sesame2", "/?other=open%20sesame"):
            with self.subTest(path=path):
                c = self.web(self.unit, path)
                self.assertIsNone(c.recv_json(2))
                self.assertTrue(c.closed)
                self.assertEqual(c.close_code, 1008)

    def test_with_the_key_as_before(self):
        c = self.web(self.unit, "/?key=open%20sesame")
        self.assertEqual([m["type"] for m in c.recv_all()], ["gpio", "system"])


class History(Fixture):
    def test_scripted_sequence_in_order_with_sources(self):
        unit = self.sb.unit("a")
        line = self.sb.mcu_line(unit)
        unit.write_config("[General]\nevent_history=1\n")
        self.start(unit)
        web = self.web(unit)
        web.recv_all()

        line.send_gpi([1, 0, 0, 0, 0, 0, 0, 0])
        web.recv_type("gpio")
        panel = unit.connect_tcp(10012)
        self.addCleanup(panel.close)
        panel.settimeout(5)
        rig.recv_exactly(panel, 8)
        panel.sendall(rig.PANEL_HANDSHAKE)
        rig.recv_exactly(panel, 55)
        # In standalone mode the link indicator follows the panels.
        self.assertTrue(rig.wait_until(lambda: unit.led("LINK") == "1\n", 3))
        panel.sendall(bytes.fromhex("0000000b00020002010001"))  # button 2, value 1
        web.recv_type("gpio")
        web.send_json({"type": "set_gpo", "data": {"index": 2, "value": 1}})
        web.recv_type("gpio")
        web.send_json({"type": "set_system", "data": {"system_mode": 1}})
        web.recv_type("system")
        self.assertTrue(rig.wait_until(lambda: unit.led("LINK") == "0\n", 3))
        peer = unit.connect_tcp(11010)
        rig.recv_exactly(peer, 8)
        peer.sendall(rig.LINK_HANDSHAKE)
        self.assertTrue(rig.wait_until(lambda: unit.led("LINK") == "1\n", 3))
        peer.close()
        self.assertTrue(rig.wait_until(lambda: unit.led("LINK") == "0\n", 3))
        time.sleep(0.6)

        web.recv_all()
        web.send_json({"type": "get_history", "data": {}})
        events = web.recv_type("history")["data"]["events"]
        got = [(e["what"], e["old"], e["new"], e["source"]) for e in events]
        self.assertEqual(got, [
            ("gpi 1", 0, 1, "controller"),
            ("link", 0, 1, "panel"),
            ("gpo 2", 0, 1, "panel 10012"),
            ("gpo 3", 0, 1, "web"),
            ("mode", 2, 1, "web"),
            ("gpo 2", 1, 0, "web"),
            ("gpo 3", 1, 0, "web"),
            ("link", 1, 0, "peer"),
            ("link", 0, 1, "peer"),
            ("link", 1, 0, "peer"),
        ])
        times = [e["time"] for e in events]
        self.assertEqual(times, sorted(times))

        for n in range(1, 1201):  # 1,200 more input changes
            line.send_gpi([n % 2] + [0] * 7)
            if n % 50 == 0:
                time.sleep(0.05)
        self.assertTrue(rig.wait_until(lambda: web.recv_all(0.2) == [], 20))
        web.send_json({"type": "get_history", "data": {}})
        events = web.recv_type("history")["data"]["events"]
        self.assertEqual(len(events), 1000)
        self.assertEqual(events[-1]["what"], "gpi 1")


class ImmediateRs232(Fixture):
    def test_sixteen_megabytes_each_way_intact(self):
        self.pair(config_a="rs232_immediate=1\n", config_b="rs232_immediate=1\n")
        self.assertTrue(self.linked())
        size = 16 * 1024 * 1024
        data = {self.a: os.urandom(size), self.b: os.urandom(size)}
        received = {self.a: bytearray(), self.b: bytearray()}

        def pump(src, dst):
            # The pass-through has no flow control: like a real line, it drops what a slow
            # receiver leaves piling up, so the writer keeps at most 1 MB on the way.
            out, inp = src.pty("ttyS2"), dst.pty("ttyS2")
            view, deadline = memoryview(data[src]), time.monotonic() + 300
            while (view or len(received[dst]) < size) and time.monotonic() < deadline:
                if view and size - len(view) - len(received[dst]) < 1024 * 1024:
                    try:
                        n = os.write(out.master, view[:65536])
                        view = view[n:]
                    except BlockingIOError:
                        pass
                received[dst] += inp.read_available()
                time.sleep(0.0005)

        threads = [threading.Thread(target=pump, args=(self.a, self.b)),
                   threading.Thread(target=pump, args=(self.b, self.a))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(bytes(received[self.b]), data[self.a])
        self.assertEqual(bytes(received[self.a]), data[self.b])


if __name__ == "__main__":
    unittest.main()
