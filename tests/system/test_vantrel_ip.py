"""vantrel-ip as a whole: announcement, discovery, address setting and its command line, on a
unit whose eth0 carries 00:11:22:33:44:55 and 192.168.0.209/24; and the configuration client
vantrel-config against two such units on one bridge."""

import os
import select
import socket
import time
import unittest

import rig

MAC = "00:11:22:33:44:55"
PATH = "/tmp/bin:" + os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin")
DEFAULT_CONFIG = ("auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet static\n"
                  "\taddress 192.168.0.209\n\tnetmask 255.255.255.0\n\tgateway 192.168.0.1\n\n")
# Part of the example: the default configuration without a destination file.
ANNOUNCEMENT = bytes.fromhex("02 001122334455 c0a800d1 c0a80001 ffffff00 ffffffff")
# The stand-ins only record how they were called, in the unit's /tmp.
STAND_IN = "#!/bin/sh\necho \"%s $*\" >> /tmp/commands.log\n"


def ip(text):
    return socket.inet_aton(text)


def written_config(address, netmask, gateway):
    return ("auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet static\n"
            "        address %s\n        netmask %s\n        gateway %s\n        \n"
            % (address, netmask, gateway))


def request(address, netmask, gateway, destination, mac=MAC, command=2):
    return (bytes([command]) + bytes.fromhex(mac.replace(":", "")) + ip(address) + ip(gateway)
            + ip(netmask) + ip(destination))


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return None


class Board:
    """One unit's files as vantrel-ip sees them: /etc and /var overlays, the stand-ins on PATH."""

    def __init__(self, unit, interfaces=DEFAULT_CONFIG, destination=None):
        self.unit = unit
        self.etc = unit.overlay("/etc")
        self.var = unit.overlay("/var")
        os.makedirs(self.etc + "/network")
        os.makedirs(self.etc + "/init.d")
        os.makedirs(self.var + "/volatile")
        os.makedirs(unit.tmp + "/bin")
        if interfaces is not None:
            self.write("/etc/network/interfaces", interfaces)
        if destination is not None:
            self.write("/etc/vantrel_dst_ip", destination)
        self.write("/etc/init.d/networking", STAND_IN % "networking", mode=0o755)
        self.write("/tmp/bin/ifconfig", STAND_IN % "ifconfig", mode=0o755)

    def host_path(self, path):
        for prefix, upper in (("/etc/", self.etc), ("/var/", self.var), ("/tmp/", self.unit.tmp)):
            if path.startswith(prefix):
                return os.path.join(upper, path[len(prefix):])
        raise ValueError(path)

    def write(self, path, text, mode=0o644):
        with open(self.host_path(path), "w") as f:
            f.write(text)
        os.chmod(self.host_path(path), mode)

    def read(self, path):
        return read(self.host_path(path))

    def commands(self):
        return self.read("/tmp/commands.log") or ""

    def start(self, *args):
        return self.unit.start([rig.binary("vantrel-ip")] + list(args), env={"PATH": PATH})


class Peer:
    """A UDP socket in another namespace on the bridge: sends to port 10000, hears port 10001."""

    def __init__(self, unit):
        self.sock = unit.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        # Shared with a configuration client listening in the same namespace.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("", 10001))

    def send(self, data):
        self.sock.sendto(data, ("255.255.255.255", 10000))

    def receive(self, timeout=5.0, tail=0.5):
        """All datagrams arriving within timeout, and then within tail of each other."""
        out = []
        while select.select([self.sock], [], [], timeout)[0]:
            out.append(self.sock.recvfrom(2048))
            timeout = tail
        return out

    def discover(self):
        """The unit's record, from the reply to a discovery request; handling is in order, so
        every datagram sent before has been dealt with when the reply arrives."""
        self.send(b"\x02" + bytes(22))
        got = self.receive(10)
        return got[0][0] if len(got) == 1 else got

    def close(self):
        self.sock.close()


