"""Runs a pair of units on simulated hardware: A in server mode and B in client mode towards
A, linked by a veth, each with tolvane, the I/O controller simulator on its /dev/ttyS3 and
the web page served on port 80. A veth from this machine into each unit makes the two pages
reachable from this machine's browser. Lines typed here go to a unit's controller simulator
("a toggle 3"); Ctrl-C stops everything and removes the namespaces."""

import os
import select
import signal
import sys
import time

import browser
import rig

UNITS = [
    # name, mode, destination, address on the pair's link, host side, unit side of the host link
    ("a", 1, "", "10.77.0.1/24", "10.77.11.1/24", "10.77.11.2"),
    ("b", 0, "10.77.0.1", "10.77.0.2/24", "10.77.12.1/24", "10.77.12.2"),
]
PAGE_PORT = 80


def cannot_run():
    """Why this machine cannot run the pair, or "" when it can."""
    if os.geteuid() != 0:
        return ("run-simulated needs root: it creates network namespaces, veth pairs and "
                "mounts. Run it as root (e.g. sudo bash scripts/run-simulated.sh).")
    try:
        rig._sh("ip", "netns", "add", "tvrig%d-probe" % os.getpid())
        rig._sh("ip", "netns", "del", "tvrig%d-probe" % os.getpid())
    except Exception as e:
        detail = getattr(e, "stderr", "") or str(e)
        return ("this machine does not let root create network namespaces (%s). Run it on a "
                "Linux machine or VM where it may (not in an unprivileged container)." % detail.strip())
    return ""


class Follower:
    """Copies what a process writes to its files onto the terminal, each line marked."""

    def __init__(self):
        self.files = []   # [path, position, prefix, partial line]

    def add(self, path, prefix):
        self.files.append([path, 0, prefix, b""])

    def poll(self, out):
        for f in self.files:
            with open(f[0], "rb") as src:
                src.seek(f[1])
                data = src.read()
            f[1] += len(data)
            lines = (f[3] + data).split(b"\n")
            f[3] = lines.pop()
            for line in lines:
                out.write("%s %s\n" % (f[2], line.decode(errors="replace")))
        out.flush()


def start_unit(sb, follow, name, mode, dst_ip):
    unit = sb.unit(name)
    unit.write_config("[General]\ndst_ip=%s\nsystem_mode=%d\n" % (dst_ip, mode))
    line = unit.pty("ttyS3")
    unit.sim = sb.spawn([rig.binary("mcu-sim"), "--version", "sim-" + name, "--fd", str(line.master)],
                        stdin=True, pass_fds=(line.master,))
    follow.add(unit.sim.stdout_path, "[%s controller]" % name)
    follow.add(unit.sim.stderr_path, "[%s controller]" % name)
    return unit


def main():
    why = cannot_run()
    if why:
        print(why, file=sys.stderr)
        return 1
    # A closed terminal or a kill ends the run as Ctrl-C does, so the namespaces go too.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.default_int_handler)
    follow = Follower()
    with rig.Sandbox() as sb:
        units = {}
        for name, mode, dst_ip, link_addr, host_addr, unit_addr in UNITS:
            units[name] = start_unit(sb, follow, name, mode, dst_ip)
        sb.link(units["a"], units["b"], UNITS[0][3], UNITS[1][3])
        for name, mode, dst_ip, link_addr, host_addr, unit_addr in UNITS:
            unit = units[name]
            sb.host_link(unit, host_addr, unit_addr + "/24")
            unit.tolvane = unit.start_tolvane()
            follow.add(unit.tolvane.stderr_path, "[%s tolvane]" % name)
            follow.add(unit.tolvane.stdout_path, "[%s tolvane]" % name)
            browser.serve_page(unit, PAGE_PORT)

        print("Two simulated units are running, paired over a veth:\n"
              "  unit A, server mode:              http://%s/\n"
              "  unit B, client mode towards A:    http://%s/\n"
              "Open both addresses in a browser on this machine.\n\n"
              "Each unit's I/O controller is simulated (tools/mcu-sim/README.md). Type a line\n"
              "starting with the unit's letter:\n"
              "  a toggle 3              flips input 3 of A; output 3 of B follows on B's page\n"
              "  b gpi 1 0 0 0 0 0 0 1   sets all eight inputs of B; A's outputs follow\n"
              "Ctrl-C stops everything and removes the namespaces.\n"
              % (UNITS[0][5], UNITS[1][5]), flush=True)
        status = 0
        try:
            while all(u.tolvane.alive() for u in units.values()):
                ready, _, _ = select.select([sys.stdin], [], [], 0.2)
                if ready:
                    text = sys.stdin.readline()
                    if not text:
                        break
                    send_to_simulator(units, text)
                follow.poll(sys.stdout)
        except KeyboardInterrupt:
            print()
        for name, unit in units.items():
            unit.tolvane.sigint()
        for name, unit in units.items():
            code = unit.tolvane.wait(15)
            status = status or code
            print("tolvane of unit %s ended with status %d" % (name.upper(), code))
        time.sleep(0.1)
        follow.poll(sys.stdout)
        print("Stopping the simulators and removing the namespaces.")
    return status


def send_to_simulator(units, text):
    words = text.split(None, 1)
    if not words:
        return
    unit = units.get(words[0].lower())
    if unit is None or len(words) < 2:
        print("Start the line with the unit, a or b: e.g. \"a toggle 3\".", flush=True)
        return
    if unit.sim.alive():
        unit.sim.write_stdin(words[1] if words[1].endswith("\n") else words[1] + "\n")
    else:
        print("The controller simulator of unit %s has ended." % words[0].upper(), flush=True)


if __name__ == "__main__":
    sys.exit(main())
