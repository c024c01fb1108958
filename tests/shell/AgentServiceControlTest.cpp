#include "shell/AgentServiceControl.h"

#include <map>
#include <vector>

#include "BuildInfo.h"
#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr const char* kAuthRequired = "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired";
// The manager's text, then the sentence that names the administrators' group.
const std::string kAuthRequiredShown =
    std::string("Interactive authentication required. Needs the group ") + OPAL_ADMIN_GROUP + ".";

std::string Narrow(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

// The English string table, and message boxes that are written down instead
// of shown.
class RecordingUi : public ServiceCommandUi {
public:
    std::u16string LoadText(unsigned id) override {
        static const std::map<unsigned, std::u16string> texts = {
            {7022, u"Kestrel Agent Setting Tool"},
            {7011, u"Stop \"%s\" service successfully"},
            {7012, u"Start \"%s\" service successfully"},
            {7013, u"Restart \"%s\" service successfully"},
            {7048, u"Could not start \"%s\" service. This could be an internal Windows error or "
                   u"an internal service error."},
            {7049, u"Could not stop \"%s\" service. This could be an internal Windows error or an "
                   u"internal service error."},
            {7050, u"Could not restart \"%s\" service. This could be an internal Windows error or "
                   u"an internal service error."},
            {7132, u"Needs the group %s."},
        };
        const auto found = texts.find(id);
        return found == texts.end() ? u"?" : found->second;
    }
    void ShowMessage(const std::u16string& text, const std::u16string& caption,
                     ServiceMessageIcon icon) override {
        events.push_back("message");
        messages.push_back({Narrow(text), Narrow(caption), icon});
    }
    void BeginWait() override { events.push_back("busy"); }
    void EndWait() override { events.push_back("idle"); }

    struct Message {
        std::string text;
        std::string caption;
        ServiceMessageIcon icon;
    };
    std::vector<Message> messages;
    std::vector<std::string> events;
};

class AgentServiceControlTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_bus.Start(), ""); }

    FakeSystemBus m_bus;
};

const char* IconName(ServiceMessageIcon icon) {
    switch (icon) {
    case ServiceMessageIcon::Information:
        return "information";
    case ServiceMessageIcon::Warning:
        return "warning";
    case ServiceMessageIcon::Error:
        return "error";
    }
    return "?";
}

} // namespace