class Lan:
    """The unit (192.168.0.209, MAC 00:11:22:33:44:55) and a peer (192.168.0.10) on one bridge."""

    def __init__(self, sb, **board_kw):
        self.unit, self.other = sb.unit("u"), sb.unit("peer")
        sb.lan([self.unit, self.other], ["192.168.0.209/24", "192.168.0.10/24"], macs=[MAC, None])
        for u in (self.unit, self.other):
            # Limited broadcasts need a route, as the unit's gateway gives one on the board.
            u.ip("route", "add", "default", "dev", "eth0")
        self.board = Board(self.unit, **board_kw)
        self.peer = Peer(self.other)

    def start(self, test, *args, announcement=ANNOUNCEMENT):
        p = self.board.start(*args)
        # A sanitizer build starts slowly on a busy machine.
        test.assertEqual([d for d, _ in self.peer.receive(10)], [announcement], p.stderr_text())
        return p

    def close(self):
        self.peer.close()


class VantrelIpCase(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)

    def make_lan(self, **board_kw):
        self.lan = Lan(self.sb, **board_kw)
        self.addCleanup(self.lan.close)
        self.unit, self.board, self.peer = self.lan.unit, self.lan.board, self.lan.peer

    def start(self, *args, **kw):
        return self.lan.start(self, *args, **kw)


class Announcement(VantrelIpCase):
    def test_start_up_announcement_is_the_example(self):
        self.make_lan()
        p = self.board.start()
        got = self.peer.receive()
        self.assertEqual(got, [(ANNOUNCEMENT, ("192.168.0.209", 10000))], p.stderr_text())
        self.assertTrue(p.wait_for("norvik-di application\n", stream="stdout"))
        self.assertEqual(self.board.commands(), "")

    def test_unusable_interfaces_file_is_reset_at_start(self):
        self.make_lan(interfaces=None)
        self.start()
        self.assertEqual(self.board.read("/etc/network/interfaces"), DEFAULT_CONFIG)
        self.assertEqual(self.board.commands(), "networking restart\n")


class Discovery(VantrelIpCase):
    def test_discovery_gets_exactly_one_reply(self):
        self.make_lan(destination="10.9.8.7")
        p = self.start(announcement=ANNOUNCEMENT[:19] + ip("10.9.8.7"))
        self.peer.send(b"\x02" + bytes(6) + bytes(range(0xA0, 0xB0)))
        got = self.peer.receive()
        self.assertEqual(len(got), 1)
        data, sender = got[0]
        self.assertEqual(len(data), 23)
        self.assertEqual(data, ANNOUNCEMENT[:19] + ip("10.9.8.7"))
        self.assertEqual(sender[1], 10000)
        self.assertEqual(p.stderr_text(), "")  # no messages without -d
        self.assertTrue(p.alive())

    def test_empty_and_short_datagrams(self):
        self.make_lan()
        p = self.start()
        self.peer.send(b"")
        self.assertEqual(self.peer.receive(1.5), [])
        # A request cut short reads the missing bytes as zero: a bare command byte is a discovery.
        for cut in (b"\x02", b"\x02\x00\x00\x00"):
            with self.subTest(cut=cut):
                self.peer.send(cut)
                self.assertEqual([d for d, _ in self.peer.receive()], [ANNOUNCEMENT])
        self.assertTrue(p.alive())
        self.assertEqual(self.board.commands(), "")

    def test_every_length_of_a_request(self):
        # The disable file lets every length run through the whole request handling without
        # rewriting anything; the discovery request after each shows the program still serves.
        self.make_lan()
        self.board.write("/var/volatile/vantrel-ip-disable", "")
        p = self.start()
        padded = request("192.168.1.20", "0.0.0.0", "0.0.0.0", "192.168.0.50") + bytes(range(1, 20))
        for length in range(len(padded) + 1):
            with self.subTest(length=length):
                self.peer.send(padded[:length])
                self.peer.send(b"\x02" + bytes(22))
                # Only the first two bytes of the request (02 00) still read as a discovery.
                got = self.peer.receive(tail=0.3)
                self.assertEqual([d for d, _ in got], [ANNOUNCEMENT] * (2 if length in (1, 2) else 1))
        self.assertTrue(p.alive())
        self.assertEqual(self.board.read("/etc/network/interfaces"), DEFAULT_CONFIG)
        self.assertEqual(self.board.commands(), "")


