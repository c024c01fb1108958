#include "shell/AgentStatusMonitor.h"

#include <cstdlib>
#include <thread>

#include "common/ASTCommonFunc.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

class AgentStatusMonitorTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log = std::make_unique<LogCapture>(m_home / "tool.log");
        g_selfConfigChange = 0;
        m_context.stopFlag = &m_stop;
        m_context.cachedStatus = &m_cached;
        m_context.clock = &m_clock;
        m_context.postAgentStatus = [this] { ++m_posts; };
        m_context.isAgentServiceRunning = [this] { return m_serviceRunning.load(); };
    }
    void TearDown() override {
        m_log.reset();
        AgentHomeTest::TearDown();
    }

    void SetRegistry(int32_t agentStatus, int32_t toolTag) {
        RegistryKey key;
        ASSERT_EQ(key.Create(AgentRegistryKey), 0);
        ASSERT_EQ(key.WriteInt(u"AgentStatus", agentStatus), 0);
        ASSERT_EQ(key.WriteInt(u"ToolTag", toolTag), 0);
    }
    int32_t RegistryValue(const char16_t* name) {
        RegistryKey key;
        int32_t value = -1;
        EXPECT_EQ(key.Create(AgentRegistryKey), 0);
        EXPECT_EQ(key.ReadInt(name, value), 0);
        return value;
    }

    std::unique_ptr<LogCapture> m_log;
    std::atomic<int32_t> m_stop{0};
    SharedAgentStatus m_cached;
    FakeClock m_clock;
    std::atomic<int> m_posts{0};
    std::atomic<bool> m_serviceRunning{true};
    AgentStatusMonitorContext m_context;
};

} // namespace

TEST_F(AgentStatusMonitorTest, PostsOnStatusChangeAndOnExitRequest) {
    struct Case {
        int32_t cached, registryStatus, toolTag;
        int posts;
    } cases[] = {
        {1, 1, 0, 0}, // nothing new
        {1, 8, 0, 1}, // status changed
        {1, 1, 1, 1}, // the agent asks the tool to exit
        {4, 8, 1, 1}, // both: still one message
    };
    for (const auto& c : cases) {
        m_cached.Store({1, c.cached, 0, 0, 0});
        SetRegistry(c.registryStatus, c.toolTag);
        m_posts = 0;
        CAgentStatusMonitor monitor(m_context);
        monitor.PollOnce();
        EXPECT_EQ(m_posts, c.posts) << c.cached << " " << c.registryStatus << " " << c.toolTag;
        // The monitor never clears an exit request itself: the UI thread does.
        EXPECT_EQ(RegistryValue(u"ToolTag"), c.toolTag);
    }
}

TEST_F(AgentStatusMonitorTest, ConfigSavedTagIsClearedOnTheSecondPollAfterOwnSaveElseTheThird) {
    for (int32_t self : {1, 0}) {
        m_cached.Store({1, 1, 0, 0, 0});
        SetRegistry(1, 2);
        g_selfConfigChange = self;
        CAgentStatusMonitor monitor(m_context);
        int polls = 0;
        while (RegistryValue(u"ToolTag") == 2 && polls < 10) {
            monitor.PollOnce();
            ++polls;
        }
        EXPECT_EQ(polls, self ? 2 : 3) << "self=" << self;
        EXPECT_EQ(g_selfConfigChange, 0);
        EXPECT_EQ(monitor.PollCounter(), 0);
    }
}

TEST_F(AgentStatusMonitorTest, AgentClearingTheTagResetsThePollCounter) {
    m_cached.Store({1, 1, 0, 0, 0});
    SetRegistry(1, 2);
    CAgentStatusMonitor monitor(m_context);
    monitor.PollOnce();
    EXPECT_EQ(monitor.PollCounter(), 1);
    SetRegistry(1, 0);
    monitor.PollOnce();
    EXPECT_EQ(monitor.PollCounter(), 0);
}

TEST_F(AgentStatusMonitorTest, DeadAgentStillSayingNormalIsMarkedUnreachable) {
    struct Case {
        bool running;
        int32_t status;
        int32_t afterwards;
    } cases[] = {
        {false, 1, 16}, // repaired
        {false, 8, 8},  // already abnormal: nothing written
        {true, 1, 1},   // alive: nothing written
    };
    for (const auto& c : cases) {
        SetRegistry(c.status, 0);
        m_cached.Store({1, c.status, 0, 0, 0});
        m_serviceRunning = c.running;
        m_posts = 0;
        CAgentStatusMonitor monitor(m_context);
        monitor.PollOnce();
        EXPECT_EQ(RegistryValue(u"AgentStatus"), c.afterwards);
        EXPECT_EQ(m_posts, c.afterwards == 16 ? 1 : 0);
    }
    EXPECT_NE(m_log->Text().find(
                  ",[Warning], !!! The agent status is abnormal, modify it. [AgentStatusMonitor.cpp|"),
              std::string::npos);
    // The reload recreated the missing status document.
    EXPECT_TRUE(FileExists(HomeFile("AgentStatus.xml")));
}

