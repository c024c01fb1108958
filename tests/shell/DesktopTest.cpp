// The tool on a desktop: one instance per user and session and what a second
// start does, the status window where no tray host shows the icon, service
// commands that leave the tool alive, and the ways a run ends. In-process on
// the offscreen platform, and the real program where a process of its own
// is the point (signals, a second start, no display).

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include "BuildInfo.h"
#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/system/StatusEvent.h"
#include "shell/QtPluginPaths.h"
#include "shell/SettingApp.h"
#include "shell/StatusWindow.h"
#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// A tray that tests observe, and whose host comes and goes at their word.
class CTestTray final : public ITrayIcon {
public:
    void Add(int id, const QIcon&, const QString& text) override {
        shown = true;
        iconId = id;
        tip = text;
    }
    void Modify(int id, const QIcon&, const QString& text) override {
        iconId = id;
        tip = text;
    }
    void Remove() override {
        shown = false;
        ++removes;
    }
    void SetMenu(QMenu*) override {}
    bool IsAvailable() const override { return available; }

    bool available = true;
    bool shown = false;
    int removes = 0;
    int iconId = 0;
    QString tip;
};

// Real sleeps a hundred times shorter: ten seconds without a tray host are
// a tenth of a second, a monitor cycle 50 ms.
class CShortClock final : public Clock {
public:
    std::uint64_t NowMs() override { return SystemClock::Instance().NowMs() * 100; }
    void SleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(ms * 10));
    }
};

class CCountingSheet final : public ISettingsSheet {
public:
    explicit CCountingSheet(std::function<void()> whileOpen) : m_whileOpen(std::move(whileOpen)) {}
    int RunModal() override {
        if (m_whileOpen)
            m_whileOpen();
        return IDCANCEL;
    }
    void Activate() override { ++activations; }
    void CloseWithoutSaving() override {}
    static inline int activations = 0;

private:
    std::function<void()> m_whileOpen;
};

QString Str(unsigned id, CResourceModule* module = nullptr) {
    const auto text = (module ? module : CResourceLookup::ProgramModule())->LoadString(id);
    return text ? QString::fromStdU16String(*text) : QString();
}

bool WaitFor(const std::function<bool()>& condition, int ms = 5000) {
    const auto end = SteadyClock::now() + Ms(ms);
    while (!condition()) {
        if (SteadyClock::now() > end)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(Ms(2));
    }
    return true;
}