class AddressSetting(unittest.TestCase):
    VALID = request("192.168.1.20", "0.0.0.0", "0.0.0.0", "192.168.0.50")
    DEFAULTED = ("192.168.1.20", "255.255.255.0", "192.168.1.1", "192.168.0.50")
    # (name, datagram, disable file, settings written: address, netmask, gateway, destination;
    #  None: the request is ignored)
    CASES = [
        ("netmask and gateway defaults", VALID, False, DEFAULTED),
        ("all fields given", request("10.1.2.3", "255.255.0.0", "10.1.0.1", "10.1.0.99"),
         False, ("10.1.2.3", "255.255.0.0", "10.1.0.1", "10.1.0.99")),
        ("gateway outside the subnet", request("192.168.1.20", "255.255.255.0", "192.168.2.1", "1.2.3.4"),
         False, None),
        ("disable file", VALID, True, None),
        ("31 bytes", VALID + bytes(8), False, None),
        ("30 bytes", VALID + bytes(7), False, DEFAULTED),
        ("first byte 1", b"\x01" + VALID[1:], False, None),
        ("another unit's MAC", request("192.168.1.20", "0.0.0.0", "0.0.0.0", "192.168.0.50",
                                       mac="00:11:22:33:44:56"), False, None),
        # Cut after the address: netmask, gateway and destination read as zero.
        ("cut after the address", request("172.16.5.6", "0.0.0.0", "0.0.0.0", "0.0.0.0")[:11],
         False, ("172.16.5.6", "255.255.255.0", "172.16.5.1", "0.0.0.0")),
        # Next to the unusable settings below: what is still applied.
        ("address below multicast", request("223.255.255.254", "255.255.255.0", "223.255.255.1",
                                            "10.1.0.99"),
         False, ("223.255.255.254", "255.255.255.0", "223.255.255.1", "10.1.0.99")),
        ("netmask /32", request("10.1.2.1", "255.255.255.255", "0.0.0.0", "10.1.0.99"),
         False, ("10.1.2.1", "255.255.255.255", "10.1.2.1", "10.1.0.99")),
    ]

    def test_address_setting(self):
        for name, datagram, disabled, applied in self.CASES:
            with self.subTest(name):
                with rig.Sandbox() as sb:
                    lan = Lan(sb)
                    try:
                        self.check(lan, datagram, disabled, applied)
                    finally:
                        lan.close()

    # Settings the unit could not be reached under, each with a gateway inside its subnet.
    UNUSABLE = [
        ("address 0.0.0.0", request("0.0.0.0", "0.0.0.0", "0.0.0.0", "192.168.0.50")),
        ("limited broadcast address", request("255.255.255.255", "255.255.255.0", "255.255.255.1",
                                              "192.168.0.50")),
        ("multicast address", request("224.0.0.5", "0.0.0.0", "0.0.0.0", "192.168.0.50")),
        ("last multicast address", request("239.255.255.255", "255.0.0.0", "239.0.0.1", "1.2.3.4")),
        ("loopback address", request("127.0.0.1", "255.0.0.0", "127.0.0.2", "192.168.0.50")),
        ("netmask with a hole", request("10.1.2.3", "255.0.255.0", "10.1.2.1", "10.1.0.99")),
        ("netmask with a stray bit", request("10.1.2.3", "255.255.255.1", "10.1.2.1", "10.1.0.99")),
    ]

    def test_unusable_settings_change_nothing(self):
        with rig.Sandbox() as sb:
            lan = Lan(sb)
            try:
                p = lan.start(self)
                for name, datagram in self.UNUSABLE:
                    with self.subTest(name):
                        lan.peer.send(datagram)
                        self.assertEqual(lan.peer.discover(), ANNOUNCEMENT, p.stderr_text())
                        self.assertEqual(lan.board.read("/etc/network/interfaces"), DEFAULT_CONFIG)
                        self.assertIsNone(lan.board.read("/etc/vantrel_dst_ip"))
                        self.assertEqual(lan.board.commands(), "")
                self.assertTrue(p.alive())
            finally:
                lan.close()

    def check(self, lan, datagram, disabled, applied):
        board = lan.board
        if disabled:
            board.write("/var/volatile/vantrel-ip-disable", "")
        p = lan.start(self)
        lan.peer.send(datagram)
        record = lan.peer.discover()
        self.assertIsInstance(record, bytes, p.stderr_text())
        self.assertTrue(p.alive())
        if applied is None:
            self.assertEqual(board.read("/etc/network/interfaces"), DEFAULT_CONFIG)
            self.assertIsNone(board.read("/etc/vantrel_dst_ip"))
            self.assertEqual(board.commands(), "")
            self.assertEqual(record, ANNOUNCEMENT)
            return
        address, netmask, gateway, destination = applied
        self.assertEqual(board.read("/etc/network/interfaces"), written_config(address, netmask, gateway))
        self.assertEqual(board.read("/etc/vantrel_dst_ip"), destination)
        self.assertEqual(board.commands(), "ifconfig eth0 down\nnetworking restart\n")
        # The next answer shows the stored settings; the live address is still the interface's.
        self.assertEqual(record, ANNOUNCEMENT[:11] + ip(gateway) + ip(netmask) + ip(destination))


