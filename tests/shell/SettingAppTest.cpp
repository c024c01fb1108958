// The tray application through its real frame on the offscreen platform.

#include "shell/SettingApp.h"

#include <chrono>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QTimer>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/system/StatusEvent.h"
#include "shell/PluginLoader.h"
#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"
#include "ui/ConfigureAgent4VSM.h"

using namespace testsupport;

namespace {

// The tray as the tests see it: what the frame last asked it to show.
class CRecordingTrayIcon final : public ITrayIcon {
public:
    void Add(int iconId, const QIcon&, const QString& tip) override {
        shown = true;
        ++adds;
        this->iconId = iconId;
        this->tip = tip;
    }
    void Modify(int iconId, const QIcon&, const QString& tip) override {
        this->iconId = iconId;
        this->tip = tip;
    }
    void Remove() override {
        shown = false;
        ++removes;
    }
    void SetMenu(QMenu* m) override { menu = m; }

    bool shown = false;
    int adds = 0;
    int removes = 0;
    int iconId = 0;
    QString tip;
    QMenu* menu = nullptr;
};

// Real sleeps, a hundred times shorter: the monitor's five-second cycle
// takes 50 ms, and everything else keeps its order in time.
class CShortClock final : public Clock {
public:
    std::uint64_t NowMs() override { return SystemClock::Instance().NowMs() * 100; }
    void SleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(ms * 10));
    }
};

QString Str(unsigned id, CResourceModule* module = nullptr) {
    const auto text = (module ? module : CResourceLookup::ProgramModule())->LoadString(id);
    return text ? QString::fromStdU16String(*text) : QString();
}

bool WaitFor(const std::function<bool()>& condition, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class ShellTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        ASSERT_EQ(m_bus.Start(), "");
        m_bus.AddUnit("opal-agent.service", "inactive");
        WriteSysConfig(0);
        WriteFileBytes(HomeFile("AgentLocalConfig.xml"),
                       "<AgentLocalConfig><DebugLogConfig><DebugLogLevel>LL_FOR_ALL</DebugLogLevel>"
                       "<DebugLogPath>log</DebugLogPath><DebugLogFileName>x.log</DebugLogFileName>"
                       "<DebugLogFileMaxSize>1048576</DebugLogFileMaxSize></DebugLogConfig>"
                       "</AgentLocalConfig>");
        WriteFileBytes(HomeFile("SettingToolSysConfig.xml"),
                       "<SettingToolSysConfig><Language>0</Language></SettingToolSysConfig>");
        SetStatus(1, 1, 0);
        StatusEvent::Unlink(m_eventName);
        m_recorder = std::make_unique<CMessageBoxRecorder>();
    }
    void TearDown() override {
        m_apps.clear();
        m_recorder.reset();
        StatusEvent::Unlink(m_eventName);
        LogShutdown();
        AgentHomeTest::TearDown();
    }

    void WriteSysConfig(int pluginType) {
        WriteFileBytes(
            HomeFile("AgentSysConfig.xml"),
            "<AgentSysConfig><AgentServiceName>opal-agent</AgentServiceName><PluginType>" +
                std::to_string(pluginType) + "</PluginType></AgentSysConfig>");
    }
    void SetStatus(int32_t registerStatus, int32_t agentStatus, int32_t toolTag) {
        WriteFileBytes(HomeFile("AgentStatus.xml"),
                       "<AgentStatusData><RegisterStatus>" + std::to_string(registerStatus) +
                           "</RegisterStatus><NetConfigChanged>0</NetConfigChanged>"
                           "<MonitorExitTag>0</MonitorExitTag></AgentStatusData>");
        SetRegistry(u"AgentStatus", agentStatus);
        SetRegistry(u"ToolTag", toolTag);
    }
    void SetRegistry(const char16_t* name, int32_t value) { SetAgentRegistryInt(name, value); }
    int32_t Registry(const char16_t* name) { return AgentRegistryInt(name); }
    // Language libraries and plug-ins are read only from a tree nobody else
    // can write; the directory above stays open to the parts that run as
    // another user, but sticky, as /tmp is.
    void KeepHomeFromOthers() {
        fs::permissions(m_temp.Path(), fs::perms::sticky_bit, fs::perm_options::add);
        fs::permissions(m_home, fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }
    void InstallJapanese() {
        KeepHomeFromOthers();
        fs::create_directories(m_home / "Language");
        fs::copy_file(OPAL_LEXIDRA, m_home / "Language/Lexidra.so");
    }

    // Starts one application; null when its start-up ended the run.
    CSettingApp* Start(bool configureAtStart = false) {
        CSettingApp::Options options;
        options.configureAtStart = configureAtStart;
        options.languageDirectory = m_languageDirectory;
        options.clock = &m_clock;
        // Shared by the test's users as /tmp is: root's and sticky.
        const fs::path locks = m_temp.Path() / "locks";
        if (!fs::exists(locks)) {
            fs::create_directory(locks);
            ::chmod(locks.c_str(), 01777);
        }
        options.lockDirectory = locks.string();
        // A second start in this process asks the first, which cannot answer
        // while the test holds the thread.
        options.forwardTimeoutMs = 300;
        options.statusEventName = m_eventName;
        CRecordingTrayIcon* tray = nullptr;
        options.makeTrayIcon = [&tray] {
            auto made = std::make_unique<CRecordingTrayIcon>();
            tray = made.get();
            return made;
        };
        auto app = std::make_unique<CSettingApp>(options);
        if (!app->InitInstance())
            return nullptr;
        m_trays.push_back(tray);
        m_apps.push_back(std::move(app));
        return m_apps.back().get();
    }
    CRecordingTrayIcon& Tray(std::size_t i = 0) { return *m_trays[i]; }

    FakeSystemBus m_bus;
    CShortClock m_clock;
    const std::u16string m_eventName =
        u"Global\\OPAL_AGENT_STATUS_NOTIFY_test" + ToWideString(std::to_string(::getpid()), CP_ACP);
    std::unique_ptr<CMessageBoxRecorder> m_recorder;
    std::vector<std::unique_ptr<CSettingApp>> m_apps;
    std::string m_languageDirectory = "Language/";
    std::vector<CRecordingTrayIcon*> m_trays;
};

} // namespace

