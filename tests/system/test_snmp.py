"""tolvane's SNMP side: the sub-agent's line protocol on /tmp/sock.unix with the test as the
relay, and end to end through net-snmp's snmpd with snmp-relay as its pass_persist handler."""

import hashlib
import os
import shlex
import shutil
import signal
import socket
import subprocess
import time
import unittest

import rig

NODE = ".1.3.6.1.4.1.61904.16."
KEYS = ["1.1"] + ["2.%d" % n for n in range(1, 9)] + ["3.%d" % n for n in range(1, 9)]
ALL_OFF = bytes([5, 0, 0, 0, 0, 0, 0, 0, 0])
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def outputs(*on):
    """The output command with the given outputs (1 to 8) on."""
    return rig.output_command(1 if n in on else 0 for n in range(1, 9))


class Relay:
    """The test as the relay: listens on the unit's /tmp/sock.unix and talks line by line."""

    def __init__(self, unit):
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(unit.tmp + "/sock.unix")
        self.server.listen(1)
        self.server.settimeout(5)
        self.conn = None
        self.buf = b""

    def accept(self):
        self.conn, _ = self.server.accept()
        self.conn.settimeout(3)

    def send(self, text):
        self.conn.sendall(text.encode())

    def line(self):
        while b"\n" not in self.buf:
            chunk = self.conn.recv(4096)
            if not chunk:
                raise EOFError("device closed the connection")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode()

    def ask(self, text):
        """Sends request lines and returns every reply line, using PING as the end marker."""
        self.send(text + "PING\n")
        lines = []
        while True:
            line = self.line()
            if line == "PONG":
                return lines
            lines.append(line)

    def close(self):
        for s in (self.conn, self.server):
            if s:
                s.close()


