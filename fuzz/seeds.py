#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds are the worked examples of each wire format, plus the same bytes cut into reads where
a target takes its input as reads (one length byte, then that many bytes). Run it again after
changing a seed; the files are kept in the tree so that a fuzz run needs no Python.
"""
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))


def h(text):
    return bytes.fromhex(text)


def reads(stream, size=255):
    """The stream cut into reads of at most size bytes, in the targets' input layout."""
    out = b""
    for pos in range(0, len(stream), size):
        part = stream[pos:pos + size]
        out += bytes([len(part)]) + part
    return out


CODEC_EXAMPLES = [  # message, frame
    ("", "05 05 80 80 80 FE 06 06"),
    ("00", "05 05 81 80 00 FF FD 06 06"),
    ("01 00", "05 05 82 80 01 00 FD FD 06 06"),
    ("04 00", "05 05 82 80 04 0C 00 EE FD 06 06"),
    ("05 01 00 00 00 00 00 00 00", "05 05 89 80 04 0D 01 00 00 00 00 00 00 00 E5 FD 06 06"),
    ("03 01 00 01 00 00 00 00 01", "05 05 89 80 03 01 00 01 00 00 00 00 01 F1 FD 06 06"),
]


def codec7391():
    seeds = {}
    stream = b""
    for n, (message, frame) in enumerate(CODEC_EXAMPLES):
        seeds["frame%d" % n] = h(frame)
        seeds["message%d" % n] = h(message)
        stream += h(frame)
    seeds["stream"] = reads(stream)
    seeds["stream-bytewise"] = reads(stream, 1)
    seeds["stream-after-noise"] = reads(b"\x06\x05\x05\x81" + stream, 5)
    return seeds


SNMP_NODE = b".1.3.6.1.4.1.61904.16."
SNMP_EXCHANGES = [
    b"PING\n",
    b"get\n" + SNMP_NODE + b"1.1\n",
    b"getnext\n.1.3.6.1.4.1.61904\n",
    b"getnext\n" + SNMP_NODE + b"1.1\n",
    b"set\n" + SNMP_NODE + b"3.2\ninteger 1\n",
    b"get\n" + SNMP_NODE + b"9.9\n",
    b"set\n" + SNMP_NODE + b"3.8\ninteger 7\ninteger  0\nINTEGER 1\ninteger x\n",
    b"GET\r\n2.3\r\n",
]


def snmp_agent():
    seeds = {"exchange%d" % n: reads(x) for n, x in enumerate(SNMP_EXCHANGES)}
    seeds["all"] = reads(b"".join(SNMP_EXCHANGES))
    seeds["all-in-small-reads"] = reads(b"".join(SNMP_EXCHANGES), 3)
    return seeds


INTERFACES_DEFAULT = (b"auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet static\n"
                      b"\taddress 192.168.0.209\n\tnetmask 255.255.255.0\n\tgateway 192.168.0.1\n\n")
INTERFACES_WRITTEN = (b"auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet static\n"
                      b"        address 10.1.2.3\n        netmask 255.255.0.0\n"
                      b"        gateway 10.1.0.1\n        \n")
INTERFACES_TWO_STANZAS = (b"iface eth1 inet static\n\tnetmask 255.0.0.0\n\tgateway 10.0.0.1\n"
                          b"iface eth0 inet static\r\n netmask 255.255.255.128\n"
                          b"gateway 300.1.1.-1\n# comment\n")


def netconf():
    def seed(dst, interfaces):
        return bytes([255 if dst is None else len(dst)]) + (dst or b"") + interfaces
    return {
        "default-no-destination": seed(None, INTERFACES_DEFAULT),
        "written": seed(b"192.168.0.50", INTERFACES_WRITTEN),
        "two-stanzas": seed(b"10.0.0.255\n", INTERFACES_TWO_STANZAS),
        "empty-files": seed(b"", b""),
        "long-line": seed(b"1.2.3.4", b"iface eth0 inet static\n" + b"x" * 140
                          + b"netmask 255.255.0.0\n"),
    }


def vantrel_ip():
    own_mac = h("00 11 22 33 44 55")
    record = own_mac + bytes([10, 1, 2, 3, 10, 1, 0, 1, 255, 255, 0, 0, 10, 1, 255, 255])
    return {
        "discovery": bytes([2]) + bytes(22),
        "discovery-short": bytes([2]),
        "set-address": bytes([2]) + record,
        "set-address-other-unit": bytes([2]) + h("00 11 22 33 44 56") + record[6:],
        "longest": bytes([2]) + record + bytes(7),
        "too-long": bytes([2]) + record + bytes(8),
        "other-command": bytes([1]) + bytes(22),
    }


LINK_HANDSHAKE = b"NORV\x00\x03\x00\x00"
LINK_KEEPALIVE = h("00 00 00 0D 00 03 00 00 02 00 00 00 00")
LINK_GPI_STATES = h("00 00 00 30 00 01 00 00") + h("02 00 00 00 01 02 00 00 00 00 02 00 00 00 01") \
    + h("02 00 00 00 00") * 5
