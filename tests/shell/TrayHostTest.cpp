// The tray icon against a StatusNotifierWatcher and host on a session bus of
// the test's own (tests/shell/sni_watcher.py, what Xfce's, KDE's and waybar's
// trays do on the bus), on a real display server: an X server (Xvfb) with
// `x11`, a headless Wayland compositor (sway) with `wayland`. The watcher
// starts after the tool, goes and comes back; the host clicks the icon
// (Activate); a watcher that claims a host nobody runs leaves the status
// window up; the status window comes up behind an open sheet. With `xfce`,
// the real program's icon on Debian's xfce4-panel (its status tray is a
// watcher and host) on an X server: the panel lists the item and its left
// click opens the sheet.
//
// Exit status 77 (skipped) where Xvfb, sway, xfce4-panel, dbus-daemon or
// python3-dbus is missing.

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDialog>
#include <QProcess>
#include <QWindow>
#include <xcb/xcb.h>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "platform/gui/MessageBox.h"
#include "platform/system/StatusEvent.h"
#include "res/ProgramResources.h"
#include "shell/SettingApp.h"
#include "shell/StatusWindow.h"
#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

using Ms = std::chrono::milliseconds;

std::string g_platform; // "x11" or "wayland"
std::string g_busAddress;
std::string g_swaySocket;

bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Starts `args` with its output in `log`, as user `uid` where given; it dies
// with this process.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log, int outFd = -1) {
    testsupport::ChildOutput output;
    output.log = log;
    output.stdoutFd = outFd;
    return testsupport::SpawnChild(args, output);
}

void Stop(pid_t& pid) {
    testsupport::StopChild(pid);
}

bool Alive(pid_t pid) {
    return testsupport::ChildRunning(pid);
}

bool WaitFor(const std::function<bool()>& condition, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + Ms(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(Ms(5));
    }
    return true;
}

// Starts a program that prints one line when it is ready, and waits for it.
pid_t SpawnReady(const std::vector<std::string>& args, const std::string& log, std::string& line) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = Spawn(args, log, fds[1]);
    ::close(fds[1]);
    line.clear();
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        line.push_back(c);
    ::close(fds[0]);
    return pid;
}

// The processes of one display session: the server, the compositor, the bus.
class CSession {
public:
    ~CSession() {
        Stop(m_bus);
        Stop(m_server);
    }
    bool Start(const fs::path& scratch) {
        std::string address;
        m_bus = SpawnReady({"dbus-daemon", "--session", "--nofork", "--print-address=1"},
                           scratch / "dbus.log", address);
        if (address.empty())
            return Fail("dbus-daemon did not start");
        g_busAddress = address;
        return g_platform == "wayland" ? StartSway(scratch) : StartXvfb(scratch);
    }
    const std::string& Error() const { return m_error; }

private:
    bool Fail(const std::string& why) {
        m_error = why;
        return false;
    }
    bool StartXvfb(const fs::path& scratch) {
        const int first = static_cast<int>(::getpid() % 100);
        for (int i = 0; i < 100; ++i) {
            const std::string n = std::to_string(800 + (first + i) % 100);
            if (FileExists("/tmp/.X" + n + "-lock") || FileExists("/tmp/.X11-unix/X" + n))
                continue;
            m_server = Spawn({"Xvfb", ":" + n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                             scratch / "xvfb.log");
            for (int wait = 0; wait < 100 && Alive(m_server); ++wait) {
                if (FileExists("/tmp/.X11-unix/X" + n)) {
                    ::setenv("DISPLAY", (":" + n).c_str(), 1);
                    return true;
                }
                std::this_thread::sleep_for(Ms(50));
            }
            Stop(m_server);
        }
        return Fail("no virtual X display could be started");
    }
    // sway refuses to run as root: there it runs as nobody, in a runtime
    // directory of that user's, whose socket root may still open.
    bool StartSway(const fs::path& scratch) {
        const fs::path runtime = scratch / "sway-runtime";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
        const fs::path config = scratch / "sway.config";
        WriteFileBytes(config.string(), "output HEADLESS-1 resolution 1024x768\n");
        ::chmod(scratch.c_str(), 0755);
        std::vector<std::string> args = {"env",
                                         "XDG_RUNTIME_DIR=" + runtime.string(),
                                         "WLR_BACKENDS=headless",
                                         "WLR_LIBINPUT_NO_DEVICES=1",
                                         "WLR_RENDERER=pixman",
                                         "WLR_XWAYLAND=",
                                         "sway",
                                         "-c",
                                         config.string()};
        if (::geteuid() == 0) {
            if (::chown(runtime.c_str(), 65534, 65534) != 0)
                return Fail("cannot hand the compositor's runtime directory to nobody");
            args.insert(args.begin(),
                        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        }
        m_server = Spawn(args, scratch / "sway.log");
        for (int wait = 0; wait < 200 && Alive(m_server); ++wait) {
            for (const auto& entry : fs::directory_iterator(runtime)) {
                const std::string name = entry.path().filename().string();
                if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos) {
                    ::setenv("WAYLAND_DISPLAY", entry.path().c_str(), 1);
                } else if (name.rfind("sway-ipc", 0) == 0) {
                    g_swaySocket = entry.path().string();
                }
            }
            if (std::getenv("WAYLAND_DISPLAY") && !g_swaySocket.empty())
                return true;
            std::this_thread::sleep_for(Ms(50));
        }
        return Fail("sway did not start: " + ReadFileBytes(scratch / "sway.log"));
    }

    pid_t m_bus = -1;
    pid_t m_server = -1;
    std::string m_error;
};

class CShortClock final : public Clock {
public:
    std::uint64_t NowMs() override { return SystemClock::Instance().NowMs() * 100; }
    void SleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(ms * 10));
    }
};

