"""The tray program itself under an accessibility client, on a temporary
agent home: started as the desktop entry's "Configure" action starts it.

    program_test.py <build directory> <source directory>
"""

import sys
import time
import unittest
import xml.etree.ElementTree as ElementTree

import atspi_harness


ALREADY_RUNNING = ("An instance of Kestrel Agent Setting Tool is already running. "
                   "Multiple instances running at the same time are not supported.")


class ProgramThroughAccessibilityTest(atspi_harness.DesktopTest, unittest.TestCase):
    def end_tool(self, process, home):
        """Asks the tool to leave as the agent does, and waits for it."""
        home.set_registry("ToolTag", "1")
        self.assertEqual(self.desktop.finish(process, 30), 0, self.desktop.output(process))

    def test_second_start_says_the_tool_runs_or_hands_configure_over(self):
        d = self.desktop
        home = d.agent_home()
        first = d.start([home.program], home=home)
        d.application(first)
        # A plain second start says that the tool already runs.
        second = d.start([home.program], home=home)
        alert = d.wait_for(second, "Kestrel Agent Setting Tool", role="alert")
        d.find(alert, ALREADY_RUNNING, role="label")
        d.act(d.find(alert, "OK", role="push button"), "Press", wait=False)
        self.assertEqual(d.finish(second), 0, d.output(second))
        # With --configure it asks the running tool for its sheet and ends.
        third = d.start([home.program, "--configure"], home=home)
        self.assertEqual(d.finish(third), 0, d.output(third))
        sheet = d.wait_for(first, "Agent (opal-agent-demo)", role="dialog")
        d.act(d.find(sheet, "Cancel", role="push button"), "Press", wait=False)
        self.assertIsNone(first.poll(), "the running tool goes on")
        self.end_tool(first, home)

    def saved_network_config(self, home):
        root = ElementTree.fromstring(home.read("AgentLocalConfig.xml"))
        return root.find("NetworkConfig")

    def wait_for_change(self, home, before, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if home.read("AgentLocalConfig.xml") != before:
                return
            self.desktop.pump(0.1)
        self.fail("AgentLocalConfig.xml was not written")

    def test_configure_opens_the_sheet_and_ok_saves_what_was_typed(self):
        d = self.desktop
        home = d.agent_home()
        before = home.read("AgentLocalConfig.xml")
        tool = d.start([home.program, "--configure"], home=home)
        sheet = d.wait_for(tool, "Agent (opal-agent-demo)", role="dialog")
        # Both pages lie in the one window: no two controls there read alike.
        seen = [(n.get_role_name(), n.get_name()) for n in d.find_all(sheet) if n.get_name()]
        self.assertEqual(sorted({k for k in seen if seen.count(k) > 1}), [])
        self.assertIn(("page tab", "Advanced"), seen)
        d.type_into(d.find(sheet, "Server address:", role="text"), "mgmt.branch.example.org")
        d.type_into(d.find(sheet, "Server port:", role="text"), "8443")
        d.act(d.find(sheet, "OK", role="push button"), "Press", wait=False)
        self.wait_for_change(home, before)
        network = self.saved_network_config(home)
        self.assertEqual(network.findtext("ServerName"), "mgmt.branch.example.org")
        self.assertEqual(network.findtext("ServerPort"), "8443")
        # What was not touched is saved as it was loaded.
        self.assertEqual(network.findtext("HTTPProxy/ServerName"), "proxy.corp.example.com")
        self.assertEqual(d.find_all(d.application(tool), role="dialog", showing=True), [])
        self.end_tool(tool, home)


if __name__ == "__main__":
    atspi_harness.main()