// Sets or removes an environment variable until the end of the test.
class CScopedEnv {
public:
    CScopedEnv(const char* name, const std::optional<std::string>& value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~CScopedEnv() {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

struct ProgramRun {
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    std::string standardError;
};

class DesktopTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        // Language libraries and plug-ins are read only from a tree nobody
        // else can write; the directory above stays open to the parts that
        // run as another user, but sticky, as /tmp is.
        fs::permissions(m_temp.Path(), fs::perms::sticky_bit, fs::perm_options::add);
        fs::permissions(m_home, fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        fs::create_directories(m_runtime);
        fs::permissions(m_runtime, fs::perms::owner_all, fs::perm_options::replace);
        m_env.emplace_back(std::make_unique<CScopedEnv>("XDG_RUNTIME_DIR", m_runtime.string()));
        m_env.emplace_back(std::make_unique<CScopedEnv>("XDG_SESSION_ID", m_session));
        ASSERT_EQ(m_bus.Start(), "");
        m_bus.AddUnit("opal-agent.service", "active");
        WriteFileBytes(HomeFile("AgentSysConfig.xml"),
                       "<AgentSysConfig><AgentServiceName>opal-agent</AgentServiceName>"
                       "<PluginType>0</PluginType></AgentSysConfig>");
        WriteFileBytes(HomeFile("AgentLocalConfig.xml"),
                       "<AgentLocalConfig><DebugLogConfig><DebugLogLevel>LL_FOR_ALL</DebugLogLevel>"
                       "<DebugLogPath>log</DebugLogPath></DebugLogConfig></AgentLocalConfig>");
        WriteFileBytes(HomeFile("SettingToolSysConfig.xml"),
                       "<SettingToolSysConfig><Language>0</Language></SettingToolSysConfig>");
        WriteFileBytes(HomeFile("AgentStatus.xml"),
                       "<AgentStatusData><RegisterStatus>1</RegisterStatus><NetConfigChanged>0"
                       "</NetConfigChanged><MonitorExitTag>0</MonitorExitTag></AgentStatusData>");
        SetAgentRegistryInt(u"AgentStatus", 1);
        SetAgentRegistryInt(u"ToolTag", 0);
        StatusEvent::Unlink(m_eventName);
        m_recorder = std::make_unique<CMessageBoxRecorder>();
        CCountingSheet::activations = 0;
    }
    void TearDown() override {
        m_apps.clear();
        m_recorder.reset();
        StatusEvent::Unlink(m_eventName);
        LogShutdown();
        m_bus.Stop();
        m_env.clear();
        AgentHomeTest::TearDown();
    }

    CSettingApp* Start(const std::function<void(CSettingApp::Options&)>& adjust = {}) {
        CSettingApp::Options options;
        options.clock = &m_clock;
        options.statusEventName = m_eventName;
        CTestTray* tray = nullptr;
        options.makeTrayIcon = [this, &tray] {
            auto made = std::make_unique<CTestTray>();
            made->available = m_trayAvailable;
            tray = made.get();
            return made;
        };
        if (adjust)
            adjust(options);
        auto app = std::make_unique<CSettingApp>(options);
        if (!app->InitInstance())
            return nullptr;
        m_trays.push_back(tray);
        m_apps.push_back(std::move(app));
        return m_apps.back().get();
    }
    CTestTray& Tray(std::size_t i = 0) { return *m_trays.at(i); }
    std::string Log() const { return ReadFileBytes(m_home / "log/OPALAgentSetting.log"); }

    // The real program, copied into the agent home, which it takes for its
    // own directory.
    QString Program() {
        const fs::path copy = m_home / "opal-agent-setting";
        if (!FileExists(copy))
            fs::copy_file(OPAL_PROGRAM, copy);
        return QString::fromStdString(copy.string());
    }
    QProcessEnvironment ProgramEnvironment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("OPAL_STATUS_EVENT", QString::fromStdU16String(m_eventName));
        // The program's own leaks are the in-process tests' business.
        environment.insert("ASAN_OPTIONS", "detect_leaks=0");
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        return environment;
    }
    void StartProgram(QProcess& process, const QStringList& arguments,
                      const QProcessEnvironment& environment) {
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(Program(), arguments);
        ASSERT_TRUE(process.waitForStarted(10000));
    }
    // Runs the program to its end while this process's event loop goes on.
    ProgramRun RunProgram(const QStringList& arguments, const QProcessEnvironment& environment,
                          int timeoutMs = 20000) {
        QProcess process;
        ProgramRun run;
        StartProgram(process, arguments, environment);
        if (!WaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "the program did not end";
        }
        run.exitCode = process.exitCode();
        run.exitStatus = process.exitStatus();
        run.standardError = process.readAllStandardError().toStdString();
        return run;
    }
    std::string SocketPath() const {
        return (m_runtime / ("OPAL_AGENT_Setting_TOOL_0-" + m_session + ".sock")).string();
    }

    fs::path m_runtime = m_temp.Path() / "run";
    const std::string m_session = "desk" + std::to_string(::getpid());
    std::vector<std::unique_ptr<CScopedEnv>> m_env;
    FakeSystemBus m_bus;
    CShortClock m_clock;
    bool m_trayAvailable = true;
    const std::u16string m_eventName =
        u"Global\\OPAL_AGENT_STATUS_NOTIFY_desk" + ToWideString(std::to_string(::getpid()), CP_ACP);
    std::unique_ptr<CMessageBoxRecorder> m_recorder;
    std::vector<std::unique_ptr<CSettingApp>> m_apps;
    std::vector<CTestTray*> m_trays;
};

} // namespace