// A sheet whose modal run is the test's to fill.
class CProbeSheet final : public ISettingsSheet {
public:
    explicit CProbeSheet(std::function<void()> whileOpen) : m_whileOpen(std::move(whileOpen)) {}
    int RunModal() override {
        ++opened;
        if (m_whileOpen)
            m_whileOpen();
        return IDCANCEL;
    }
    void Activate() override {}
    void CloseWithoutSaving() override {}
    static inline int opened = 0;

private:
    std::function<void()> m_whileOpen;
};

// A client connection of its own, as a tray host has: calls to the tool's
// item from the tool's own connection would wait on themselves.
QDBusConnection Client() {
    static QDBusConnection connection = QDBusConnection::connectToBus(
        QString::fromStdString(g_busAddress), QStringLiteral("tray-host-test"));
    return connection;
}

// A call answered while this thread's events go on.
QDBusMessage CallAndWait(const QDBusMessage& call) {
    QDBusPendingCall pending = Client().asyncCall(call, 5000);
    WaitFor([&] { return pending.isFinished(); }, 6000);
    return pending.reply();
}

QVariant Property(const QString& service, const QString& path, const QString& interface,
                  const QString& name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << interface << name;
    const QDBusMessage reply = CallAndWait(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().front().value<QDBusVariant>().variant();
}

// The items the watcher lists.
QStringList WatcherItems() {
    return Property(QStringLiteral("org.kde.StatusNotifierWatcher"),
                    QStringLiteral("/StatusNotifierWatcher"),
                    QStringLiteral("org.kde.StatusNotifierWatcher"),
                    QStringLiteral("RegisteredStatusNotifierItems"))
        .toStringList();
}

std::string Describe(const CQtTrayIcon& tray) {
    const StatusNotifierView& v = tray.StatusNotifier();
    return " (watcher " + std::to_string(v.watcher) + ", host claimed " +
           std::to_string(v.hostClaimed) + ", host on bus " + std::to_string(v.hostOnBus) +
           ", item listed " + std::to_string(v.itemListed) + ", shown " +
           std::to_string(tray.IsShown()) + ")";
}

class TrayHost : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        ASSERT_EQ(m_bus.Start(), "");
        m_bus.AddUnit("opal-agent.service", "inactive");
        WriteFileBytes(HomeFile("AgentSysConfig.xml"),
                       "<AgentSysConfig><AgentServiceName>opal-agent</AgentServiceName>"
                       "<PluginType>0</PluginType></AgentSysConfig>");
        WriteFileBytes(HomeFile("AgentStatus.xml"),
                       "<AgentStatusData><RegisterStatus>1</RegisterStatus><NetConfigChanged>0"
                       "</NetConfigChanged><MonitorExitTag>0</MonitorExitTag></AgentStatusData>");
        SetAgentRegistryInt(u"AgentStatus", 1);
        SetAgentRegistryInt(u"ToolTag", 0);
        StatusEvent::Unlink(m_eventName);
        CProbeSheet::opened = 0;
    }
    void TearDown() override {
        Stop(m_watcher);
        if (m_app && m_app->MainFrame())
            m_app->MainFrame()->Exit();
        m_app.reset();
        StatusEvent::Unlink(m_eventName);
        LogShutdown();
        AgentHomeTest::TearDown();
    }

    CSettingApp* Start(std::function<void()> whileSheetOpen = {}) {
        CSettingApp::Options options;
        options.clock = &m_clock;
        options.lockDirectory = m_temp.Path().string();
        options.statusEventName = m_eventName;
        m_app = std::make_unique<CSettingApp>(options);
        if (!m_app->InitInstance())
            return nullptr;
        m_app->MainFrame()->SetSettingsSheetFactory(
            [whileSheetOpen]() -> std::unique_ptr<ISettingsSheet> {
                return std::make_unique<CProbeSheet>(whileSheetOpen);
            });
        return m_app.get();
    }
    void StartWatcher(const std::string& mode = "--host") {
        std::string line;
        m_watcher =
            SpawnReady({"/usr/bin/python3", SNI_WATCHER, mode}, m_temp / "watcher.log", line);
        ASSERT_EQ(line, "ready") << ReadFileBytes(m_temp / "watcher.log");
    }
    CQtTrayIcon& QtTray() { return dynamic_cast<CQtTrayIcon&>(m_app->MainFrame()->Tray()); }
    bool WindowShown() const {
        const CStatusWindow* window = m_app->MainFrame()->StatusWindow();
        return window != nullptr && window->isVisible();
    }
    // The item's bus name, as the watcher lists it.
    QString ItemService() {
        for (const QString& item : WatcherItems())
            return item.section(QLatin1Char('/'), 0, 0);
        return {};
    }

    FakeSystemBus m_bus;
    CShortClock m_clock;
    std::unique_ptr<CSettingApp> m_app;
    pid_t m_watcher = -1;
    const std::u16string m_eventName =
        u"Global\\OPAL_AGENT_STATUS_NOTIFY_tray" + ToWideString(std::to_string(::getpid()), CP_ACP);
};

