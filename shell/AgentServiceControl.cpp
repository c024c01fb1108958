#include "shell/AgentServiceControl.h"

#include "BuildInfo.h"
#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"

namespace {

// Polls the service once a step until `keepWaiting` says no or the budget is
// spent (181 queries at most). False only when a query fails.
template <class KeepWaiting>
bool WaitOutBudget(ServiceManager& service, Clock& clock, KeepWaiting keepWaiting,
                   unsigned long& state, ServiceError& error, const ServiceWaitProgress& progress) {
    const std::uint64_t begin = clock.NowMs();
    std::int32_t budget = kServiceWaitBudgetMs;
    do {
        if (!service.QueryState(state, error))
            return false;
        if (!keepWaiting(state))
            break;
        if (progress)
            progress(state, clock.NowMs() - begin);
        clock.SleepMs(kServiceWaitStepMs);
        budget -= static_cast<std::int32_t>(kServiceWaitStepMs);
    } while (budget >= 0);
    return true;
}

bool WaitForStart(ServiceManager& service, Clock& clock, unsigned long& state,
                  ServiceError& error, const ServiceWaitProgress& progress) {
    return WaitOutBudget(
        service, clock, [](unsigned long s) { return s == SERVICE_START_PENDING; }, state, error,
        progress);
}

// The restart's wait for the stop: every "stop pending" report starts the
// budget again, up to kRestartStopWaitLimitMs in all. Running out of either
// is not a failure; the start is tried regardless.
bool WaitForRestartStop(ServiceManager& service, Clock& clock, ServiceError& error,
                        const ServiceWaitProgress& progress) {
    const std::uint64_t begin = clock.NowMs();
    std::int32_t budget = kServiceWaitBudgetMs;
    unsigned long state = 0;
    for (;;) {
        if (!service.QueryState(state, error))
            return false;
        if (state == SERVICE_STOPPED)
            return true;
        if (progress)
            progress(state, clock.NowMs() - begin);
        clock.SleepMs(kServiceWaitStepMs);
        if (clock.NowMs() - begin >= kRestartStopWaitLimitMs)
            return true;
        if (state == SERVICE_STOP_PENDING) {
            budget = kServiceWaitBudgetMs;
            continue;
        }
        budget -= static_cast<std::int32_t>(kServiceWaitStepMs);
        if (budget < 0)
            return true;
    }
}

struct CommandTexts {
    const char* logLine;
    unsigned succeeded;
    unsigned failed;
    bool (*operation)(std::u16string_view, ServiceError&, Clock&, const ServiceWaitProgress&);
};

const CommandTexts& TextsOf(ServiceCommand command) {
    static const CommandTexts start{"Start Agent service. [%s|%d]", kServiceStartSucceededId,
                                    kServiceStartFailedId, &StartAgentService};
    static const CommandTexts stop{"Stop Agent service. [%s|%d]", kServiceStopSucceededId,
                                   kServiceStopFailedId, &StopAgentService};
    static const CommandTexts restart{"Restart Agent service. [%s|%d]", kServiceRestartSucceededId,
                                      kServiceRestartFailedId, &RestartAgentService};
    switch (command) {
    case ServiceCommand::Start:
        return start;
    case ServiceCommand::Stop:
        return stop;
    case ServiceCommand::Restart:
        break;
    }
    return restart;
}

// Keeps the busy cursor strictly around the operation, whichever way it ends.
class WaitScope {
public:
    explicit WaitScope(ServiceCommandUi& ui) : m_ui(ui) { m_ui.BeginWait(); }
    ~WaitScope() { End(); }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;
    void End() {
        if (m_active)
            m_ui.EndWait();
        m_active = false;
    }

private:
    ServiceCommandUi& m_ui;
    bool m_active = true;
};

} // namespace

bool StartAgentService(std::u16string_view serviceName, ServiceError& error, Clock& clock,
                       const ServiceWaitProgress& progress) {
    ServiceManager service;
    if (!service.Open(serviceName, error) || !service.Start(error))
        return false;
    unsigned long state = 0;
    if (!WaitForStart(service, clock, state, error, progress))
        return false;
    return state == SERVICE_RUNNING;
}

