"""The benchmark's output: the printed table, the CDF plots (gnuplot) and small statistics."""

import os
import re
import subprocess


def quantile(values, q):
    """Nearest-rank quantile (q in 0..1) of a list of numbers."""
    s = sorted(values)
    return s[min(len(s) - 1, max(0, int(round(q * len(s) + 0.5)) - 1))]


def median(values):
    return quantile(values, 0.5)


def p99(values):
    return quantile(values, 0.99)


def machine():
    cpu = subprocess.run(["lscpu"], stdout=subprocess.PIPE, text=True).stdout
    model = re.search(r"Model name:\s*(.*)", cpu)
    count = re.search(r"^CPU\(s\):\s*(\d+)", cpu, re.M)
    with open("/proc/meminfo") as f:
        mem_kb = int(f.readline().split()[1])
    return "%s, %s CPUs, %.1f GB, Linux %s" % (
        model.group(1).strip() if model else "?", count.group(1) if count else "?",
        mem_kb / 2**20, os.uname().release)


class Table:
    """Rows of figure, value, target and verdict, plus notes, printed in the order added."""

    def __init__(self):
        self._lines = []

    def row(self, label, value, target="", ok=None):
        verdict = "" if ok is None else ("ok" if ok else "MISSED")
        self._lines.append(("row", label, value, target, verdict))
        print("  %s: %s" % (label, value), flush=True)

    def latency_row(self, label, ns, target="", ok=None):
        ms = [v / 1e6 for v in ns]
        self.row(label, "n=%-4d min %.3f  median %.3f  p99 %.3f  max %.3f ms"
                 % (len(ms), min(ms), median(ms), p99(ms), max(ms)), target, ok)

    def note(self, text):
        self._lines.append(("note", text))

    def text(self):
        rows = [l for l in self._lines if l[0] == "row"]
        width = max((len(r[1]) for r in rows), default=10)
        out = []
        for line in self._lines:
            if line[0] == "note":
                out.append("# " + line[1])
            else:
                _, label, value, target, verdict = line
                tail = "  [%s%s]" % (target + ": " if target else "", verdict) if verdict else ""
                out.append("%-*s  %s%s" % (width, label, value, tail))
        return "\n".join(out) + "\n"

    def print(self):
        print("\n" + self.text(), end="", flush=True)

    def save(self, path):
        with open(path, "w") as f:
            f.write(self.text())


class Plots:
    """Latency distributions as CDFs (log time axis), one PNG per group of figures."""

    TITLES = {
        "gpio": "GPIO mirror: input report on A's line to output command on B's",
        "serial": "RS-232 one-byte latency (tolvane pair, tolvane to link peer, ser2net)",
        "fanout": "Web fan-out: input report to the gpio message at the last client",
    }

    def __init__(self, out_dir):
        self.out_dir = out_dir
        self._series = {}

    def add(self, group, label, ns):
        self._series.setdefault(group, []).append((label, sorted(v / 1e6 for v in ns)))

    def write(self):
        paths = []
        for group, series in self._series.items():
            paths.append(self._plot(group, series))
        return paths

    def _plot(self, group, series):
        data_files = []
        for i, (label, ms) in enumerate(series):
            path = os.path.join(self.out_dir, "%s-%d.dat" % (group, i))
            with open(path, "w") as f:
                for k, v in enumerate(ms):
                    f.write("%.6f %.6f\n" % (max(v, 1e-3), (k + 1) / len(ms)))
            data_files.append((path, label))
        png = os.path.join(self.out_dir, "latency-%s.png" % group)
        plot = ", ".join("'%s' using 1:2 with steps lw 2 title '%s'" % (p, l.replace("'", ""))
                         for p, l in data_files)
        script = ("set terminal pngcairo size 1100,750 font 'sans,10'\n"
                  "set output '%s'\nset title \"%s\"\nset logscale x\n"
                  "set xlabel 'latency (ms, log scale)'\nset ylabel 'fraction of samples'\n"
                  "set yrange [0:1.02]\nset grid\nset key outside below\n"
                  "set arrow from graph 0, first 0.99 to graph 1, first 0.99 nohead dt 2\n"
                  "plot %s\n" % (png, self.TITLES.get(group, group), plot))
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
        return png


def callgrind_functions(annotated):
    """{function: instructions} from callgrind_annotate's per-function listing."""
    out = {}
    for line in annotated.splitlines():
        m = re.match(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(\S.*?)\s*$", line)
        if m and ":" in m.group(2) and "PROGRAM TOTALS" not in m.group(2):
            out[m.group(2)] = out.get(m.group(2), 0) + int(m.group(1).replace(",", ""))
    return out


def callgrind_library(entry):
    """The shared object of a callgrind_annotate entry ("[/usr/lib/.../libQt5Core.so.5]" at its
    end), or "tolvane" for the program's own code, which carries no such suffix."""
    m = re.search(r"\[([^\]]+)\]$", entry)
    return os.path.basename(m.group(1)).split(".so")[0] if m else "tolvane"


def callgrind_function(entry):
    """The function of a "file:function [object]" entry."""
    return re.sub(r"\s*\[[^\]]+\]$", "", entry.split(":", 1)[-1])