TEST(TrayLookTest, IconAndTipFollowTheStatusUnlessNotRegistered) {
    struct Case {
        int32_t registerStatus, agentStatus;
        unsigned icon, tip;
    } cases[] = {
        {1, 1, IDI_AGENT_NORMAL, 7051},     {1, 2, IDI_AGENT_LOGGED_OFF, 7045},
        {1, 4, IDI_AGENT_DISABLED, 7043},   {1, 8, IDI_AGENT_PROBLEM, 7041},
        {1, 16, IDI_AGENT_PROBLEM, 7042},   {1, 32, IDI_AGENT_PROBLEM, 7044},
        {1, 2048, IDI_AGENT_PROBLEM, 7053}, {1, 3, IDI_AGENT_PROBLEM, 7040},
        {1, 0, IDI_AGENT_PROBLEM, 7040},    {0, 1, IDI_AGENT_PROBLEM, 7041},
        {0, 4, IDI_AGENT_PROBLEM, 7041},
    };
    for (const auto& c : cases) {
        const TrayLook look = TrayLookFor(c.registerStatus, c.agentStatus);
        EXPECT_EQ(look.iconId, c.icon) << c.registerStatus << "/" << c.agentStatus;
        EXPECT_EQ(look.tipId, c.tip) << c.registerStatus << "/" << c.agentStatus;
    }
}

TEST_F(ShellTest, StartShowsTheStatusOpensTheLogAndClearsAStaleExitRequest) {
    SetStatus(1, 2, 1);
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    EXPECT_TRUE(Tray().shown);
    EXPECT_EQ(Tray().adds, 1);
    EXPECT_EQ(Tray().iconId, static_cast<int>(IDI_AGENT_LOGGED_OFF));
    EXPECT_EQ(Tray().tip, Str(7045));
    EXPECT_EQ(Registry(u"ToolTag"), 0) << "a ToolTag of 1 from an earlier run is cleared";
    EXPECT_TRUE(app->MonitorRunning());
    const std::string log = ReadFileBytes(m_home / "log/OPALAgentSetting.log");
    EXPECT_NE(log.find("====== Log file created by OPAL Agent Setting"), std::string::npos);
    EXPECT_NE(log.find(",[Info],     Agent setting tool starting...  [SettingApp.cpp|"),
              std::string::npos)
        << log;
}