TEST_F(TrayHost, IconFollowsAWatcherThatStartsLateGoesAndComesBack) {
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    CResourceModule* module = app->GetLanguageResourceHandle();
    CQtTrayIcon& tray = QtTray();

    // No tray yet: the status window stands in.
    ASSERT_TRUE(WaitFor([&] { return WindowShown(); }));
    EXPECT_FALSE(tray.IsAvailable());

    StartWatcher();
    ASSERT_TRUE(WaitFor([&] { return !ItemService().isEmpty(); }))
        << "the item registers with a watcher that starts after the tool";
    EXPECT_TRUE(WaitFor([&] { return tray.IsAvailable() && !WindowShown(); }))
        << "and the window gives way to the icon" << Describe(tray);

    // What the host shows: the product's name as title, the status as tip.
    const QString service = ItemService();
    const QString path = QStringLiteral("/StatusNotifierItem");
    const QString item = QStringLiteral("org.kde.StatusNotifierItem");
    EXPECT_EQ(Property(service, path, item, QStringLiteral("Title")).toString(),
              QString::fromStdU16String(module->LoadString(128).value_or(u"")));
    const QVariant toolTip = Property(service, path, item, QStringLiteral("ToolTip"));
    ASSERT_TRUE(toolTip.canConvert<QDBusArgument>());
    const QDBusArgument tip = toolTip.value<QDBusArgument>();
    QString iconName, tipTitle, tipText;
    tip.beginStructure();
    tip >> iconName;
    tip.beginArray();
    while (!tip.atEnd()) {
        int width = 0, height = 0;
        QByteArray bytes;
        tip.beginStructure();
        tip >> width >> height >> bytes;
        tip.endStructure();
    }
    tip.endArray();
    tip >> tipTitle >> tipText;
    tip.endStructure();
    EXPECT_EQ(tipTitle, tray.Tip());
    EXPECT_FALSE(tipTitle.isEmpty());

    // A left click on an SNI tray is Activate: it opens the sheet.
    QDBusMessage activate =
        QDBusMessage::createMethodCall(service, path, item, QStringLiteral("Activate"));
    activate << 0 << 0;
    EXPECT_EQ(CallAndWait(activate).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(WaitFor([] { return CProbeSheet::opened == 1; })) << "Activate opens the sheet";

    // The tray goes (the panel is restarted): the window is back ...
    const int registrations = tray.Registrations();
    Stop(m_watcher);
    EXPECT_TRUE(WaitFor([&] { return WindowShown(); }));
    EXPECT_FALSE(tray.IsAvailable());
    // ... and gives way again once the new tray has the item.
    StartWatcher();
    EXPECT_TRUE(WaitFor([&] { return !ItemService().isEmpty(); }))
        << "the item registers again with the watcher that came back";
    // Qt registers the item with a new watcher by itself too; ours follows
    // once the watcher answers.
    EXPECT_TRUE(WaitFor([&] { return tray.Registrations() > registrations; }));
    EXPECT_TRUE(WaitFor([&] { return tray.IsAvailable() && !WindowShown(); }));
}

TEST_F(TrayHost, AWatcherThatOnlyClaimsAHostLeavesTheStatusWindowUp) {
    StartWatcher("--claim-only");
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    CQtTrayIcon& tray = QtTray();
    ASSERT_TRUE(WaitFor([&] { return !ItemService().isEmpty(); }));
    EXPECT_TRUE(tray.StatusNotifier().hostClaimed);
    // Long past the wait: nobody draws the icon, so the window must stay.
    ASSERT_TRUE(WaitFor([&] { return WindowShown(); }));
    WaitFor([] { return false; }, 1500);
    EXPECT_TRUE(WindowShown());
    EXPECT_FALSE(tray.IsAvailable());
    EXPECT_FALSE(tray.StatusNotifier().hostOnBus);
}

TEST_F(TrayHost, StatusWindowComesUpBehindAnOpenSheetWithoutTakingTheKeyboard) {
    bool checked = false;
    CSettingApp* app = Start([&] {
        QDialog sheet;
        sheet.setWindowTitle(QStringLiteral("sheet"));
        sheet.resize(300, 200);
        sheet.setWindowModality(Qt::ApplicationModal);
        sheet.show();
        ASSERT_TRUE(WaitFor([&] { return sheet.windowHandle()->isExposed(); }));
        sheet.activateWindow();
        // sway hands the keyboard to a new window itself; X without a window
        // manager only when asked.
        ASSERT_TRUE(WaitFor([&] { return sheet.isActiveWindow(); }));
        if (g_platform == "wayland") {
            // The compositor would give a new window the keyboard: the status
            // window waits until the sheet is closed.
            WaitFor([] { return false; }, 1500);
            EXPECT_FALSE(WindowShown());
            EXPECT_TRUE(sheet.isActiveWindow()) << "the sheet keeps the keyboard";
            checked = true;
            return;
        }
        ASSERT_TRUE(WaitFor([&] { return WindowShown(); }));
        CStatusWindow& window = *m_app->MainFrame()->StatusWindow();
        WaitFor([&] { return window.windowHandle()->isExposed(); }, 3000);
        WaitFor([] { return false; }, 300);
        EXPECT_TRUE(sheet.isActiveWindow()) << "the sheet keeps the keyboard";
        EXPECT_FALSE(window.isActiveWindow());
        if (g_platform == "x11") {
            // Stacking: the root's children are listed bottom to top.
            auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
            xcb_connection_t* c = x11->connection();
            const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
            xcb_query_tree_reply_t* tree =
                xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
            ASSERT_NE(tree, nullptr);
            const xcb_window_t* children = xcb_query_tree_children(tree);
            int sheetAt = -1, windowAt = -1;
            for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
                if (children[i] == sheet.winId())
                    sheetAt = i;
                if (children[i] == window.winId())
                    windowAt = i;
            }
            std::free(tree);
            EXPECT_GE(windowAt, 0);
            EXPECT_GT(sheetAt, windowAt) << "the status window lies under the sheet";
        }
        checked = true;
    });
    ASSERT_NE(app, nullptr);
    app->MainFrame()->Configure();
    EXPECT_TRUE(checked);
    EXPECT_TRUE(WaitFor([&] { return WindowShown(); }))
        << "once the sheet is closed, at the latest";
}

