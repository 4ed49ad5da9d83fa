"""The Debian package on a Debian 12 system: installed into a chroot (an overlay over a cached
debootstrap tree, so the tree stays clean), started by its init script, reinstalled over
itself, purged. Run by scripts/package-test.sh, which builds the package and the chroot:
TOLVANE_DEB names the .deb, TOLVANE_CHROOT the tree."""

import os
import re
import shutil
import stat
import subprocess
import unittest

import rig

BOOT_ENV = ["env", "-i", "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"]
SETTINGS = "[General]\nsystem_mode=2\n"
# What dpkg itself and the test change in the tree; nothing else may stay after a purge.
BOOKKEEPING = ("var/lib/dpkg/", "var/log/", "var/cache/", "etc/ld.so.cache", "root/.config/",
               "tmp/", "usr/sbin/policy-rc.d", "proc")


def sh(*argv):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


class DebianPackage(unittest.TestCase):
    def setUp(self):
        self.deb = os.environ["TOLVANE_DEB"]
        self.lower = os.environ["TOLVANE_CHROOT"]
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("board")
        base = os.path.join(self.unit.dir, "chroot")
        self.upper, work, self.root = base + "/upper", base + "/work", base + "/root"
        for d in (self.upper, work, self.root):
            os.makedirs(d)
        r = sh("mount", "-t", "overlay", "tolvane-chroot", "-o",
               "lowerdir=%s,upperdir=%s,workdir=%s" % (self.lower, self.upper, work), self.root)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.addCleanup(sh, "umount", "--lazy", self.root)
        self.assertEqual(sh("mount", "-t", "proc", "proc", self.root + "/proc").returncode, 0)
        self.addCleanup(sh, "umount", "--lazy", self.root + "/proc")
        # Package scripts start no service by themselves here; the test calls the init script.
        with open(self.root + "/usr/sbin/policy-rc.d", "w") as f:
            f.write("#!/bin/sh\nexit 101\n")
        os.chmod(self.root + "/usr/sbin/policy-rc.d", 0o755)
        shutil.copy(self.deb, self.root + "/tmp/tolvane.deb")
        os.makedirs(self.root + "/root/.config", exist_ok=True)
        with open(self.settings_path, "w") as f:
            f.write(SETTINGS)

    @property
    def settings_path(self):
        return self.root + "/root/.config/config.conf"

    def settings(self):
        with open(self.settings_path) as f:
            return f.read()

    def chroot(self, *argv):
        """Runs argv inside the chroot and the unit's network namespace, as at boot."""
        return self.unit.spawn(BOOT_ENV + ["chroot", self.root] + list(argv))

    def chroot_run(self, *argv):
        p = self.chroot(*argv)
        status = p.wait(120)
        return status, p.stdout_text() + p.stderr_text()

    def inside(self, path):
        """Host path of a path inside the chroot, its absolute symbolic links (/var/run ->
        /run) resolved inside the chroot."""
        host = self.root
        for part in path.strip("/").split("/"):
            host = os.path.join(host, part)
            while os.path.islink(host):
                target = os.readlink(host)
                host = (self.root + target) if target.startswith("/") else \
                    os.path.join(os.path.dirname(host), target)
        return host

    def pid(self, name="tolvane"):
        try:
            with open(self.inside("/var/run/%s.pid" % name)) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def exe(self, name="tolvane"):
        try:
            return os.readlink("/proc/%d/exe" % self.pid(name))
        except (OSError, TypeError):
            return None

    def leftovers(self):
        """Entries of the overlay's upper layer that are neither dpkg's bookkeeping, nor a
        deletion (whiteout), nor a folder of the base tree."""
        out = []
        for d, dirs, files in os.walk(self.upper):
            for name in dirs + files:
                path = os.path.join(d, name)
                rel = os.path.relpath(path, self.upper)
                st = os.lstat(path)
                if stat.S_ISCHR(st.st_mode) and st.st_rdev == 0:
                    continue
                if stat.S_ISDIR(st.st_mode) and os.path.isdir(os.path.join(self.lower, rel)):
                    continue
                if rel.startswith(BOOKKEEPING) or (rel + "/").startswith(BOOKKEEPING):
                    continue
                out.append(rel)
        return sorted(out)

    def test_install_start_stop_reinstall_purge(self):
        status, out = self.chroot_run("dpkg", "-i", "/tmp/tolvane.deb")
        self.assertEqual(status, 0, out)
        self.assertTrue([n for n in os.listdir(self.root + "/etc/rc2.d")
                         if re.fullmatch(r"S\d\dtolvane", n)], os.listdir(self.root + "/etc/rc2.d"))
        self.assertEqual(self.settings(), SETTINGS)

        status, out = self.chroot_run("/etc/init.d/tolvane", "start")
        self.assertEqual(status, 0, out)
        # The pid file is written before start-stop-daemon execs the program.
        self.assertTrue(rig.wait_until(lambda: self.exe() == self.root + "/usr/bin/tolvane",
                                       timeout=10), out)
        pid = self.pid()
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            self.assertEqual(f.read().split(b"\0")[1:2], [b"-w"])
        with open("/proc/%d/environ" % pid, "rb") as f:
            self.assertIn(b"HOME=/root", f.read().split(b"\0"))
        panel = self.unit.connect_tcp(10010, timeout=10)
        self.addCleanup(panel.close)
        panel.settimeout(10)
        self.assertEqual(rig.recv_exactly(panel, 8), rig.PANEL_HANDSHAKE)
        status, out = self.chroot_run("/etc/init.d/tolvane", "status")
        self.assertEqual((status, out.strip()), (0, "tolvane is running"))

        status, out = self.chroot_run("/etc/init.d/tolvane", "stop")
        self.assertEqual(status, 0, out)
        self.assertTrue(rig.wait_until(lambda: not os.path.exists("/proc/%d" % pid)))
        self.assertIsNone(self.pid())
        status, out = self.chroot_run("/etc/init.d/tolvane", "status")
        self.assertEqual(status, 3, out)

        status, out = self.chroot_run("/etc/init.d/vantrel-ip", "start")
        self.assertEqual(status, 0, out)
        self.assertTrue(rig.wait_until(
            lambda: self.exe("vantrel-ip") == self.root + "/usr/bin/vantrel-ip", timeout=10), out)
        pid = self.pid("vantrel-ip")
        status, out = self.chroot_run("/etc/init.d/vantrel-ip", "stop")
        self.assertEqual(status, 0, out)
        self.assertTrue(rig.wait_until(lambda: not os.path.exists("/proc/%d" % pid)))

        # An upgrade (the same version over itself) keeps the settings.
        status, out = self.chroot_run("dpkg", "-i", "/tmp/tolvane.deb")
        self.assertEqual(status, 0, out)
        self.assertEqual(self.settings(), SETTINGS)

        status, out = self.chroot_run("dpkg", "--purge", "tolvane")
        self.assertEqual(status, 0, out)
        self.assertEqual(self.settings(), SETTINGS)
        status, out = self.chroot_run("dpkg-query", "-W", "tolvane")
        self.assertNotEqual(status, 0, out)
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