TEST_F(ShellTest, ExitRequestFromTheAgentEndsTheRunWithinACycle) {
    KeepHomeFromOthers();
    fs::copy_file(TEST_PLUGIN_UI, m_home / "libplugin_ui.so");
    WriteFileBytes(HomeFile("AgentSysConfig.xml"),
                   "<AgentSysConfig><AgentServiceName>opal-agent</AgentServiceName>"
                   "<PluginUIDllName>libplugin_ui.so</PluginUIDllName><PluginType>0</PluginType>"
                   "</AgentSysConfig>");
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    ASSERT_NE(app->PluginLibrary(), nullptr);
    ASSERT_NE(g_showPluginSettingDlg, nullptr);
    bool exited = false;
    QObject::connect(app->MainFrame(), &CMainFrame::ExitRequested, [&] { exited = true; });
    StatusEvent agentSide;
    ASSERT_EQ(agentSide.Open(m_eventName), 0);
    EXPECT_EQ(agentSide.Value(), 0);

    SetRegistry(u"ToolTag", 1);
    // One monitor cycle is 50 ms here; five seconds in the field.
    ASSERT_TRUE(WaitFor([&] { return exited; }, 3000));
    EXPECT_FALSE(Tray().shown);
    EXPECT_EQ(Tray().removes, 1);
    EXPECT_EQ(Registry(u"ToolTag"), 0);
    EXPECT_FALSE(app->MonitorRunning());
    EXPECT_EQ(agentSide.Value(), 1) << "the status event is signalled once at exit";
    const std::string log = ReadFileBytes(m_home / "log/OPALAgentSetting.log");
    EXPECT_NE(log.find("OnAgentStatus: Agent tool exit. [MainFrame.cpp|"), std::string::npos);
    EXPECT_NE(log.find("WaitThreadExit. [SettingApp.cpp|"), std::string::npos);

    // The end of the run: the plug-in is unloaded and the log closed.
    app->ExitInstance();
    EXPECT_EQ(app->PluginLibrary(), nullptr);
    EXPECT_EQ(g_showPluginSettingDlg, nullptr);
    EXPECT_FALSE(LogPrintf(LK_INFO, "after the end [%s|%d]", "x", 1));
    EXPECT_EQ(ReadFileBytes(m_home / "log/OPALAgentSetting.log"), log);
}

TEST_F(ShellTest, DeadServiceStillSayingNormalTurnsToTheProblemIcon) {
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    ASSERT_TRUE(
        WaitFor([&] { return Tray().iconId == static_cast<int>(IDI_AGENT_PROBLEM); }, 3000));
    EXPECT_EQ(Tray().tip, Str(7042));
    EXPECT_EQ(Registry(u"AgentStatus"), 16);
}

TEST_F(ShellTest, RunningServiceKeepsTheNormalIconAndTheAgentsChangesShow) {
    m_bus.AddUnit("opal-agent.service", "active");
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(Tray().iconId, static_cast<int>(IDI_AGENT_NORMAL));
    SetRegistry(u"AgentStatus", 4);
    ASSERT_TRUE(
        WaitFor([&] { return Tray().iconId == static_cast<int>(IDI_AGENT_DISABLED); }, 3000));
    EXPECT_EQ(Tray().tip, Str(7043));
    EXPECT_EQ(Registry(u"AgentStatus"), 4);
}

TEST_F(ShellTest, MenuItemsFollowTheServiceState) {
    for (const char* state : {"inactive", "active"}) {
        m_bus.AddUnit("opal-agent.service", state);
        m_apps.clear();
        m_trays.clear();
        CSettingApp* app = Start();
        ASSERT_NE(app, nullptr);
        CMainFrame* frame = app->MainFrame();
        emit Tray().MenuAboutToShow();
        const bool running = std::string(state) == "active";
        EXPECT_EQ(frame->TrayAction(3)->isEnabled(), !running) << state;
        EXPECT_EQ(frame->TrayAction(4)->isEnabled(), running) << state;
        EXPECT_EQ(frame->TrayAction(5)->isEnabled(), running) << state;
        EXPECT_TRUE(frame->TrayAction(0)->isEnabled());
        EXPECT_TRUE(frame->TrayAction(7)->isEnabled());
    }
}

TEST_F(ShellTest, OneInstancePerPluginTypeAndSession) {
    WriteSysConfig(3);
    ASSERT_NE(Start(), nullptr);
    EXPECT_EQ(Start(), nullptr);
    ASSERT_EQ(m_recorder->Records().size(), 1u);
    const auto& box = m_recorder->Records()[0];
    EXPECT_EQ(QString::fromStdU16String(box.text), Str(7033));
    EXPECT_EQ(QString::fromStdU16String(box.caption), Str(7022));
    EXPECT_EQ(box.icon, MessageIcon::Warning);
    EXPECT_TRUE(box.topmost);
    EXPECT_FALSE(box.hadOwner);

    WriteSysConfig(4);
    EXPECT_NE(Start(), nullptr) << "another plug-in type may run beside it";
    EXPECT_EQ(m_recorder->Records().size(), 1u);
}