TEST(AgentServiceControlText, PlaceholderIsReplacedLiterallyOnce) {
    const struct {
        std::u16string text;
        std::u16string value;
        std::u16string expected;
    } cases[] = {
        {u"Start \"%s\" service successfully", u"Svc", u"Start \"Svc\" service successfully"},
        {u"%s then %s", u"a", u"a then %s"},
        {u"no placeholder", u"a", u"no placeholder"},
        {u"\"%s\"", u"100%d %s", u"\"100%d %s\""},
        {u"%s", u"", u""},
        {u"%%s", u"x", u"%x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplaceFirstPlaceholder(c.text, c.value), c.expected) << Narrow(c.text);
}

// Every way a tray command can end, with the fake clock standing in for the
// three-minute budgets. `sleeps` is the number of one-second waits.
TEST_F(AgentServiceControlTest, CommandsReportHowTheServiceEnded) {
    const std::string startFailed = "Could not start \"Svc\" service. This could be an internal "
                                    "Windows error or an internal service error.";
    const std::string stopFailed = "Could not stop \"Svc\" service. This could be an internal "
                                   "Windows error or an internal service error.";
    const struct {
        const char* what;
        ServiceCommand command;
        const char* active;
        const char* onStart;
        const char* onStop;
        const char* failWhat; // a call of the fake made to fail, or nullptr
        bool result;
        ServiceMessageIcon icon;
        std::string text;
        std::uint64_t sleeps;
    } cases[] = {
        {"start", ServiceCommand::Start, "inactive", "activating*3,active", "inactive", nullptr,
         true, ServiceMessageIcon::Information, "Start \"Svc\" service successfully", 3},
        {"start queued", ServiceCommand::Start, "inactive", "inactive*1,activating*1,active",
         "inactive", nullptr, true, ServiceMessageIcon::Information, "Start \"Svc\" service successfully",
         2},
        {"start up on the last query", ServiceCommand::Start, "inactive", "activating*180,active",
         "inactive", nullptr, true, ServiceMessageIcon::Information, "Start \"Svc\" service successfully",
         180},
        {"start still pending after the budget", ServiceCommand::Start, "inactive",
         "activating*181,active", "inactive", nullptr, false, ServiceMessageIcon::Error, startFailed, 181},
        {"start stuck", ServiceCommand::Start, "inactive", "activating", "inactive", nullptr, false,
         ServiceMessageIcon::Error, startFailed, 181},
        {"start fails", ServiceCommand::Start, "inactive", "activating*2,failed", "inactive",
         nullptr, false, ServiceMessageIcon::Error, startFailed, 2},
        {"start running", ServiceCommand::Start, "active", "active", "inactive", nullptr, false,
         ServiceMessageIcon::Error, "An instance of the service is already running.", 0},
        {"start needs a password", ServiceCommand::Start, "inactive", "active", "inactive",
         "StartUnit", false, ServiceMessageIcon::Error, kAuthRequiredShown, 0},
        {"start query refused while waiting", ServiceCommand::Start, "inactive",
         "activating*5,active", "inactive", "ActiveState", false, ServiceMessageIcon::Error,
         kAuthRequiredShown, 1},
        {"stop", ServiceCommand::Stop, "active", "active", "deactivating*2,inactive", nullptr, true,
         ServiceMessageIcon::Information, "Stop \"Svc\" service successfully", 2},
        {"stop ends failed", ServiceCommand::Stop, "active", "active", "deactivating*1,failed",
         nullptr, true, ServiceMessageIcon::Information, "Stop \"Svc\" service successfully", 1},
        {"stop stopped", ServiceCommand::Stop, "inactive", "active", "inactive", nullptr, false,
         ServiceMessageIcon::Error, "The service has not been started.", 0},
        {"stop stuck", ServiceCommand::Stop, "active", "active", "deactivating", nullptr, false,
         ServiceMessageIcon::Error, stopFailed, 181},
        {"stop ignored", ServiceCommand::Stop, "active", "active", "active", nullptr, false,
         ServiceMessageIcon::Error, stopFailed, 181},
        {"restart", ServiceCommand::Restart, "active", "activating*1,active",
         "deactivating*2,inactive", nullptr, true, ServiceMessageIcon::Information,
         "Restart \"Svc\" service successfully", 2 + 1 + 1},
        // Each "stop pending" starts the budget again: 400 s of stopping is
        // waited out, and the start follows one second after the stop.
        {"restart slow stop", ServiceCommand::Restart, "active", "active",
         "deactivating*400,inactive", nullptr, true, ServiceMessageIcon::Information,
         "Restart \"Svc\" service successfully", 400 + 1},
        // Never stops: given up after 15 minutes, then the start is tried.
        {"restart endless stop", ServiceCommand::Restart, "active", "activating*1,active",
         "deactivating", nullptr, true, ServiceMessageIcon::Information,
         "Restart \"Svc\" service successfully", 900 + 1 + 1},
        // Still up after the budget: the start then finds it running.
        {"restart stop ignored", ServiceCommand::Restart, "active", "active", "active", nullptr,
         false, ServiceMessageIcon::Error, "An instance of the service is already running.", 181 + 1},
        {"restart start stuck", ServiceCommand::Restart, "active", "activating",
         "deactivating*1,inactive", nullptr, false, ServiceMessageIcon::Error,
         "Could not restart \"Svc\" service. This could be an internal Windows error or an "
         "internal service error.",
         1 + 1 + 181},
        {"restart stopped", ServiceCommand::Restart, "inactive", "active", "inactive", nullptr,
         false, ServiceMessageIcon::Error, "The service has not been started.", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_bus.AddUnit("Svc.service", c.active, c.onStart, c.onStop);
        if (c.failWhat != nullptr) {
            // The wait's reads fail after the check before the start and the
            // first poll.
            const std::uint32_t skip = std::string(c.failWhat) == "ActiveState" ? 2 : 0;
            m_bus.FailNext(c.failWhat, kAuthRequired, "Interactive authentication required.", skip);
        }
        FakeClock clock;
        RecordingUi ui;
        EXPECT_EQ(RunServiceCommand(c.command, u"Svc", ui, clock), c.result);
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0].text, c.text);
        EXPECT_EQ(ui.messages[0].caption, "Kestrel Agent Setting Tool");
        EXPECT_STREQ(IconName(ui.messages[0].icon), IconName(c.icon));
        EXPECT_EQ(clock.Sleeps(), c.sleeps);
        EXPECT_EQ(clock.SleptMs(), c.sleeps * 1000);
        // The busy cursor is gone before the message box comes up.
        EXPECT_EQ(ui.events, (std::vector<std::string>{"busy", "idle", "message"}));
    }
}

TEST_F(AgentServiceControlTest, StuckStartIsQueried181Times) {
    m_bus.AddUnit("agent.service", "inactive", "activating");
    FakeClock clock;
    ServiceError error;
    EXPECT_FALSE(StartAgentService(u"agent", error, clock));
    EXPECT_EQ(error.code, ERROR_SUCCESS) << "running out of time is no failed call";
    EXPECT_TRUE(error.text.empty());
    // One read by the check before the start, then the 181 polls.
    EXPECT_EQ(m_bus.ActiveStateReads("agent.service"), 1u + 181u);
    EXPECT_EQ(clock.NowMs(), 181000u);
}

TEST_F(AgentServiceControlTest, RestartStartsOnlyAfterTheStopAndASecond) {
    m_bus.AddUnit("agent.service", "active", "activating*1,active", "deactivating*3,inactive");
    FakeClock clock;
    std::vector<std::uint64_t> startsAt;
    clock.SetSleepHook([&](std::uint64_t now) {
        // Sleeps taken while the start has already been sent.
        if (m_bus.JobCalls().size() == 2)
            startsAt.push_back(now);
    });
    ServiceError error;
    EXPECT_TRUE(RestartAgentService(u"agent", error, clock));
    EXPECT_EQ(m_bus.JobCalls(),
              (std::vector<std::string>{"StopUnit agent.service replace interactive=1",
                                        "StartUnit agent.service replace interactive=1"}));
    // Three seconds of stopping, one more before the start, one of starting.
    EXPECT_EQ(startsAt, (std::vector<std::uint64_t>{5000}));
}

TEST_F(AgentServiceControlTest, IsRunningOnlyForTheRunningState) {
    const struct {
        const char* unit;
        const char* active;
        bool running;
    } cases[] = {
        {"a.service", "active", true},      {"b.service", "reloading", true},
        {"c.service", "activating", false}, {"d.service", "deactivating", false},
        {"e.service", "inactive", false},   {"f.service", "failed", false},
    };
    for (const auto& c : cases) {
        m_bus.AddUnit(c.unit, c.active);
        const std::string name = c.unit;
        EXPECT_EQ(IsAgentServiceRunning(std::u16string(name.begin(), name.end())), c.running)
            << c.unit;
    }
    EXPECT_FALSE(IsAgentServiceRunning(u"missing"));
    m_bus.FailNext("ActiveState", kAuthRequired, "Interactive authentication required.");
    EXPECT_FALSE(IsAgentServiceRunning(u"a"));
    EXPECT_TRUE(IsAgentServiceRunning(u"a"));
}

// Only polkit's refusals name the group; any other failure of the manager
// is shown as it says it.
TEST_F(AgentServiceControlTest, RefusalsNameTheAdministratorsGroup) {
    const std::string group = std::string(" Needs the group ") + OPAL_ADMIN_GROUP + ".";
    const struct {
        const char* errorName;
        const char* message;
        bool namesGroup;
    } cases[] = {
        {"org.freedesktop.DBus.Error.AccessDenied", "Access denied", true},
        {kAuthRequired, "Interactive authentication required.", true},
        {"org.freedesktop.systemd1.NoSuchUnit", "Unit Svc.service not found.", false},
        {"org.freedesktop.DBus.Error.Failed", "Access denied elsewhere", false},
    };
    for (const auto& c : cases) {
        for (const auto command : {ServiceCommand::Start, ServiceCommand::Stop}) {
            SCOPED_TRACE(std::string(c.errorName) + (command == ServiceCommand::Start ? " start" : " stop"));
            m_bus.AddUnit("Svc.service", command == ServiceCommand::Start ? "inactive" : "active");
            m_bus.FailNext(command == ServiceCommand::Start ? "StartUnit" : "StopUnit", c.errorName,
                           c.message);
            FakeClock clock;
            RecordingUi ui;
            EXPECT_FALSE(RunServiceCommand(command, u"Svc", ui, clock));
            ASSERT_EQ(ui.messages.size(), 1u);
            EXPECT_EQ(ui.messages[0].text, c.message + (c.namesGroup ? group : std::string()));
        }
    }
}

TEST(AgentServiceControlNoBus, CommandsShowWhyTheBusCannotBeReached) {
    TempDir dir;
    const std::string address = "unix:path=" + (dir / "no_bus_socket");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    const std::string noBus = "Failed to connect to the system bus: No such file or directory";
    for (const auto command :
         {ServiceCommand::Start, ServiceCommand::Stop, ServiceCommand::Restart}) {
        FakeClock clock;
        RecordingUi ui;
        EXPECT_FALSE(RunServiceCommand(command, u"Svc", ui, clock));
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0].text, noBus);
        EXPECT_EQ(ui.messages[0].icon, ServiceMessageIcon::Error);
        EXPECT_EQ(clock.Sleeps(), 0u);
    }
    EXPECT_FALSE(IsAgentServiceRunning(u"Svc"));
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST_F(AgentServiceControlTest, CommandIsLoggedAsAWarning) {
    TempDir dir;
    LogCapture log(dir.Path() / "tool.log");
    m_bus.AddUnit("Svc.service", "inactive");
    FakeClock clock;
    RecordingUi ui;
    for (const auto command :
         {ServiceCommand::Start, ServiceCommand::Restart, ServiceCommand::Stop})
        RunServiceCommand(command, u"Svc", ui, clock);
    const std::string text = log.Text();
    const auto start = text.find("Start Agent service. [AgentServiceControl.cpp|");
    const auto restart = text.find("Restart Agent service. [AgentServiceControl.cpp|");
    const auto stop = text.find("Stop Agent service. [AgentServiceControl.cpp|");
    ASSERT_NE(start, std::string::npos) << text;
    ASSERT_NE(restart, std::string::npos) << text;
    ASSERT_NE(stop, std::string::npos) << text;
    EXPECT_LT(start, restart);
    EXPECT_LT(restart, stop);
}

