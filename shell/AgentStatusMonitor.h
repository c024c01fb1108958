#pragma once
// The agent-status monitor: a worker thread that polls the agent's registry
// values every five seconds and tells the UI thread when the tray icon must
// change, when the agent asks the tool to exit, and when a stale "works
// normally" status must be repaired because the agent's service has died.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "config/AgentConfig.h"
#include "platform/system/Clock.h"
#include "shell/AgentServiceControl.h"

// Set by the settings sheet right after it saved the network configuration,
// cleared by the monitor once it has let the agent see the change.
extern std::atomic<int32_t> g_selfConfigChange;

// The frame's cached status, read by the monitor thread and reloaded by both
// threads; each field is an atomic so that a read never sees a torn value.
class SharedAgentStatus {
public:
    SharedAgentStatus() { Store({0, 4, 0, 0, 0}); }
    AgentStatusRecord Load() const;
    void Store(const AgentStatusRecord& record);
    int32_t AgentStatus() const { return m_agentStatus.load(); }

    // LoadStatusData into the cached record, under g_configLock so that the
    // two threads' reloads never overlap. Returns its result.
    int Reload();

private:
    std::atomic<int32_t> m_registerStatus{0};
    std::atomic<int32_t> m_agentStatus{0};
    std::atomic<int32_t> m_toolTag{0};
    std::atomic<int32_t> m_netConfigChanged{0};
    std::atomic<int32_t> m_monitorExitTag{0};
};

// What the monitor needs from the world around it; the shell binds these to
// the main frame and the service manager, tests to their own doubles.
struct AgentStatusMonitorContext {
    const std::atomic<int32_t>* stopFlag = nullptr;
    SharedAgentStatus* cachedStatus = nullptr;
    Clock* clock = nullptr;
    // Queues WM_AGENT_STATUS for the UI thread; never blocks.
    std::function<void()> postAgentStatus;
    // The service's state as the manager answers it. Where it is not set,
    // isAgentServiceRunning stands in, its false taken as "not running".
    std::function<ServiceRunState()> queryAgentService;
    std::function<bool()> isAgentServiceRunning;
};

inline constexpr uint32_t MONITOR_POLLS_PER_CYCLE = 5;
inline constexpr uint32_t MONITOR_POLL_MS = 1000;

class CAgentStatusMonitor {
public:
    explicit CAgentStatusMonitor(AgentStatusMonitorContext context)
        : m_context(std::move(context)) {}

    // The thread body: polls until the stop flag is seen; returns 1.
    int Run();
    // One poll of the registry and the dead-agent check (the part of a cycle
    // after its sleeps).
    void PollOnce();
    int32_t PollCounter() const { return m_pollCounter; }

private:
    ServiceRunState AgentServiceState();
    // Whether the registry value may be written by this user; the first
    // refusal of each value is logged, later ones are not.
    bool MayWrite(const char16_t* name, bool& refusalLogged);
    // The two repairs for a user who is neither root nor the home's owner:
    // through the system helper, which checks their conditions itself.
    void ClearToolTag();
    void MarkAgentUnreachable();
    void NoteHelperRefusal(const char16_t* name, const std::string& why, bool& refusalLogged);

    AgentStatusMonitorContext m_context;
    int32_t m_pollCounter = 0;
    bool m_toolTagRefusalLogged = false;
    bool m_agentStatusRefusalLogged = false;
};

// The thread entry as the shell starts it.
int AgentStatusMonitorThread(AgentStatusMonitorContext context);