class SubAgentLine(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")
        self.line = self.sb.mcu_line(self.unit)
        self.relay = Relay(self.unit)
        self.addCleanup(self.relay.close)
        self.proc = self.unit.start([rig.binary("tolvane")])
        self.relay.accept()
        # Input request, version request, all outputs off.
        self.assertEqual(len(self.line.messages(3)), 3, self.proc.stderr_text())

    def assertNoNewCommand(self, seen):
        time.sleep(1.0)
        self.assertEqual(len(self.line.messages(timeout=0)), seen)

    def test_startup_table_walk(self):
        got, oid = [], ".1.3.6.1.4.1.61904"
        for _ in range(18):
            reply = self.relay.ask("getnext\n%s\n" % oid)
            if reply == ["none"]:
                got.append("none")
                break
            oid = reply[0]
            got.append(reply)
        expected = [[NODE + "1.1", "string", "TOLVANE"]]
        expected += [[NODE + k, "INTEGER", "0"] for k in KEYS[1:]]
        self.assertEqual(got, expected + ["none"])

    def test_set_3_8_with_7_switches_output_8_on(self):
        self.assertEqual(self.relay.ask("set\n%s3.8\ninteger 7\n" % NODE), ["OK"])
        msgs = self.line.messages(4)
        self.assertEqual(msgs[3:], [outputs(8)])

    def test_keys_outside_the_outputs_change_nothing(self):
        for oid in (NODE + "3.9", NODE + "3.x", NODE + "1.3.8"):
            with self.subTest(oid=oid):
                reply = self.relay.ask("set\n%s\ninteger 1\n" % oid)
                self.assertNotIn("OK", reply)
        self.assertNoNewCommand(3)
        # The program still takes a proper write afterwards, and only that one.
        self.assertEqual(self.relay.ask("set\n%s3.1\ninteger 1\n" % NODE), ["OK"])
        self.assertEqual(self.line.messages(4)[3:], [outputs(1)])

    def test_get_shows_a_write_from_the_next_tick_on(self):
        # Set and get in one read: the table is refreshed only by the hub's 500 ms tick.
        reply = self.relay.ask("set\n%s3.2\ninteger 1\nget\n%s3.2\n" % (NODE, NODE))
        self.assertEqual(reply, ["OK", NODE + "3.2", "INTEGER", "0"])
        self.assertEqual(self.line.messages(4)[3:], [outputs(2)])
        time.sleep(0.7)
        self.assertEqual(self.relay.ask("get\n%s3.2\n" % NODE), [NODE + "3.2", "INTEGER", "1"])

    def test_inputs_from_the_controller_show_after_a_tick(self):
        self.line.send_gpi([0, 0, 1, 0, 0, 0, 0, 1])
        time.sleep(0.8)
        for key, value in (("2.3", "1"), ("2.8", "1"), ("2.1", "0")):
            self.assertEqual(self.relay.ask("get\n%s%s\n" % (NODE, key)),
                             [NODE + key, "INTEGER", value])


@unittest.skipUnless(shutil.which("snmpd") and shutil.which("snmpget"),
                     "needs net-snmp (Debian packages snmpd and snmp)")
class EndToEnd(unittest.TestCase):
    HOST = "127.0.0.1:16161"
    CLIENT_ENV = {"MIBS": "", "SNMPCONFPATH": "/tmp/snmp-client"}

    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")
        self.line = self.sb.mcu_line(self.unit)
        conf = self.unit.tmp + "/snmpd.conf"
        with open(conf, "w") as f:
            f.write("rocommunity public 127.0.0.1\n"
                    "rwcommunity private 127.0.0.1\n"
                    "pass_persist .1.3.6.1.4.1.61904 %s\n" % rig.binary("snmp-relay"))
        os.makedirs(self.unit.tmp + "/snmp-client", exist_ok=True)
        self.tolvane = self.unit.start([rig.binary("tolvane")])
        self.assertEqual(len(self.line.messages(3)), 3, self.tolvane.stderr_text())
        self.snmpd = self.unit.start(
            ["snmpd", "-f", "-Lo", "-C", "-c", "/tmp/snmpd.conf", "udp:" + self.HOST],
            env={"SNMP_PERSISTENT_DIR": "/tmp/snmp-persist", "MIBS": ""})
        # snmpd starts the relay on the first request; the program connects within a second.
        self.assertTrue(self.wait_for_product_name(), self.logs())

    def logs(self):
        return "snmpd:\n%s%s\ntolvane:\n%s" % (self.snmpd.stdout_text(), self.snmpd.stderr_text(),
                                              self.tolvane.stderr_text())

    def snmp(self, tool, *args, mib=False):
        argv = [tool, "-v2c", "-t", "3", "-r", "0"]
        argv += ["-c", "private" if tool == "snmpset" else "public"]
        if mib:
            argv += ["-M", "+" + os.path.join(SOURCE_DIR, "tests/snmp_agent/smi"),
                     "-m", os.path.join(SOURCE_DIR, "snmp_agent/TOLVANE-MIB.txt")]
        else:
            argv += ["-On"]
        return self.unit.run(argv + [self.HOST] + list(args), env=self.CLIENT_ENV)

    def wait_for_product_name(self, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            r = self.snmp("snmpget", NODE + "1.1")
            if 'STRING: "TOLVANE"' in r.stdout:
                return True
            time.sleep(0.3)
        return False

    def relay_pids(self):
        pids = []
        for pid in self.unit.pids():
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv0 = f.read().split(b"\0")[0]
            except OSError:
                continue
            if os.path.basename(argv0) == b"snmp-relay":
                pids.append(pid)
        return pids

    def test_get_product_name(self):
        r = self.snmp("snmpget", NODE + "1.1")
        self.assertEqual(r.stdout.strip(), NODE + '1.1 = STRING: "TOLVANE"', r.stderr)

    def test_walk_lists_the_seventeen_objects(self):
        self.line.send_gpi([1, 0, 0, 0, 0, 0, 0, 0])
        time.sleep(0.8)
        r = self.snmp("snmpwalk", ".1.3.6.1.4.1.61904")
        expected = [NODE + '1.1 = STRING: "TOLVANE"', NODE + "2.1 = INTEGER: 1"]
        expected += ["%s%s = INTEGER: 0" % (NODE, k) for k in KEYS[2:]]
        self.assertEqual(r.stdout.splitlines(), expected, r.stderr)
        named = self.snmp("snmpwalk", ".1.3.6.1.4.1.61904", mib=True)
        self.assertIn("TOLVANE-MIB::tolvaneInput1 = INTEGER: on(1)", named.stdout, named.stderr)
        self.assertIn("TOLVANE-MIB::tolvaneOutput8 = INTEGER: off(0)", named.stdout)
        self.assertEqual(len(named.stdout.splitlines()), 17)

    def test_set_output_2_reaches_the_controller(self):
        r = self.snmp("snmpset", NODE + "3.2", "i", "1")
        self.assertEqual(r.returncode, 0, r.stderr + self.logs())
        self.assertEqual(self.line.messages(4)[3:], [outputs(2)])
        time.sleep(0.7)
        self.assertEqual(self.snmp("snmpget", NODE + "3.2").stdout.strip(),
                         NODE + "3.2 = INTEGER: 1")

    def test_refused_writes_leave_the_outputs_alone(self):
        for args, error in (((NODE + "3.2", "s", "1"), "wrongType"),
                            ((NODE + "3.9", "i", "1"), "notWritable"),
                            ((NODE + "2.3", "i", "1"), "notWritable")):
            with self.subTest(args=args):
                r = self.snmp("snmpset", *args)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(error, r.stderr)
        time.sleep(1.0)
        self.assertEqual(len(self.line.messages(timeout=0)), 3)

    def test_relay_killed_and_restarted(self):
        old = self.relay_pids()
        self.assertEqual(len(old), 1)
        os.kill(old[0], signal.SIGKILL)
        # snmpd starts a new relay on the next request; the program reconnects to it.
        self.assertTrue(self.wait_for_product_name(), self.logs())
        new = self.relay_pids()
        self.assertEqual(len(new), 1)
        self.assertNotEqual(new, old)
        self.assertTrue(self.snmpd.alive() and self.tolvane.alive())
        r = self.snmp("snmpset", NODE + "3.5", "i", "1")
        self.assertEqual(r.returncode, 0, r.stderr + self.logs())
        self.assertEqual(self.line.messages(4)[3:], [outputs(5)])
        self.assertNotIn("AddressSanitizer", self.logs())


def debian_stock_file(path):
    """True when the host's file is the one its Debian package installed (by the checksum
    dpkg keeps for its configuration files)."""
    r = subprocess.run(["dpkg-query", "-W", "-f=${Conffiles}\n", "snmpd"], stdout=subprocess.PIPE,
                       text=True)
    sums = dict(line.split()[:2] for line in r.stdout.splitlines() if len(line.split()) >= 2)
    with open(path, "rb") as f:
        return sums.get(path) == hashlib.md5(f.read()).hexdigest()


@unittest.skipUnless(shutil.which("snmpd") and shutil.which("snmpget"),
                     "needs net-snmp (Debian packages snmpd and snmp)")
class Readme(unittest.TestCase):
    """tools/snmp-relay/README.md as a new user follows it: its command blocks run as written,
    on the unit (Debian's stock snmpd.conf, snmpd started as Debian's service starts it) and on
    a manager's machine beside it."""

    README = "tools/snmp-relay/README.md"
    SERVICE = "/lib/systemd/system/snmpd.service"

    def setUp(self):
        if not debian_stock_file("/etc/snmp/snmpd.conf"):
            self.skipTest("this host's /etc/snmp/snmpd.conf is not Debian's stock file")
        self.commands = rig.readme_blocks(self.README, "sh")
        self.shown = rig.readme_blocks(self.README, "text")
        self.assertEqual((len(self.commands), len(self.shown)), (4, 3))
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit, self.manager = self.sb.unit("u"), self.sb.unit("m")
        self.sb.link(self.unit, self.manager, "192.168.0.209/24", "192.168.0.5/24")
        etc = self.unit.overlay("/etc")
        os.makedirs(etc + "/snmp")
        shutil.copy("/etc/snmp/snmpd.conf", etc + "/snmp/snmpd.conf")
        for unit in (self.unit, self.manager):
            unit.overlay("/var")  # snmpd's and the clients' persistent files, the AgentX socket
        self.unit.overlay("/usr/local")
        self.line = self.sb.mcu_line(self.unit)

    def run_block(self, unit, block):
        rig.source_tree(unit.tmp)
        r = unit.run(["sh", "-ec", "cd /tmp/tree\n" + block])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def start_snmpd(self):
        """snmpd with the options of Debian's service, in the foreground."""
        with open(self.SERVICE) as f:
            start = [l for l in f if l.startswith("ExecStart=")][0]
        argv = shlex.split(start[len("ExecStart="):])
        self.assertIn("-f", argv)
        return self.unit.start(argv)

    def manager_run(self, line):
        return self.manager.run(["sh", "-c", line])

    def test_set_up_and_commands_of_the_readme(self):
        on_unit, restart, on_manager, queries = self.commands
        self.assertEqual(restart.split(), ["systemctl", "restart", "snmpd",
                                           "service", "snmpd", "restart"])
        self.run_block(self.unit, on_unit)
        self.run_block(self.manager, on_manager)
        tolvane = self.unit.start_tolvane()
        self.assertEqual(len(self.line.messages(3)), 3, tolvane.stderr_text())
        snmpd = self.start_snmpd()

        def logs():
            return "snmpd:\n%s%s\ntolvane:\n%s" % (snmpd.stdout_text(), snmpd.stderr_text(),
                                                   tolvane.stderr_text())

        # snmpd answers on the network; a system object does not start the relay.
        self.assertTrue(rig.wait_until(lambda: "STRING" in self.manager_run(
            "snmpget -v2c -c public -On 192.168.0.209 .1.3.6.1.2.1.1.1.0").stdout, 15), logs())
        walk, set_, get = queries.splitlines()
        # The first request for the subtree starts the relay; tolvane connects to it within a
        # second, and the walk already lists every object.
        r = self.manager_run(walk)
        self.assertEqual((r.stdout, r.stderr), (self.shown[0], ""), logs())
        r = self.manager_run(set_)
        self.assertEqual((r.stdout, r.stderr), (self.shown[1], ""), logs())
        self.assertEqual(self.line.messages(4)[3:], [outputs(3)])
        time.sleep(0.7)  # the device's next refresh
        r = self.manager_run(get)
        self.assertEqual((r.stdout, r.stderr), (self.shown[2], ""), logs())
        self.assertTrue(snmpd.alive(), logs())
        self.assertNotIn("AddressSanitizer", logs())


if __name__ == "__main__":
    unittest.main()
