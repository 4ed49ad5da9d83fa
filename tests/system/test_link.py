"""Two tolvane units joined by the unit link: linking up, inputs driving the peer's outputs,
RS-232 pass-through both ways, surviving a malformed peer and a restarted server."""

import os
import select
import threading
import time
import unittest

import rig

MEGABYTE = 1024 * 1024


class Link(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.a, self.b = self.sb.pair()
        # The controllers acknowledge every frame and report inputs when told to.
        self.line_a = self.sb.mcu_line(self.a)
        self.line_b = self.sb.mcu_line(self.b)
        self.pa = self.a.start([rig.binary("tolvane")])
        self.pb = self.b.start([rig.binary("tolvane")])
        self.assert_linked()

    def tearDown(self):
        for p in (self.pa, self.pb):
            self.assertNotRegex(p.stderr_text(), "runtime error|AddressSanitizer")

    def assert_linked(self, timeout=10):
        ok = rig.pair_linked(self.a, self.b, timeout)
        self.assertTrue(ok, "A:\n%s\nB:\n%s" % (self.pa.stderr_text(), self.pb.stderr_text()))

    def test_units_link_up(self):
        self.assertTrue(self.pa.wait_for("Handshake ok", 5))
        self.assertTrue(self.pb.wait_for("Connected", 5))
        self.assertTrue(self.pb.wait_for("Handshake ok", 5))

    def test_inputs_of_one_unit_drive_outputs_of_the_other(self):
        def outputs_seen(line, states):
            wanted = rig.output_command(states)
            return rig.wait_until(lambda: wanted in line.messages(), 5)

        self.line_a.send_gpi([1, 0, 1, 0, 0, 0, 0, 1])
        self.assertTrue(outputs_seen(self.line_b, [1, 0, 1, 0, 0, 0, 0, 1]), self.pb.stderr_text())
        self.line_b.send_gpi([0, 1, 1, 0, 0, 1, 0, 0])
        self.assertTrue(outputs_seen(self.line_a, [0, 1, 1, 0, 0, 1, 0, 0]), self.pa.stderr_text())

    def test_rs232_passes_one_megabyte_each_way(self):
        pty_a = self.a.pty("ttyS2")
        pty_b = self.b.pty("ttyS2")
        to_b = os.urandom(MEGABYTE)
        to_a = os.urandom(MEGABYTE)
        got = {"a": bytearray(), "b": bytearray()}

        def write(pty, data):
            # Paced, so neither the pty buffers nor the link's queues have to hold much; a
            # line nobody reads ends the writer at the deadline instead of blocking it.
            deadline = time.monotonic() + 90
            view = memoryview(data)
            while view and time.monotonic() < deadline:
                select.select([], [pty.master], [], 0.1)
                try:
                    view = view[os.write(pty.master, view[:4096]):]
                except BlockingIOError:
                    continue
                time.sleep(0.005)

        def read(pty, into, n):
            deadline = time.monotonic() + 90
            while len(into) < n and time.monotonic() < deadline:
                into += pty.read(n - len(into), timeout=0.5)

        threads = [threading.Thread(target=write, args=(pty_a, to_b)),
                   threading.Thread(target=write, args=(pty_b, to_a)),
                   threading.Thread(target=read, args=(pty_b, got["b"], len(to_b))),
                   threading.Thread(target=read, args=(pty_a, got["a"], len(to_a)))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(len(got["b"]), len(to_b))
        self.assertEqual(len(got["a"]), len(to_a))
        self.assertTrue(bytes(got["b"]) == to_b, "A to B reordered or changed")
        self.assertTrue(bytes(got["a"]) == to_a, "B to A reordered or changed")
        self.assertTrue(self.pa.alive() and self.pb.alive())

    def test_malformed_peer_is_dropped_and_link_stays(self):
        s = self.a.connect_tcp(11010)
        s.settimeout(5)
        self.assertEqual(s.recv(8), b"NORV\x00\x03\x00\x00")
        s.sendall(b"NORV\x00\x03\x00\x00" + b"\x00\x00\x00\x08\x00\x03\x00\x00")
        # Everything until A closes: at most the input states that A sends on the handshake,
        # which may leave before A reads the bad header.
        rest = rig.recv_exactly(s, 1 << 16)
        if rest:
            self.assertEqual(len(rest), int.from_bytes(rest[:4], "big"))
            self.assertEqual(rest[4:8], b"\x00\x01\x00\x00")
        s.close()
        self.assertTrue(self.pa.wait_for("Bad packet header", 5))
        self.assertTrue(self.pa.alive())
        time.sleep(1.5)
        self.assertEqual(self.a.led("LINK"), "1\n")
        self.assertEqual(self.b.led("LINK"), "1\n")
        pty_a, pty_b = self.a.pty("ttyS2"), self.b.pty("ttyS2")
        pty_b.write(b"still there")
        self.assertEqual(pty_a.read(11, timeout=5), b"still there")

    def test_client_relinks_after_server_restart(self):
        self.pa.sigint()
        self.assertEqual(self.pa.wait(10), 0)
        self.assertTrue(rig.wait_until(lambda: self.b.led("LINK") == "0\n", 5))
        self.pa = self.a.start([rig.binary("tolvane")])
        self.assert_linked()
        pty_a, pty_b = self.a.pty("ttyS2"), self.b.pty("ttyS2")
        pty_a.write(b"again")
        self.assertEqual(pty_b.read(5, timeout=5), b"again")


if __name__ == "__main__":
    unittest.main()
