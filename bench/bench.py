#!/usr/bin/env python3
"""Benchmark of two paired tolvane units on this machine: GPIO mirror latency, RS-232
pass-through, serial to network beside ser2net, idle cost and web fan-out.

Run as root from the source tree after building (see README.md beside this file):

    python3 bench/bench.py [--build build] [--rs232-immediate]

Prints a table and writes CDF plots of the latency distributions to <build>/bench/.
"""

import argparse
import os
import random
import re
import resource
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "rig"))

import rig  # noqa: E402
import probes  # noqa: E402
import report  # noqa: E402
import webfleet  # noqa: E402

LINE_RATE = 11520          # bytes a second: 115200 bit/s with start and stop bits
SER2NET_PORT = 3333
FLOOR_PORT = 3334
IMMEDIATE_KEY = b"rs232_immediate"


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"),
                    help="build folder of tolvane (RelWithDebInfo, no sanitizers)")
    ap.add_argument("--rs232-immediate", action="store_true",
                    help="also run the RS-232 figures with rs232_immediate=1 in config.conf")
    ap.add_argument("--samples", type=int, default=1000, help="samples per latency figure")
    ap.add_argument("--megabytes", type=int, default=16, help="size of the RS-232 transfers")
    ap.add_argument("--idle-seconds", type=int, default=30)
    ap.add_argument("--no-callgrind", action="store_true", help="skip the wake-up cost figure")
    return ap.parse_args()


def install_packages():
    """The few Debian packages only the benchmark needs, installed on first use."""
    with open(os.path.join(HERE, "debian-packages.txt")) as f:
        wanted = [w for w in f.read().split() if w]
    missing = [p for p in wanted
               if subprocess.run(["dpkg", "-s", p], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL).returncode != 0]
    if missing:
        print("installing", " ".join(missing), flush=True)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        if subprocess.run(["apt-get", "install", "-y", "--no-install-recommends"] + missing,
                          env=env).returncode != 0:
            subprocess.run(["apt-get", "update"], env=env, check=True)
            subprocess.run(["apt-get", "install", "-y", "--no-install-recommends"] + missing,
                           env=env, check=True)


def loadavg():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


# --- a running tolvane seen from /proc

def program_pid(unit, comm="tolvane"):
    """PID of the program inside the unit (the rig starts it through ip, unshare and sh)."""
    def find():
        for pid in unit.pids():
            try:
                with open("/proc/%d/comm" % pid) as f:
                    if f.read().strip().startswith(comm):
                        return pid
            except OSError:
                pass
        return None
    rig.wait_until(lambda: find() is not None, 10)
    return find()