TEST_F(ShellTest, SavedJapaneseAppliesFromTheFirstMomentAndToTheInstanceMessage) {
    m_bus.AddUnit("opal-agent.service", "active");
    InstallJapanese();
    WriteFileBytes(HomeFile("SettingToolSysConfig.xml"),
                   "<SettingToolSysConfig><Language>3</Language></SettingToolSysConfig>");
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    ASSERT_EQ(app->Languages().size(), 1u);
    CResourceModule* japanese = app->Languages()[0].module.get();
    EXPECT_EQ(app->GetLanguageResourceHandle(), japanese);
    CMainFrame* frame = app->MainFrame();
    EXPECT_EQ(frame->TrayAction(0)->text(), Str(7112, japanese));
    EXPECT_NE(Str(7112, japanese), Str(7112));
    EXPECT_EQ(frame->TrayAction(7)->text(), Str(7117, japanese));
    EXPECT_EQ(Tray().tip, Str(7051, japanese));

    EXPECT_EQ(Start(), nullptr);
    ASSERT_EQ(m_recorder->Records().size(), 1u);
    EXPECT_EQ(QString::fromStdU16String(m_recorder->Records()[0].text), Str(7033, japanese));
}

// A language library another user could have written is never read: its
// texts would reach every user's menus and message boxes.
TEST_F(ShellTest, ALanguageLibraryAnotherUserCouldHaveWrittenIsNotOffered) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another user";
    constexpr uid_t kMember = 64123;
    const fs::path languages = m_home / "Language";
    const fs::path library = languages / "Lexidra.so";
    const fs::path memberDir = m_temp.Path() / "member";
    struct Case {
        const char* what;
        std::function<void()> plant;
        const char* reason;
    } cases[] = {
        {"the member's library", [&] { ASSERT_EQ(::chown(library.c_str(), kMember, 0), 0); },
         "owned by another user"},
        {"a world-writable library", [&] { ::chmod(library.c_str(), 0666); },
         "writable by group or others"},
        {"a group-writable Language directory", [&] { ::chmod(languages.c_str(), 02775); },
         "writable by group or others"},
        {"a link to the library",
         [&] {
             fs::rename(library, memberDir / "Lexidra.so");
             fs::create_symlink(memberDir / "Lexidra.so", library);
         },
         "a symbolic link"},
        {"Language as a link to the member's directory",
         [&] {
             fs::rename(library, memberDir / "Lexidra.so");
             fs::remove(languages);
             fs::create_directory_symlink(memberDir, languages);
         },
         "is another user's"},
    };
    WriteFileBytes(HomeFile("SettingToolSysConfig.xml"),
                   "<SettingToolSysConfig><Language>3</Language></SettingToolSysConfig>");
    for (const Case& c : cases) {
        fs::remove_all(languages);
        fs::remove_all(memberDir);
        fs::create_directories(memberDir);
        ASSERT_EQ(::chown(memberDir.c_str(), kMember, 0), 0);
        InstallJapanese();
        ::chmod(languages.c_str(), 0755);
        ::chmod(library.c_str(), 0644);
        c.plant();
        fs::remove(m_home / "log/OPALAgentSetting.log");
        CSettingApp* app = Start();
        ASSERT_NE(app, nullptr) << c.what;
        EXPECT_TRUE(app->Languages().empty()) << c.what;
        EXPECT_EQ(app->SelectedLanguage(), 0) << c.what;
        EXPECT_EQ(app->MainFrame()->TrayAction(0)->text(), Str(7112)) << c.what;
        const std::string log = ReadFileBytes(m_home / "log/OPALAgentSetting.log");
        EXPECT_NE(log.find("The language library is not read: "), std::string::npos) << log;
        EXPECT_NE(log.find(c.reason), std::string::npos) << c.what << "\n" << log;
        m_apps.clear();
    }
}

TEST_F(ShellTest, SavedLanguageWithoutItsLibraryFallsBackToEnglishAndIsRewritten) {
    WriteFileBytes(HomeFile("SettingToolSysConfig.xml"),
                   "<SettingToolSysConfig><Language>3</Language></SettingToolSysConfig>");
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->SelectedLanguage(), 0);
    EXPECT_EQ(app->MainFrame()->TrayAction(0)->text(), Str(7112));
    EXPECT_EQ(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")),
              "<SettingToolSysConfig><Language>0</Language></SettingToolSysConfig>");
}