TEST_F(AgentServiceControlTest, ProgressIsToldAtEveryStepWithoutChangingTheWait) {
    m_bus.AddUnit("agent.service", "inactive", "activating*3,active", "deactivating*2,inactive");
    struct Step {
        unsigned long state;
        std::uint64_t waitedMs;
        bool operator==(const Step&) const = default;
    };
    const struct {
        ServiceCommand command;
        std::vector<Step> steps;
        std::uint64_t sleeps;
    } cases[] = {
        {ServiceCommand::Start,
         {{SERVICE_START_PENDING, 0}, {SERVICE_START_PENDING, 1000}, {SERVICE_START_PENDING, 2000}},
         3},
        // The stop's wait, the second before the start, the start's wait:
        // each wait counts its own time.
        {ServiceCommand::Restart,
         {{SERVICE_STOP_PENDING, 0}, {SERVICE_STOP_PENDING, 1000}, {SERVICE_START_PENDING, 0},
          {SERVICE_START_PENDING, 1000}, {SERVICE_START_PENDING, 2000}},
         6},
    };
    for (const auto& c : cases) {
        FakeClock clock;
        class ProgressUi : public RecordingUi {
        public:
            void WaitProgress(unsigned long state, std::uint64_t waitedMs) override {
                steps.push_back({state, waitedMs});
            }
            std::vector<Step> steps;
        } ui;
        EXPECT_TRUE(RunServiceCommand(c.command, u"agent", ui, clock));
        EXPECT_EQ(ui.steps, c.steps);
        EXPECT_EQ(clock.Sleeps(), c.sleeps);
    }
}