def proc_sample(pid):
    """CPU ticks (utime + stime), on-CPU nanoseconds, RSS in kB and context switches."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    with open("/proc/%d/schedstat" % pid) as f:
        cpu_ns = int(f.read().split()[0])
    status = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            status[key] = value.split()[0] if value.split() else ""
    return {"ticks": int(fields[11]) + int(fields[12]), "utime": int(fields[11]),
            "stime": int(fields[12]), "cpu_ns": cpu_ns, "rss_kb": int(status["VmRSS"]),
            "switches": int(status["voluntary_ctxt_switches"])
            + int(status["nonvoluntary_ctxt_switches"])}


def rss_kb(pid):
    return proc_sample(pid)["rss_kb"]


# --- the pair of units

def immediate_line(immediate):
    """The config.conf line that switches rs232_immediate on, or nothing."""
    return "rs232_immediate=1\n" if immediate else ""


class Pair:
    """Units A (server mode) and B (client mode, dst_ip A) on one veth, their controllers
    played by the benchmark, plus a third namespace for ser2net."""

    def __init__(self, sb, immediate=False):
        self.sb = sb
        line = immediate_line(immediate)
        self.a, self.b = sb.pair(line, line)
        self.s = sb.unit("ser2net")
        # ser2net resolves its accepter with AI_ADDRCONFIG, which wants a non-loopback address.
        self.s.ip("link", "add", "eth0", "type", "veth", "peer", "name", "eth1")
        self.s.ip("addr", "add", "10.78.0.1/24", "dev", "eth0")
        self.s.ip("link", "set", "eth0", "up")
        self.controllers = probes.Controllers(self.a.pty("ttyS3"), self.b.pty("ttyS3"))
        self.pa = self.pb = None

    def configure(self, immediate):
        line = immediate_line(immediate)
        rig.write_pair_configs(self.a, self.b, line, line)

    def start(self):
        self.pa = self.a.start_tolvane()
        self.pb = self.b.start_tolvane()
        if not rig.pair_linked(self.a, self.b, 15):
            raise RuntimeError("units did not link:\n" + self.pb.stderr_text())
        time.sleep(1)

    def stop_b(self):
        if self.pb:
            self.pb.stop()
            self.pb = None

    def stop(self):
        self.stop_b()
        if self.pa:
            self.pa.stop()
            self.pa = None

    def pid_a(self):
        return program_pid(self.a)

    def pid_b(self):
        return program_pid(self.b)

    def close(self):
        self.controllers.close()


def has_web_protocol(unit):
    """True when a new web client is greeted (the JSON protocol is in this build)."""
    fleet = webfleet.WebFleet(unit, 1)
    try:
        return rig.wait_until(lambda: fleet.counts()[0] > 0, 3)
    finally:
        fleet.close()


# --- the figures

def measure_idle(pair, seconds, table):
    """CPU and memory of both programs, linked and without traffic."""
    pids = {"A": pair.pid_a(), "B": pair.pid_b()}
    first = {k: proc_sample(p) for k, p in pids.items()}
    time.sleep(seconds)
    last = {k: proc_sample(p) for k, p in pids.items()}
    tick = os.sysconf("SC_CLK_TCK")
    for k in pids:
        d = {f: last[k][f] - first[k][f] for f in ("ticks", "utime", "stime", "cpu_ns", "switches")}
        stat_pct = 100.0 * d["ticks"] / tick / seconds
        table.row("idle CPU, %s (%d s)" % (k, seconds),
                  "%.2f %% of a core (stat: user %d + sys %d ticks; schedstat %.2f %%), "
                  "%.0f wake-ups/s" % (stat_pct, d["utime"], d["stime"],
                                       100.0 * d["cpu_ns"] / 1e9 / seconds,
                                       d["switches"] / seconds),
                  "<= 0.5 %", stat_pct <= 0.5)
        table.row("resident memory, %s idle" % k, "%.1f MB" % (last[k]["rss_kb"] / 1024),
                  "<= 15 MB", last[k]["rss_kb"] <= 15 * 1024)


def measure_mirror(pair, samples, label, table, plots, target_p99, target_median=None):
    lat = pair.controllers.mirror(samples)
    ok = report.p99(lat) <= target_p99 * 1e6
    target = "p99 <= %g ms" % target_p99
    if target_median is not None:
        ok = ok and report.median(lat) <= target_median * 1e6
        target = "median <= %g ms, " % target_median + target
    table.latency_row(label, lat, target, ok)
    plots.add("gpio", label, lat)
    return lat


def measure_loaded_mirror(pair, samples, web, table, plots):
    fleets = []
    if web:
        fleets = [webfleet.WebFleet(pair.a, 100), webfleet.WebFleet(pair.b, 100)]
    load = probes.SerialLoad([(pair.a.pty("ttyS2").master, pair.b.pty("ttyS2").master),
                              (pair.b.pty("ttyS2").master, pair.a.pty("ttyS2").master)],
                             LINE_RATE)
    try:
        time.sleep(1)
        label = "GPIO mirror A->B, loaded"
        table.note("loaded: RS-232 both ways at the line rate"
                   + (", 100 web clients on each unit" if web else ", no web clients"))
        measure_mirror(pair, samples, label, table, plots, 3)
    finally:
        written, received, secs = load.stop()
        for f in fleets:
            f.close()
        drain(pair)
    table.note("RS-232 load during that figure: %s B/s written, %s B/s arrived"
               % (" / ".join("%.0f" % (w / secs) for w in written),
                  " / ".join("%.0f" % (r / secs) for r in received)))


def drain(pair, seconds=1.0):
    """Reads what is still on its way out of both RS-232 lines, so the next figure starts clean."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for u in (pair.a, pair.b):
            u.pty("ttyS2").read_available()
        time.sleep(0.05)