// The real program on the compositor, as a Wayland session starts it: with
// no tray, its status window is the one window it maps.
TEST_F(TrayHost, ProgramShowsItsStatusWindowOnWayland) {
    if (g_platform != "wayland")
        GTEST_SKIP() << "Wayland only";
    const fs::path program = m_home / "opal-agent-setting";
    fs::copy_file(OPAL_PROGRAM, program);
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "wayland");
    environment.insert("OPAL_STATUS_EVENT", QString::fromStdU16String(m_eventName));
    environment.insert("ASAN_OPTIONS", "detect_leaks=0");
    environment.remove("DISPLAY");
    tool.setProcessEnvironment(environment);
    tool.start(QString::fromStdString(program.string()), {QStringLiteral("--window")});
    ASSERT_TRUE(tool.waitForStarted(10000));
    auto appIdMapped = [] {
        QProcess swaymsg;
        swaymsg.start(QStringLiteral("swaymsg"),
                      {QStringLiteral("-s"), QString::fromStdString(g_swaySocket),
                       QStringLiteral("-t"), QStringLiteral("get_tree")});
        swaymsg.waitForFinished(5000);
        return swaymsg.readAllStandardOutput().contains("\"app_id\": \"opal-agent-setting\"");
    };
    EXPECT_TRUE(WaitFor(appIdMapped, 15000)) << tool.readAllStandardError().toStdString();
    tool.terminate();
    EXPECT_TRUE(tool.waitForFinished(15000));
    EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
}

