#!/usr/bin/env python3
"""Soak of two paired units in the namespace rig (not part of CI; needs root and a build).

Unit A (server mode) and unit B (client mode) are linked. For the given time:
  - the inputs of both units change every 50 ms (their controllers report a counter's bits);
  - RS-232 runs both ways at line rate (115200 bit/s: 576 bytes every 50 ms), a numbered
    byte stream that the far side checks byte by byte;
  - five panels are connected to A (one per port), read their LED frames and send an alive
    request every 5 s.
At the end: every RS-232 byte arrived once and in order, each unit's outputs end on the
other's last input state, the panels are still connected, and resident memory is flat
(start and end printed; more than 2 MB of growth fails).

    sudo TOLVANE_BUILD_DIR=build python3 tests/soak/soak.py --minutes 30
"""

import argparse
import os
import select
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "rig"))
import rig  # noqa: E402

A_ADDR, B_ADDR = "10.77.0.1", "10.77.0.2"
TICK = 0.05
RS232_PER_TICK = 115200 // 10 // 20   # 10 bits a byte on the line, 20 ticks a second
ALIVE_REQUEST = (11).to_bytes(4, "big") + bytes([0, 0, 0, 0, 1, 0, 0])
MEMORY_FLAT_KB = 2048


def stream_byte(i):
    """Byte i of the RS-232 test stream; a lost, doubled or swapped byte breaks the sequence."""
    return (i * 131 + (i >> 8) * 17 + (i >> 16) * 7) & 0xFF


def stream(start, n):
    return bytes(stream_byte(i) for i in range(start, start + n))


class Rs232Check:
    """Checks what arrives on one unit's RS-232 line against the stream sent to the other."""

    def __init__(self, pty, name):
        self.pty, self.name = pty, name
        self.received = 0
        self.error = None

    def poll(self):
        data = self.pty.read_available()
        if data and self.error is None:
            want = stream(self.received, len(data))
            if data != want:
                at = next(i for i in range(len(data)) if data[i] != want[i])
                self.error = "%s: byte %d is %02x, expected %02x" % (
                    self.name, self.received + at, data[at], want[at])
            self.received += len(data)


class Panels:
    """Five panels on A's ports: they drain their LED frames and keep themselves alive."""

    def __init__(self, unit):
        self.socks = [unit.open_panel(port) for port in range(10010, 10015)]
        for s in self.socks:
            s.setblocking(False)
        self.lost = []
        self._last_alive = time.monotonic()

    def poll(self):
        now = time.monotonic()
        alive = now - self._last_alive >= 5
        if alive:
            self._last_alive = now
        for s in self.socks:
            if s in self.lost:
                continue
            try:
                while select.select([s], [], [], 0)[0]:
                    if not s.recv(65536):
                        self.lost.append(s)
                        break
                if alive:
                    s.sendall(ALIVE_REQUEST)
            except OSError:
                self.lost.append(s)


def rss(proc):
    return rig.rss_kb(proc.pid)[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--minutes", type=float, default=30.0)
    args = ap.parse_args()

    with rig.Sandbox() as sb:
        a, b = sb.unit("a"), sb.unit("b")
        sb.link(a, b, A_ADDR + "/24", B_ADDR + "/24")
        line_a, line_b = sb.mcu_line(a), sb.mcu_line(b)
        a.write_config("[General]\nsystem_mode=1\n")
        b.write_config("[General]\nsystem_mode=0\ndst_ip=%s\n" % A_ADDR)
        pa, pb = a.start_tolvane("-w"), b.start_tolvane("-w")
        if not rig.wait_until(lambda: a.led("LINK") == "1\n" and b.led("LINK") == "1\n", 15):
            sys.exit("the units did not link:\n" + pa.stderr_text() + pb.stderr_text())
        panels = Panels(a)
        tty_a, tty_b = a.pty("ttyS2"), b.pty("ttyS2")
        at_b, at_a = Rs232Check(tty_b, "A to B"), Rs232Check(tty_a, "B to A")
        time.sleep(2)
        start = {"A": rss(pa), "B": rss(pb)}
        print("start: resident A %d kB, B %d kB" % (start["A"], start["B"]), flush=True)

        sent, tick = 0, 0
        last_gpi = {}
        began = time.monotonic()
        end = began + args.minutes * 60
        next_report = began + 60
        while time.monotonic() < end:
            tick += 1
            states_a = [(tick >> k) & 1 for k in range(8)]
            states_b = [((tick * 5 + 3) >> k) & 1 for k in range(8)]
            line_a.send_gpi(states_a)
            line_b.send_gpi(states_b)
            last_gpi = {"A": states_a, "B": states_b}
            chunk = stream(sent, RS232_PER_TICK)
            tty_a.write(chunk)
            tty_b.write(chunk)
            sent += len(chunk)
            for check in (at_a, at_b):
                check.poll()
            panels.poll()
            if time.monotonic() >= next_report:
                next_report += 60
                print("%5.1f min: %d RS-232 bytes each way, resident A %d kB, B %d kB" % (
                    (time.monotonic() - began) / 60, sent, rss(pa), rss(pb)), flush=True)
            time.sleep(max(0.0, began + tick * TICK - time.monotonic()))

        # Let the last states and bytes through, then look at the final figures.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and (at_a.received < sent or at_b.received < sent):
            for check in (at_a, at_b):
                check.poll()
            panels.poll()
            time.sleep(0.05)

        def outputs_end_on(line, states):
            return rig.wait_until(lambda: [m for m in line.messages() if m[:1] == b"\x05"][-1:]
                                  == [bytes([5] + states)], 5)

        failures = []
        for check in (at_a, at_b):
            if check.error:
                failures.append(check.error)
            elif check.received != sent:
                failures.append("%s: %d of %d bytes arrived" % (check.name, check.received, sent))
        if not outputs_end_on(line_b, last_gpi["A"]):
            failures.append("B's outputs did not end on A's last inputs")
        if not outputs_end_on(line_a, last_gpi["B"]):
            failures.append("A's outputs did not end on B's last inputs")
        if panels.lost:
            failures.append("%d panels lost their connection" % len(panels.lost))
        end_rss = {"A": rss(pa), "B": rss(pb)}
        for name in ("A", "B"):
            if end_rss[name] > start[name] + MEMORY_FLAT_KB:
                failures.append("unit %s grew from %d to %d kB" % (name, start[name], end_rss[name]))
        for p in (pa, pb):
            if not p.alive():
                failures.append("a tolvane ended")
        print("%.1f minutes, %d input changes a unit, %d RS-232 bytes each way" % (
            (time.monotonic() - began) / 60, tick, sent))
        print("end:   resident A %d kB, B %d kB (start A %d kB, B %d kB)" % (
            end_rss["A"], end_rss["B"], start["A"], start["B"]))
        print("peak:  A %d kB, B %d kB" % (rig.rss_kb(pa.pid)[1],
                                           rig.rss_kb(pb.pid)[1]))
        print("\n".join(failures) if failures else "no lost or reordered byte, final states "
              "reached, panels connected, memory flat")
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
