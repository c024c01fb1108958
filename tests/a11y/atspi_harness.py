"""A desktop of its own for tests that drive the program as a screen reader
or an automation client would: a virtual X display, a private session bus
with the accessibility bus on it, a temporary agent home, and the AT-SPI
client calls to find controls by their accessible names and act on them.

Qt's accessibility bridge exists on xcb only and is switched on here with
QT_LINUX_ACCESSIBILITY_ALWAYS_ON; the accessibility bus says "enabled" too,
for any other toolkit. One libatspi connection per process: a test process
opens one Desktop and keeps it to the end.

    with Desktop(build_dir, source_dir) as desktop:
        program = desktop.start(["/path/to/program", "--configure"])
        window = desktop.wait_for(program, "HTTPS Settings", role="dialog")
        desktop.type_into(desktop.find(window, "Root CA certificate path:", role="text"), "/x")
        desktop.act(desktop.find(window, "OK", role="push button"), "Press")
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77  # ctest's SKIP_RETURN_CODE for these tests

NEEDED_PROGRAMS = ("Xvfb", "dbus-daemon", "xdpyinfo")
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

# The documents of a demo agent home (scripts/demo/), as the agent writes them.
AGENT_DOCUMENTS = ("AgentSysConfig.xml", "AgentLocalConfig.xml", "AgentWorkConfig.xml",
                   "AgentStatus.xml", "SettingToolSysConfig.xml")
REGISTRY_SUBKEY = "HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/OPAL4HBS/Agent"


def log(*words):
    print(*words, file=sys.stderr, flush=True)


def missing_requirements():
    """What this machine lacks to run these tests; empty when nothing."""
    missing = [name for name in NEEDED_PROGRAMS if shutil.which(name) is None]
    if not os.access(BUS_LAUNCHER, os.X_OK):
        missing.append(BUS_LAUNCHER + " (at-spi2-core)")
    try:
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi  # noqa: F401
    except (ImportError, ValueError) as error:
        missing.append("gi Atspi (python3-pyatspi): %s" % error)
    return missing


def skip_unless_available():
    missing = missing_requirements()
    if missing:
        print("SKIP: no accessibility desktop here, missing: " + ", ".join(missing))
        sys.exit(SKIP)


def descendants(pid):
    """Every process below `pid`, deepest first, read from /proc."""
    found = []
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            children = [int(p) for p in f.read().split()]
    except OSError:
        return found
    for child in children:
        found.extend(descendants(child))
        found.append(child)
    return found


def become_subreaper():
    """Makes this process the one that orphans below it are handed to, so
    that what the bus launcher starts is reaped here, not left as zombies."""
    try:
        import ctypes
        PR_SET_CHILD_SUBREAPER = 36
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def _end_pid(pid, grace):
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline:
        try:
            if os.waitpid(pid, os.WNOHANG)[0] == pid:
                return
        except ChildProcessError:
            # Not ours to reap: its own parent does that.
            if not os.path.exists("/proc/%d" % pid):
                return
            with open("/proc/%d/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return
        time.sleep(0.02)
    try:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    except (ProcessLookupError, ChildProcessError):
        pass


def reap_orphans(seconds=2.0):
    """Waits for what was handed to this process as a subreaper: helpers the
    buses started, ending as their parents went. Called once every process
    of ours has been waited for, so no one else's status is taken."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            if time.monotonic() >= deadline:
                return
            time.sleep(0.02)