TEST_F(AgentStatusMonitorTest, ThreadSeesTheStopFlagWithinOneSecond) {
    SetRegistry(1, 0);
    m_cached.Store({1, 1, 0, 0, 0});
    std::atomic<int> cycles{0};
    m_clock.SetSleepHook([&](std::uint64_t now) {
        if (now % 5000 == 0)
            ++cycles;
        // Three whole cycles and two polls into the fourth: then stop.
        if (now == 17000)
            m_stop = 1;
    });
    int result = 0;
    std::thread worker([&] { result = AgentStatusMonitorThread(m_context); });
    worker.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(m_clock.NowMs(), 17000u) << "the flag is checked before every one-second sleep";
    EXPECT_EQ(cycles, 3);
}

// In the install's layout, as a member and as a non-member of the
// administrators' group, with no system helper to ask (a machine without
// it): the monitor never writes, and says so once per value however many
// cycles pass. The repairs through the helper: tests/helper.
TEST_F(AgentStatusMonitorTest, WritesThisUserMayNotMakeAreSkippedWithOneLine) {
    SKIP_UNLESS_ROOT();
    const gid_t group = UnusedGroupId();
    const std::string skipped = "The system helper did not write the register item ";
    // No system bus at all, whatever the machine has.
    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string previousAddress = previous ? previous : "";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS",
             ("unix:path=" + (m_temp.Path() / "no-bus").string()).c_str(), 1);
    const struct {
        const char* what;
        bool member;
        int32_t toolTag;
        bool serviceRunning;
        int32_t agentStatusAfter;
        int32_t toolTagAfter;
        const char* skippedValue; // the one line's value name, or null
    } cases[] = {
        {"non-member, a saved configuration's tag", false, 2, true, 1, 2, "ToolTag"},
        {"non-member, a dead agent said to work", false, 0, false, 1, 0, "AgentStatus"},
        {"member, a saved configuration's tag", true, 2, true, 1, 2, "ToolTag"},
        {"member, a dead agent said to work", true, 0, false, 1, 0, "AgentStatus"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetRegistry(1, c.toolTag);
        WriteFileBytes(HomeFile("AgentStatus.xml"),
                       "<AgentStatusData><RegisterStatus>1</RegisterStatus><NetConfigChanged>0"
                       "</NetConfigChanged><MonitorExitTag>0</MonitorExitTag></AgentStatusData>");
        WriteFileBytes(HomeFile("tool.log"), "");
        ApplyInstallModes(Home(), RegistryRootDir(), group);
        ::chmod(HomeFile("tool.log").c_str(), 0666);
        m_cached.Store({1, 1, 0, 0, 0});
        m_serviceRunning = c.serviceRunning;
        g_selfConfigChange = 0;
        const int rc = RunUnprivileged(
            [&] {
                CAgentStatusMonitor monitor(m_context);
                for (int poll = 0; poll < 12; ++poll)
                    monitor.PollOnce();
                return 0;
            },
            c.member ? std::vector<gid_t>{group} : std::vector<gid_t>{});
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(RegistryValue(u"AgentStatus"), c.agentStatusAfter);
        EXPECT_EQ(RegistryValue(u"ToolTag"), c.toolTagAfter);
        const std::string log = ReadFileBytes(HomeFile("tool.log"));
        const auto count = [&log](const std::string& piece) {
            int n = 0;
            for (auto at = log.find(piece); at != std::string::npos; at = log.find(piece, at + 1))
                ++n;
            return n;
        };
        EXPECT_EQ(count(skipped), c.skippedValue ? 1 : 0) << log;
        if (c.skippedValue) {
            EXPECT_EQ(count(skipped + c.skippedValue + " ("), 1) << log;
        }
        EXPECT_EQ(count("Failed to write register item"), 0) << log;
        // Nothing is written, so nothing is reloaded or warned about either.
        EXPECT_EQ(count("The agent status is abnormal"), 0) << log;
        EXPECT_EQ(count("Begin to load Agent status data"), 0) << log;
    }
    if (previous)
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previousAddress.c_str(), 1);
    else
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