// The tool's mapped top-level windows on the X server, by their titles:
// Qt marks each with the process's id.
std::vector<std::string> MappedWindowsOf(qint64 pid) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* c = x11->connection();
    auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return value;
    };
    const xcb_atom_t pidAtom = atom("_NET_WM_PID");
    const xcb_atom_t nameAtom = atom("_NET_WM_NAME");
    const xcb_atom_t utf8 = atom("UTF8_STRING");
    std::vector<std::string> titles;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    if (!tree)
        return titles;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr);
        const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attributes);
        if (!viewable)
            continue;
        xcb_get_property_reply_t* owner = xcb_get_property_reply(
            c, xcb_get_property(c, 0, children[i], pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
        const bool ours = owner && xcb_get_property_value_length(owner) == 4 &&
                          *static_cast<const uint32_t*>(xcb_get_property_value(owner)) == pid;
        std::free(owner);
        if (!ours)
            continue;
        xcb_get_property_reply_t* name = xcb_get_property_reply(
            c, xcb_get_property(c, 0, children[i], nameAtom, utf8, 0, 256), nullptr);
        titles.emplace_back(
            name ? std::string(static_cast<const char*>(xcb_get_property_value(name)),
                               xcb_get_property_value_length(name))
                 : std::string());
        std::free(name);
    }
    std::free(tree);
    return titles;
}