class CommandLine(VantrelIpCase):
    def test_unrecognised_option_exits_1(self):
        self.make_lan(interfaces=None)
        r = self.unit.run([rig.binary("vantrel-ip"), "-x"], env={"PATH": PATH})
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "norvik-di application\n")
        self.assertTrue(r.stderr.endswith("Unrecognized option: -x\n"), r.stderr)
        # Nothing else was done: no reset of the missing file, no announcement.
        self.assertIsNone(self.board.read("/etc/network/interfaces"))
        self.assertEqual(self.board.commands(), "")
        self.assertEqual(self.peer.receive(1.0), [])

    def test_debug_level_3_prints_protocol_messages(self):
        self.make_lan()
        p = self.start("-d", "3")
        self.peer.discover()
        self.assertTrue(p.wait_for("DEVINST_IP\r\n"), p.stderr_text())
        self.peer.send(request("10.1.2.3", "255.255.0.0", "0.0.0.0", "10.1.0.99"))
        self.peer.discover()
        self.assertEqual(p.stderr_text(), "DEVINST_IP\r\n" * 2 + "255 255 0 0\n" + "DEVINST_IP\r\n")

    def test_debug_level_1_names_an_unusable_request_only(self):
        self.make_lan()
        p = self.start("-d", "1")
        self.peer.send(request("10.1.2.3", "255.255.255.0", "10.1.3.1", "10.1.0.99"))  # gateway
        self.peer.send(request("224.1.2.3", "0.0.0.0", "0.0.0.0", "10.1.0.99"))
        self.peer.send(request("10.1.2.3", "255.0.255.0", "10.1.2.1", "10.1.0.99"))
        self.peer.discover()
        self.assertEqual(p.stderr_text(),
                         "unusable address 224.1.2.3 netmask 255.255.255.0: request ignored\n"
                         "unusable address 10.1.2.3 netmask 255.0.255.0: request ignored\n")
        self.assertEqual(self.board.read("/etc/network/interfaces"), DEFAULT_CONFIG)
        self.assertEqual(self.board.commands(), "")

    def test_port_in_use_exits_with_the_system_error(self):
        self.make_lan()
        blocker = self.unit.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(blocker.close)
        blocker.bind(("", 10000))
        p = self.board.start()
        self.assertNotEqual(p.wait(10), 0)
        self.assertIn("bind: Address already in use", p.stderr_text())
        self.assertEqual(self.peer.receive(1.0), [])


