#!/usr/bin/env python3
"""Lists a tolvane .deb with dpkg-deb and checks it: the files an installer needs are there,
the programs are built for the package's architecture, the start-up scripts name programs
the package ships, and Depends names exactly the packages that provide the shared libraries
the programs link (found through dpkg for the host's architecture, through the sysroot's
downloaded packages for another).

Usage: check-deb.py PACKAGE.deb [--contents FILE]
FILE: which package ships which file, for the target architecture (lines "package ./path",
as scripts/armhf-sysroot.sh writes beside the sysroot); without it the host's dpkg answers.
Exit status 0 when every check holds; the failed checks otherwise.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

EXPECTED = [
    "usr/bin/tolvane", "usr/bin/mcu-probe", "usr/bin/vantrel-ip", "usr/bin/snmp-relay",
    "etc/init.d/tolvane", "etc/init.d/vantrel-ip",
    "usr/lib/systemd/system/tolvane.service", "usr/lib/systemd/system/vantrel-ip.service",
    "usr/share/snmp/mibs/TOLVANE-MIB.txt", "etc/tolvane/lighttpd.conf",
]
CONTROL = ["postinst", "prerm", "postrm", "conffiles"]
MACHINE = {"armhf": "ARM", "amd64": "Advanced Micro Devices X86-64"}


def run(*argv):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, text=True).stdout


def needed(path):
    """Shared libraries an ELF file names, or None for a file that is not ELF."""
    with open(path, "rb") as f:
        if f.read(4) != b"\x7fELF":
            return None
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", run("readelf", "-d", path))


def machine(path):
    return re.search(r"Machine:\s+(.*)", run("readelf", "-h", path)).group(1).strip()


def providers_from_index(index, sonames):
    """soname -> package, from lines "package ./path" (armhf-sysroot.sh's contents.txt)."""
    found = {}
    with open(index) as f:
        for line in f:
            pkg, _, path = line.strip().partition(" ")
            name = os.path.basename(path)
            if name in sonames and "/lib/" in path:
                found.setdefault(name, pkg)
    return found


def providers_from_dpkg(sonames):
    """soname -> package, from the host's dpkg database (its own architecture only: cross
    toolchains and 32-bit libraries ship the same names)."""
    multiarch = run("dpkg-architecture", "-qDEB_HOST_MULTIARCH").strip()
    found = {}
    for soname in sonames:
        out = subprocess.run(["dpkg", "-S", "*/" + soname], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout
        for line in out.splitlines():
            pkg, path = line.split(": ", 1)
            if os.path.basename(path) == soname and "/lib/%s/" % multiarch in path:
                found[soname] = pkg.split(":")[0]
                break
    return found


def depends_names(field):
    names = set()
    for item in filter(None, (s.strip() for s in field.split(","))):
        names.add(re.split(r"[\s(:]", item.split("|")[0].strip())[0])
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("deb")
    ap.add_argument("--contents", help="the target architecture's file index")
    args = ap.parse_args()
    failures = []

    def check(ok, what):
        print(("ok    " if ok else "FAIL  ") + what)
        if not ok:
            failures.append(what)

    info = run("dpkg-deb", "--info", args.deb)
    contents = run("dpkg-deb", "--contents", args.deb)
    print(info + contents)
    arch = run("dpkg-deb", "-f", args.deb, "Architecture").strip()
    depends = run("dpkg-deb", "-f", args.deb, "Depends").strip()

    with tempfile.TemporaryDirectory() as tmp:
        root, control = os.path.join(tmp, "root"), os.path.join(tmp, "DEBIAN")
        run("dpkg-deb", "-x", args.deb, root)
        run("dpkg-deb", "-e", args.deb, control)
        for f in EXPECTED:
            check(os.path.isfile(os.path.join(root, f)), "ships /" + f)
        for f in CONTROL:
            check(os.path.isfile(os.path.join(control, f)), "control file " + f)
        with open(os.path.join(control, "conffiles")) as f:
            for conffile in f.read().split():
                check(os.path.isfile(root + conffile), "conffile shipped: " + conffile)
        for script in ("tolvane", "vantrel-ip"):
            with open(os.path.join(root, "etc/init.d", script)) as f:
                daemon = re.search(r"^DAEMON=(\S+)", f.read(), re.M).group(1)
            check(os.access(root + daemon, os.X_OK), "init.d/%s runs %s, shipped" % (script, daemon))

        sonames = set()
        for d, _, files in os.walk(root):
            for f in files:
                path = os.path.join(d, f)
                if os.path.islink(path):
                    continue
                libs = needed(path)
                if libs is None:
                    continue
                rel = os.path.relpath(path, root)
                check(machine(path) == MACHINE.get(arch), "%s built for %s" % (rel, arch))
                sonames.update(libs)

    provider = providers_from_index(args.contents, sonames) if args.contents else providers_from_dpkg(sonames)
    for soname in sorted(sonames):
        check(soname in provider, "%s comes from package %s" % (soname, provider.get(soname, "?")))
    wanted, declared = set(provider.values()), depends_names(depends)
    print("Depends: " + depends)
    check(wanted <= declared, "Depends names every library package (missing: %s)"
          % ", ".join(sorted(wanted - declared)))
    check(declared <= wanted, "Depends names nothing the programs do not link (extra: %s)"
          % ", ".join(sorted(declared - wanted)))
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