def fanout_samples(pair, fleet, samples):
    """Input reports with fresh states each; (first client, last client) times from each."""
    first, last, previous = [], [], None
    for _ in range(samples):
        states = previous
        while states == previous:
            states = probes.states_for(random.randrange(255))
        fleet.expect(b'"gpi":[' + b",".join(b"%d" % v for v in states) + b"]")
        _, t0 = pair.controllers.report(states)
        t_first, t_last = fleet.wait_all()
        first.append(t_first - t0)
        last.append(t_last - t0)
        previous = states
        time.sleep(random.uniform(0.005, 0.015))
    return first, last


def measure_fanout(pair, clients, samples, table, plots):
    pid = pair.pid_a()
    before = rss_kb(pid)
    fleet = webfleet.WebFleet(pair.a, clients)
    try:
        time.sleep(1)
        cpu0 = fleet.cpu_seconds()
        first, lat = fanout_samples(pair, fleet, samples)
        client_cpu = (fleet.cpu_seconds() - cpu0) / samples
        after = rss_kb(pid)
        last = fleet.last_texts()[-1]
    finally:
        fleet.close()
    if '"gpio"' not in last:
        raise RuntimeError("last web message is not gpio: " + last[:200])
    label = "web fan-out, %d clients (last one)" % clients
    table.latency_row(label, lat, "p99 <= 20 ms" if clients == 100 else "",
                      report.p99(lat) <= 20e6 if clients == 100 else None)
    table.note("%d clients: first client median %.3f ms; the clients' own process used %.2f ms "
               "of CPU a sample" % (clients, report.median(first) / 1e6, client_cpu * 1e3))
    table.row("resident memory per web client, %d" % clients,
              "%.1f kB (%.1f MB before, %.1f MB with them)"
              % ((after - before) / clients, before / 1024, after / 1024), "", None)
    plots.add("fanout", "%d clients" % clients, lat)


def serial_latency(write_fd, reader, samples, label, table, plots, target=("", None)):
    lat = probes.one_byte_latency(write_fd, probes.reader_of(reader), samples)
    table.latency_row(label, lat, *target)
    plots.add("serial", label, lat)
    return lat


def dropped_lines(procs):
    """What the programs logged about bytes or peers they gave up on."""
    pattern = re.compile(r".*(dropped|not reading).*")
    return [m.group(0) for p in procs if p for m in pattern.finditer(p.stderr_text())]


def note_losses(table, procs, intact):
    if not intact:
        for line in dropped_lines(procs)[-5:]:
            table.note("  logged: " + line)


def serial_throughput(write_fd, reader, data, label, table, target_mbs=None, procs=()):
    (secs, intact), = probes.pump_through([(write_fd, probes.reader_of(reader), data)])
    mbs = len(data) / secs / 1e6
    table.row(label, "%.2f MB/s (%d MB in %.2f s), %s" % (
        mbs, len(data) >> 20, secs, "intact" if intact else "LOST OR REORDERED"),
        ">= %g MB/s, intact" % target_mbs if target_mbs else "intact",
        intact and (target_mbs is None or mbs >= target_mbs))
    note_losses(table, procs, intact)
    return mbs