class ConfigurationClient(unittest.TestCase):
    MAC_B = "00:11:22:33:44:66"

    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        a, b, self.laptop = self.sb.unit("a"), self.sb.unit("b"), self.sb.unit("laptop")
        self.sb.lan([a, b, self.laptop], ["192.168.0.209/24", "192.168.0.210/24", "192.168.0.5/24"],
                    macs=[MAC, self.MAC_B, None])
        for u in (a, b, self.laptop):
            u.ip("route", "add", "default", "dev", "eth0")
        self.a = Board(a)
        self.b = Board(b, destination="192.168.0.209")
        # The announcements are sent once both units listen. At debug level 2 a unit names
        # every request that reaches it.
        peer = Peer(self.laptop)
        try:
            self.procs = [self.a.start("-d", "2"), self.b.start("-d", "2")]
            got = peer.receive() + peer.receive(2.0)
            self.assertEqual(len(got), 2, [p.stderr_text() for p in self.procs])
        finally:
            peer.close()

    def client(self, *args):
        return self.laptop.run([rig.binary("vantrel-config"), "-t", "1500"] + list(args), timeout=20)

    def listing(self):
        r = self.client("list")
        self.assertEqual(r.returncode, 0, r.stderr)
        return {line.split()[0]: line.split()[1:] for line in r.stdout.splitlines()[1:]}

    def test_finds_both_units_and_changes_one(self):
        self.assertEqual(self.listing(), {
            MAC: ["192.168.0.209", "255.255.255.0", "192.168.0.1", "255.255.255.255"],
            self.MAC_B: ["192.168.0.210", "255.255.255.0", "192.168.0.1", "192.168.0.209"],
        })

        r = self.client("set", self.MAC_B, "10.20.30.40", "255.255.0.0")
        self.assertEqual(r.returncode, 0, r.stderr)
        deadline = time.monotonic() + 10
        while "networking" not in self.b.commands() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.b.read("/etc/network/interfaces"),
                         written_config("10.20.30.40", "255.255.0.0", "10.20.30.1"))
        # The destination was left out: the unit's own is sent back unchanged.
        self.assertEqual(self.b.read("/etc/vantrel_dst_ip"), "192.168.0.209")
        self.assertEqual(self.b.commands(), "ifconfig eth0 down\nnetworking restart\n")
        self.assertEqual(self.a.read("/etc/network/interfaces"), DEFAULT_CONFIG)
        self.assertEqual(self.a.commands(), "")

        units = self.listing()
        self.assertEqual(units[self.MAC_B], ["192.168.0.210", "255.255.0.0", "10.20.30.1", "192.168.0.209"])
        self.assertEqual(units[MAC], ["192.168.0.209", "255.255.255.0", "192.168.0.1", "255.255.255.255"])

    def test_refuses_unknown_unit_and_gateway_outside_subnet(self):
        r = self.client("set", "00:11:22:33:44:77", "192.168.0.20")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no unit with MAC 00:11:22:33:44:77", r.stderr)
        r = self.client("set", self.MAC_B, "192.168.1.20", "255.255.255.0", "192.168.2.1")
        self.assertEqual(r.returncode, 2)
        self.assertIn("outside the subnet", r.stderr)
        time.sleep(0.5)
        self.assertEqual(self.a.commands() + self.b.commands(), "")

    # (name, set arguments, message on standard error)
    REFUSED = [
        ("MAC one byte short", ["00:11:22:33:44", "192.168.0.20"], "bad MAC 00:11:22:33:44 "),
        ("MAC one byte long", ["00:11:22:33:44:66:77", "192.168.0.20"], "bad MAC 00:11:22:33:44:66:77 "),
        ("MAC not hexadecimal", ["00:11:22:33:44:6g", "192.168.0.20"], "bad MAC 00:11:22:33:44:6g "),
        ("address not dotted", [MAC_B, "192.168.0.300"], "bad address 192.168.0.300\n"),
        ("netmask not dotted", [MAC_B, "192.168.0.20", "255.255.255"], "bad netmask 255.255.255\n"),
        ("address 0.0.0.0", [MAC_B, "0.0.0.0"], "0.0.0.0 cannot be a unit's address"),
        ("limited broadcast", [MAC_B, "255.255.255.255"], "255.255.255.255 cannot be a unit's address"),
        ("subnet broadcast", [MAC_B, "192.168.0.255"], "192.168.0.255 cannot be a unit's address"),
        ("subnet broadcast /23", [MAC_B, "10.0.1.255", "255.255.254.0", "10.0.0.1"],
         "10.0.1.255 cannot be a unit's address"),
        ("multicast", [MAC_B, "224.0.0.1"], "224.0.0.1 cannot be a unit's address"),
        ("loopback", [MAC_B, "127.0.0.1", "255.0.0.0"], "127.0.0.1 cannot be a unit's address"),
        ("netmask with a hole", [MAC_B, "192.168.0.20", "255.0.255.0"],
         "netmask 255.0.255.0 is not contiguous"),
        ("gateway is the subnet broadcast", [MAC_B, "192.168.0.20", "255.255.255.0", "192.168.0.255"],
         "192.168.0.255 cannot be a gateway"),
        ("gateway outside the subnet", [MAC_B, "192.168.1.20", "255.255.255.0", "192.168.2.1"],
         "gateway 192.168.2.1 is outside the subnet"),
    ]

    def test_refuses_unusable_settings_before_sending(self):
        for name, args, message in self.REFUSED:
            with self.subTest(name):
                r = self.client("set", *args)
                self.assertEqual((r.returncode, r.stdout), (2, ""))
                self.assertIn(message, r.stderr)
        # Not even a discovery request went out.
        time.sleep(0.5)
        self.assertEqual([p.stderr_text() for p in self.procs], ["", ""])
        self.assertEqual(self.a.commands() + self.b.commands(), "")
        self.assertEqual(self.b.read("/etc/network/interfaces"), DEFAULT_CONFIG)

    def test_forced_gateway_outside_the_subnet_is_sent_and_ignored_by_the_unit(self):
        r = self.client("-f", "set", self.MAC_B, "192.168.1.20", "255.255.255.0", "192.168.2.1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("address-setting request sent to " + self.MAC_B, r.stdout)
        # Unit b saw the discovery and the request ("DEVINST_IP" and the netmask) and took nothing.
        self.assertTrue(self.procs[1].wait_for("255 255 255 0\n"), self.procs[1].stderr_text())
        time.sleep(0.5)
        self.assertEqual(self.b.commands(), "")
        self.assertEqual(self.b.read("/etc/network/interfaces"), DEFAULT_CONFIG)


class ConfigurationClientReadme(VantrelIpCase):
    """The example of tools/vantrel-config/README.md, its commands run as written there, on a
    laptop beside a factory-fresh unit."""

    README = "tools/vantrel-config/README.md"

    def test_example_commands_print_what_the_readme_shows(self):
        commands = rig.readme_blocks(self.README, "sh")
        outputs = rig.readme_blocks(self.README, "text")
        self.assertEqual((len(commands), len(outputs)), (1, 2))
        lines = commands[0].splitlines()
        self.assertEqual(len(lines), 2, lines)
        self.make_lan()
        self.start()
        env = {"PATH": rig.tool_path("vantrel-config")}
        for line, expected in zip(lines, outputs):
            with self.subTest(line):
                r = self.lan.other.run(["sh", "-c", line], env=env)
                self.assertEqual((r.returncode, r.stdout), (0, expected), r.stderr)
        self.assertTrue(rig.wait_until(lambda: "networking" in self.board.commands(), 10))
        self.assertEqual(self.board.read("/etc/network/interfaces"),
                         written_config("192.168.0.20", "255.255.255.0", "192.168.0.1"))
        self.assertEqual(self.board.read("/etc/vantrel_dst_ip"), "255.255.255.255")


if __name__ == "__main__":
    unittest.main()
