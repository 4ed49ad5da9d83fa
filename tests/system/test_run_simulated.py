"""scripts/run-simulated.py as a user meets it: both pages reachable from this machine at the
addresses it prints, simulator commands and their errors on the terminal, an input of A
showing at B's controller, and Ctrl-C leaving no namespace behind."""

import os
import signal
import socket
import subprocess
import sys
import threading
import unittest
import urllib.request

import rig

SCRIPT = os.path.join(rig.SOURCE_DIR, "scripts", "run-simulated.py")


class RunSimulated(unittest.TestCase):
    def setUp(self):
        self.proc = subprocess.Popen([sys.executable, SCRIPT], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.addCleanup(self.stop)
        self.output = []
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for line in self.proc.stdout:
            self.output.append(line.decode(errors="replace"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()

    def wait_output(self, text, timeout=10.0):
        found = rig.wait_until(lambda: any(text in line for line in self.output), timeout)
        self.assertTrue(found, "%r not shown:\n%s" % (text, "".join(self.output)))

    def type(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def test_pair_pages_commands_and_clean_stop(self):
        self.wait_output("Open both addresses", 60)
        no_proxy = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        for address in ("10.77.11.2", "10.77.12.2"):
            self.assertIn("http://%s/" % address, "".join(self.output))
            with no_proxy.open("http://%s/" % address, timeout=5) as page:
                self.assertIn(b'src="js/main.js"', page.read())
            socket.create_connection((address, 8080), timeout=5).close()

        self.type("a bogus 1")
        self.wait_output("[a controller] mcu-sim: unknown command: bogus 1")
        self.type("bogus 1")
        self.wait_output("Start the line with the unit")
        self.wait_output("Handshake ok", 10)     # the pair is linked
        self.type("a toggle 3")
        self.wait_output("[b controller] gpo 0 0 1 0 0 0 0 0")

        self.proc.send_signal(signal.SIGINT)
        self.assertEqual(self.proc.wait(30), 0, "".join(self.output))
        self.reader.join(5)
        self.assertIn("tolvane of unit B ended with status 0\n", self.output)
        namespaces = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True).stdout
        self.assertNotIn("tvrig%d-" % self.proc.pid, namespaces)
        links = subprocess.run(["ip", "-o", "link"], stdout=subprocess.PIPE, text=True).stdout
        self.assertNotIn("tvh%d-" % (self.proc.pid % 100000), links)


if __name__ == "__main__":
    unittest.main()
