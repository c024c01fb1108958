// The tray icon against a StatusNotifierWatcher and host on a session bus of
// the test's own (tests/shell/sni_watcher.py, what Xfce's, KDE's and waybar's
// trays do on the bus), on a real display server: an X server (Xvfb) with
// `x11`, a headless Wayland compositor (sway) with `wayland`. The watcher
// starts after the tool, goes and comes back; the host clicks the icon
// (Activate); a watcher that claims a host nobody runs leaves the status
// window up; the status window comes up behind an open sheet.
//
// Exit status 77 (skipped) where Xvfb, sway, dbus-daemon or python3-dbus is
// missing.

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
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

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    ::testing::InitGoogleTest(&argc, argv);
    g_platform = argc > 1 ? argv[1] : "x11";
    std::vector<std::string> needed = {"dbus-daemon", "/usr/bin/python3"};
    needed.push_back(g_platform == "wayland" ? "sway" : "Xvfb");
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