TEST_F(ShellTest, LanguageMenuIsWholeBeforeAnyClickAndSwitchesTextsAtOnce) {
    m_bus.AddUnit("opal-agent.service", "active");
    InstallJapanese();
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    CMainFrame* frame = app->MainFrame();
    QMenu* languages = frame->LanguageMenu();
    ASSERT_NE(languages, nullptr);
    // A tray host may read the menu once, before any click: it must hold
    // the languages and the check mark already.
    ASSERT_EQ(languages->actions().size(), 3);
    EXPECT_TRUE(languages->actions()[0]->isChecked());
    EXPECT_TRUE(frame->LanguageMenuBuilt());
    emit Tray().Activated(ITrayIcon::Click::Other);
    ASSERT_EQ(languages->actions().size(), 3) << "a click adds nothing twice";
    QAction* japanese = languages->actions()[2];
    EXPECT_EQ(japanese->text(), QString::fromUtf8("日本語 (Japanese)"));
    EXPECT_TRUE(languages->actions()[0]->isChecked());

    frame->OnCommand(ID_LANGUAGE_FIRST);
    CResourceModule* module = app->Languages()[0].module.get();
    EXPECT_EQ(app->SelectedLanguage(), 3);
    EXPECT_TRUE(japanese->isChecked());
    EXPECT_FALSE(languages->actions()[0]->isChecked());
    EXPECT_EQ(frame->TrayAction(0)->text(), Str(7112, module));
    EXPECT_EQ(Tray().tip, Str(7051, module));
    EXPECT_NE(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")).find("<Language>3</Language>"),
              std::string::npos);

    frame->OnCommand(ID_LANGUAGE_ENGLISH);
    EXPECT_EQ(app->SelectedLanguage(), 0);
    EXPECT_EQ(frame->TrayAction(0)->text(), Str(7112));
    EXPECT_TRUE(languages->actions()[0]->isChecked());
    EXPECT_FALSE(japanese->isChecked());
    EXPECT_NE(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")).find("<Language>0</Language>"),
              std::string::npos);
}

namespace {

class CCountingSheet final : public ISettingsSheet {
public:
    explicit CCountingSheet(std::function<void()> whileOpen) : m_whileOpen(std::move(whileOpen)) {}
    int RunModal() override {
        m_whileOpen();
        return IDCANCEL;
    }
    void Activate() override { ++activations; }
    void CloseWithoutSaving() override {}
    static inline int activations = 0;

private:
    std::function<void()> m_whileOpen;
};

} // namespace

TEST_F(ShellTest, ClicksThatOpenTheSheet) {
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    CMainFrame* frame = app->MainFrame();
    int created = 0;
    frame->SetSettingsSheetFactory([&]() -> std::unique_ptr<ISettingsSheet> {
        ++created;
        return std::make_unique<CCountingSheet>([] {});
    });
    // A StatusNotifierItem tray's left click arrives as Activate, an XEmbed
    // tray's as a double click; the menu's own button and others do not open.
    const struct {
        ITrayIcon::Click click;
        int opens;
    } cases[] = {{ITrayIcon::Click::Activate, 1},
                 {ITrayIcon::Click::DoubleClick, 1},
                 {ITrayIcon::Click::Context, 0},
                 {ITrayIcon::Click::Other, 0}};
    for (const auto& c : cases) {
        created = 0;
        emit Tray().Activated(c.click);
        EXPECT_EQ(created, c.opens) << static_cast<int>(c.click);
    }
    // However it is opened, the sheet (and every message box) shows the
    // tool's icon.
    EXPECT_FALSE(QGuiApplication::windowIcon().isNull());
}

TEST_F(ShellTest, QtSpeaksTheSelectedLanguageAndTheItemCarriesTheProductName) {
    InstallJapanese();
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    CMainFrame* frame = app->MainFrame();
    EXPECT_EQ(QCoreApplication::applicationName(), Str(128));
    EXPECT_TRUE(app->QtTranslationFile().isEmpty());

    frame->OnCommand(ID_LANGUAGE_FIRST);
    CResourceModule* japanese = app->Languages()[0].module.get();
    EXPECT_EQ(QCoreApplication::applicationName(), Str(128, japanese));
    const bool installed = QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) +
                                         QStringLiteral("/qtbase_ja.qm"));
    if (installed) {
        EXPECT_TRUE(app->QtTranslationFile().endsWith(QStringLiteral("qtbase_ja.qm")));
        EXPECT_NE(QCoreApplication::translate("QPlatformTheme", "Cancel"),
                  QStringLiteral("Cancel"));
    }

    frame->OnCommand(ID_LANGUAGE_ENGLISH);
    EXPECT_TRUE(app->QtTranslationFile().isEmpty());
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
    EXPECT_EQ(QCoreApplication::applicationName(), Str(128));
}

