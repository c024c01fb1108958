// The system helper on a private system bus with the real polkitd, called
// by the real opal-agent-ctl and by the tool's own client code running as
// `nobody`, a member of a temporary administrators' group or not.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "BuildInfo.h"
#include "config/AgentConfig.h"
#include "helper/HelperClient.h"
#include "helper/HelperProtocol.h"
#include "platform/system/Clock.h"
#include "shell/AgentStatusMonitor.h"
#include "shell/LanguageSetting.h"
#include "tests/helper/HelperSystem.h"

extern char** environ;

using namespace testsupport;
using helpertest::HelperSystem;

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct CtlRun {
    int status = -1;
    std::string out;
    std::string err;
};

class HelperTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        if (!CanActAsOtherUsers())
            GTEST_SKIP() << "needs root, to run the helper and act as other users";
        m_group = UnusedGroupId();
        m_program = m_home / "opal-agent-ctl";
        std::error_code ec;
        fs::create_hard_link(OPAL_CTL_PROGRAM, m_program, ec);
        if (ec)
            fs::copy_file(OPAL_CTL_PROGRAM, m_program);
        const fs::path demo = fs::path(OPAL_SOURCE_DIR) / "scripts/demo";
        for (const char* name : {"AgentSysConfig.xml", "AgentWorkConfig.xml", "AgentStatus.xml",
                                 "SettingToolSysConfig.xml"})
            fs::copy_file(demo / name, m_home / name);
        fs::copy_file(DataFile("ui/AgentLocalConfig.xml"), HomeFile("AgentLocalConfig.xml"));
        SetStatusDocument(0);
        SetAgentRegistryInt(u"ToolTag", 0);
        SetAgentRegistryInt(u"AgentStatus", 1);
        fs::create_directories(m_home / "log");
        ApplyInstallModes(Home(), RegistryRootDir(), m_group);
        if (const std::string why = m_system.Start(Home(), RegistryRootDir(), m_group);
            !why.empty())
            GTEST_SKIP() << why;
        m_system.Bus().AddUnit("opal-agent-demo.service", "active");
    }

    void TearDown() override {
        m_system.Stop();
        AgentHomeTest::TearDown();
    }

    void SetStatusDocument(int netConfigChanged) {
        WriteFileBytes(HomeFile("AgentStatus.xml"),
                       "<AgentStatusData><RegisterStatus>1</RegisterStatus><NetConfigChanged>" +
                           std::to_string(netConfigChanged) +
                           "</NetConfigChanged><MonitorExitTag>0</MonitorExitTag>"
                           "</AgentStatusData>");
    }
    int NetConfigChanged() {
        const std::string doc = ReadFileBytes(HomeFile("AgentStatus.xml"));
        const auto at = doc.find("<NetConfigChanged>");
        return at == std::string::npos ? -1 : doc[at + 18] - '0';
    }
    std::string Local() { return ReadFileBytes(HomeFile("AgentLocalConfig.xml")); }

    // `nobody`, with the test's group among its groups (and in polkit's
    // user database) when `member`.
    int As(bool member, const std::function<int()>& body) {
        m_system.SetNobodyMember(member);
        return RunUnprivileged(body, member ? std::vector<gid_t>{m_group} : std::vector<gid_t>{});
    }

    CtlRun Ctl(const std::vector<std::string>& args, std::optional<bool> member) {
        if (member)
            m_system.SetNobodyMember(*member);
        const fs::path out = m_temp.Path() / "stdout";
        const fs::path err = m_temp.Path() / "stderr";
        std::vector<std::string> argv = {m_program.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argvp;
        for (std::string& a : argv)
            argvp.push_back(a.data());
        argvp.push_back(nullptr);
        const gid_t group = m_group;
        const pid_t child = ::fork();
        if (child == 0) {
            const int fdOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int fdErr = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            ::dup2(fdOut, 1);
            ::dup2(fdErr, 2);
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            if (member && (::setgroups(*member ? 1 : 0, &group) != 0 ||
                           ::setgid(NOGROUP_GID) != 0 || ::setuid(NOBODY_UID) != 0))
                ::_exit(125);
            ::execve(argvp[0], argvp.data(), environ);
            ::_exit(127);
        }
        CtlRun run;
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadFileBytes(out);
        run.err = ReadFileBytes(err);
        return run;
    }

    std::string HelperLog() { return ReadFileBytes(HomeFile("log/OPALAgentSetting.log")); }

    HelperSystem m_system;
    gid_t m_group = 0;
    fs::path m_program;
};

