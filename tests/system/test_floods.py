"""Floods on every port of one running tolvane (server mode), one after another. Throughout
each, a probe checks that the unit still serves everyone else: a fresh panel is greeted within
1 s, a web keepalive is answered within 100 ms, the watchdog is fed; afterwards the same
process works as before and its resident memory is back near where it started. Each flood
prints its figures.

The keepalive time is taken by a Python client on a machine shared with the flooder, so a
single late answer may be the machine's doing: 9 in 10 answers must keep to the limit (three
times it in a sanitizer build), and none may take as long as a starved unit would (1 s)."""

import os
import random
import resource
import socket
import threading
import time
import unittest

import rig

PROBE_PORT = 10014
GREETING_LIMIT = 1.0
KEEPALIVE_LIMIT = 0.1
KEEPALIVE_WORST = 1.0
FEED_GAP_LIMIT = 2.0      # fed once a second; the probe looks every 0.2 s
MEMORY_BACK_KB = 2048


class Probe:
    """Runs beside a flood and keeps the worst figures it sees."""

    def __init__(self, unit, pid):
        self.unit, self.pid = unit, pid
        self.greeting = self.keepalive = self.feed_gap = 0.0
        self.keepalives = []
        self.peak_rss = 0
        self.errors = []
        self._stop = threading.Event()
        self._thread = None

    def __enter__(self):
        self.web = rig.WebClient.connect(self.unit)
        self.web.recv_type("system")
        self.unit.watchdog_read()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(10)
        self.web.close()

    def _run(self):
        last_feed = time.monotonic()
        while not self._stop.is_set():
            try:
                self._greet()
                self._keepalive()
            except Exception as e:  # noqa: BLE001 - every failure is a finding
                self.errors.append(repr(e))
            now = time.monotonic()
            if self.unit.watchdog_read():
                last_feed = now
            self.feed_gap = max(self.feed_gap, now - last_feed)
            try:
                self.peak_rss = max(self.peak_rss, rig.rss_kb(self.pid)[0])
            except OSError as e:
                self.errors.append(repr(e))
            self._stop.wait(0.2)

    def _greet(self):
        start = time.monotonic()
        sock = self.unit.connect_tcp(PROBE_PORT, timeout=5)
        try:
            sock.settimeout(5)
            if rig.recv_exactly(sock, 8) != rig.PANEL_HANDSHAKE:
                raise AssertionError("no panel handshake")
            self.greeting = max(self.greeting, time.monotonic() - start)
        finally:
            sock.close()

    def _keepalive(self):
        start = time.monotonic()
        self.web.send_json({"type": "keepalive", "data": {}})
        msg = self.web.recv_type("keepalive", timeout=5)
        if msg != {"type": "keepalive", "data": {"status": "alive"}}:
            raise AssertionError("keepalive answer: %r" % (msg,))
        self.keepalives.append(time.monotonic() - start)
        self.keepalive = max(self.keepalives)

    def keepalive_p90(self):
        times = sorted(self.keepalives)
        return times[int(len(times) * 0.9)] if times else 0.0