TEST_F(ShellTest, OneSettingsSheetAtATimeAndLanguageChoiceWhileItIsOpen) {
    InstallJapanese();
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    CMainFrame* frame = app->MainFrame();
    emit Tray().Activated(ITrayIcon::Click::Other);
    int created = 0;
    CCountingSheet::activations = 0;
    frame->SetSettingsSheetFactory([&]() -> std::unique_ptr<ISettingsSheet> {
        ++created;
        return std::make_unique<CCountingSheet>([&] {
            // While the sheet is open: a double click only activates it, and
            // a language choice is saved but waits for the next start.
            emit Tray().Activated(ITrayIcon::Click::DoubleClick);
            frame->OnCommand(ID_LANGUAGE_FIRST);
        });
    });
    emit Tray().Activated(ITrayIcon::Click::DoubleClick);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(CCountingSheet::activations, 1);
    EXPECT_EQ(frame->OpenSheet(), nullptr);
    ASSERT_EQ(m_recorder->Records().size(), 1u);
    // The message already speaks the language just chosen.
    EXPECT_EQ(QString::fromStdU16String(m_recorder->Records()[0].text),
              Str(7120, app->Languages()[0].module.get()));
    EXPECT_EQ(frame->TrayAction(0)->text(), Str(7112)) << "texts switch at the next start";
    EXPECT_NE(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")).find("<Language>3</Language>"),
              std::string::npos);
}

TEST_F(ShellTest, ConfigureAtStartOpensTheSheetOnceTheLoopRunsAndNotInASecondInstance) {
    int created = 0;
    auto countingFactory = [&created]() -> std::unique_ptr<ISettingsSheet> {
        ++created;
        return std::make_unique<CCountingSheet>([] {});
    };
    CSettingApp* app = Start(true);
    ASSERT_NE(app, nullptr);
    // The factory is plugged in after the start-up, as the program does.
    app->MainFrame()->SetSettingsSheetFactory(countingFactory);
    EXPECT_EQ(created, 0) << "nothing opens before the event loop runs";
    QCoreApplication::processEvents();
    EXPECT_EQ(created, 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(created, 1) << "opened once, not on every turn of the loop";

    EXPECT_EQ(Start(true), nullptr);
    QCoreApplication::processEvents();
    EXPECT_EQ(created, 1);
    ASSERT_EQ(m_recorder->Records().size(), 1u);
    EXPECT_EQ(QString::fromStdU16String(m_recorder->Records()[0].text), Str(7033));

    // Without the option the sheet waits for the user.
    m_apps.clear();
    app = Start();
    ASSERT_NE(app, nullptr);
    app->MainFrame()->SetSettingsSheetFactory(countingFactory);
    QCoreApplication::processEvents();
    EXPECT_EQ(created, 1);
}

TEST_F(ShellTest, ServiceCommandsFromTheMenuReachTheServiceManager) {
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    app->MainFrame()->OnCommand(ID_START_SERVICE);
    // The command waits on a thread of its own; its outcome comes back.
    ASSERT_TRUE(WaitFor([&] { return !m_recorder->Records().empty(); }));
    const auto jobs = m_bus.JobCalls();
    ASSERT_FALSE(jobs.empty());
    EXPECT_EQ(jobs.back().rfind("StartUnit opal-agent.service replace", 0), 0u) << jobs.back();
    ASSERT_FALSE(m_recorder->Records().empty());
    EXPECT_EQ(m_recorder->Records().back().icon, MessageIcon::Information);
}

TEST_F(ShellTest, LogDirectoryFallsBackToLogAndLoggingStopsWhenNothingCanBeCreated) {
    // A file where the agent's log directory should be: it cannot be made.
    WriteFileBytes(HomeFile("blocked"), "not a directory");
    WriteFileBytes(HomeFile("AgentLocalConfig.xml"),
                   "<AgentLocalConfig><DebugLogConfig><DebugLogLevel>LL_FOR_ALL</DebugLogLevel>"
                   "<DebugLogPath>blocked/logs</DebugLogPath></DebugLogConfig></AgentLocalConfig>");
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->LogFilePath(), HomeFile("log/OPALAgentSetting.log"));
    EXPECT_TRUE(FileExists(HomeFile("log/OPALAgentSetting.log")));
    m_apps.clear();
    LogShutdown();

    fs::remove_all(HomeFile("log"));
    WriteFileBytes(HomeFile("log"), "not a directory either");
    app = Start();
    ASSERT_NE(app, nullptr) << "the tool starts without a log";
    EXPECT_FALSE(FileExists(HomeFile("blocked/logs/OPALAgentSetting.log")));
    EXPECT_EQ(ReadFileBytes(HomeFile("log")), "not a directory either");
}

