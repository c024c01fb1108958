// Service commands on their worker thread, against the fake systemd.

#include "shell/ServiceCommandRunner.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

std::u16string Text(unsigned id) {
    switch (id) {
    case kServiceCaptionId:
        return u"Caption";
    case kServiceStopSucceededId:
        return u"Stop \"%s\" service successfully";
    case kServiceStartSucceededId:
        return u"Start \"%s\" service successfully";
    case kServiceStartFailedId:
        return u"Could not start \"%s\" service.";
    default:
        return u"?";
    }
}

// The outcome as the worker hands it over, and on which thread.
class CAwaitedOutcome {
public:
    CServiceCommandRunner::Done Receiver() {
        return [this](const ServiceCommandOutcome& outcome) {
            std::lock_guard lock(m_mutex);
            ++m_deliveries;
            m_outcome = outcome;
            m_thread = std::this_thread::get_id();
            m_arrived.notify_all();
        };
    }
    bool Wait(Ms timeout) {
        std::unique_lock lock(m_mutex);
        return m_arrived.wait_for(lock, timeout, [this] { return m_outcome.has_value(); });
    }
    ServiceCommandOutcome Outcome() {
        std::lock_guard lock(m_mutex);
        return *m_outcome;
    }
    std::thread::id Thread() {
        std::lock_guard lock(m_mutex);
        return m_thread;
    }
    int Deliveries() {
        std::lock_guard lock(m_mutex);
        return m_deliveries;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::optional<ServiceCommandOutcome> m_outcome;
    std::thread::id m_thread;
    int m_deliveries = 0;
};

class ServiceCommandRunnerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_bus.Start(), ""); }
    FakeSystemBus m_bus;
};

} // namespace

TEST_F(ServiceCommandRunnerTest, AStopThatTakesSecondsLeavesTheCallerFree) {
    m_bus.AddUnit("agent.service", "active", "active", "deactivating@3000,inactive");
    CServiceCommandRunner runner(SystemClock::Instance());
    CAwaitedOutcome awaited;
    std::vector<std::thread::id> textThreads;
    const auto begin = SteadyClock::now();
    ASSERT_TRUE(runner.Start(
        ServiceCommand::Stop, u"agent",
        [&](unsigned id) {
            textThreads.push_back(std::this_thread::get_id());
            return Text(id);
        },
        awaited.Receiver()));
    EXPECT_LT(SteadyClock::now() - begin, Ms(500)) << "Start does not wait for the service";
    EXPECT_TRUE(runner.Running());
    EXPECT_FALSE(runner.Start(ServiceCommand::Start, u"agent", Text, awaited.Receiver()))
        << "one command at a time";

    // The caller's thread goes on while the worker waits.
    int turns = 0;
    while (runner.Running() && SteadyClock::now() - begin < Ms(20000)) {
        ++turns;
        std::this_thread::sleep_for(Ms(20));
    }
    ASSERT_TRUE(awaited.Wait(Ms(1000)));
    EXPECT_GE(SteadyClock::now() - begin, Ms(2500)) << "the fake stop takes three seconds";
    EXPECT_GE(turns, 50);
    runner.Join();

    const ServiceCommandOutcome outcome = awaited.Outcome();
    EXPECT_EQ(outcome.command, ServiceCommand::Stop);
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_EQ(outcome.text, u"Stop \"agent\" service successfully");
    EXPECT_EQ(outcome.caption, u"Caption");
    EXPECT_EQ(outcome.icon, ServiceMessageIcon::Information);
    EXPECT_NE(awaited.Thread(), std::this_thread::get_id());
    EXPECT_EQ(awaited.Deliveries(), 1);
    ASSERT_FALSE(textThreads.empty());
    for (const auto& id : textThreads)
        EXPECT_EQ(id, std::this_thread::get_id()) << "texts are loaded by the caller";
    const auto jobs = m_bus.JobCalls();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].rfind("StopUnit agent.service replace", 0), 0u) << jobs[0];
}

TEST_F(ServiceCommandRunnerTest, OutcomesAreTheCommandsOwn) {
    const struct {
        const char* name;
        const char* active;
        const char* startScript;
        bool succeeded;
        std::u16string text;
        ServiceMessageIcon icon;
    } cases[] = {
        {"started", "inactive", "activating*2,active", true,
         u"Start \"agent\" service successfully", ServiceMessageIcon::Information},
        {"never up", "inactive", "activating", false, u"Could not start \"agent\" service.",
         ServiceMessageIcon::Error},
        {"already up", "active", "active", false, u"An instance of the service is already running.",
         ServiceMessageIcon::Error},
    };
    for (const auto& c : cases) {
        m_bus.AddUnit("agent.service", c.active, c.startScript);
        FakeClock clock;
        CServiceCommandRunner runner(clock);
        CAwaitedOutcome awaited;
        ASSERT_TRUE(runner.Start(ServiceCommand::Start, u"agent", Text, awaited.Receiver()))
            << c.name;
        ASSERT_TRUE(awaited.Wait(Ms(20000))) << c.name;
        runner.Join();
        const ServiceCommandOutcome outcome = awaited.Outcome();
        EXPECT_EQ(outcome.succeeded, c.succeeded) << c.name;
        EXPECT_EQ(outcome.text, c.text) << c.name;
        EXPECT_EQ(outcome.icon, c.icon) << c.name;
        EXPECT_FALSE(runner.Running());
    }
}

TEST_F(ServiceCommandRunnerTest, CancelEndsALongWaitWithinAStep) {
    // A start that would keep the wait busy for its whole three minutes.
    m_bus.AddUnit("agent.service", "inactive", "activating@600000,active");
    CServiceCommandRunner runner(SystemClock::Instance());
    CAwaitedOutcome awaited;
    ASSERT_TRUE(runner.Start(ServiceCommand::Start, u"agent", Text, awaited.Receiver()));
    std::this_thread::sleep_for(Ms(200));
    const auto begin = SteadyClock::now();
    runner.Cancel();
    runner.Join();
    EXPECT_LT(SteadyClock::now() - begin, Ms(3000));
    ASSERT_TRUE(awaited.Wait(Ms(0)));
    EXPECT_FALSE(awaited.Outcome().succeeded);
    EXPECT_EQ(awaited.Outcome().text, u"Could not start \"agent\" service.");

    // The runner serves the next command with its time back to normal.
    m_bus.AddUnit("agent.service", "inactive", "active");
    CAwaitedOutcome next;
    ASSERT_TRUE(runner.Start(ServiceCommand::Start, u"agent", Text, next.Receiver()));
    ASSERT_TRUE(next.Wait(Ms(5000)));
    EXPECT_TRUE(next.Outcome().succeeded);
}

TEST_F(ServiceCommandRunnerTest, DestroyingTheRunnerDoesNotWaitOutTheService) {
    m_bus.AddUnit("agent.service", "active", "active", "deactivating@600000,inactive");
    CAwaitedOutcome awaited;
    const auto begin = SteadyClock::now();
    {
        CServiceCommandRunner runner(SystemClock::Instance());
        ASSERT_TRUE(runner.Start(ServiceCommand::Stop, u"agent", Text, awaited.Receiver()));
        std::this_thread::sleep_for(Ms(100));
    }
    EXPECT_LT(SteadyClock::now() - begin, Ms(3000));
    EXPECT_EQ(awaited.Deliveries(), 1);
}