// The process that owns a name on the session bus.
qint64 BusNameOwnerPid(const QString& name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
    call << name;
    const QDBusMessage reply = CallAndWait(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return -1;
    return reply.arguments().front().toLongLong();
}

qint64 ParentPid(qint64 pid) {
    // The field after the command's closing parenthesis and the state.
    const std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    long long parent = -1;
    char state = 0;
    return std::sscanf(stat.c_str() + close + 1, " %c %lld", &state, &parent) == 2 ? parent : -1;
}

// Debian's panel with nothing on it but its status tray, on the test's X
// server and bus, with a settings store (xfconfd) and a configuration of
// its own.
class XfcePanel {
public:
    ~XfcePanel() { Stop(); }
    std::string Start(const fs::path& scratch, const std::string& xfconfd) {
        const fs::path channels = scratch / "config/xfce4/xfconf/xfce-perchannel-xml";
        fs::create_directories(channels);
        WriteFileBytes((channels / "xfce4-panel.xml").string(),
                       R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)");
        // Everything the panel and its store read or write stays in the
        // scratch folder; no accessibility bus is started on ours.
        const std::vector<std::string> environment = {
            "env",
            "HOME=" + scratch.string(),
            "XDG_CONFIG_HOME=" + (scratch / "config").string(),
            "XDG_CONFIG_DIRS=" + (scratch / "config").string(),
            "XDG_CACHE_HOME=" + (scratch / "cache").string(),
            "XDG_DATA_HOME=" + (scratch / "data").string(),
            "NO_AT_BRIDGE=1",
            "GTK_A11Y=none"};
        // Started by the test rather than by the bus, so that it reads the
        // configuration above and ends by its id.
        std::vector<std::string> store = environment;
        store.push_back(xfconfd);
        m_store = Spawn(store, scratch / "xfconfd.log");
        std::vector<std::string> panel = environment;
        // No window manager runs on the test's server.
        panel.insert(panel.end(), {"xfce4-panel", "--disable-wm-check"});
        m_panel = Spawn(panel, scratch / "xfce4-panel.log");
        if (m_panel < 0 || m_store < 0)
            return "xfce4-panel or xfconfd did not start";
        return {};
    }
    void Stop() {
        StopChild(m_panel);
        StopChild(m_store);
        // The tray runs in a helper process of the panel's, which ends with
        // its panel; one that stays is ended by its id, once its command
        // line shows it is still that helper.
        if (m_plugin > 0) {
            const std::string cmdline = "/proc/" + std::to_string(m_plugin) + "/cmdline";
            auto helperRuns = [&] {
                return ReadFileBytes(cmdline).find("libsystray") != std::string::npos;
            };
            for (int i = 0; i < 100 && helperRuns(); ++i)
                std::this_thread::sleep_for(Ms(30));
            if (helperRuns())
                ::kill(static_cast<pid_t>(m_plugin), SIGTERM);
            m_plugin = -1;
        }
    }
    pid_t Pid() const { return m_panel; }
    void SetPluginPid(qint64 pid) { m_plugin = pid; }

private:
    static void StopChild(pid_t& pid) { testsupport::StopChild(pid); }
    pid_t m_panel = -1;
    pid_t m_store = -1;
    qint64 m_plugin = -1;
};

std::string g_xfconfd;

TEST_F(TrayHost, XfcePanelHostsTheProgramsIconAndItsLeftClickOpensTheSheet) {
    if (g_platform != "xfce")
        GTEST_SKIP() << "runs in shell.tray_host_xfce, with a display of its own";
    XfcePanel panel;
    ASSERT_EQ(panel.Start(m_temp.Path() / "xfce", g_xfconfd), "");
    const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
    const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
    auto hostRegistered = [&] {
        return Property(watcherName, watcherPath, watcherName,
                        QStringLiteral("IsStatusNotifierHostRegistered"))
            .toBool();
    };
    ASSERT_TRUE(WaitFor(hostRegistered, 15000)) << "the panel's tray takes the watcher and its host"
                                                << ReadFileBytes(m_temp / "xfce/xfce4-panel.log");
    // The watcher is the panel's own: the panel or the helper that runs its
    // tray, not something else on the bus.
    const qint64 watcherPid = BusNameOwnerPid(watcherName);
    ASSERT_GT(watcherPid, 0);
    if (watcherPid != panel.Pid()) {
        EXPECT_EQ(ParentPid(watcherPid), panel.Pid());
        panel.SetPluginPid(watcherPid);
    }

    WriteFileBytes(HomeFile("AgentLocalConfig.xml"),
                   "<AgentLocalConfig><DebugLogConfig><DebugLogLevel>LL_FOR_ALL</DebugLogLevel>"
                   "<DebugLogPath>log</DebugLogPath></DebugLogConfig><NetworkConfig><ServerName>"
                   "kestrel</ServerName><ServerPort>80</ServerPort></NetworkConfig>"
                   "</AgentLocalConfig>");
    WriteFileBytes(HomeFile("AgentWorkConfig.xml"), "<PXRAgentWorkingConfig/>");
    const fs::path program = m_home / "opal-agent-setting";
    fs::copy_file(OPAL_PROGRAM, program);
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("OPAL_STATUS_EVENT", QString::fromStdU16String(m_eventName));
    environment.insert("ASAN_OPTIONS", "detect_leaks=0");
    tool.setProcessEnvironment(environment);
    const auto started = std::chrono::steady_clock::now();
    tool.start(QString::fromStdString(program.string()), {});
    ASSERT_TRUE(tool.waitForStarted(10000));
    const qint64 toolPid = tool.processId();

    QString service;
    auto listed = [&] {
        for (const QString& item : WatcherItems()) {
            const QString name = item.section(QLatin1Char('/'), 0, 0);
            if (BusNameOwnerPid(name) == toolPid) {
                service = name;
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(WaitFor(listed, 10000))
        << "the panel lists the program's item" << tool.readAllStandardError().toStdString();

    const QString path = QStringLiteral("/StatusNotifierItem");
    const QString item = QStringLiteral("org.kde.StatusNotifierItem");
    EXPECT_EQ(Property(service, path, item, QStringLiteral("Title")).toString(),
              QStringLiteral("Kestrel Agent Setting Tool"));

    // The panel's left click.
    QDBusMessage activate =
        QDBusMessage::createMethodCall(service, path, item, QStringLiteral("Activate"));
    activate << 0 << 0;
    const QDBusMessage clicked = CallAndWait(activate);
    EXPECT_EQ(clicked.type(), QDBusMessage::ReplyMessage) << clicked.errorMessage().toStdString();
    // The sheet's title ends with the agent's service name.
    auto sheetMapped = [&] {
        for (const std::string& title : MappedWindowsOf(toolPid)) {
            if (title.size() > 12 && title.compare(title.size() - 12, 12, "(opal-agent)") == 0)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(WaitFor(sheetMapped, 10000)) << "Activate opens the settings sheet" << [&] {
        std::string titles;
        for (const std::string& title : MappedWindowsOf(toolPid))
            titles += " [" + title + "]";
        return titles + "\n" + ReadFileBytes(m_home / "log/OPALAgentSetting.log");
    }();

    // Past the time the tool gives a tray to show up, the sheet is still its
    // only window: the status window never stood in for the icon.
    const auto waited = std::chrono::steady_clock::now() - started;
    WaitFor([] { return false; }, static_cast<int>(TRAY_HOST_WAIT_MS + 1000 -
                                                   std::chrono::duration_cast<Ms>(waited).count()));
    EXPECT_EQ(MappedWindowsOf(toolPid).size(), 1u);
    const std::string log = ReadFileBytes(m_home / "log/OPALAgentSetting.log");
    EXPECT_FALSE(log.empty());
    EXPECT_EQ(log.find("the status window stands in"), std::string::npos) << log;

    tool.terminate();
    EXPECT_TRUE(tool.waitForFinished(15000));
    EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    ::testing::InitGoogleTest(&argc, argv);
    g_platform = argc > 1 ? argv[1] : "x11";
    std::vector<std::string> needed = {"dbus-daemon", "/usr/bin/python3"};
    needed.push_back(g_platform == "wayland" ? "sway" : "Xvfb");
    if (g_platform == "xfce") {
        // Debian's panel on an X server of its own: only its test runs.
        ::testing::GTEST_FLAG(filter) = "TrayHost.XfcePanel*";
        needed.push_back("xfce4-panel");
        const std::string store =
            "/usr/lib/" + std::string(OPAL_MULTIARCH) + "/xfce4/xfconf/xfconfd";
        if (!FileExists(store)) {
            std::printf("skipped: %s is not installed (package xfconf)\n", store.c_str());
            return 77;
        }
        g_xfconfd = store;
    }
    for (const std::string& program : needed) {
        if (!OnPath(program)) {
            std::printf("skipped: %s is not installed (scripts/install-deps.sh installs it)\n",
                        program.c_str());
            return 77;
        }
    }
    if (std::system("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null") != 0) {
        std::printf("skipped: python3-dbus or python3-gi is not installed\n");
        return 77;
    }
    TempDir scratch;
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    const std::string runtime = scratch / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    CSession session;
    if (!session.Start(scratch.Path())) {
        std::fprintf(stderr, "%s\n", session.Error().c_str());
        return 1;
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", g_busAddress.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", g_platform == "wayland" ? "wayland" : "xcb", 1);
    int result = 1;
    {
        int qtArgc = 1;
        char name[] = "opal-tray-host-test";
        char* qtArgv[] = {name, nullptr};
        QApplication application(qtArgc, qtArgv);
        QApplication::setQuitOnLastWindowClosed(false);
        if (!InstallProgramResources())
            return 1;
        result = RUN_ALL_TESTS();
    }
    return result;
}
