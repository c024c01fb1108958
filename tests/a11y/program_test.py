"""The tray program itself under an accessibility client, on a temporary
agent home: started as the desktop entry's "Configure" action starts it.

    program_test.py <build directory> <source directory>
"""

import sys
import unittest

import atspi_harness

BUILD, SOURCE = sys.argv[1:3]
ALREADY_RUNNING = ("An instance of Kestrel Agent Setting Tool is already running. "
                   "Multiple instances running at the same time are not supported.")


class ProgramThroughAccessibilityTest(unittest.TestCase):
    desktop = None

    @classmethod
    def setUpClass(cls):
        cls.desktop = atspi_harness.Desktop(BUILD, SOURCE).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.__exit__(None, None, None)

    def end_tool(self, process, home):
        """Asks the tool to leave as the agent does, and waits for it."""
        home.set_registry("ToolTag", "1")
        self.assertEqual(self.desktop.finish(process, 30), 0, self.desktop.output(process))

    def test_second_start_with_configure_says_the_tool_already_runs(self):
        d = self.desktop
        home = d.agent_home()
        first = d.start([home.program], home=home)
        d.application(first)
        second = d.start([home.program, "--configure"], home=home)
        alert = d.wait_for(second, "Kestrel Agent Setting Tool", role="alert")
        d.find(alert, ALREADY_RUNNING, role="label")
        d.act(d.find(alert, "OK", role="push button"), "Press", wait=False)
        self.assertEqual(d.finish(second), 0, d.output(second))
        self.assertIsNone(first.poll(), "the running tool goes on")
        self.end_tool(first, home)


if __name__ == "__main__":
    atspi_harness.skip_unless_available()
    unittest.main(argv=sys.argv[:1], verbosity=2)