def measure_pair_rs232(pair, args, data, mode, table, plots):
    """One-byte latency and 16 MB between the two units, one way and both ways at once."""
    a2, b2 = pair.a.pty("ttyS2"), pair.b.pty("ttyS2")
    target = (("median <= 0.2 ms", lambda l: report.median(l) <= 0.2e6) if mode == "immediate"
              else ("median <= 6 ms, p99 <= 11 ms",
                    lambda l: report.median(l) <= 6e6 and report.p99(l) <= 11e6))
    lat = probes.one_byte_latency(a2.master, probes.reader_of(b2.master), args.samples)
    label = "RS-232 A->B one byte, %s" % mode
    table.latency_row(label, lat, target[0], target[1](lat))
    plots.add("serial", label, lat)
    serial_throughput(a2.master, b2.master, data,
                      "RS-232 A->B %d MB, %s" % (len(data) >> 20, mode), table, 10,
                      (pair.pa, pair.pb))
    back = bytes(reversed(data))
    results = probes.pump_through([(a2.master, probes.reader_of(b2.master), data),
                                   (b2.master, probes.reader_of(a2.master), back)])
    table.row("RS-232 both ways at once, %s" % mode, ", ".join(
        "%s %.2f MB/s %s" % (d, len(data) / s / 1e6, "intact" if ok else "LOST OR REORDERED")
        for d, (s, ok) in zip(("A->B", "B->A"), results)), "intact",
        all(ok for _, ok in results))
    note_losses(table, (pair.pa, pair.pb), all(ok for _, ok in results))
    return lat


def measure_link_peer(pair, args, data, mode, table, plots):
    """The same bytes from A's /dev/ttyS2 to the benchmark as A's link peer (B stopped)."""
    pair.stop_b()
    time.sleep(0.5)
    peer = probes.LinkPeer(pair.b.connect_tcp(11010, host=rig.PAIR_A_ADDR))
    try:
        a2 = pair.a.pty("ttyS2")
        lat = serial_latency(a2.master, peer, args.samples,
                             "serial->net tolvane one byte, %s" % mode,
                             table, plots)
        mbs = serial_throughput(a2.master, peer, data,
                                "serial->net tolvane %d MB, %s" % (len(data) >> 20, mode), table,
                                procs=(pair.pa,))
    finally:
        peer.close()
    return lat, mbs


def ser2net_config(path, device, chardelay):
    options = "  options:\n    chardelay: false\n" if not chardelay else ""
    with open(path, "w") as f:
        f.write("connection: &bench\n  accepter: tcp,127.0.0.1,%d\n"
                "  connector: serialdev,%s,115200n81,local\n%s" % (SER2NET_PORT, device, options))


def measure_ser2net(pair, args, data, chardelay, table, plots):
    s2 = pair.s.pty("ttyS2")
    cfg = os.path.join(pair.s.dir, "ser2net-%d.yaml" % chardelay)
    ser2net_config(cfg, s2.slave, chardelay)
    proc = pair.s.spawn(["ser2net", "-n", "-c", cfg])
    try:
        sock = pair.s.connect_tcp(SER2NET_PORT)
        time.sleep(0.5)   # ser2net opens the device once the client is there
        s2.read_available()
        mode = "chardelay default" if chardelay else "chardelay false"
        lat = serial_latency(s2.master, sock, args.samples,
                             "serial->net ser2net one byte, %s" % mode, table, plots)
        mbs = serial_throughput(s2.master, sock, data,
                                "serial->net ser2net %d MB, %s" % (len(data) >> 20, mode), table)
        sock.close()
    finally:
        proc.stop()
    return lat, mbs


def measure_floor(pair, args, table, plots):
    """The units' one-byte path with no unit program in it: socat relays A's /dev/ttyS2 over
    the same veth to B's. What this takes is what the machine itself adds to every figure
    (two pseudo-terminal hops, one TCP hop, two process wake-ups), measured the same way."""
    pair.stop()
    a2, b2 = pair.a.pty("ttyS2"), pair.b.pty("ttyS2")
    listener = pair.b.spawn(["socat", "TCP-LISTEN:%d,bind=%s,reuseaddr,nodelay"
                             % (FLOOR_PORT, rig.PAIR_B_ADDR), "OPEN:%s,rawer" % b2.slave])
    try:
        if not rig.wait_until(lambda: pair.b.listening(FLOOR_PORT), 5):
            raise RuntimeError("socat did not listen:\n" + listener.stderr_text())
        sender = pair.a.spawn(["socat", "OPEN:%s,rawer" % a2.slave,
                               "TCP:%s:%d,nodelay" % (rig.PAIR_B_ADDR, FLOOR_PORT)])
        try:
            # The first byte proves the chain is up; it is not a sample.
            probes.one_byte_latency(a2.master, probes.reader_of(b2.master), 1, gap_ms=(500, 500))
            return serial_latency(a2.master, b2.master, args.samples,
                                  "floor: socat A->B one byte", table, plots)
        finally:
            sender.stop()
    finally:
        listener.stop()


