#include "platform/system/ServiceManager.h"

#include <cstdlib>
#include <string_view>

#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr const char* kAuthRequired = "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired";

class ServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_bus.Start(), ""); }

    FakeSystemBus m_bus;
};

std::string Narrow(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}
std::u16string Wide(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

} // namespace

TEST(ServiceManagerNames, UnitNameAndStateMapping) {
    const struct {
        const char* service;
        const char* unit;
    } names[] = {
        {"agent", "agent.service"},
        {"agent.service", "agent.service"},
        {"agent.timer", "agent.timer"},
        {"opal.agent", "opal.agent.service"}, // a dot alone is no unit type
        {"agent.service.bak", "agent.service.bak.service"},
        {".service", ".service.service"},
    };
    for (const auto& n : names)
        EXPECT_EQ(ServiceUnitName(n.service), n.unit) << n.service;

    const struct {
        const char* active;
        const char* job;
        unsigned long state;
    } states[] = {
        {"active", "", SERVICE_RUNNING},
        {"reloading", "", SERVICE_RUNNING},
        {"activating", "", SERVICE_START_PENDING},
        {"activating", "start", SERVICE_START_PENDING},
        {"deactivating", "", SERVICE_STOP_PENDING},
        {"inactive", "", SERVICE_STOPPED},
        {"failed", "", SERVICE_STOPPED},
        {"", "", SERVICE_STOPPED},
        // A start queued on a unit that is down has not failed yet.
        {"inactive", "start", SERVICE_START_PENDING},
        {"failed", "restart", SERVICE_START_PENDING},
        {"inactive", "stop", SERVICE_STOPPED},
        // A stop queued on a unit that is up.
        {"active", "stop", SERVICE_STOP_PENDING},
        {"active", "start", SERVICE_RUNNING},
    };
    for (const auto& s : states)
        EXPECT_EQ(ServiceStateFromUnit(s.active, s.job), s.state) << s.active << "/" << s.job;
}

TEST_F(ServiceManagerTest, StateOfEachKindOfUnit) {
    const struct {
        const char* unit;
        const char* script;
        unsigned long state;
    } cases[] = {
        {"up.service", "active", SERVICE_RUNNING},
        {"reload.service", "reloading", SERVICE_RUNNING},
        {"coming.service", "activating", SERVICE_START_PENDING},
        {"going.service", "deactivating", SERVICE_STOP_PENDING},
        {"down.service", "inactive", SERVICE_STOPPED},
        {"broken.service", "failed", SERVICE_STOPPED},
    };
    for (const auto& c : cases)
        m_bus.AddUnit(c.unit, c.script);
    for (const auto& c : cases) {
        ServiceManager service;
        ServiceError error;
        ASSERT_TRUE(service.Open(Wide(c.unit), error));
        unsigned long state = 0;
        ASSERT_TRUE(service.QueryState(state, error)) << Narrow(error.text);
        EXPECT_EQ(state, c.state) << c.unit;
        EXPECT_EQ(error.code, ERROR_SUCCESS);
    }
    // An unknown unit reads as stopped: it is loaded as a "not-found" stub.
    ServiceManager ghost;
    ServiceError error;
    unsigned long state = 0;
    ASSERT_TRUE(ghost.Open(u"ghost", error));
    ASSERT_TRUE(ghost.QueryState(state, error));
    EXPECT_EQ(state, SERVICE_STOPPED);
}

TEST_F(ServiceManagerTest, StartAndStopAnswersAsTheServiceManagerDoes) {
    const struct {
        const char* what;
        const char* unit;
        const char* activeScript;
        bool start;
        long code;
        const char* text;
        const char* jobCall; // "" when no job may be queued
    } cases[] = {
        {"start stopped", "a", "inactive", true, 0, "",
         "StartUnit a.service replace interactive=1"},
        {"start failed", "b", "failed", true, 0, "", "StartUnit b.service replace interactive=1"},
        {"start running", "c", "active", true, ERROR_SERVICE_ALREADY_RUNNING,
         "An instance of the service is already running.", ""},
        {"start starting", "d", "activating", true, ERROR_SERVICE_ALREADY_RUNNING,
         "An instance of the service is already running.", ""},
        {"start stopping", "e", "deactivating", true, 0, "",
         "StartUnit e.service replace interactive=1"},
        {"stop running", "f", "active", false, 0, "", "StopUnit f.service replace interactive=1"},
        {"stop starting", "g", "activating", false, 0, "",
         "StopUnit g.service replace interactive=1"},
        {"stop stopped", "h", "inactive", false, ERROR_SERVICE_NOT_ACTIVE,
         "The service has not been started.", ""},
        {"stop failed", "i", "failed", false, ERROR_SERVICE_NOT_ACTIVE,
         "The service has not been started.", ""},
        {"start unknown", "ghost", nullptr, true, ERROR_FILE_NOT_FOUND,
         "Unit ghost.service not found.", "StartUnit ghost.service replace interactive=1"},
        {"stop unknown", "phantom", nullptr, false, ERROR_FILE_NOT_FOUND,
         "Unit phantom.service not loaded.", "StopUnit phantom.service replace interactive=1"},
    };
    for (const auto& c : cases) {
        const std::string unit = std::string(c.unit) + ".service";
        if (c.activeScript != nullptr)
            m_bus.AddUnit(unit, c.activeScript);
        ServiceManager service;
        ServiceError error;
        ASSERT_TRUE(service.Open(Wide(c.unit), error));
        const bool ok = c.start ? service.Start(error) : service.Stop(error);
        EXPECT_EQ(ok, c.code == 0) << c.what;
        EXPECT_EQ(error.code, c.code) << c.what;
        EXPECT_EQ(Narrow(error.text), c.text) << c.what;
    }
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        if (*c.jobCall != '\0')
            expected.emplace_back(c.jobCall);
    }
    EXPECT_EQ(m_bus.JobCalls(), expected);
}

