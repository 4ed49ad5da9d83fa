"""The web page (web/) in Debian's headless chromium against real units: the controller's
states and the configured names on the page, an output switched from it, settings saved and
shown after a reload, the switches locked outside standalone mode, the page through a
restart of tolvane, a pair of units seen from the client's page, and the optional features:
the access key, the outputs' safe state and the event history. Screenshots of every
state go to <build>/web-screenshots."""

import configparser
import csv
import datetime
import os
import re
import time
import unittest

import browser
import rig

DESKTOP = {"width": 1280, "height": 900}
PHONE = {"width": 390, "height": 844}


def config_text(mode, dst_ip="", general=""):
    return ("[General]\ndst_ip=%s\nsystem_mode=%d\n%s\n[gpio_names]\n"
            "gpi_name_0=Door\ngpi_name_7=Smoke alarm\ngpo_name_2=Siren\n" % (dst_ip, mode, general))


def read_config(path):
    config = configparser.ConfigParser(interpolation=None)
    config.optionxform = str
    config.read(path)
    return config


class WebPage(unittest.TestCase):
    def setUp(self):
        why = browser.missing_tools()
        if why:
            self.fail("the page cannot be tested here: " + why)
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)

    def unit(self, name, mode, dst_ip="", general=""):
        unit = self.sb.unit(name)
        unit.write_config(config_text(mode, dst_ip, general))
        unit.line = self.sb.mcu_line(unit)
        return unit

    def start(self, unit):
        before = len(unit.line.messages())
        unit.tolvane = unit.start_tolvane()
        # input and version requests, outputs off
        self.assertEqual(len(unit.line.messages(before + 3)), before + 3)

    def page(self, unit, connected=True):
        """The unit's page, served inside the unit and open in a browser there, once it
        shows the unit's settings (unless connected is False)."""
        url = browser.serve_page(unit)
        b = browser.Browser(unit)
        self.addCleanup(b.close)
        b.goto(url=url)
        if not connected:
            return b
        self.assertTrue(rig.wait_until(lambda: b.attr(selector="#connection", name="data-state") == "open"))
        self.assertEqual(b.wait_text("#version", "1.9-r1 (Jun 24 2024)"), "1.9-r1 (Jun 24 2024)")
        return b

    def shot(self, b, name, viewport=DESKTOP):
        b.viewport(**viewport)
        b.screenshot(path=os.path.join(browser.shots_dir(), name + ".png"))

    def assertAccessible(self, b):
        bad = [v for v in b.axe() if v["impact"] in ("serious", "critical")]
        self.assertEqual(bad, [])

    def outputs_sent(self, unit, before, timeout=3.0):
        """Output states of the output commands the controller got after message number before."""
        rig.wait_until(lambda: any(m[0] == 5 for m in unit.line.messages()[before:]), timeout)
        return [list(m[1:]) for m in unit.line.messages()[before:] if m[0] == 5]

    def test_states_names_and_an_output_in_standalone_mode(self):
        a = self.unit("a", 2)
        self.start(a)
        a.line.send(b"\x02" + b"4.7-sim".ljust(30, b"\0"))   # the controller's version report
        time.sleep(0.3)
        b = self.page(a)
        for selector, name in [("#gpi-1-name", "Door"), ("#gpi-8-name", "Smoke alarm"),
                               ("#gpi-2-name", "GPI 2"), ("#gpo-3-name", "Siren"), ("#gpo-1-name", "GPO 1")]:
            self.assertEqual(b.wait_text(selector, name), name)
        self.assertEqual(b.text(selector="#version2"), "4.7-sim")

        a.line.send_gpi([1, 0, 0, 0, 0, 0, 0, 1])
        self.assertEqual(b.wait_text("#gpi-8 .state-text", "On"), "On")
        self.assertEqual([b.text(selector="#gpi-%d .state-text" % n) for n in range(1, 9)],
                         ["On"] + ["Off"] * 6 + ["On"])
        self.assertEqual(b.attr(selector="#gpi-1", name="data-on"), "true")   # the filled shape
        self.assertFalse(b.visible(selector="#outputs-why"))
        self.assertFalse(b.disabled(selector="#gpo-3 button"))
        self.assertFalse(b.visible(selector="#failsafe"))
        self.assertRegex(b.text(selector="#history-note"), "history is off on this unit")
        self.assertTrue(b.disabled(selector="#history-refresh"))

        before = len(a.line.messages())
        b.click(selector="#gpo-3 button")
        self.assertEqual(self.outputs_sent(a, before), [[0, 0, 1, 0, 0, 0, 0, 0]])
        self.assertEqual(b.wait_text("#gpo-3 .state-text", "On"), "On")
        self.assertEqual(b.attr(selector="#gpo-3 button", name="aria-checked"), "true")
        self.shot(b, "standalone-desktop")
        self.assertAccessible(b)
        self.shot(b, "standalone-phone", PHONE)
        self.assertAccessible(b)

        # The keyboard switches it back.
        before = len(a.line.messages())
        b.focus(selector="#gpo-3 button")
        b.press(key="Space")
        self.assertEqual(self.outputs_sent(a, before), [[0] * 8])
        self.assertEqual(b.wait_text("#gpo-3 .state-text", "Off"), "Off")
        self.assertEqual(b.console_errors(), [])

    def test_settings_saved_and_shown_after_reload(self):
        a = self.unit("a", 2)
        self.start(a)
        b = self.page(a)
        written = os.stat(a.config_path).st_mtime_ns
        b.fill(selector="#gpi_names-0", value="Front door")
        b.select(selector="select[name=system_mode]", value=0)
        b.fill(selector="input[name=dst_ip]", value="10.0.0")      # not an address
        b.click(selector="#settings-form button[type=submit]")
        self.assertRegex(b.wait_text("#save-status", re.compile("Not saved")), "Not saved")
        self.assertEqual(b.attr(selector="input[name=dst_ip]", name="aria-invalid"), "true")
        self.assertEqual(b.focused(), b.attr(selector="input[name=dst_ip]", name="id"))
        self.shot(b, "settings-refused", PHONE)
        time.sleep(0.5)
        self.assertEqual(os.stat(a.config_path).st_mtime_ns, written, "nothing may be sent")

        b.viewport(**DESKTOP)
        b.fill(selector="input[name=dst_ip]", value="10.0.0.9")
        b.select(selector="select[name=baudrate]", value=4)
        b.select(selector="select[name=parity]", value=2)
        b.click(selector="#settings-form button[type=submit]")
        self.assertEqual(b.wait_text("#save-status", "Saved."), "Saved.")
        config = read_config(a.config_path)
        self.assertEqual(dict(config["General"]), {"dst_ip": "10.0.0.9", "system_mode": "0",
                                                   "baudrate": "4", "parity": "2"})
        names = config["gpio_names"]
        self.assertEqual([names["gpi_name_%d" % n] for n in range(8)],
                         ["Front door"] + ["GPI %d" % n for n in range(2, 8)] + ["Smoke alarm"])
        self.assertEqual(names["gpo_name_2"], "Siren")
        self.shot(b, "settings-saved")

        b.reload()
        self.assertEqual(b.wait_text("#gpi-1-name", "Front door"), "Front door")
        self.assertTrue(rig.wait_until(lambda: b.value(selector="input[name=dst_ip]") == "10.0.0.9"))
        self.assertEqual(b.value(selector="select[name=baudrate]"), "4")
        self.assertEqual(b.value(selector="#gpi_names-0"), "Front door")
        self.assertRegex(b.text(selector="#outputs-why"), "^Client mode.*10.0.0.9")

    def test_switches_locked_in_server_mode(self):
        a = self.unit("a", 1)
        self.start(a)
        b = self.page(a)
        self.assertRegex(b.wait_text("#outputs-why", re.compile("Server mode")), "standalone mode")
        for n in range(1, 9):
            self.assertTrue(b.disabled(selector="#gpo-%d button" % n))
        self.assertEqual(b.attr(selector="#gpo-1 button", name="aria-describedby"), "outputs-why")
        self.shot(b, "server-mode")
        self.assertAccessible(b)

    def test_tolvane_restart_shows_disconnection_and_recovers(self):
        a = self.unit("a", 2)
        self.start(a)
        b = self.page(a)
        a.tolvane.sigint()
        self.assertEqual(a.tolvane.wait(15), 0)
        self.assertNotRegex(a.tolvane.stderr_text(), "runtime error|AddressSanitizer")
        self.assertTrue(rig.wait_until(lambda: b.attr(selector="#connection", name="data-state") == "closed", 5))
        self.assertRegex(b.text(selector="#connection"), "Disconnected")
        self.assertTrue(b.disabled(selector="#gpo-1 button"))
        self.assertEqual(b.text(selector="#gpi-1 .state-text"), "Unknown")
        self.shot(b, "disconnected")
        self.shot(b, "disconnected-phone", PHONE)
        self.assertAccessible(b)

        b.viewport(**DESKTOP)
        self.start(a)
        self.assertTrue(rig.wait_until(lambda: b.attr(selector="#connection", name="data-state") == "open", 15))
        a.line.send_gpi([0, 0, 0, 0, 0, 0, 1, 0])
        self.assertEqual(b.wait_text("#gpi-7 .state-text", "On"), "On")
        self.assertFalse(b.disabled(selector="#gpo-1 button"))
        self.shot(b, "reconnected")

    def test_input_on_server_unit_shows_on_client_page_within_a_second(self):
        a = self.unit("a", 1)
        client = self.unit("b", 0, "10.77.0.1")
        self.sb.link(a, client, "10.77.0.1/24", "10.77.0.2/24")
        self.start(a)
        self.start(client)
        b = self.page(client)
        self.assertRegex(b.wait_text("#link .value", re.compile("^Connected"), 10), "^Connected")
        for n in (3, 6):
            states = [0] * 8
            states[n - 1] = 1
            sent = time.monotonic()
            a.line.send_gpi(states)
            self.assertEqual(b.wait_text("#gpo-%d .state-text" % n, "On", 1.0), "On")
            self.assertLess(time.monotonic() - sent, 1.0)
        self.assertTrue(b.disabled(selector="#gpo-6 button"))
        self.assertRegex(b.text(selector="#outputs-why"), "^Client mode.*10.77.0.1")
        self.shot(b, "pair-client")

    def test_access_key_asked_once_wrong_key_said_so_right_key_connects(self):
        a = self.unit("a", 2, general="web_key=open sesame\n")
        self.start(a)
        b = self.page(a, connected=False)
        self.assertTrue(rig.wait_until(lambda: b.visible(selector="#key-dialog"), 10))
        self.assertRegex(b.text(selector="#key-why"), "asks for an access key")
        self.assertEqual(b.focused(), "key-input")
        self.shot(b, "key-asked")
        self.assertAccessible(b)

        b.fill(selector="#key-input", value="open")
        b.press(key="Enter")
        self.assertRegex(b.wait_text("#key-why", re.compile("wrong"), 10), "That key was wrong")
        self.assertTrue(b.visible(selector="#key-dialog"))
        self.shot(b, "key-wrong", PHONE)
        self.assertAccessible(b)

        b.viewport(**DESKTOP)
        b.fill(selector="#key-input", value="open sesame")
        b.click(selector="#key-form button[type=submit]")
        self.assertTrue(rig.wait_until(lambda: b.attr(selector="#connection", name="data-state") == "open", 10))
        self.assertFalse(b.visible(selector="#key-dialog"))
        a.line.send_gpi([0, 1, 0, 0, 0, 0, 0, 0])
        self.assertEqual(b.wait_text("#gpi-2 .state-text", "On"), "On")
        self.assertEqual(b.value(selector="input[name=web_key]"), "open sesame")

        # Kept for the tab: a reload connects without asking.
        b.reload()
        self.assertEqual(b.wait_text("#gpi-2 .state-text", "On", 10), "On")
        self.assertFalse(b.visible(selector="#key-dialog"))
        self.shot(b, "key-accepted")
        self.assertEqual(b.console_errors(), [])

    def test_history_lists_input_and_output_changes_newest_first_and_saves_csv(self):
        a = self.unit("a", 2, general="event_history=1\n")
        self.start(a)
        b = self.page(a)
        started = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(seconds=5)
        a.line.send_gpi([1, 0, 0, 0, 0, 0, 0, 0])
        self.assertEqual(b.wait_text("#gpi-1 .state-text", "On"), "On")
        b.click(selector="#gpo-3 button")
        self.assertEqual(b.wait_text("#gpo-3 .state-text", "On"), "On")

        b.click(selector="#history-refresh")
        wanted = ["Output 3: 0 → 1 (web)", "Input 1: 0 → 1 (controller)"]

        def rows():
            return [re.sub(r"^.*?(Input|Output)", r"\1", t) for t in b.texts(selector="#history-list li")
                    if re.search("Input|Output", t)]
        self.assertTrue(rig.wait_until(lambda: rows()[:2] == wanted), rows())
        self.assertRegex(b.text(selector="#history-note"), "newest first")
        self.shot(b, "history")
        self.assertAccessible(b)

        path = os.path.join(a.dir, "history.csv")
        name = b.download(selector="#history-csv", path=path)
        self.assertRegex(name, r"\.csv$")
        with open(path, newline="", encoding="utf-8") as f:
            table = list(csv.reader(f))
        self.assertEqual(table[0], ["time", "what", "old", "new", "source"])
        io_rows = [r for r in table[1:] if r[1].startswith(("gpi", "gpo"))]
        self.assertEqual([r[1:] for r in io_rows[:2]],
                         [["gpo 3", "0", "1", "web"], ["gpi 1", "0", "1", "controller"]])
        times = [datetime.datetime.fromisoformat(r[0].replace("Z", "+00:00")) for r in io_rows[:2]]
        self.assertGreaterEqual(times[0], times[1])
        self.assertGreater(times[1], started)

    def test_safe_state_shown_while_the_link_is_down(self):
        a = self.unit("a", 0, "10.77.0.9", general="failsafe_timeout=1\nfailsafe_gpo=1,0,0,0,0,0,0,1\n")
        self.start(a)
        b = self.page(a)
        self.assertTrue(rig.wait_until(lambda: b.visible(selector="#failsafe"), 10))
        self.assertRegex(b.text(selector="#failsafe"), "safe state")
        self.assertEqual(b.wait_text("#gpo-8 .state-text", "On"), "On")
        self.assertEqual(b.value(selector="input[name=failsafe_timeout]"), "1")
        self.shot(b, "failsafe")
        self.assertAccessible(b)


if __name__ == "__main__":
    unittest.main()
