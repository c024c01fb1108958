#pragma once
// The service control manager on systemd: one connection to the system bus
// (sd-bus, which honours DBUS_SYSTEM_BUS_ADDRESS) stands for the pair of
// manager and service handles. It lives for one operation, or, for the
// status monitor's polls, as long as the bus keeps it.
//
// Where systemd would answer differently from the service control manager,
// the manager's answers are kept, because callers are written against them:
// starting a unit that is already up fails with ERROR_SERVICE_ALREADY_RUNNING,
// stopping one that is down fails with ERROR_SERVICE_NOT_ACTIVE.

#include <string>
#include <string_view>

#include "platform/system/Win32Error.h"

struct sd_bus;

inline constexpr unsigned long SERVICE_STOPPED = 1;
inline constexpr unsigned long SERVICE_START_PENDING = 2;
inline constexpr unsigned long SERVICE_STOP_PENDING = 3;
inline constexpr unsigned long SERVICE_RUNNING = 4;

// A failed call: the Win32-style number and what the system says about it
// (the D-Bus error message, or our own text for the kept manager answers).
struct ServiceError {
    long code = ERROR_SUCCESS;
    std::u16string text;
    // The manager (polkit) refused the caller the right to do this, rather
    // than the operation failing.
    bool authorizationRefused = false;
};

// The D-Bus errors with which systemd passes on polkit's refusal.
bool IsAuthorizationRefusal(std::string_view busErrorName);

// The unit that a service name stands for: the name itself when it already
// ends in a unit type suffix, else the name followed by ".service".
std::string ServiceUnitName(std::string_view serviceName);

// Maps systemd's ActiveState, together with the type of a job queued on the
// unit ("" when none), to the manager's states. A queued start on a unit that
// is still down is START_PENDING, as the manager reports right after a
// successful start; a queued stop on a unit that is up is STOP_PENDING.
unsigned long ServiceStateFromUnit(std::string_view activeState, std::string_view jobType);

class ServiceManager {
public:
    ServiceManager() = default;
    ~ServiceManager();
    ServiceManager(const ServiceManager&) = delete;
    ServiceManager& operator=(const ServiceManager&) = delete;

    // Connects to the system bus for the named service. False with `error`
    // filled when the name is not valid text or there is no bus.
    bool Open(std::u16string_view serviceName, ServiceError& error);
    // Queues a start of the unit (mode "replace", interactive authorization
    // allowed).
    bool Start(ServiceError& error);
    // Queues a stop of the unit (mode "replace", interactive authorization
    // allowed).
    bool Stop(ServiceError& error);
    bool QueryState(unsigned long& state, ServiceError& error);
    // The state together with systemd's LoadState ("loaded", "not-found",
    // "masked", ...), for callers that tell a missing unit from a stopped one.
    bool QueryUnit(unsigned long& state, std::string& loadState, ServiceError& error);
    void Close();

    bool IsOpen() const { return m_bus != nullptr; }
    // Open and still connected: false once the bus has gone away under a
    // connection that was kept.
    bool IsConnected() const;
    const std::string& Unit() const { return m_unit; }

private:
    struct UnitState {
        std::string loadState;
        std::string activeState;
        std::string jobType;
    };
    bool ReadUnit(UnitState& unit, bool withLoadState, ServiceError& error);
    bool QueueJob(const char* method, ServiceError& error);

    sd_bus* m_bus = nullptr;
    std::string m_unit;
    std::string m_unitPath;
};