TEST_F(ServiceManagerTest, FailuresOfTheBusCallsCarrySystemdsMessage) {
    const struct {
        const char* what;
        const char* errorName;
        const char* message;
        bool start;
        long code;
    } cases[] = {
        {"StartUnit", kAuthRequired, "Interactive authentication required.", true,
         ERROR_ACCESS_DENIED},
        {"StopUnit", "org.freedesktop.DBus.Error.AccessDenied", "Access denied", false,
         ERROR_ACCESS_DENIED},
        {"LoadUnit", "org.freedesktop.DBus.Error.NoMemory", "Out of memory", true,
         0x20000000L | ENOMEM},
        {"ActiveState", "org.freedesktop.DBus.Error.Disconnected", "Gone", false,
         0x20000000L | ECONNRESET},
    };
    for (const auto& c : cases) {
        m_bus.AddUnit("agent.service", c.start ? "inactive" : "active");
        m_bus.FailNext(c.what, c.errorName, c.message);
        ServiceManager service;
        ServiceError error;
        ASSERT_TRUE(service.Open(u"agent", error));
        EXPECT_FALSE(c.start ? service.Start(error) : service.Stop(error)) << c.what;
        EXPECT_EQ(error.code, c.code) << c.what;
        EXPECT_EQ(Narrow(error.text), c.message) << c.what;
    }
}

TEST_F(ServiceManagerTest, QueuedStartReadsAsStartPendingUntilTheUnitMoves) {
    // StartUnit answers before the unit leaves "inactive"; meanwhile its job
    // is what says that a start is under way.
    m_bus.AddUnit("agent.service", "inactive", "inactive*2,activating*1,active");
    ServiceManager service;
    ServiceError error;
    ASSERT_TRUE(service.Open(u"agent.service", error));
    ASSERT_TRUE(service.Start(error)) << Narrow(error.text);
    std::vector<unsigned long> seen;
    for (int i = 0; i < 5; ++i) {
        unsigned long state = 0;
        ASSERT_TRUE(service.QueryState(state, error));
        seen.push_back(state);
    }
    EXPECT_EQ(seen, (std::vector<unsigned long>{SERVICE_START_PENDING, SERVICE_START_PENDING,
                                                SERVICE_START_PENDING, SERVICE_RUNNING,
                                                SERVICE_RUNNING}));
    // One connection per operation: the unit is looked up once.
    EXPECT_EQ(m_bus.Calls(),
              (std::vector<std::string>{"LoadUnit agent.service",
                                        "StartUnit agent.service replace interactive=1"}));
}

TEST(ServiceManagerNoBus, EveryOperationFailsWithTheReason) {
    TempDir dir;
    const std::string address = "unix:path=" + (dir / "no_bus_socket");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    ServiceManager service;
    ServiceError error;
    EXPECT_FALSE(service.Open(u"agent", error));
    EXPECT_EQ(error.code, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Narrow(error.text), "Failed to connect to the system bus: No such file or directory");
    EXPECT_FALSE(service.IsOpen());

    // Calls on a manager that did not open fail instead of touching a bus.
    error = {};
    unsigned long state = 0;
    EXPECT_FALSE(service.QueryState(state, error));
    EXPECT_EQ(error.code, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(service.Start(error));
    EXPECT_FALSE(service.Stop(error));
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(ServiceManagerNoBus, NameThatIsNotTextIsRefused) {
    ServiceManager service;
    ServiceError error;
    const char16_t lone[] = {u'a', 0xD800, 0};
    EXPECT_FALSE(service.Open(lone, error));
    EXPECT_EQ(error.code, ERROR_INVALID_DATA);
}