bool StopAgentService(std::u16string_view serviceName, ServiceError& error, Clock& clock,
                      const ServiceWaitProgress& progress) {
    ServiceManager service;
    if (!service.Open(serviceName, error) || !service.Stop(error))
        return false;
    unsigned long state = 0;
    if (!WaitOutBudget(
            service, clock, [](unsigned long s) { return s != SERVICE_STOPPED; }, state, error,
            progress))
        return false;
    return state == SERVICE_STOPPED;
}

bool RestartAgentService(std::u16string_view serviceName, ServiceError& error, Clock& clock,
                         const ServiceWaitProgress& progress) {
    ServiceManager service;
    if (!service.Open(serviceName, error) || !service.Stop(error))
        return false;
    if (!WaitForRestartStop(service, clock, error, progress))
        return false;
    clock.SleepMs(kServiceWaitStepMs);
    if (!service.Start(error))
        return false;
    unsigned long state = 0;
    if (!WaitForStart(service, clock, state, error, progress))
        return false;
    return state == SERVICE_RUNNING;
}

bool IsAgentServiceRunning(std::u16string_view serviceName) {
    ServiceManager service;
    ServiceError error;
    unsigned long state = 0;
    return service.Open(serviceName, error) && service.QueryState(state, error) &&
           state == SERVICE_RUNNING;
}

ServiceRunState AgentServiceWatch::Query() {
    ServiceError error;
    const ServiceRunState state = Ask(error);
    NoteResult(state == ServiceRunState::Unknown, error);
    return state;
}

ServiceRunState AgentServiceWatch::Ask(ServiceError& error) {
    if (m_serviceName.empty()) {
        error = {ERROR_INVALID_NAME, u"No agent service name is configured."};
        return ServiceRunState::Unknown;
    }
    // One retry on a fresh connection when the kept one has dropped (the
    // bus restarted); any other failure is the manager's answer for now.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_manager.IsConnected() && !m_manager.Open(m_serviceName, error))
            return ServiceRunState::Unknown;
        unsigned long state = 0;
        if (m_manager.QueryState(state, error))
            return state == SERVICE_RUNNING ? ServiceRunState::Running
                                            : ServiceRunState::NotRunning;
        if (m_manager.IsConnected())
            break;
        m_manager.Close();
    }
    return ServiceRunState::Unknown;
}

void AgentServiceWatch::NoteResult(bool failed, const ServiceError& error) {
    if (failed) {
        if (!m_failing || error.code != m_lastError.code || error.text != m_lastError.text)
            LOG_PRINTFW(LK_WARNING, u"Cannot query the agent service %s: %s [%s|%d]", m_serviceName,
                        error.text);
        m_lastError = error;
    } else if (m_failing) {
        LOG_PRINTFW(LK_INFO, u"The agent service %s can be queried again. [%s|%d]", m_serviceName);
    }
    m_failing = failed;
}

std::u16string ReplaceFirstPlaceholder(std::u16string text, std::u16string_view value) {
    const auto at = text.find(u"%s");
    if (at != std::u16string::npos)
        text.replace(at, 2, value);
    return text;
}

bool RunServiceCommand(ServiceCommand command, std::u16string_view serviceName,
                       ServiceCommandUi& ui, Clock& clock) {
    const CommandTexts& texts = TextsOf(command);
    LOG_PRINTF(LK_WARNING, texts.logLine);
    const std::u16string caption = ui.LoadText(kServiceCaptionId);

    // The caller clears the code; only a failed call to the manager sets it.
    ServiceError error;
    WaitScope wait(ui);
    const bool succeeded = texts.operation(
        serviceName, error, clock,
        [&ui](unsigned long state, std::uint64_t waitedMs) { ui.WaitProgress(state, waitedMs); });
    wait.End();

    if (succeeded) {
        ui.ShowMessage(ReplaceFirstPlaceholder(ui.LoadText(texts.succeeded), serviceName), caption,
                       ServiceMessageIcon::Information);
    } else if (error.code != ERROR_SUCCESS) {
        std::u16string text = error.text;
        if (error.authorizationRefused)
            text += u" " + ReplaceFirstPlaceholder(ui.LoadText(kServiceNeedsAdminGroupId),
                                                  ToWideString(OPAL_ADMIN_GROUP, CP_UTF8));
        ui.ShowMessage(text, caption, ServiceMessageIcon::Error);
    } else {
        ui.ShowMessage(ReplaceFirstPlaceholder(ui.LoadText(texts.failed), serviceName), caption,
                       ServiceMessageIcon::Error);
    }
    return succeeded;
}