TEST_F(DesktopTest, TheLockAndItsSocketLiveInTheRuntimeDirectory) {
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->InstanceSocketPath(), SocketPath());
    struct stat info {};
    ASSERT_EQ(
        ::lstat((m_runtime / ("OPAL_AGENT_Setting_TOOL_0-" + m_session + ".lock")).c_str(), &info),
        0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ASSERT_EQ(::lstat(SocketPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    m_apps.clear();
    EXPECT_FALSE(FileExists(SocketPath())) << "the socket goes with the instance";
}

TEST_F(DesktopTest, SecondStartWithConfigureOpensTheFirstInstancesSheetAndEnds) {
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    int created = 0;
    ProgramRun whileOpen;
    app->MainFrame()->SetSettingsSheetFactory([&]() -> std::unique_ptr<ISettingsSheet> {
        ++created;
        // With the sheet open, another such start only brings it forward.
        return std::make_unique<CCountingSheet>([&] {
            whileOpen = RunProgram({"--configure", "-platform", "offscreen"}, ProgramEnvironment());
        });
    });

    const ProgramRun run =
        RunProgram({"--configure", "-platform", "offscreen"}, ProgramEnvironment());
    EXPECT_EQ(run.exitStatus, QProcess::NormalExit);
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    ASSERT_TRUE(WaitFor([&] { return created == 1 && app->MainFrame()->OpenSheet() == nullptr; }));
    EXPECT_EQ(whileOpen.exitCode, 0) << whileOpen.standardError;
    EXPECT_EQ(CCountingSheet::activations, 1);
    EXPECT_EQ(created, 1);
    EXPECT_TRUE(m_recorder->Records().empty()) << "no 'already running' for a handed-over start";
    const std::string log = Log();
    EXPECT_NE(log.find("A later start asks for the settings sheet. [SettingApp.cpp|"),
              std::string::npos);
    EXPECT_NE(log.find("The running instance opens its settings sheet. [SettingApp.cpp|"),
              std::string::npos);

    // A plain second start is refused as before, and opens nothing.
    EXPECT_EQ(Start(), nullptr);
    ASSERT_EQ(m_recorder->Records().size(), 1u);
    EXPECT_EQ(QString::fromStdU16String(m_recorder->Records()[0].text), Str(7033));
    EXPECT_EQ(m_recorder->Records()[0].icon, MessageIcon::Warning);
    QCoreApplication::processEvents();
    EXPECT_EQ(created, 1);
}

TEST_F(DesktopTest, ConfigureWithNobodyToAnswerFallsBackToTheAlreadyRunningMessage) {
    // An instance holds the lock but does not listen: something that is not
    // its socket stands where the socket would be.
    WriteFileBytes(SocketPath(), "");
    ASSERT_NE(Start(), nullptr);
    ASSERT_EQ(m_apps[0]->InstanceSocketPath(), "");
    EXPECT_EQ(Start([](CSettingApp::Options& o) { o.configureAtStart = true; }), nullptr);
    ASSERT_EQ(m_recorder->Records().size(), 1u);
    EXPECT_EQ(QString::fromStdU16String(m_recorder->Records()[0].text), Str(7033));
    EXPECT_FALSE(m_apps.back()->Forwarded());
}

TEST_F(DesktopTest, AnotherUsersLeftoverLockInTheSharedFallbackDoesNotBlock) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to leave a file in another user's name";
    const fs::path shared = m_temp.Path() / "tmp";
    fs::create_directories(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    fs::create_directories(m_home / "log");
    ASSERT_EQ(::chmod((m_home / "log").c_str(), 0777), 0);
    const std::string leftover =
        (shared / ("OPAL_AGENT_Setting_TOOL_0-65534-" + m_session + ".lock")).string();
    for (const mode_t mode : {mode_t{0600}, mode_t{0644}}) {
        ::unlink(leftover.c_str());
        const int fd = ::open(leftover.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::fchmod(fd, mode), 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "its owner even holds it";
        const int rc = RunUnprivileged([&] {
            CSettingApp* app =
                Start([&](CSettingApp::Options& o) { o.lockDirectory = shared.string(); });
            return app != nullptr ? 0 : 1;
        });
        ::close(fd);
        EXPECT_EQ(rc, 0) << std::oct << mode;
        const std::string log = Log();
        EXPECT_NE(log.find("The instance lock " + leftover +
                           " is not this user's own; running without it."),
                  std::string::npos)
            << log;
        fs::remove(m_home / "log/OPALAgentSetting.log");
    }
    EXPECT_TRUE(m_recorder->Records().empty());
}

TEST_F(DesktopTest, SignalsToTheProgramRunTheExitSequence) {
    StatusEvent agentSide;
    ASSERT_EQ(agentSide.Create(m_eventName), 0);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        fs::remove(m_home / "log/OPALAgentSetting.log");
        ASSERT_EQ(agentSide.Value(), 0);
        QProcess process;
        StartProgram(process, {"-platform", "offscreen"}, ProgramEnvironment());
        // The socket is made once the frame is up and the signals are heard.
        ASSERT_TRUE(WaitFor([&] { return FileExists(SocketPath()); }, 20000))
            << process.readAllStandardError().toStdString();
        ASSERT_EQ(::kill(static_cast<pid_t>(process.processId()), signal), 0);
        ASSERT_TRUE(WaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(process.exitCode(), 0) << signal;
        EXPECT_EQ(agentSide.Value(), 1) << "the status event is signalled at exit";
        EXPECT_TRUE(agentSide.TryWait());
        EXPECT_FALSE(FileExists(SocketPath()));

        const std::string log = Log();
        const std::string name = std::string("SIG") + sigabbrev_np(signal);
        const std::size_t received = log.find(name + " received; the tool exits.");
        const std::size_t waited = log.find("WaitThreadExit. [SettingApp.cpp|");
        const std::size_t exits = log.find("Agent setting tool exits.  [MainFrame.cpp|");
        ASSERT_NE(received, std::string::npos) << log;
        ASSERT_NE(waited, std::string::npos) << log;
        ASSERT_NE(exits, std::string::npos) << log;
        EXPECT_LT(received, waited);
        EXPECT_LT(waited, exits);
        EXPECT_EQ(log.find("\r\n", exits) + 2, log.size()) << "the last line of the run";
    }
}

TEST_F(DesktopTest, SignalsInTheProcessEndTheRunOnce) {
    CSettingApp* app = Start([](CSettingApp::Options& o) { o.exitOnSignals = true; });
    ASSERT_NE(app, nullptr);
    int exits = 0;
    QObject::connect(app->MainFrame(), &CMainFrame::ExitRequested, [&] { ++exits; });
    StatusEvent agentSide;
    ASSERT_EQ(agentSide.Open(m_eventName), 0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_TRUE(WaitFor([&] { return exits > 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(Tray().removes, 1);
    EXPECT_FALSE(app->MonitorRunning());
    EXPECT_EQ(agentSide.Value(), 1);
    m_apps.clear();
    struct sigaction current {};
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_DFL) << "the handlers go with the application";
}

TEST_F(DesktopTest, WithoutADisplayOneLineAndStatusOne) {
    std::string freeDisplay;
    for (int n = 700; n < 800 && freeDisplay.empty(); ++n) {
        if (!FileExists("/tmp/.X11-unix/X" + std::to_string(n)) &&
            !FileExists("/tmp/.X" + std::to_string(n) + "-lock"))
            freeDisplay = ":" + std::to_string(n);
    }
    ASSERT_FALSE(freeDisplay.empty());
    const std::string ctlHint =
        "; without a display, use opal-agent-ctl to see and change the agent's settings";
    const struct {
        const char* name;
        const char* display;
        bool withCtl;
        std::string line;
    } cases[] = {
        {"none", nullptr, false, "no display: neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {"none, the command-line tool beside", nullptr, true,
         "no display: neither DISPLAY nor WAYLAND_DISPLAY is set" + ctlHint},
        {"one that is not there", freeDisplay.c_str(), false,
         "cannot connect to display " + freeDisplay},
        {"not there, the tool beside", freeDisplay.c_str(), true,
         "cannot connect to display " + freeDisplay + ctlHint},
    };
    const QString program = Program();
    for (const auto& c : cases) {
        fs::remove(m_home / "opal-agent-ctl");
        if (c.withCtl) {
            WriteFileBytes(m_home / "opal-agent-ctl", "#!/bin/sh\n");
            ::chmod((m_home / "opal-agent-ctl").c_str(), 0755);
        }
        QProcessEnvironment environment = ProgramEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        environment.insert("PATH", "/usr/bin:/bin");
        if (c.display)
            environment.insert("DISPLAY", c.display);
        const ProgramRun run = RunProgram({}, environment);
        EXPECT_EQ(run.exitStatus, QProcess::NormalExit) << c.name;
        EXPECT_EQ(run.exitCode, 1) << c.name;
        EXPECT_EQ(run.standardError, program.toStdString() + ": " + c.line + "\n") << c.name;
    }
}

TEST_F(DesktopTest, StatusWindowWhenNoTrayHostTurnsUpAndItsGivingWay) {
    m_trayAvailable = false;
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    CMainFrame* frame = app->MainFrame();
    const std::uint64_t begin = m_clock.NowMs();
    frame->CheckTrayHost();
    EXPECT_EQ(frame->StatusWindow(), nullptr) << "the tray host has ten seconds to show up";
    ASSERT_TRUE(WaitFor([&] {
        frame->CheckTrayHost();
        return frame->StatusWindow() != nullptr && frame->StatusWindow()->isVisible();
    }));
    EXPECT_GE(m_clock.NowMs() - begin, TRAY_HOST_WAIT_MS);
    CStatusWindow* window = frame->StatusWindow();
    EXPECT_EQ(window->windowTitle(), Str(7022));
    EXPECT_EQ(window->TipText(), Str(7051));
    EXPECT_EQ(window->Button(ID_CONFIGURE)->text(), Str(7112));
    EXPECT_EQ(window->LanguageButton()->text(), Str(7113));
    EXPECT_EQ(window->Button(ID_EXIT)->text(), Str(7117));
    EXPECT_NE(window->LanguageButton()->menu(), nullptr);
    EXPECT_TRUE(frame->LanguageMenuBuilt()) << "no tray click builds the language items here";
    EXPECT_NE(Log().find(
                  "No notification area for 10 seconds; the status window stands in for the icon."),
              std::string::npos);

    // A tray host turns up: the icon takes over. It goes again: after the
    // same wait the window is back.
    Tray().available = true;
    frame->CheckTrayHost();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(Tray().shown);
    Tray().available = false;
    frame->CheckTrayHost();
    EXPECT_FALSE(window->isVisible());
    ASSERT_TRUE(WaitFor([&] {
        frame->CheckTrayHost();
        return window->isVisible();
    }));
}

TEST_F(DesktopTest, StatusWindowStaysInStepWithTheMonitor) {
    CSettingApp* app = Start([](CSettingApp::Options& o) { o.statusWindow = true; });
    ASSERT_NE(app, nullptr);
    CStatusWindow* window = app->MainFrame()->StatusWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible()) << "--window shows it from the start";
    // The menu's rule for the service's buttons, as the monitor sees the
    // service; the icon's tip follows the agent.
    const struct {
        const char* unit;
        unsigned state;
        bool running;
        unsigned tip;
    } steps[] = {
        {"active", IDS_SERVICE_RUNNING, true, 7051},
        {"inactive", IDS_SERVICE_STOPPED, false, 7042}, // the dead-agent check
        {"active", IDS_SERVICE_RUNNING, true, 7042},
    };
    for (const auto& step : steps) {
        m_bus.AddUnit("opal-agent.service", step.unit);
        EXPECT_TRUE(WaitFor([&] {
            return window->ServiceStateText() == Str(step.state) &&
                   window->TipText() == Str(step.tip);
        })) << step.unit
            << ": " << window->ServiceStateText().toStdString();
        EXPECT_EQ(window->Button(ID_START_SERVICE)->isEnabled(), !step.running) << step.unit;
        EXPECT_EQ(window->Button(ID_STOP_SERVICE)->isEnabled(), step.running) << step.unit;
        EXPECT_EQ(window->Button(ID_RESTART_SERVICE)->isEnabled(), step.running) << step.unit;
        EXPECT_TRUE(window->Button(ID_CONFIGURE)->isEnabled());
        EXPECT_TRUE(window->Button(ID_EXIT)->isEnabled());
        EXPECT_EQ(Tray().tip, Str(step.tip));
    }
    // A state nobody can read (the bus has gone): the buttons are those of a
    // stopped service.
    m_bus.Stop();
    ASSERT_TRUE(
        WaitFor([&] { return window->ServiceStateText() == Str(IDS_SERVICE_STATE_UNKNOWN); }));
    EXPECT_TRUE(window->Button(ID_START_SERVICE)->isEnabled());
    EXPECT_FALSE(window->Button(ID_STOP_SERVICE)->isEnabled());

    // Forced, it stays when a tray host is there.
    Tray().available = true;
    app->MainFrame()->CheckTrayHost();
    EXPECT_TRUE(window->isVisible());
}

TEST_F(DesktopTest, StatusWindowInTheSavedLanguage) {
    fs::create_directories(m_home / "Language");
    fs::copy_file(OPAL_LEXIDRA, m_home / "Language/Lexidra.so");
    WriteFileBytes(HomeFile("SettingToolSysConfig.xml"),
                   "<SettingToolSysConfig><Language>3</Language></SettingToolSysConfig>");
    CSettingApp* app = Start([](CSettingApp::Options& o) { o.statusWindow = true; });
    ASSERT_NE(app, nullptr);
    CResourceModule* japanese = app->Languages().at(0).module.get();
    CStatusWindow* window = app->MainFrame()->StatusWindow();
    ASSERT_NE(window, nullptr);
    for (const auto& [command, text] :
         {std::pair{ID_CONFIGURE, 7112u}, std::pair{ID_START_SERVICE, 7114u},
          std::pair{ID_STOP_SERVICE, 7115u}, std::pair{ID_RESTART_SERVICE, 7116u},
          std::pair{ID_EXIT, 7117u}}) {
        EXPECT_EQ(window->Button(command)->text(), Str(text, japanese)) << command;
        EXPECT_NE(Str(text, japanese), Str(text));
    }
    EXPECT_EQ(window->windowTitle(), Str(7022, japanese));
    EXPECT_EQ(window->TipText(), Str(7051, japanese));
    ASSERT_TRUE(
        WaitFor([&] { return window->ServiceStateText() == Str(IDS_SERVICE_RUNNING, japanese); }));

    // Switching to English from the window's language menu: its texts
    // follow, and the sheet opens as from the tray.
    int created = 0;
    app->MainFrame()->SetSettingsSheetFactory([&]() -> std::unique_ptr<ISettingsSheet> {
        ++created;
        return std::make_unique<CCountingSheet>(nullptr);
    });
    QAction* english = window->LanguageButton()->menu()->actions().at(0);
    english->trigger();
    EXPECT_EQ(window->Button(ID_CONFIGURE)->text(), Str(7112));
    EXPECT_EQ(window->ServiceStateText(), Str(IDS_SERVICE_RUNNING));
    EXPECT_EQ(created, 1);
}

TEST_F(DesktopTest, StatusWindowsButtonsAndClosingIt) {
    enum class How { ExitButton, Close };
    for (const How how : {How::ExitButton, How::Close}) {
        m_apps.clear();
        m_trays.clear();
        StatusEvent::Unlink(m_eventName);
        CSettingApp* app = Start([](CSettingApp::Options& o) { o.statusWindow = true; });
        ASSERT_NE(app, nullptr);
        CMainFrame* frame = app->MainFrame();
        CStatusWindow* window = frame->StatusWindow();
        int created = 0;
        frame->SetSettingsSheetFactory([&]() -> std::unique_ptr<ISettingsSheet> {
            ++created;
            return std::make_unique<CCountingSheet>(nullptr);
        });
        window->Button(ID_CONFIGURE)->click();
        EXPECT_EQ(created, 1);

        int exits = 0;
        QObject::connect(frame, &CMainFrame::ExitRequested, [&] { ++exits; });
        StatusEvent agentSide;
        ASSERT_EQ(agentSide.Open(m_eventName), 0);
        if (how == How::ExitButton)
            window->Button(ID_EXIT)->click();
        else
            window->close();
        EXPECT_EQ(exits, 1);
        EXPECT_FALSE(window->isVisible());
        EXPECT_FALSE(Tray().shown);
        EXPECT_FALSE(app->MonitorRunning());
        EXPECT_EQ(agentSide.Value(), 1);
        window->close();
        EXPECT_EQ(exits, 1) << "the exit sequence runs once";
    }
}

TEST_F(DesktopTest, AServiceCommandThatWaitsLeavesTheToolAlive) {
    // Real time here: the fake's stop takes three seconds of it.
    m_bus.AddUnit("opal-agent.service", "active", "active", "deactivating@3000,inactive");
    CSettingApp* app = Start([](CSettingApp::Options& o) {
        o.clock = &SystemClock::Instance();
        o.statusWindow = true;
    });
    ASSERT_NE(app, nullptr);
    CMainFrame* frame = app->MainFrame();
    CStatusWindow* window = frame->StatusWindow();
    const QString statusTip = Tray().tip;
    int ticks = 0;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start();

    const auto begin = SteadyClock::now();
    frame->OnCommand(ID_STOP_SERVICE);
    EXPECT_LT(SteadyClock::now() - begin, Ms(500)) << "the command does not hold the UI thread";
    EXPECT_TRUE(frame->ServiceCommandRunning());
    EXPECT_EQ(Tray().tip, Str(IDS_SERVICE_STOPPING));
    EXPECT_EQ(window->ServiceStateText(), Str(IDS_SERVICE_STOPPING));
    EXPECT_EQ(window->TipText(), statusTip) << "the window keeps the status beside the operation";
    emit Tray().MenuAboutToShow();
    for (const int position : {3, 4, 5})
        EXPECT_FALSE(frame->TrayAction(position)->isEnabled()) << position;
    for (const int command : {ID_START_SERVICE, ID_STOP_SERVICE, ID_RESTART_SERVICE})
        EXPECT_FALSE(window->Button(command)->isEnabled()) << command;
    EXPECT_TRUE(window->Button(ID_CONFIGURE)->isEnabled());
    frame->OnCommand(ID_RESTART_SERVICE);

    ASSERT_TRUE(WaitFor([&] { return !m_recorder->Records().empty(); }, 20000));
    EXPECT_GE(SteadyClock::now() - begin, Ms(2500));
    EXPECT_GE(ticks, 50) << "the event loop kept serving while the service stopped";
    EXPECT_FALSE(frame->ServiceCommandRunning());
    ASSERT_EQ(m_recorder->Records().size(), 1u);
    const auto& box = m_recorder->Records()[0];
    EXPECT_EQ(QString::fromStdU16String(box.text), Str(7011).replace("%s", "opal-agent"));
    EXPECT_EQ(QString::fromStdU16String(box.caption), Str(7022));
    EXPECT_EQ(box.icon, MessageIcon::Information);
    EXPECT_TRUE(box.topmost);
    EXPECT_FALSE(box.hadOwner);
    const auto jobs = m_bus.JobCalls();
    ASSERT_EQ(jobs.size(), 1u) << "nothing else was started meanwhile";
    EXPECT_EQ(jobs[0].rfind("StopUnit opal-agent.service", 0), 0u);

    EXPECT_EQ(Tray().tip, statusTip);
    EXPECT_EQ(window->ServiceStateText(), Str(IDS_SERVICE_STOPPED));
    EXPECT_TRUE(window->Button(ID_START_SERVICE)->isEnabled());
    EXPECT_FALSE(window->Button(ID_STOP_SERVICE)->isEnabled());
    EXPECT_TRUE(frame->TrayAction(3)->isEnabled());
}

TEST_F(DesktopTest, ExitWhileAServiceCommandWaitsDoesNotWaitForTheService) {
    m_bus.AddUnit("opal-agent.service", "inactive", "activating@600000,active");
    CSettingApp* app = Start([](CSettingApp::Options& o) { o.clock = &SystemClock::Instance(); });
    ASSERT_NE(app, nullptr);
    CMainFrame* frame = app->MainFrame();
    int exits = 0;
    QObject::connect(frame, &CMainFrame::ExitRequested, [&] { ++exits; });
    frame->OnCommand(ID_START_SERVICE);
    ASSERT_TRUE(frame->ServiceCommandRunning());
    EXPECT_EQ(Tray().tip, Str(IDS_SERVICE_STARTING));
    std::this_thread::sleep_for(Ms(100));
    const auto begin = SteadyClock::now();
    frame->Exit();
    EXPECT_LT(SteadyClock::now() - begin, Ms(8000));
    EXPECT_EQ(exits, 1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(m_recorder->Records().empty()) << "no outcome box after the end";
    EXPECT_FALSE(app->MonitorRunning());
}

TEST_F(DesktopTest, ARefusedServiceCommandTellsWhoMayRunIt) {
    // polkit's refusal reaches the tray's outcome box through the worker
    // thread, which carries its own copy of the texts.
    CSettingApp* app = Start([](CSettingApp::Options& o) { o.clock = &SystemClock::Instance(); });
    ASSERT_NE(app, nullptr);
    for (const auto& [command, method] :
         {std::pair{ID_STOP_SERVICE, "StopUnit"}, std::pair{ID_RESTART_SERVICE, "StopUnit"}}) {
        m_recorder.reset();
        m_recorder = std::make_unique<CMessageBoxRecorder>();
        m_bus.FailNext(method, "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired",
                       "Interactive authentication required.");
        app->MainFrame()->OnCommand(command);
        ASSERT_TRUE(WaitFor([&] { return !m_recorder->Records().empty(); }, 20000)) << method;
        const auto& box = m_recorder->Records()[0];
        const QString hint = Str(7132).replace("%s", OPAL_ADMIN_GROUP);
        EXPECT_FALSE(hint.isEmpty());
        EXPECT_EQ(QString::fromStdU16String(box.text),
                  "Interactive authentication required. " + hint)
            << method;
        EXPECT_EQ(box.icon, MessageIcon::Error);
    }
}

// Qt adds the program's directory to its plug-in search: it stays there only
// when nobody but root (or the owner of this home) could drop a library in.
TEST_F(DesktopTest, QtTakesNoPluginsFromADirectoryOthersCanWrite) {
    const QString home = QDir(QString::fromStdString(m_home.string())).canonicalPath();
    for (const bool open : {true, false}) {
        ::chmod(m_home.c_str(), open ? 02777 : 0755);
        QCoreApplication::addLibraryPath(home);
        ASSERT_TRUE(QCoreApplication::libraryPaths().contains(home));
        const std::string refused = RestrictQtLibraryPaths(home);
        EXPECT_EQ(refused.empty(), !open) << refused;
        EXPECT_EQ(QCoreApplication::libraryPaths().contains(home), !open) << open;
        QCoreApplication::removeLibraryPath(home);
    }
    if (::geteuid() == 0) {
        // A member's own directory in root's tree.
        ASSERT_EQ(::chown(m_home.c_str(), 64123, 0), 0);
        QCoreApplication::addLibraryPath(home);
        EXPECT_FALSE(RestrictQtLibraryPaths(home).empty());
        EXPECT_FALSE(QCoreApplication::libraryPaths().contains(home));
        ASSERT_EQ(::chown(m_home.c_str(), 0, 0), 0);
    }
}

// Without a runtime directory the lock goes to the user's own directory in
// /tmp; whatever another user planted at its name, the tool starts and says
// why it runs without the lock.
TEST_F(DesktopTest, ForeignThingsAtTheUsersLockDirectoryInTmpDoNotKeepTheToolFromStarting) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to plant things in another user's name";
    constexpr uid_t kAttacker = 64123;
    const fs::path tmp = m_temp.Path() / "tmp";
    fs::create_directories(tmp);
    ASSERT_EQ(::chmod(tmp.c_str(), 01777), 0);
    fs::create_directories(m_home / "log");
    ASSERT_EQ(::chmod((m_home / "log").c_str(), 0777), 0);
    const fs::path own = tmp / ("opal-agent-setting-" + std::to_string(NOBODY_UID));
    const struct {
        const char* what;
        std::function<void()> plant;
    } cases[] = {
        {"a directory", [&] { fs::create_directory(own), ::chmod(own.c_str(), 01777); }},
        {"a FIFO", [&] { ::mkfifo(own.c_str(), 0666); }},
        {"a link", [&] { fs::create_directory_symlink(m_temp.Path(), own); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(own);
        c.plant();
        ASSERT_EQ(::lchown(own.c_str(), kAttacker, kAttacker), 0);
        const int rc = RunUnprivileged([&] {
            CSettingApp* app = Start([&](CSettingApp::Options& o) { o.lockDirectory = own; });
            return app != nullptr ? 0 : 1;
        });
        EXPECT_EQ(rc, 0);
        const std::string log = Log();
        EXPECT_NE(log.find("is not this user's own; running without it."), std::string::npos)
            << log;
        fs::remove(m_home / "log/OPALAgentSetting.log");
    }
    EXPECT_TRUE(m_recorder->Records().empty());
}
