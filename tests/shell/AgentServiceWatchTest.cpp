// The status monitor's view of the agent service, against the fake systemd:
// the dead-agent repair happens only on the manager's answer, the connection
// is kept between polls and opened again when the bus goes.

#include <optional>

#include "common/ASTCommonFunc.h"
#include "shell/AgentServiceControl.h"
#include "shell/AgentStatusMonitor.h"
#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr char kAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class AgentServiceWatchTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log.emplace(m_temp.Path() / "tool.log");
    }
    void TearDown() override {
        m_log.reset();
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        AgentHomeTest::TearDown();
    }

    // The agent said "works normally" last; the tool's cached copy agrees.
    void AgentSaysNormal() {
        WriteFileBytes(HomeFile("AgentStatus.xml"),
                       "<AgentStatusData><RegisterStatus>1</RegisterStatus>"
                       "<NetConfigChanged>0</NetConfigChanged><MonitorExitTag>0</MonitorExitTag>"
                       "</AgentStatusData>");
        RegistryKey key;
        ASSERT_EQ(key.Create(AgentRegistryKey), 0);
        ASSERT_EQ(key.WriteInt(u"AgentStatus", 1), 0);
        ASSERT_EQ(key.WriteInt(u"ToolTag", 0), 0);
        m_cached.Store({1, 1, 0, 0, 0});
    }
    int32_t RegistryStatus() {
        RegistryKey key;
        int32_t value = -1;
        EXPECT_EQ(key.Create(AgentRegistryKey), 0);
        EXPECT_EQ(key.ReadInt(u"AgentStatus", value), 0);
        return value;
    }
    // One poll of a monitor whose service answers come from `watch`.
    void Poll(AgentServiceWatch& watch) {
        AgentStatusMonitorContext context;
        context.stopFlag = &m_stop;
        context.cachedStatus = &m_cached;
        context.clock = &m_clock;
        context.postAgentStatus = [this] { ++m_posts; };
        context.queryAgentService = [&watch] { return watch.Query(); };
        CAgentStatusMonitor monitor(context);
        monitor.PollOnce();
    }

    std::optional<LogCapture> m_log;
    std::atomic<int32_t> m_stop{0};
    SharedAgentStatus m_cached;
    FakeClock m_clock;
    int m_posts = 0;
};

} // namespace

TEST_F(AgentServiceWatchTest, OnlyTheManagersAnswerThatTheServiceIsDownRepairsTheStatus) {
    struct Case {
        const char* name;
        bool bus;
        const char* unitState; // null: no unit of that name
        bool refuse;
        const char16_t* service;
        ServiceRunState state;
        int32_t afterwards;
    } cases[] = {
        {"no system bus", false, "inactive", false, u"agent", ServiceRunState::Unknown, 1},
        {"access refused", true, "inactive", true, u"agent", ServiceRunState::Unknown, 1},
        {"no service named", true, "inactive", false, u"", ServiceRunState::Unknown, 1},
        {"service stopped", true, "inactive", false, u"agent", ServiceRunState::NotRunning, 16},
        {"service not installed", true, nullptr, false, u"agent", ServiceRunState::NotRunning, 16},
        {"service running", true, "active", false, u"agent", ServiceRunState::Running, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSystemBus bus;
        if (c.bus) {
            ASSERT_EQ(bus.Start(), "");
            if (c.unitState)
                bus.AddUnit("agent.service", c.unitState);
            if (c.refuse)
                bus.FailNext("ActiveState", kAccessDenied, "Access denied.");
        } else {
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (m_temp / "no_bus")).c_str(), 1);
        }
        AgentSaysNormal();
        AgentServiceWatch watch(c.service);
        m_posts = 0;
        Poll(watch);
        EXPECT_EQ(RegistryStatus(), c.afterwards);
        EXPECT_EQ(m_posts, c.afterwards == 16 ? 1 : 0);
        if (c.refuse)
            EXPECT_EQ(watch.Query(), ServiceRunState::NotRunning) << "the next answer counts";
        else
            EXPECT_EQ(watch.Query(), c.state);
    }
    const std::string log = m_log->Text();
    EXPECT_EQ(CountOf(log, "The agent status is abnormal, modify it. ["), 2u);
    EXPECT_EQ(CountOf(log, "Cannot query the agent service agent: Access denied. ["), 1u) << log;
    EXPECT_EQ(CountOf(log, "Cannot query the agent service : No agent service name is configured."),
              1u);
    EXPECT_EQ(CountOf(log, "Begin to load Agent status Reg."), 2u)
        << "a poll writes no line; only the two repairs reload the whole status";
}

TEST_F(AgentServiceWatchTest, AFailedQueryIsLoggedOncePerChangeOfItsResult) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (m_temp / "no_bus")).c_str(), 1);
    AgentServiceWatch watch(u"agent");
    for (int poll = 0; poll < 4; ++poll)
        EXPECT_EQ(watch.Query(), ServiceRunState::Unknown);
    FakeSystemBus bus;
    ASSERT_EQ(bus.Start(), "");
    bus.AddUnit("agent.service", "active");
    for (int poll = 0; poll < 3; ++poll)
        EXPECT_EQ(watch.Query(), ServiceRunState::Running);
    bus.FailNext("ActiveState", kAccessDenied, "Access denied.");
    EXPECT_EQ(watch.Query(), ServiceRunState::Unknown);
    EXPECT_EQ(watch.Query(), ServiceRunState::Running);

    const std::string log = m_log->Text();
    EXPECT_EQ(CountOf(log, "Cannot query the agent service agent: Failed to connect to the system "
                           "bus: No such file or directory ["),
              1u)
        << log;
    EXPECT_EQ(CountOf(log, "Cannot query the agent service agent: Access denied. ["), 1u);
    EXPECT_EQ(CountOf(log, "The agent service agent can be queried again. ["), 2u);
}

TEST_F(AgentServiceWatchTest, KeepsOneConnectionAndOpensANewOneWhenTheBusGoes) {
    AgentServiceWatch watch(u"agent");
    {
        FakeSystemBus first;
        ASSERT_EQ(first.Start(), "");
        first.AddUnit("agent.service", "active");
        for (int poll = 0; poll < 5; ++poll)
            EXPECT_EQ(watch.Query(), ServiceRunState::Running);
        // A fresh connection per poll would look the unit up every time.
        EXPECT_EQ(CountOf(testing::PrintToString(first.Calls()), "LoadUnit agent.service"), 1u);
        EXPECT_EQ(first.ActiveStateReads("agent.service"), 5u);
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (m_temp / "no_bus")).c_str(), 1);
    EXPECT_EQ(watch.Query(), ServiceRunState::Unknown) << "the bus is gone";
    FakeSystemBus second;
    ASSERT_EQ(second.Start(), "");
    second.AddUnit("agent.service", "inactive");
    EXPECT_EQ(watch.Query(), ServiceRunState::NotRunning);
    EXPECT_EQ(watch.Query(), ServiceRunState::NotRunning);
    EXPECT_EQ(CountOf(testing::PrintToString(second.Calls()), "LoadUnit agent.service"), 1u);
}