def compare_floor(table, ours, floor):
    for mode, lat in ours.items():
        table.row("RS-232 A->B one byte, %s / floor" % mode,
                  "median latency %.2f, p99 latency %.2f"
                  % (report.median(lat) / report.median(floor), report.p99(lat) / report.p99(floor)),
                  "", None)


def compare(table, ours, theirs):
    for (mode, (lat, mbs)) in ours.items():
        for (their_mode, (tlat, tmbs)) in theirs.items():
            table.row("ours/ser2net, %s / %s" % (mode, their_mode),
                      "throughput %.2f, median latency %.2f, p99 latency %.2f"
                      % (mbs / tmbs, report.median(lat) / report.median(tlat),
                         report.p99(lat) / report.p99(tlat)), "", None)


# --- what one wake-up costs

def callgrind_run(unit, seconds, out_dir):
    """tolvane under callgrind for seconds after start-up; returns (profile, wake-ups in
    those seconds)."""
    out = "/tmp/callgrind.out.%d" % seconds
    p = unit.start(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                    rig.binary("tolvane")])
    if not p.wait_for(re.compile(r"(MyServer: listen\n.*){5}", re.S), timeout=120):
        raise RuntimeError("tolvane under callgrind did not start:\n" + p.stderr_text())
    pid = program_pid(unit, "callgrind")
    # Counted from here, not from the start: start-up's switches under valgrind vary from run
    # to run by more than an idle program's few wake-ups a second.
    switches = -proc_sample(pid)["switches"]
    time.sleep(seconds)
    switches += proc_sample(pid)["switches"]
    p.sigint()
    p.wait(60)
    profile = os.path.join(out_dir, os.path.basename(out))
    shutil.copy(os.path.join(unit.tmp, os.path.basename(out)), profile)
    return profile, switches


def annotate(profile, inclusive):
    """{file:function [object]: instructions} of a callgrind profile."""
    return report.callgrind_functions(subprocess.run(
        ["callgrind_annotate", "--auto=no", "--tree=none", "--threshold=100",
         "--inclusive=" + ("yes" if inclusive else "no"), profile],
        stdout=subprocess.PIPE, text=True, check=True).stdout)


def measure_wakeup(pair, out_dir, table):
    """Two idle runs of different length under callgrind (A in server mode, no peer); their
    difference is the idle cost without start-up and shut-down, split by function."""
    pair.stop()
    short, sw_short = callgrind_run(pair.a, 5, out_dir)
    long, sw_long = callgrind_run(pair.a, 25, out_dir)
    wakeups = max(sw_long - sw_short, 1)

    def per_wakeup(inclusive):
        fs, fl = annotate(short, inclusive), annotate(long, inclusive)
        return {k: (fl[k] - fs.get(k, 0)) / wakeups for k in fl}

    own = per_wakeup(False)
    total = sum(own.values())
    table.row("instructions per wake-up, A idle",
              "%.0f user-space instructions (%d wake-ups in 20 s, callgrind)"
              % (total, wakeups), "", None)
    by_lib = {}
    for k, v in own.items():
        lib = report.callgrind_library(k)
        by_lib[lib] = by_lib.get(lib, 0) + v
    table.note("per wake-up by object: " + ", ".join(
        "%s %.0f" % (lib, v) for lib, v in sorted(by_lib.items(), key=lambda kv: -kv[1])[:6]))
    table.note("per wake-up, top functions (self instructions, share):")
    for name, v in sorted(own.items(), key=lambda kv: -kv[1])[:10]:
        table.note("  %6.0f %5.1f %%  %s" % (v, 100.0 * v / total,
                                           report.callgrind_function(name)[:90]))
    table.note("per wake-up, tolvane's own code with what it calls (inclusive):")
    inclusive = {}
    for k, v in per_wakeup(True).items():
        name = report.callgrind_function(k)
        # The same function can show under two file names (inlined copies): not a sum.
        if report.callgrind_library(k) == "tolvane" and not re.search(
                r"^(main|\(below main\)|0x)|qt_static_metacall|qt_metacall", name):
            inclusive[name] = max(v, inclusive.get(name, 0))
    for name, v in sorted(inclusive.items(), key=lambda kv: -kv[1])[:6]:
        table.note("  %6.0f %5.1f %%  %s" % (v, 100.0 * v / total, name[:90]))


