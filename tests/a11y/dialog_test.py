"""The dialog framework's controls as an accessibility client meets them on
a real display: found by their accessible names, filled in and pressed, and
the password edit giving away nothing of what was typed into it.

    dialog_test.py <build directory> <source directory> <dialog host>
"""

import sys
import unittest

import atspi_harness

BUILD, HOST = sys.argv[1], sys.argv[3]
SECRET = "pa55-Xy9q"


class DialogThroughAccessibilityTest(atspi_harness.DesktopTest, unittest.TestCase):
    def host(self, template, *options):
        return self.desktop.start([HOST, str(template)] + list(options))

    def results(self, process):
        self.assertEqual(self.desktop.finish(process), 0, self.desktop.output(process))
        lines = {}
        for line in self.desktop.output(process).splitlines():
            words = line.split(" ", 2)
            if words[0] in ("result", "edit", "check"):
                lines[" ".join(words[:-1])] = words[-1] if len(words) > 1 else ""
        return lines

    def test_fill_in_toggle_and_press_ok(self):
        d = self.desktop
        process = self.host(165, "--enable-all")
        window = d.wait_for(process, "HTTPS Settings", role="dialog")
        d.type_into(d.find(window, "Root CA certificate path:", role="text"), "/etc/ssl/ca.pem")
        box = d.find(window, "Web server requires client certificates", role="check box")
        self.assertFalse(d.has_state(box, "checked"))
        d.act(box, "Toggle")
        d.pump(0.2)
        self.assertTrue(d.has_state(box, "checked"))
        # The two Browse buttons are told apart by the group box around one.
        d.find(window, "Browse...", role="push button")
        d.find(window, "Client certificate: Browse...", role="push button")
        d.act(d.find(window, "OK", role="push button"), "Press", wait=False)
        got = self.results(process)
        self.assertEqual(got.get("result"), "1")
        self.assertEqual(got.get("edit 1039"), "/etc/ssl/ca.pem")
        self.assertEqual(got.get("check 1047"), "1")

    def test_cancel_keeps_nothing(self):
        d = self.desktop
        process = self.host(165)
        window = d.wait_for(process, "HTTPS Settings", role="dialog")
        d.act(d.find(window, "Cancel", role="push button"), "Press", wait=False)
        self.assertEqual(self.results(process).get("result"), "2")

    def test_password_edit_gives_away_nothing(self):
        d = self.desktop
        process = self.host(165, "--enable-all")
        window = d.wait_for(process, "HTTPS Settings", role="dialog")
        password = d.find(window, "Password:", role="password text")
        del d.events[:]
        d.type_into(password, SECRET)
        d.pump(0.5)
        self.assertNotIn(SECRET, d.text_of(password))
        leaks = [e for e in d.events if any(c in e[2] for c in SECRET)]
        self.assertEqual(leaks, [], "events carried the password")
        # Typing is still announced, one mask character for each typed.
        announced = [e[2] for e in d.events
                     if e[0] == "object:text-changed:insert" and e[1] == "Password:"]
        self.assertEqual([len(text) for text in announced], [len(SECRET)], d.events)
        # A plain edit's events do carry its text: the listener hears them.
        path = d.find(window, "Root CA certificate path:", role="text")
        d.type_into(path, "/visible/path")
        d.pump(0.5)
        self.assertTrue([e for e in d.events if "/visible/path" in e[2]], d.events)
        d.act(d.find(window, "OK", role="push button"), "Press", wait=False)
        self.assertEqual(self.results(process).get("edit 1042"), SECRET)

    def test_japanese_names_tell_the_two_http_buttons_apart(self):
        d = self.desktop
        process = self.host(131, "--language", BUILD + "/bin/Language/Lexidra.so")
        page = d.wait_for(process, "全般", role="dialog")
        server = d.find(page, "Kestrel サーバー: HTTP", role="radio button")
        proxy = d.find(page, "プロキシ サーバー: HTTP", role="radio button")
        d.act(proxy, "Toggle")
        d.pump(0.2)
        self.assertTrue(d.has_state(proxy, "checked"))
        self.assertFalse(d.has_state(server, "checked"))
        d.find(page, "サーバー アドレス:", role="text")
        atspi_harness.stop_process(process)


if __name__ == "__main__":
    atspi_harness.main()
