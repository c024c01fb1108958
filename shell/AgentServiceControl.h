#pragma once
// Starting, stopping and restarting the agent's service from the tray menu,
// and asking whether it runs. No Qt here: the frame hands in its message
// boxes, string table and busy cursor through ServiceCommandUi.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/system/Clock.h"
#include "platform/system/ServiceManager.h"

// The waits of the service operations.
inline constexpr std::int32_t kServiceWaitBudgetMs = 180000;
inline constexpr std::uint32_t kServiceWaitStepMs = 1000;
// A service that keeps reporting "stop pending" restarts the stop budget on
// every report; the restart gives up waiting for the stop after this long in
// all and goes on with the start.
inline constexpr std::uint64_t kRestartStopWaitLimitMs = 15 * 60 * 1000;

// Told before each one-step sleep of a wait, with the state just read and
// the time waited so far in that operation, so that a caller can show
// progress. It does not change the wait.
using ServiceWaitProgress = std::function<void(unsigned long state, std::uint64_t waitedMs)>;

// Each returns true when the service ends in the state asked for. `error` is
// written only when a call to the service manager fails, so a false result
// with error.code still 0 means the wait ended in another state.
bool StartAgentService(std::u16string_view serviceName, ServiceError& error,
                       Clock& clock = SystemClock::Instance(),
                       const ServiceWaitProgress& progress = {});
bool StopAgentService(std::u16string_view serviceName, ServiceError& error,
                      Clock& clock = SystemClock::Instance(),
                      const ServiceWaitProgress& progress = {});
bool RestartAgentService(std::u16string_view serviceName, ServiceError& error,
                         Clock& clock = SystemClock::Instance(),
                         const ServiceWaitProgress& progress = {});
// False for every failure, so a missing service looks stopped.
bool IsAgentServiceRunning(std::u16string_view serviceName);

// What the service manager said about the agent's service; Unknown when it
// could not be asked (no system bus, access refused, no service name).
enum class ServiceRunState { Running, NotRunning, Unknown };

// The status monitor's view of the agent's service: one connection to the
// system bus, kept for all its polls and opened again when it drops. A
// failed query is logged once per change of its result, not at every poll.
class AgentServiceWatch {
public:
    explicit AgentServiceWatch(std::u16string serviceName)
        : m_serviceName(std::move(serviceName)) {}
    ServiceRunState Query();

private:
    ServiceRunState Ask(ServiceError& error);
    void NoteResult(bool failed, const ServiceError& error);

    std::u16string m_serviceName;
    ServiceManager m_manager;
    bool m_failing = false;
    ServiceError m_lastError;
};

// String table entries the service commands show.
inline constexpr unsigned kServiceCaptionId = 7022;
inline constexpr unsigned kServiceStopSucceededId = 7011;
inline constexpr unsigned kServiceStartSucceededId = 7012;
inline constexpr unsigned kServiceRestartSucceededId = 7013;
inline constexpr unsigned kServiceStartFailedId = 7048;
inline constexpr unsigned kServiceStopFailedId = 7049;
inline constexpr unsigned kServiceRestartFailedId = 7050;
// Appended to the manager's refusal: the administrators' group is needed.
inline constexpr unsigned kServiceNeedsAdminGroupId = 7132;

enum class ServiceMessageIcon { Information, Warning, Error };

// What a service command needs from the user interface.
class ServiceCommandUi {
public:
    virtual ~ServiceCommandUi() = default;
    // A string of the selected language's string table.
    virtual std::u16string LoadText(unsigned id) = 0;
    // A topmost message box with no owner.
    virtual void ShowMessage(const std::u16string& text, const std::u16string& caption,
                             ServiceMessageIcon icon) = 0;
    // Around the wait for the service, so the frame can show a busy cursor.
    virtual void BeginWait() {}
    virtual void EndWait() {}
    // Between BeginWait and EndWait, once a step while the service is awaited.
    virtual void WaitProgress(unsigned long /*state*/, std::uint64_t /*waitedMs*/) {}
};

enum class ServiceCommand { Start, Stop, Restart };

// The tray menu's service command: logs it, runs the operation and tells the
// user how it ended. Returns the operation's result.
bool RunServiceCommand(ServiceCommand command, std::u16string_view serviceName,
                       ServiceCommandUi& ui, Clock& clock = SystemClock::Instance());

// `text` with its first "%s" replaced by `value`, literally (no other
// conversion is interpreted, so a name with '%' in it shows as it is).
std::u16string ReplaceFirstPlaceholder(std::u16string text, std::u16string_view value);
