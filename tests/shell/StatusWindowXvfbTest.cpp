// The status window on a real X server with no tray host: a virtual display
// (Xvfb) of this test's own, the tool's real tray icon (QSystemTrayIcon over
// XEmbed), and trayer, Debian's XEmbed tray host, started halfway through.
// Writes what the window looks like on X to
// <screenshots>/{en,ja}/status-window-x11.png.
//
// Exit status 77 (skipped) where Xvfb or trayer is missing.

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QWindow>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/system/StatusEvent.h"
#include "res/ProgramResources.h"
#include "shell/SettingApp.h"
#include "shell/StatusWindow.h"
#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

using Ms = std::chrono::milliseconds;

bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Starts `args` with its output in `log`; it dies with this process.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
    testsupport::ChildOutput output;
    output.log = log;
    return testsupport::SpawnChild(args, output);
}

void Stop(pid_t& pid) {
    testsupport::StopChild(pid);
}

bool Alive(pid_t pid) {
    return testsupport::ChildRunning(pid);
}

// Xvfb on a display number of its own in 700-799, picked free.
class CVirtualDisplay {
public:
    ~CVirtualDisplay() { Stop(m_pid); }
    bool Start(const std::string& logDirectory) {
        const int first = static_cast<int>(::getpid() % 100);
        for (int i = 0; i < 100; ++i) {
            const int number = 700 + (first + i) % 100;
            const std::string n = std::to_string(number);
            if (FileExists("/tmp/.X" + n + "-lock") || FileExists("/tmp/.X11-unix/X" + n))
                continue;
            m_pid = Spawn({"Xvfb", ":" + n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                          logDirectory + "/xvfb.log");
            for (int wait = 0; wait < 100 && Alive(m_pid); ++wait) {
                if (FileExists("/tmp/.X11-unix/X" + n)) {
                    m_display = ":" + n;
                    return true;
                }
                std::this_thread::sleep_for(Ms(50));
            }
            Stop(m_pid); // lost the race for that number, or did not start
        }
        return false;
    }
    const std::string& Display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

class CShortClock final : public Clock {
public:
    std::uint64_t NowMs() override { return SystemClock::Instance().NowMs() * 100; }
    void SleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(ms * 10));
    }
};

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

QString Str(unsigned id, CResourceModule* module) {
    return QString::fromStdU16String(module->LoadString(id).value_or(u""));
}

