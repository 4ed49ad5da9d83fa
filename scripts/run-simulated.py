"""Runs tolvane on simulated hardware: its own network namespace, the I/O controller
simulator on /dev/ttyS3, a spare pseudo-terminal on /dev/ttyS2. Lines typed here go to the
controller simulator (e.g. "gpi 1 0 0 0 0 0 0 1"); Ctrl-C stops everything cleanly."""

import os
import select
import sys
import time

import rig


def follow(path, pos, out):
    with open(path, "rb") as f:
        f.seek(pos)
        data = f.read()
    if data:
        out.write(data.decode(errors="replace"))
        out.flush()
    return pos + len(data)


def main():
    with rig.Sandbox() as sb:
        unit = sb.unit("unit")
        line = unit.pty("ttyS3")
        try:
            sim = sb.spawn([rig.binary("mcu-sim"), "--fd", str(line.master)],
                           stdin=True, pass_fds=(line.master,))
        except FileNotFoundError:
            sim = None
            sb.mcu_line(unit)
        p = unit.start([rig.binary("tolvane")])
        print("tolvane runs as PID %d in network namespace %s" % (p.pid, unit.netns))
        print("  a control panel:  ip netns exec %s %s --port 10010" % (unit.netns, rig.binary("panel-sim")))
        print("  RS-232 port:      /dev/ttyS2 is a pseudo-terminal with nothing attached")
        print("  type lines for the I/O controller simulator (gpi 1 0 0 0 0 0 0 1); Ctrl-C stops")
        logs = {p.stderr_path: 0, p.stdout_path: 0}
        if sim:
            logs[sim.stdout_path] = 0
        try:
            while p.alive():
                ready, _, _ = select.select([sys.stdin], [], [], 0.2)
                if ready:
                    text = sys.stdin.readline()
                    if not text:
                        break
                    if sim:
                        sim.write_stdin(text)
                for path in logs:
                    logs[path] = follow(path, logs[path], sys.stdout)
        except KeyboardInterrupt:
            pass
        p.sigint()
        status = p.wait(15)
        time.sleep(0.1)
        for path in logs:
            follow(path, logs[path], sys.stdout)
        print("tolvane ended with status %d" % status)
        return status


if __name__ == "__main__":
    sys.exit(main())