def stop_process(process, grace=3.0):
    """Ends one process this harness started, and what it started in turn
    (the accessibility bus launcher's own bus and registry), deepest first."""
    if process.poll() is not None:
        return
    for pid in descendants(process.pid):
        _end_pid(pid, grace)
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class AgentHome:
    """A temporary agent home laid out as scripts/run.sh lays out the demo:
    the program (which takes the directory of its own executable as the
    agent's home), its Japanese library, the agent's documents with CR LF
    line ends and a registry root of its own."""

    JAPANESE = 3

    def __init__(self, root, build_dir, source_dir, language=0):
        self.path = tempfile.mkdtemp(prefix="agent.", dir=root)
        self.registry = os.path.join(self.path, "registry")
        bin_dir = os.path.join(build_dir, "bin")
        os.makedirs(os.path.join(self.path, "Language"))
        shutil.copy2(os.path.join(bin_dir, "opal-agent-setting"), self.path)
        shutil.copy2(os.path.join(bin_dir, "Language", "Lexidra.so"),
                     os.path.join(self.path, "Language"))
        samples = os.path.join(source_dir, "scripts", "demo")
        for name in AGENT_DOCUMENTS:
            with open(os.path.join(samples, name), encoding="utf-8") as f:
                text = f.read().replace("@HOME_DIRECTORY@", self.path)
            if name == "SettingToolSysConfig.xml":
                text = text.replace("<Language>0</Language>", "<Language>%d</Language>" % language)
            lines = [line.rstrip("\r") for line in text.split("\n")]
            with open(os.path.join(self.path, name), "w", encoding="utf-8", newline="") as f:
                f.write("\r\n".join(lines))
        self.set_registry("AgentStatus", "1")
        self.set_registry("ToolTag", "0")

    @property
    def program(self):
        return os.path.join(self.path, "opal-agent-setting")

    def set_registry(self, name, value):
        key = os.path.join(self.registry, REGISTRY_SUBKEY)
        os.makedirs(key, exist_ok=True)
        with open(os.path.join(key, name), "w") as f:
            f.write(value)

    def read(self, name):
        with open(os.path.join(self.path, name), "rb") as f:
            return f.read()