LINK_GPO_STATES = LINK_GPI_STATES[:5] + b"\x00" + LINK_GPI_STATES[6:]
LINK_SERIAL = h("00 00 00 0E 00 02 00 00 03 00 03 61 62 63")
LINK_UNKNOWN = h("00 00 00 0D 00 07 00 00 02 00 00 00 00")


def link_receiver():
    seeds = {}
    for end, states in ((0, LINK_GPO_STATES), (1, LINK_GPI_STATES)):
        stream = LINK_HANDSHAKE + states + LINK_SERIAL + LINK_KEEPALIVE + LINK_UNKNOWN + states
        seeds["end%d-stream" % end] = bytes([end]) + reads(stream)
        seeds["end%d-bytewise" % end] = bytes([end]) + reads(stream, 1)
        seeds["end%d-handshake-only" % end] = bytes([end]) + reads(LINK_HANDSHAKE)
    seeds["bad-handshake"] = b"\x00" + reads(b"PERP\x00\x01\x00\x00" + LINK_KEEPALIVE)
    seeds["bad-header"] = b"\x00" + reads(LINK_HANDSHAKE + h("00 00 00 08 00 03 00 00"))
    seeds["bad-serial"] = b"\x00" + reads(LINK_HANDSHAKE + h("00 00 00 0E 00 02 00 00 03 00 04 61 62 63"))
    return seeds


PANEL_HANDSHAKE = b"PERP\x00\x01\x00\x00"
PANEL_FRAMES = [
    h("00 00 00 0B 00 00 00 00 01 00 00"),  # keepalive question
    h("00 00 00 0B 00 01 00 00 01 00 00"),  # its answer
    h("00 00 00 0B 00 02 00 03 01 00 02"),  # LED 3 on
    h("00 00 00 0D 00 02 00 01 02 00 00 00 01"),  # int32 item
    h("00 00 00 09 00 02 00 01 07"),  # unknown item type
]


def panel_stream():
    seeds = {}
    frames = b"".join(PANEL_FRAMES)
    seeds["greeted-then-frames"] = reads(PANEL_HANDSHAKE) + reads(frames)
    seeds["frames-one-per-read"] = reads(PANEL_HANDSHAKE) + b"".join(reads(f) for f in PANEL_FRAMES)
    seeds["frame-split"] = reads(PANEL_HANDSHAKE) + reads(frames, 7)
    seeds["handshake-with-frame"] = reads(PANEL_HANDSHAKE + PANEL_FRAMES[0])
    seeds["short-remainder"] = reads(PANEL_HANDSHAKE) + reads(PANEL_FRAMES[2] + b"\x00\x00\x00")
    seeds["zero-size"] = reads(PANEL_HANDSHAKE) + reads(h("00 00 00 00 00 02 00 01 01 00 01"))
    return seeds


def vgpi_codec():
    seeds = {
        "link-handshake": LINK_HANDSHAKE,
        "keepalive": LINK_KEEPALIVE,
        "gpi-states": LINK_GPI_STATES,
        "serial": LINK_SERIAL,
        "serial-empty": h("00 00 00 0B 00 02 00 00 03 00 00"),
        "sequence": h("00 00 00 14 00 02 00 00 04 00 06 01 00 07 02 00 00 00 09 05"),
    }
    for n, f in enumerate(PANEL_FRAMES):
        seeds["panel%d" % n] = f
    return seeds


WEB_MESSAGES = [
    b'{"type": "keepalive", "data": {}}',
    b'{"type": "set_gpo", "data": {"index": 3, "value": 1}}',
    b'{"type": "set_gpo", "data": {"index": "3", "value": 1.5}}',
    b'{"type": "set_system", "data": {"dst_ip": "192.168.0.50", "system_mode": 1, '
    b'"baudrate": 115200, "parity": 0, "gpi_names": ["a", "b", "c", "d", "e", "f", "g", "h"], '
    b'"gpo_names": ["out 1", 2, null]}}',
    b'{"type": "set_system", "data": {"system_mode": 1e10}}',
    b'{"type": "gpio", "data": []}',
    b'[1, 2, 3]',
    b'{"type": "keepalive", "data": {"status": "alive"}',
]


def web_protocol():
    return {"message%d" % n: m for n, m in enumerate(WEB_MESSAGES)}


TARGETS = {
    "fuzz_link_receiver": link_receiver,
    "fuzz_panel_stream": panel_stream,
    "fuzz_vgpi_codec": vgpi_codec,
    "fuzz_web_protocol": web_protocol,
    "fuzz_netconf": netconf,
    "fuzz_vantrel_ip": vantrel_ip,
    "fuzz_snmp_agent": snmp_agent,
    "fuzz_codec7391": codec7391,
}


def main():
    for target, make in TARGETS.items():
        folder = os.path.join(HERE, "corpus", target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in make().items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
