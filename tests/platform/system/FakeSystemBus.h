#pragma once
// A private message bus with our fake systemd on it, made the "system bus"
// of this process through DBUS_SYSTEM_BUS_ADDRESS for the life of the object.
// Every test starts its own, so tests run in parallel without meeting.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/TestSupport.h"

struct sd_bus;
struct sd_bus_message;

namespace testsupport {

class FakeSystemBus {
public:
    FakeSystemBus() = default;
    ~FakeSystemBus();
    FakeSystemBus(const FakeSystemBus&) = delete;
    FakeSystemBus& operator=(const FakeSystemBus&) = delete;

    // Starts dbus-daemon and the fake. Empty on success, else what failed.
    std::string Start();
    // The same on a bus of type "system" with the policies `policy` (the
    // <policy> and <include> elements of its configuration), reachable by
    // every user, as the system helper's tests need.
    std::string StartSystemBus(const std::string& policy);
    const TempDir& Directory() const { return m_dir; }
    void Stop();

    // A unit `name` ("agent.service"), reading `activeScript` now and running
    // `startScript` / `stopScript` when started / stopped. Scripts: see
    // FakeSystemd.cpp ("activating*3,active").
    void AddUnit(const std::string& name, const std::string& activeScript,
                 const std::string& startScript = "active",
                 const std::string& stopScript = "inactive",
                 const std::string& loadState = "loaded");
    // The occurrence number skip+1 from now of `what` (a method name, or
    // "ActiveState" for a read of that property) fails with the D-Bus error.
    void FailNext(const std::string& what, const std::string& errorName, const std::string& message,
                  std::uint32_t skip = 0);
    // "LoadUnit x", "StartUnit x replace interactive=1", "StopUnit ..." in order.
    std::vector<std::string> Calls();
    // The calls that queue a job, without the LoadUnit lookups.
    std::vector<std::string> JobCalls();
    std::uint32_t ActiveStateReads(const std::string& unit);

    const std::string& Address() const { return m_address; }

private:
    std::string StartWith(const std::string& type, const std::string& policy);
    // A method of the fake's control interface; the reply (when asked for) is
    // the caller's to unref.
    bool Call(struct sd_bus_message** reply, const char* method, const char* signature, ...);

    TempDir m_dir;
    pid_t m_daemon = -1;
    pid_t m_fake = -1;
    int m_daemonOutput = -1;
    int m_fakeOutput = -1;
    std::string m_address;
    sd_bus* m_control = nullptr;
    bool m_hadPreviousAddress = false;
    std::string m_previousAddress;
};

} // namespace testsupport