class Desktop:
    """The display, the buses and the client connection; every process it
    starts is ended again on leaving the `with` block."""

    def __init__(self, build_dir, source_dir):
        self.build_dir = os.path.abspath(build_dir)
        self.source_dir = os.path.abspath(source_dir)
        self.tmp = None
        self.processes = []
        self.env = None
        self.atspi = None
        self.display = None
        self.session_bus = None
        self.a11y_bus = None
        self.events = []

    # ---- setting up and tearing down --------------------------------------

    def __enter__(self):
        self.tmp = tempfile.mkdtemp(prefix="opal-a11y.")
        become_subreaper()
        try:
            self._start_display()
            self._start_buses()
            self._connect_client()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for process in reversed(self.processes):
            stop_process(process)
            output = getattr(process, "output_file", None)
            if output is not None:
                output.close()
        self.processes = []
        reap_orphans()
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)
            self.tmp = None
        return False

    def _spawn(self, argv, env=None, **kwargs):
        process = subprocess.Popen(argv, env=env if env is not None else self.env,
                                   stdin=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    def _start_display(self):
        # The server picks a free display number and says which on the pipe,
        # so that parallel runs never share a display.
        read_end, write_end = os.pipe()
        with open(os.path.join(self.tmp, "xvfb.log"), "w") as out:
            self._spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                         "-nolisten", "tcp", "-wr"], env=dict(os.environ),
                        stdout=out, stderr=out, pass_fds=(write_end,))
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            raise RuntimeError("Xvfb did not start: " + self._file("xvfb.log"))
        self.display = ":" + number.decode().strip()
        env = {k: v for k, v in os.environ.items()
               if k not in ("AT_SPI_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS", "XDG_SESSION_ID",
                            "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "SESSION_MANAGER")}
        env["DISPLAY"] = self.display
        env["XDG_RUNTIME_DIR"] = self._dir("runtime", 0o700)
        env["HOME"] = self._dir("home")
        self.env = env
        for _ in range(100):
            if subprocess.run(["xdpyinfo"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                return
            time.sleep(0.05)
        raise RuntimeError("display %s does not answer" % self.display)

    def _start_buses(self):
        address_file = os.path.join(self.tmp, "session-bus.address")
        with open(address_file, "w") as out, open(os.path.join(self.tmp, "bus.log"), "w") as err:
            self._spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                         "--address=unix:path=" + os.path.join(self.tmp, "session-bus"),
                         "--print-address=1"], stdout=out, stderr=err)
        self.session_bus = self._wait_for_line(address_file, "dbus-daemon")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.session_bus
        with open(os.path.join(self.tmp, "launcher.log"), "w") as out:
            self._spawn([BUS_LAUNCHER, "--launch-immediately", "--a11y=1"],
                        stdout=out, stderr=out)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            reply = subprocess.run(
                ["dbus-send", "--session", "--print-reply=literal", "--dest=org.a11y.Bus",
                 "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                env=self.env, capture_output=True, text=True)
            if reply.returncode == 0 and reply.stdout.strip():
                self.a11y_bus = reply.stdout.strip()
                return
            time.sleep(0.1)
        raise RuntimeError("the accessibility bus did not start: " + self._file("launcher.log"))

    def _connect_client(self):
        # libatspi finds the bus through these when it first connects.
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[name] = self.env[name]
        os.environ.pop("AT_SPI_BUS_ADDRESS", None)
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi
        self.atspi = Atspi
        Atspi.init()
        self._listener = Atspi.EventListener.new(self._on_event)
        for event in ("object:text-changed", "object:state-changed:checked",
                      "object:property-change:accessible-name"):
            self._listener.register(event)

    def _on_event(self, event):
        try:
            source = event.source.get_name() if event.source else ""
        except Exception:  # the source may be gone by now
            source = ""
        data = event.any_data if isinstance(event.any_data, str) else ""
        self.events.append((event.type, source, data))

    def _dir(self, name, mode=0o755):
        path = os.path.join(self.tmp, name)
        os.makedirs(path, mode=mode, exist_ok=True)
        os.chmod(path, mode)
        return path

    def _file(self, name):
        try:
            with open(os.path.join(self.tmp, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    @staticmethod
    def _wait_for_line(path, what, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with open(path) as f:
                line = f.readline().strip()
            if line:
                return line
            time.sleep(0.05)
        raise RuntimeError("%s did not say its address" % what)

    # ---- programs under test ----------------------------------------------

    def agent_home(self, language=0):
        return AgentHome(self.tmp, self.build_dir, self.source_dir, language)

    def start(self, argv, env=None, home=None):
        """Starts a program on this desktop with Qt's bridge switched on;
        its output goes to a file of its own (see output())."""
        run_env = dict(self.env)
        run_env["QT_QPA_PLATFORM"] = "xcb"
        run_env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        # A tray host on the session bus would take the icon; there is none.
        if home is not None:
            run_env["OPAL_REGISTRY_ROOT"] = home.registry
        run_env.update(env or {})
        name = os.path.basename(argv[0])
        out = open(os.path.join(self.tmp, "%s.%d.out" % (name, len(self.processes))), "w+")
        process = self._spawn(argv, env=run_env, stdout=out, stderr=subprocess.STDOUT,
                              cwd=self.tmp)
        process.output_file = out
        return process

    @staticmethod
    def output(process):
        process.output_file.flush()
        process.output_file.seek(0)
        return process.output_file.read()

    def finish(self, process, seconds=15):
        """Waits for a program to end by itself; its exit status."""
        try:
            return process.wait(seconds)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s did not end within %d s; output:\n%s"
                                 % (process.args[0], seconds, self.output(process)))

    # ---- the client -------------------------------------------------------

    def pump(self, seconds=0.0):
        """Lets the client's main loop deliver events for a while."""
        from gi.repository import GLib
        context = GLib.MainContext.default()
        deadline = time.monotonic() + seconds
        while True:
            while context.pending():
                context.iteration(False)
            if time.monotonic() >= deadline:
                return
            time.sleep(0.02)

    def application(self, process, seconds=20):
        """The program's accessible application, once it has registered."""
        desktop = self.atspi.get_desktop(0)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if process.poll() is not None:
                raise AssertionError("%s ended (%s) before it showed up; output:\n%s"
                                     % (process.args[0], process.returncode, self.output(process)))
            for i in range(desktop.get_child_count()):
                app = desktop.get_child_at_index(i)
                try:
                    if app is not None and app.get_process_id() == process.pid:
                        return app
                except Exception:
                    continue
            self.pump(0.1)
        raise AssertionError("%s never registered on the accessibility bus; output:\n%s"
                             % (process.args[0], self.output(process)))

    @staticmethod
    def _walk(node):
        stack = [node]
        while stack:
            current = stack.pop()
            yield current
            try:
                count = current.get_child_count()
            except Exception:
                continue
            for i in reversed(range(count)):
                child = current.get_child_at_index(i)
                if child is not None:
                    stack.append(child)

    def find_all(self, root, name=None, role=None, showing=None):
        found = []
        for node in self._walk(root):
            try:
                if name is not None and node.get_name() != name:
                    continue
                if role is not None and node.get_role_name() != role:
                    continue
                if showing is not None and self.has_state(node, "showing") != showing:
                    continue
            except Exception:
                continue
            found.append(node)
        return found

    def find(self, root, name, role=None, seconds=10):
        """The one control called `name` (and of `role`) below `root`."""
        deadline = time.monotonic() + seconds
        while True:
            found = self.find_all(root, name, role)
            if len(found) == 1:
                return found[0]
            if len(found) > 1:
                raise AssertionError("%d controls called %r (%s)" % (len(found), name, role))
            if time.monotonic() >= deadline:
                names = sorted({(n.get_role_name(), n.get_name()) for n in self.find_all(root)})
                raise AssertionError("no control called %r (%s); there are: %s"
                                     % (name, role, names))
            self.pump(0.1)

    def wait_for(self, process, name, role=None, seconds=20):
        """A window (or any control) of the program, once it is there."""
        return self.find(self.application(process, seconds), name, role, seconds)

    def has_state(self, node, state):
        kind = getattr(self.atspi.StateType, state.upper().replace("-", "_"))
        return node.get_state_set().contains(kind)

    def type_into(self, edit, text):
        """Replaces an edit's text, as a client that fills in a form does."""
        if "EditableText" not in edit.get_interfaces():
            raise AssertionError("%r takes no text" % edit.get_name())
        if not self.atspi.EditableText.set_text_contents(edit, text):
            raise AssertionError("%r refused the text" % edit.get_name())
        self.pump(0.1)

    def text_of(self, edit):
        count = self.atspi.Text.get_character_count(edit)
        return self.atspi.Text.get_text(edit, 0, count)

    def act(self, node, action, wait=True):
        """Runs a named action ("Press", "Toggle", ...). With wait=False the
        call does not wait for its reply: a press that opens a modal window
        answers only once that window has closed."""
        names = [node.get_action_name(i) for i in range(node.get_n_actions())]
        if action not in names:
            raise AssertionError("%r has no action %r, only %s" % (node.get_name(), action, names))
        index = names.index(action)
        if wait:
            node.do_action(index)
        else:
            self._call_without_reply(node, "org.a11y.atspi.Action", "DoAction", "(i)", (index,))
        self.pump(0.1)

    def _call_without_reply(self, node, interface, method, signature, args):
        from gi.repository import Gio, GLib
        if not hasattr(self, "_a11y_connection"):
            flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                     | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
            self._a11y_connection = Gio.DBusConnection.new_for_address_sync(
                self.a11y_bus, flags, None, None)
        message = Gio.DBusMessage.new_method_call(node.app.bus_name, node.path, interface,
                                                  method)
        message.set_body(GLib.Variant(signature, args))
        message.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        self._a11y_connection.send_message(message, Gio.DBusSendMessageFlags.NONE)
        self._a11y_connection.flush_sync(None)


class DesktopTest:
    """Mix-in for a unittest.TestCase whose tests share one Desktop (one
    client connection per process); the build and source directories are the
    script's first two arguments."""

    desktop = None

    @classmethod
    def setUpClass(cls):
        cls.desktop = Desktop(sys.argv[1], sys.argv[2]).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.__exit__(None, None, None)


def main():
    """Runs the script's tests, or says why it cannot and skips."""
    import unittest
    skip_unless_available()
    unittest.main(argv=sys.argv[:1], verbosity=2)