def main():
    args = parse_args()
    if os.geteuid() != 0:
        sys.exit("the benchmark needs root (namespaces, mounts)")
    os.environ["TOLVANE_BUILD_DIR"] = os.path.abspath(args.build)
    install_packages()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # 1,000 web clients, both ends
    out_dir = os.path.join(os.path.abspath(args.build), "bench")
    os.makedirs(out_dir, exist_ok=True)
    with open(rig.binary("tolvane"), "rb") as f:
        knows_immediate = IMMEDIATE_KEY in f.read()

    table = report.Table()
    plots = report.Plots(out_dir)
    table.note("machine: %s" % report.machine())
    data = random.Random(1).randbytes(args.megabytes << 20)
    with rig.Sandbox() as sb:
        pair = Pair(sb)
        try:
            run_all(pair, args, data, knows_immediate, out_dir, table, plots)
        finally:
            pair.stop()
            pair.close()
    table.print()
    for path in plots.write():
        print("plot:", path)
    table.save(os.path.join(out_dir, "table.txt"))


def phase(table, name):
    table.note("%s: load average %s" % (name, loadavg()))
    print("..", name, flush=True)


def run_all(pair, args, data, knows_immediate, out_dir, table, plots):
    pair.start()
    phase(table, "idle")
    measure_idle(pair, args.idle_seconds, table)
    phase(table, "GPIO mirror")
    measure_mirror(pair, args.samples, "GPIO mirror A->B, quiet", table, plots, 2, 0.5)
    web = has_web_protocol(pair.a)
    if not web:
        table.note("this build greets no web client: web figures left out")
    if web:
        # Before any RS-232 traffic: the activity flag's fall would add a broadcast.
        phase(table, "web fan-out")
        measure_fanout(pair, 100, 300, table, plots)
        measure_fanout(pair, 1000, 200, table, plots)
    phase(table, "GPIO mirror under load")
    measure_loaded_mirror(pair, args.samples, web, table, plots)
    phase(table, "RS-232 between the units")
    pair_lat = {"poll": measure_pair_rs232(pair, args, data, "poll", table, plots)}
    ours = {"poll": measure_link_peer(pair, args, data, "poll", table, plots)}
    phase(table, "ser2net")
    theirs = {"chardelay default": measure_ser2net(pair, args, data, True, table, plots),
              "chardelay false": measure_ser2net(pair, args, data, False, table, plots)}
    if args.rs232_immediate:
        if not knows_immediate:
            table.note("this tolvane does not know rs232_immediate: the key is ignored")
        phase(table, "RS-232 with rs232_immediate=1")
        pair.stop()
        pair.configure(immediate=True)
        pair.start()
        pair_lat["immediate"] = measure_pair_rs232(pair, args, data, "immediate", table, plots)
        ours["immediate"] = measure_link_peer(pair, args, data, "immediate", table, plots)
        pair.configure(immediate=False)
    phase(table, "floor of this machine")
    floor = measure_floor(pair, args, table, plots)
    compare(table, ours, theirs)
    compare_floor(table, pair_lat, floor)
    if not args.no_callgrind:
        phase(table, "wake-up cost")
        measure_wakeup(pair, out_dir, table)


if __name__ == "__main__":
    main()