TEST_F(HelperTest, ConfigSetGoesThroughTheHelperForMembersOnly) {
    const std::string pristine = Local();
    const std::vector<std::string> set = {"config", "set", "server=kestrel2.example.com",
                                          "port=8443", "retry=90"};
    // Root writes directly: the bytes every other way must give.
    const CtlRun direct = Ctl(set, std::nullopt);
    ASSERT_EQ(direct.status, 0) << direct.err;
    const std::string directBytes = Local();
    ASSERT_NE(directBytes, pristine);

    const struct {
        bool member;
        int status;
        bool saved;
        const char* says;
    } cases[] = {
        {true, 0, true, "through the system helper"},
        // The group's file is not readable to others: refused before any
        // request, with the sheet's line.
        {false, 1, false, "Only members of the group " OPAL_ADMIN_GROUP " may read and change"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.member ? "member" : "non-member");
        // The local configuration is the group's to read only.
        WriteFileBytes(HomeFile("AgentLocalConfig.xml"), pristine);
        SetStatusDocument(0);
        SetAgentRegistryInt(u"ToolTag", 0);
        const CtlRun run = Ctl(set, c.member);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        EXPECT_TRUE(Contains(run.out + run.err, c.says)) << run.out << run.err;
        EXPECT_EQ(Local(), c.saved ? directBytes : pristine);
        EXPECT_EQ(AgentRegistryInt(u"ToolTag"), c.saved ? 2 : 0);
        EXPECT_EQ(NetConfigChanged(), c.saved ? 1 : 0);
        // The file stays root's, with the install's mode.
        EXPECT_EQ(OwnershipOf(HomeFile("AgentLocalConfig.xml")), (FileOwnership{0, m_group, 0640}));
    }
    const std::string log = HelperLog();
    EXPECT_TRUE(Contains(log, "Helper: SaveSettings requested by uid 65534.")) << log;
}

TEST_F(HelperTest, ConfigApplyThroughTheHelperSavesOnlyWhatDiffers) {
    WriteFileBytes(m_temp.Path() / "want.json", "{\"retry\": 120, \"timeout\": \"600\"}");
    fs::permissions(m_temp.Path() / "want.json", fs::perms(0644));
    const std::vector<std::string> apply = {"config", "apply",
                                            (m_temp.Path() / "want.json").string()};
    const CtlRun first = Ctl(apply, true);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(Contains(Local(), "<WaitInterval>120</WaitInterval>")) << Local();
    const std::string saved = Local();
    SetAgentRegistryInt(u"ToolTag", 0);
    const CtlRun again = Ctl(apply, true);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(Local(), saved);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 0);
}