TEST_F(ShellTest, RealSheetThroughTheFrame) {
    WriteFileBytes(HomeFile("AgentLocalConfig.xml"),
                   "<AgentLocalConfig><NetworkConfig><ServerName>kestrel</ServerName>"
                   "<ServerPort>80</ServerPort></NetworkConfig></AgentLocalConfig>");
    WriteFileBytes(HomeFile("AgentWorkConfig.xml"), "<PXRAgentWorkingConfig/>");
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    CMainFrame* frame = app->MainFrame();
    frame->SetSettingsSheetFactory(MakeSettingsSheetFactory(*app));
    auto whileOpen = [](std::function<void(CConfigureAgent4VSM&)> body) {
        QTimer::singleShot(0, [body = std::move(body)] {
            auto* sheet = qobject_cast<CConfigureAgent4VSM*>(QApplication::activeModalWidget());
            ASSERT_NE(sheet, nullptr);
            body(*sheet);
        });
    };
    auto press = [](CFrameworkDialog& dialog, int id) {
        static_cast<QAbstractButton*>(dialog.GetDlgItem(id))->click();
    };

    // A language choice while the sheet is open warns, and the sheet's own
    // save marks the change for the agent.
    whileOpen([&](CConfigureAgent4VSM& sheet) {
        EXPECT_EQ(sheet.windowTitle(), QStringLiteral("Agent (opal-agent)"));
        frame->OnCommand(ID_LANGUAGE_ENGLISH);
        EXPECT_EQ(m_recorder->Records().size(), 1u);
        if (!m_recorder->Records().empty()) {
            EXPECT_EQ(QString::fromStdU16String(m_recorder->Records().back().text), Str(7120));
        }
        EXPECT_EQ(frame->OpenSheet(), &sheet);
        press(sheet, IDOK);
    });
    frame->Configure();
    EXPECT_EQ(frame->OpenSheet(), nullptr);
    EXPECT_EQ(Registry(u"ToolTag"), 2);
    EXPECT_NE(
        ReadFileBytes(HomeFile("AgentStatus.xml")).find("<NetConfigChanged>1</NetConfigChanged>"),
        std::string::npos);

    // The status message that follows the tool's own save leaves a sheet
    // open; one that follows somebody else's change closes it unsaved. The
    // monitor takes the save's mark back within two of its cycles: once it
    // has, it leaves g_selfConfigChange alone, and the test sets the state
    // each message is about itself (NetConfigChanged stays 1).
    for (int wait = 0; wait < 500 && Registry(u"ToolTag") != 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(Registry(u"ToolTag"), 0);
    // The status messages it posted meanwhile find no sheet open.
    QCoreApplication::processEvents();
    const std::string saved = ReadFileBytes(HomeFile("AgentLocalConfig.xml"));
    bool stayedOpen = false;
    whileOpen([&](CConfigureAgent4VSM& sheet) {
        sheet.GeneralPage().SetDlgItemText(IDC_SERVER_ADDRESS, u"elsewhere");
        g_selfConfigChange = 1;
        frame->OnAgentStatus();
        QCoreApplication::processEvents();
        stayedOpen = sheet.isVisible();
        g_selfConfigChange = 0;
        frame->OnAgentStatus();
    });
    frame->Configure();
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(frame->OpenSheet(), nullptr);
    EXPECT_EQ(ReadFileBytes(HomeFile("AgentLocalConfig.xml")), saved);
}

TEST_F(ShellTest, LogFallsBackWhenTheAgentsDirectoryExistsButCannotTakeTheLog) {
    const auto setLogPath = [this](const std::string& path) {
        WriteFileBytes(HomeFile("AgentLocalConfig.xml"),
                       "<AgentLocalConfig><DebugLogConfig><DebugLogLevel>LL_FOR_ALL</DebugLogLevel>"
                       "<DebugLogPath>" +
                           path + "</DebugLogPath></DebugLogConfig></AgentLocalConfig>");
    };
    const std::string fallback = HomeFile("log/OPALAgentSetting.log");

    // A regular file where the directory should be.
    WriteFileBytes(HomeFile("agentlog"), "a file, not a directory");
    setLogPath("agentlog");
    CSettingApp* app = Start();
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->LogFilePath(), fallback);
    EXPECT_TRUE(FileExists(fallback));
    EXPECT_EQ(ReadFileBytes(HomeFile("agentlog")), "a file, not a directory");
    m_apps.clear();
    LogShutdown();
    fs::remove_all(HomeFile("log"));

    // The agent's own log directory, which a desktop user may not write.
    fs::create_directory(HomeFile("agentlogs"));
    ::chmod(HomeFile("agentlogs").c_str(), 0755);
    setLogPath("agentlogs");
    for (const char* file : {"AgentLocalConfig.xml", "AgentSysConfig.xml", "AgentStatus.xml",
                             "SettingToolSysConfig.xml"})
        ::chmod(HomeFile(file).c_str(), 0666);
    // The first run's lock file is root's: nobody could not take it.
    for (const auto& entry : fs::directory_iterator(m_temp.Path() / "locks"))
        if (entry.is_regular_file() && entry.path().extension() == ".lock")
            fs::remove(entry.path());
    const int rc = RunUnprivileged([&] {
        CSettingApp* child = Start();
        if (!child)
            return 1;
        return child->LogFilePath() == fallback && FileExists(fallback) ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(FileExists(HomeFile("agentlogs/OPALAgentSetting.log")));
}

TEST_F(ShellTest, NoUsableLogDirectoryIsSaidOnceOnStandardError) {
    WriteFileBytes(HomeFile("agentlog"), "a file");
    WriteFileBytes(HomeFile("log"), "a file too");
    // The user's own state directory cannot be made either.
    WriteFileBytes(m_temp / "state", "a file as well");
    WriteFileBytes(HomeFile("AgentLocalConfig.xml"),
                   "<AgentLocalConfig><DebugLogConfig><DebugLogLevel>LL_FOR_ALL</DebugLogLevel>"
                   "<DebugLogPath>agentlog</DebugLogPath></DebugLogConfig></AgentLocalConfig>");
    testing::internal::CaptureStderr();
    CSettingApp* app = Start();
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_NE(app, nullptr) << "the tool starts without a log";
    const std::string line = "no log is written: none of " + HomeFile("agentlog/") + ", " +
                             HomeFile("log/") + ", " + (m_temp / "state/opal-agent-setting/") +
                             " can take OPALAgentSetting.log";
    EXPECT_EQ(said.find(line), said.rfind(line)) << said;
    EXPECT_NE(said.find(line), std::string::npos) << said;
}

// The tray started by real users in the install's layout (everything root's)
// and an administrators' group of the test's own, on a machine without the
// system helper: member and non-member alike see the agent's true status,
// log into their own state directory, and choose a language for their run
// only; the tool's configuration is not touched. (Saves through the helper:
// tests/helper.)
TEST_F(ShellTest, InTheInstallsLayoutMembersAndOthersGetWhatTheyMay) {
    SKIP_UNLESS_ROOT();
    const gid_t group = UnusedGroupId();
    InstallJapanese();
    SetStatus(1, 32, 0); // a version mismatch: no default would show it
    ApplyInstallModes(Home(), RegistryRootDir(), group);
    // Members may write this home, so libraries are not taken from it: the
    // language library lies in a part of root's own.
    fs::create_directories(m_temp.Path() / "lib");
    fs::rename(m_home / "Language", m_temp.Path() / "lib/Language");
    m_languageDirectory = "../lib/Language/";
    const std::string stateLog = m_temp / "state/opal-agent-setting/OPALAgentSetting.log";
    const std::string toolConfig = ReadFileBytes(HomeFile("SettingToolSysConfig.xml"));
    // No system bus: no helper, whatever the machine has.
    const std::string noBus = "unix:path=" + (m_temp.Path() / "no-bus").string();
    for (const bool member : {false, true}) {
        SCOPED_TRACE(member ? "member" : "non-member");
        const int rc = RunUnprivileged(
            [&] {
                ::setenv("DBUS_SYSTEM_BUS_ADDRESS", noBus.c_str(), 1);
                CSettingApp* app = Start();
                if (!app)
                    return 1;
                if (Tray().iconId != static_cast<int>(IDI_AGENT_PROBLEM) || Tray().tip != Str(7044))
                    return 2;
                if (app->LogFilePath() != stateLog)
                    return 3;
                app->MainFrame()->OnCommand(ID_LANGUAGE_FIRST);
                return app->SelectedLanguage() == 3 ? 0 : 4;
            },
            member ? std::vector<gid_t>{group} : std::vector<gid_t>{});
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")), toolConfig);
        EXPECT_EQ(OwnershipOf(HomeFile("SettingToolSysConfig.xml")), (FileOwnership{0, 0, 0644}));
        EXPECT_EQ(Registry(u"AgentStatus"), 32);
    }
    // The users' own log, private, saying once per run why it is there and
    // that the language choice was not saved.
    EXPECT_EQ(OwnershipOf(m_temp / "state/opal-agent-setting"),
              (FileOwnership{NOBODY_UID, NOGROUP_GID, 0700}));
    const std::string own = ReadFileBytes(stateLog);
    const std::string line = "The agent's log directory " + HomeFile("") +
                             " cannot be written by this user; the log is kept in " + stateLog +
                             " instead.";
    EXPECT_NE(own.find(line), std::string::npos) << own;
    EXPECT_NE(own.find("The language choice was not saved: "), std::string::npos) << own;
}