class StatusWindowOnX11 : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        // Language libraries and plug-ins are read only from a tree nobody
        // else can write; the directory above stays open to the parts that
        // run as another user, but sticky, as /tmp is.
        fs::permissions(m_temp.Path(), fs::perms::sticky_bit, fs::perm_options::add);
        fs::permissions(m_home, fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        ASSERT_EQ(m_bus.Start(), "");
        m_bus.AddUnit("opal-agent.service", "inactive");
        WriteFileBytes(HomeFile("AgentSysConfig.xml"),
                       "<AgentSysConfig><AgentServiceName>opal-agent</AgentServiceName>"
                       "<PluginType>0</PluginType></AgentSysConfig>");
        WriteFileBytes(HomeFile("AgentLocalConfig.xml"),
                       "<AgentLocalConfig><DebugLogConfig><DebugLogLevel>LL_FOR_ALL</DebugLogLevel>"
                       "<DebugLogPath>log</DebugLogPath></DebugLogConfig></AgentLocalConfig>");
        WriteFileBytes(HomeFile("AgentStatus.xml"),
                       "<AgentStatusData><RegisterStatus>1</RegisterStatus><NetConfigChanged>0"
                       "</NetConfigChanged><MonitorExitTag>0</MonitorExitTag></AgentStatusData>");
        SetAgentRegistryInt(u"AgentStatus", 4);
        SetAgentRegistryInt(u"ToolTag", 0);
        StatusEvent::Unlink(m_eventName);
    }
    void TearDown() override {
        Stop(m_trayer);
        m_app.reset();
        StatusEvent::Unlink(m_eventName);
        LogShutdown();
        AgentHomeTest::TearDown();
    }

    void UseLanguage(int number) {
        if (number != 0) {
            fs::create_directories(m_home / "Language");
            fs::copy_file(OPAL_LEXIDRA, m_home / "Language/Lexidra.so",
                          fs::copy_options::overwrite_existing);
        }
        WriteFileBytes(HomeFile("SettingToolSysConfig.xml"),
                       "<SettingToolSysConfig><Language>" + std::to_string(number) +
                           "</Language></SettingToolSysConfig>");
    }
    CSettingApp* Start() {
        CSettingApp::Options options;
        options.clock = &m_clock;
        options.lockDirectory = m_temp.Path().string();
        options.statusEventName = m_eventName;
        m_app = std::make_unique<CSettingApp>(options);
        return m_app->InitInstance() ? m_app.get() : nullptr;
    }
    void StartTrayer() {
        m_trayer = Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                          "--height", "24", "--SetDockType", "true", "--transparent", "false",
                          "--expand", "false"},
                         m_temp / "trayer.log");
    }

    // The window's picture as the X server has it.
    void SaveScreenshot(CStatusWindow& window, const std::string& language) {
        ASSERT_TRUE(
            WaitFor([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }));
        // Let the first frame reach the server before it is read back.
        WaitFor([] { return false; }, 300);
        const QPixmap picture = window.screen()->grabWindow(window.winId());
        ASSERT_FALSE(picture.isNull());
        EXPECT_EQ(picture.size(), window.size());
        const fs::path folder = fs::path(OPAL_SCREENSHOT_DIR) / language;
        fs::create_directories(folder);
        EXPECT_TRUE(
            picture.save(QString::fromStdString((folder / "status-window-x11.png").string())));
    }

    // The whole run of one language: the window stands in, its buttons
    // follow the service, a tray host comes and it gives way, the host goes
    // and it is back.
    void Exercise(const std::string& language) {
        CSettingApp* app = Start();
        ASSERT_NE(app, nullptr);
        CResourceModule* module = app->GetLanguageResourceHandle();
        CMainFrame* frame = app->MainFrame();
        auto* tray = dynamic_cast<CQtTrayIcon*>(&frame->Tray());
        ASSERT_NE(tray, nullptr);
        EXPECT_FALSE(QSystemTrayIcon::isSystemTrayAvailable())
            << "no tray host on this display yet";

        ASSERT_TRUE(
            WaitFor([&] { return frame->StatusWindow() && frame->StatusWindow()->isVisible(); }));
        CStatusWindow& window = *frame->StatusWindow();
        EXPECT_FALSE(tray->IsShown());
        EXPECT_EQ(window.windowTitle(), Str(7022, module));
        EXPECT_EQ(window.TipText(), Str(7043, module));
        EXPECT_EQ(window.Button(ID_CONFIGURE)->text(), Str(7112, module));
        EXPECT_TRUE(window.Button(ID_START_SERVICE)->isEnabled());
        EXPECT_FALSE(window.Button(ID_STOP_SERVICE)->isEnabled());
        EXPECT_FALSE(window.Button(ID_RESTART_SERVICE)->isEnabled());
        EXPECT_EQ(window.ServiceStateText(), Str(IDS_SERVICE_STOPPED, module));
        // Every line is there to be read: a screen reader calls a disabled
        // label unavailable.
        for (const QLabel* label : window.findChildren<QLabel*>())
            EXPECT_TRUE(label->isEnabled()) << label->text().toStdString();
        SaveScreenshot(window, language);

        m_bus.AddUnit("opal-agent.service", "active");
        EXPECT_TRUE(WaitFor([&] { return window.Button(ID_STOP_SERVICE)->isEnabled(); }));
        EXPECT_FALSE(window.Button(ID_START_SERVICE)->isEnabled());
        EXPECT_TRUE(window.Button(ID_RESTART_SERVICE)->isEnabled());
        EXPECT_EQ(window.ServiceStateText(), Str(IDS_SERVICE_RUNNING, module));

        StartTrayer();
        EXPECT_TRUE(WaitFor([&] { return QSystemTrayIcon::isSystemTrayAvailable(); }))
            << ReadFileBytes(m_temp / "trayer.log");
        EXPECT_TRUE(WaitFor([&] { return !window.isVisible() && tray->IsShown(); }))
            << "the window gives way to the icon in trayer";

        Stop(m_trayer);
        EXPECT_TRUE(WaitFor([&] { return !QSystemTrayIcon::isSystemTrayAvailable(); }));
        EXPECT_TRUE(WaitFor([&] { return window.isVisible(); }))
            << "and is back when the host goes";
    }

    FakeSystemBus m_bus;
    CShortClock m_clock;
    std::unique_ptr<CSettingApp> m_app;
    pid_t m_trayer = -1;
    const std::u16string m_eventName =
        u"Global\\OPAL_AGENT_STATUS_NOTIFY_x11" + ToWideString(std::to_string(::getpid()), CP_ACP);
};

} // namespace

TEST_F(StatusWindowOnX11, EnglishStandsInUntilATrayHostStarts) {
    UseLanguage(0);
    Exercise("en");
}

TEST_F(StatusWindowOnX11, JapaneseStandsInUntilATrayHostStarts) {
    UseLanguage(3);
    Exercise("ja");
}

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    ::testing::InitGoogleTest(&argc, argv);
    for (const char* program : {"Xvfb", "trayer"}) {
        if (!OnPath(program)) {
            std::printf("skipped: %s is not installed (scripts/install-deps.sh installs it)\n",
                        program);
            return 77;
        }
    }
    TempDir scratch;
    CVirtualDisplay display;
    if (!display.Start(scratch.Path().string())) {
        std::fprintf(stderr, "no virtual display could be started: %s\n",
                     ReadFileBytes(scratch.Path() / "xvfb.log").c_str());
        return 1;
    }
    // This display only, over XEmbed: no desktop's session bus may offer a
    // StatusNotifier host instead.
    ::setenv("DISPLAY", display.Display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string runtime = scratch / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    int result = 1;
    {
        int qtArgc = 1;
        char name[] = "opal-status-window-x11-test";
        char* qtArgv[] = {name, nullptr};
        QApplication application(qtArgc, qtArgv);
        QApplication::setQuitOnLastWindowClosed(false);
        if (!InstallProgramResources())
            return 1;
        result = RUN_ALL_TESTS();
    }
    return result;
}