class Floods(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # 1,000 connections at once, from this process and in tolvane.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
        cls.sb = rig.Sandbox()
        try:
            cls.unit = cls.sb.unit("a")
            cls.unit.write_config("[General]\nsystem_mode=1\n")
            cls.line = cls.sb.mcu_line(cls.unit)
            cls.tolvane = cls.unit.start_tolvane("-w")
            cls.pid = cls.tolvane.pid
            with open("/proc/%d/comm" % cls.pid) as f:
                assert f.read().strip() == "tolvane"
            # Let start-up allocations settle before the first figure is taken.
            cls.panel_command([1, 0, 0, 0])
            time.sleep(1)
        except BaseException:
            cls.sb.close()
            raise
        cls.figures = []

    @classmethod
    def tearDownClass(cls):
        print("\nflood                          worst greeting  keepalive p90/worst  "
              "longest feed gap  RSS start/peak/after kB  VmHWM kB")
        for row in cls.figures:
            print("%-30s %10.3f s %9.1f / %5.1f ms %12.2f s  %d / %d / %d  %d" % row)
        cls.sb.close()

    @classmethod
    def panel_command(cls, states):
        """Sets outputs 1 to 4 from a panel on 10012 and waits for the controller to get them."""
        sock = cls.unit.open_panel(10012)
        try:
            for n, v in enumerate(states, 1):
                sock.sendall(rig.panel_frame(n, v))
                time.sleep(0.05)
            ok = rig.wait_until(lambda: (cls.line.messages() or [b""])[-1][:5]
                                == rig.output_command(states), timeout=10)
        finally:
            sock.close()
        return ok

    def rss(self):
        return rig.rss_kb(self.pid)[0]

    def flood(self, name, run):
        """Runs one flood under the probe, then checks the unit is back to normal."""
        start_rss = self.rss()
        with Probe(self.unit, self.pid) as probe:
            time.sleep(0.5)
            run()
            time.sleep(0.5)
        # The sanitizers' allocator keeps up to 256 MB of freed blocks in quarantine, so only a
        # plain build shows whether memory goes back (a sanitizer build checks for leaks).
        limit = float("inf") if rig.sanitized() else MEMORY_BACK_KB
        rig.wait_until(lambda: self.rss() <= start_rss + limit, timeout=10)
        after_rss = self.rss()
        self.figures.append((name, probe.greeting, probe.keepalive_p90() * 1000,
                             probe.keepalive * 1000, probe.feed_gap,
                             start_rss, max(probe.peak_rss, after_rss), after_rss,
                             rig.rss_kb(self.pid)[1]))
        self.assertEqual(probe.errors, [])
        self.assertLessEqual(probe.greeting, GREETING_LIMIT)
        scale = 3 if rig.sanitized() else 1
        self.assertLessEqual(probe.keepalive_p90(), KEEPALIVE_LIMIT * scale, probe.keepalives)
        self.assertLess(probe.keepalive, KEEPALIVE_WORST)
        self.assertLessEqual(probe.feed_gap, FEED_GAP_LIMIT)
        self.assertLessEqual(after_rss, start_rss + limit)
        # The same process, still doing its work.
        self.assertTrue(self.tolvane.alive())
        states = [random.randint(0, 1) for _ in range(4)]
        self.assertTrue(self.panel_command(states), "outputs %r never reached the controller" % states)

    def log_lines(self):
        return self.tolvane.stderr_text().count("\n")

    # --- the floods

    def test_link_connections_that_never_handshake(self):
        socks = []

        def run():
            for _ in range(1000):
                socks.append(self.unit.connect_tcp(11010))
            time.sleep(2)
            for s in socks:
                s.close()

        self.flood("1,000 silent link connections", run)
        self.assertEqual(len(socks), 1000)

    def test_panel_connections(self):
        socks = []

        def run():
            for n in range(1000):
                s = self.unit.connect_tcp(10013)
                socks.append(s)
                if n % 2:
                    s.sendall(rig.PANEL_HANDSHAKE)
            time.sleep(2)
            for s in socks:
                s.close()

        self.flood("1,000 panel connections", run)

    def test_garbage_on_the_controller_line(self):
        block = random.Random(7).randbytes(1 << 20)
        line = self.unit.pty("ttyS3")

        def run():
            for _ in range(100):
                line.write(block, timeout=60)

        before = self.log_lines()
        started = time.monotonic()
        self.flood("100 MB garbage, controller line", run)
        print("\n100 MB on the controller line in %.1f s" % (time.monotonic() - started))
        self.assertLess(self.log_lines() - before, 2000)

    def test_garbage_on_link_connections(self):
        block = random.Random(8).randbytes(1 << 20)
        sent = [0, 0]

        def run():
            deadline = time.monotonic() + 120
            while sent[0] < 100 << 20 and time.monotonic() < deadline:
                sock = self.unit.connect_tcp(11010)
                sent[1] += 1
                try:
                    sock.settimeout(5)
                    sock.sendall(rig.LINK_HANDSHAKE)
                    while sent[0] < 100 << 20:
                        sock.sendall(block)
                        sent[0] += len(block)
                except OSError:
                    pass  # the unit dropped the connection on its first bad packet
                finally:
                    sock.close()

        self.flood("100 MB garbage, link", run)
        print("\nlink garbage: %d MB offered over %d connections" % (sent[0] >> 20, sent[1]))

    def test_valid_panel_frames(self):
        self.assertTrue(self.panel_command([1, 1, 1, 1]))
        config = os.stat(self.unit.config_path)
        frames = b"".join(rig.panel_frame(n % 4 + 1, (n // 4) % 2) for n in range(8 * 64))
        total = 8 << 20

        def run():
            sock = self.unit.open_panel(10012)
            try:
                sent = 0
                while sent < total:
                    sock.sendall(frames[:min(len(frames), total - sent)])
                    sent += len(frames)
            finally:
                sock.close()

        before = self.log_lines()
        self.flood("8 MB of valid panel frames", run)
        # Outputs are no settings: nothing to write, however many commands.
        after = os.stat(self.unit.config_path)
        self.assertEqual((after.st_ino, after.st_mtime_ns), (config.st_ino, config.st_mtime_ns))
        self.assertLess(self.log_lines() - before, 500)

    def test_web_clients_with_messages_around_64_kib(self):
        def message(size):
            body = '{"type": "keepalive", "data": {}}'
            return body + " " * (size - len(body))

        under, over = message(64 * 1024 - 1), message(64 * 1024 + 1)
        clients = []

        def run():
            for _ in range(100):
                clients.append(rig.WebClient.connect(self.unit))
            for c in clients:
                c.send_text(under)
            for c in clients:
                self.assertIsNotNone(c.recv_type("keepalive", timeout=10))
            for c in clients:
                try:
                    c.send_text(over)
                except OSError:
                    pass  # already closed by the unit
            for c in clients:
                self.assertTrue(rig.wait_until(lambda: c.recv_message(0.1) is None and c.closed, 10))
            for c in clients:
                c.close()

        self.flood("100 web clients, 64 KiB", run)

if __name__ == "__main__":
    unittest.main()