// The helper trusts nothing of a call: its own checks, with the dialog's
// messages, whatever the client checked before.
TEST_F(HelperTest, TheHelperChecksTheSettingsItself) {
    const std::string pristine = Local();
    const struct {
        HelperSettings settings;
        HelperOutcome outcome;
        const char* message;
    } cases[] = {
        {{{"port", "0"}},
         HelperOutcome::InvalidSettings,
         "[Server port:] cannot accept an invalid number. Enter a number between 1 and 65535."},
        {{{"server", ""}},
         HelperOutcome::InvalidSettings,
         "[Server address:] cannot accept an empty string."},
        {{{"retry", "1"}}, HelperOutcome::InvalidSettings, "Enter a number between 30 and 3600."},
        {{{"no-such", "1"}}, HelperOutcome::Failed, "unknown setting name"},
        {{{"port", "1"}, {"port", "2"}}, HelperOutcome::Failed, "given twice"},
        {{{"server", "a\nb"}}, HelperOutcome::Failed, "control character"},
        // D-Bus itself carries no other strings: the client cannot send it.
        {{{"server", "\xff\xfe"}}, HelperOutcome::Failed, "cannot build the request"},
        {{{"server", std::string(5000, 'a')}}, HelperOutcome::Failed, "too long"},
        {{{"proxy-type", "socks9"}}, HelperOutcome::Failed, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const int rc = As(true, [&] {
            const HelperReply reply = HelperSaveSettings(c.settings, false);
            if (reply.outcome != c.outcome)
                return 10 + static_cast<int>(reply.outcome);
            return Contains(reply.message, c.message) ? 0 : 1;
        });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(Local(), pristine);
    }
}

TEST_F(HelperTest, LanguageChoiceOfAMemberIsSavedAndANonMembersIsRefused) {
    const std::string before = ReadFileBytes(HomeFile("SettingToolSysConfig.xml"));
    EXPECT_EQ(As(false, [] { return SaveLanguageChoice(3, false) ? 1 : 0; }), 0);
    EXPECT_EQ(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")), before);
    // Even a member's call is outside input: no language has a negative number.
    EXPECT_EQ(As(true,
                 [] {
                     const HelperReply reply = HelperSetLanguage(-7, false);
                     return reply.outcome == HelperOutcome::Failed ? 0 : 1;
                 }),
              0);
    EXPECT_EQ(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")), before);
    EXPECT_EQ(As(true, [] { return SaveLanguageChoice(3, false) ? 0 : 1; }), 0);
    const std::string helperBytes = ReadFileBytes(HomeFile("SettingToolSysConfig.xml"));
    EXPECT_TRUE(Contains(helperBytes, "<Language>3</Language>")) << helperBytes;
    // Root's direct save writes the same bytes.
    WriteFileBytes(HomeFile("SettingToolSysConfig.xml"), before);
    SaveLanguageSetting(3);
    EXPECT_EQ(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")), helperBytes);
}

TEST_F(HelperTest, ToolTagIsClearedOnlyFromTwo) {
    const struct {
        int32_t before;
        int32_t after;
    } cases[] = {{2, 0}, {0, 0}, {1, 1}, {5, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        SetAgentRegistryInt(u"ToolTag", c.before);
        EXPECT_EQ(As(true,
                     [&] {
                         const HelperReply reply = HelperClearToolTag();
                         return reply.Done() && reply.first == (c.before == 2) ? 0 : 1;
                     }),
                  0);
        EXPECT_EQ(AgentRegistryInt(u"ToolTag"), c.after);
    }
    SetAgentRegistryInt(u"ToolTag", 2);
    EXPECT_EQ(
        As(false,
           [] { return HelperClearToolTag().outcome == HelperOutcome::NotAuthorized ? 0 : 1; }),
        0);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 2);
    const std::string log = HelperLog();
    EXPECT_TRUE(Contains(log, "Helper: ClearToolTag refused for uid 65534.")) << log;
}

TEST_F(HelperTest, DeadAgentIsMarkedOnlyWhileItsUnitIsDownAndItSaysOne) {
    const struct {
        const char* unit;
        int32_t status;
        int32_t after;
    } cases[] = {
        {"inactive", 1, 16}, {"failed", 1, 16},    {"active", 1, 1},
        {"inactive", 4, 4},  {"inactive", 16, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.unit) + " " + std::to_string(c.status));
        m_system.Bus().AddUnit("opal-agent-demo.service", c.unit);
        SetAgentRegistryInt(u"AgentStatus", c.status);
        EXPECT_EQ(As(true,
                     [&] {
                         const HelperReply reply = HelperMarkAgentUnreachable();
                         return reply.Done() && reply.first == (c.after != c.status) ? 0 : 1;
                     }),
                  0);
        EXPECT_EQ(AgentRegistryInt(u"AgentStatus"), c.after);
    }
    m_system.Bus().AddUnit("opal-agent-demo.service", "inactive");
    SetAgentRegistryInt(u"AgentStatus", 1);
    EXPECT_EQ(As(false,
                 [] {
                     return HelperMarkAgentUnreachable().outcome == HelperOutcome::NotAuthorized
                                ? 0
                                : 1;
                 }),
              0);
    EXPECT_EQ(AgentRegistryInt(u"AgentStatus"), 1);
}

// The status monitor of a member's tray, as it runs: its two repairs reach
// the files through the helper.
TEST_F(HelperTest, TheMonitorOfAMemberRepairsThroughTheHelper) {
    SetAgentRegistryInt(u"ToolTag", 2);
    m_system.Bus().AddUnit("opal-agent-demo.service", "inactive");
    const int rc = As(true, [] {
        std::atomic<int32_t> stop{0};
        SharedAgentStatus cached;
        cached.Store({1, 1, 0, 0, 0});
        int posted = 0;
        AgentStatusMonitorContext context;
        context.stopFlag = &stop;
        context.cachedStatus = &cached;
        context.clock = &SystemClock::Instance();
        context.postAgentStatus = [&posted] { ++posted; };
        context.queryAgentService = [] { return ServiceRunState::NotRunning; };
        CAgentStatusMonitor monitor(std::move(context));
        // Somebody else's save: cleared on the third cycle that sees it.
        for (int i = 0; i < 3; ++i)
            monitor.PollOnce();
        return posted > 0 ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 0);
    EXPECT_EQ(AgentRegistryInt(u"AgentStatus"), 16);
    EXPECT_TRUE(Contains(HelperLog(), "The agent status is abnormal, modify it.")) << HelperLog();
}

TEST_F(HelperTest, AccessOfMembersNonMembersAndWithoutTheHelper) {
    const auto encode = [] {
        const AgentSettingsAccess a = CheckSettingsAccess();
        return (a.readable ? 1 : 0) | (a.changeable ? 2 : 0) | (a.throughHelper ? 4 : 0);
    };
    EXPECT_EQ(As(true, encode), 7);
    // A non-member reads nothing and changes nothing.
    EXPECT_EQ(As(false, encode), 4);
    EXPECT_EQ(encode(), 3); // root
    m_system.StopHelper();
    EXPECT_EQ(As(true, encode), 5);
    const CtlRun run = Ctl({"config", "set", "retry=90"}, true);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "the system helper is not available")) << run.err;
}

// D-Bus activation starts the helper for a call; it does not stay.
TEST(HelperIdleTest, TheHelperEndsWhenIdleAndGivesTheNameBack) {
    if (!CanActAsOtherUsers())
        GTEST_SKIP() << "needs root, to run the helper";
    TempDir temp;
    const fs::path home = temp.Path() / "home";
    const fs::path registry = temp.Path() / "registry";
    fs::create_directories(home / "log");
    fs::create_directories(registry);
    HelperSystem system;
    if (const std::string why = system.Start(home, registry, UnusedGroupId(), 1); !why.empty())
        GTEST_SKIP() << why;
    // A call answers and restarts the idle time.
    EXPECT_EQ(HelperConfigureAccess(), HelperAccess::Yes);
    for (int i = 0; i < 100 && system.HelperRunning(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(system.HelperRunning());
    EXPECT_EQ(system.HelperExitStatus(), 0);
    // Nobody answers now: the next call would be the bus's to activate.
    EXPECT_EQ(HelperConfigureAccess(), HelperAccess::Unavailable);
}

} // namespace
