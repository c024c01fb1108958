#include "shell/AgentStatusMonitor.h"

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentAccess.h"
#include "helper/HelperClient.h"

std::atomic<int32_t> g_selfConfigChange{0};

namespace {

constexpr int32_t STATUS_WORKS_NORMALLY = 1;
constexpr int32_t STATUS_CANNOT_CONNECT = 16;
constexpr int32_t TOOL_TAG_NONE = 0;
constexpr int32_t TOOL_TAG_EXIT = 1;
constexpr int32_t TOOL_TAG_CONFIG_SAVED = 2;
constexpr char16_t REG_TOOL_TAG[] = u"ToolTag";
constexpr char16_t REG_AGENT_STATUS[] = u"AgentStatus";

} // namespace

AgentStatusRecord SharedAgentStatus::Load() const {
    return {m_registerStatus.load(), m_agentStatus.load(), m_toolTag.load(),
            m_netConfigChanged.load(), m_monitorExitTag.load()};
}

void SharedAgentStatus::Store(const AgentStatusRecord& record) {
    m_registerStatus = record.RegisterStatus;
    m_agentStatus = record.AgentStatus;
    m_toolTag = record.ToolTag;
    m_netConfigChanged = record.NetConfigChanged;
    m_monitorExitTag = record.MonitorExitTag;
}

int SharedAgentStatus::Reload() {
    ConfigLockGuard lock;
    AgentStatusRecord record = Load();
    const int result = LoadStatusData(record);
    // A failed load may still have filled some fields; the record keeps what
    // was read, as the agent's other readers do.
    Store(record);
    return result;
}

int CAgentStatusMonitor::Run() {
    for (;;) {
        for (uint32_t i = 0; i < MONITOR_POLLS_PER_CYCLE; ++i) {
            if (m_context.stopFlag->load() != 0)
                return 1;
            m_context.clock->SleepMs(MONITOR_POLL_MS);
        }
        PollOnce();
    }
}

ServiceRunState CAgentStatusMonitor::AgentServiceState() {
    if (m_context.queryAgentService)
        return m_context.queryAgentService();
    return m_context.isAgentServiceRunning() ? ServiceRunState::Running
                                             : ServiceRunState::NotRunning;
}

void CAgentStatusMonitor::PollOnce() {
    AgentStatusRecord local{0, 4, 0, 0, 0};
    // Every five seconds: the two values, without a log line each time.
    if (ReadStatusReg(local) == 0) {
        if (local.AgentStatus != m_context.cachedStatus->AgentStatus() ||
            local.ToolTag == TOOL_TAG_EXIT)
            m_context.postAgentStatus();
        if (local.ToolTag == TOOL_TAG_CONFIG_SAVED) {
            m_context.postAgentStatus();
            // After the tool's own save the agent has had one cycle to see
            // the change; after somebody else's, two.
            const int32_t bound = g_selfConfigChange.load() == 1 ? 0 : 1;
            if (m_pollCounter <= bound) {
                ++m_pollCounter;
            } else {
                m_pollCounter = 0;
                ClearToolTag();
                g_selfConfigChange = 0;
            }
        } else {
            m_pollCounter = 0;
        }
    }

    // Only the manager's answer that the service is down makes "works
    // normally" stale; a state that could not be read says nothing.
    if (AgentServiceState() != ServiceRunState::NotRunning ||
        m_context.cachedStatus->AgentStatus() != STATUS_WORKS_NORMALLY)
        return;
    if (!WritesAgentFilesDirectly()) {
        MarkAgentUnreachable();
        return;
    }
    // A user who may not repair the status leaves it alone, before the
    // reload, so that nothing is read or logged for it every cycle.
    if (!MayWrite(REG_AGENT_STATUS, m_agentStatusRefusalLogged))
        return;
    if (m_context.cachedStatus->Reload() == 0 &&
        m_context.cachedStatus->AgentStatus() == STATUS_WORKS_NORMALLY) {
        LOG_PRINTF(LK_WARNING, "The agent status is abnormal, modify it. [%s|%d]");
        SaveAgentStatusReg(STATUS_CANNOT_CONNECT);
        m_context.postAgentStatus();
    }
}

void CAgentStatusMonitor::ClearToolTag() {
    if (WritesAgentFilesDirectly()) {
        if (MayWrite(REG_TOOL_TAG, m_toolTagRefusalLogged))
            SaveToolExitTagReg(TOOL_TAG_NONE);
        return;
    }
    if (m_toolTagRefusalLogged)
        return;
    // The helper clears only a 2, which it reads itself.
    const HelperReply reply = HelperClearToolTag();
    if (!reply.Done())
        NoteHelperRefusal(REG_TOOL_TAG, reply.message, m_toolTagRefusalLogged);
}

void CAgentStatusMonitor::MarkAgentUnreachable() {
    // Once refused, the helper is not asked again in this run: every cycle
    // would cost it a polkit check and its log a line.
    if (m_agentStatusRefusalLogged)
        return;
    // No reload here: the helper asks systemd and reads the status itself
    // before it writes, and the frame reloads on the message.
    const HelperReply reply = HelperMarkAgentUnreachable();
    if (!reply.Done()) {
        NoteHelperRefusal(REG_AGENT_STATUS, reply.message, m_agentStatusRefusalLogged);
        return;
    }
    if (reply.first) {
        LOG_PRINTF(LK_WARNING, "The agent status is abnormal, modify it. [%s|%d]");
        m_context.postAgentStatus();
    }
}

void CAgentStatusMonitor::NoteHelperRefusal(const char16_t* name, const std::string& why,
                                            bool& refusalLogged) {
    LOG_PRINTF(LK_WARNING,
               "The system helper did not write the register item %S (%s): the monitor leaves "
               "it to the agent's administrators. [%s|%d]",
               name, why);
    refusalLogged = true;
}

bool CAgentStatusMonitor::MayWrite(const char16_t* name, bool& refusalLogged) {
    if (MayWriteAgentValue(name))
        return true;
    if (!refusalLogged) {
        LOG_PRINTFW(LK_WARNING,
                    u"This user may not write the register item %s: the monitor leaves it to the "
                    u"agent's administrators. [%s|%d]",
                    name);
        refusalLogged = true;
    }
    return false;
}

int AgentStatusMonitorThread(AgentStatusMonitorContext context) {
    CAgentStatusMonitor monitor(std::move(context));
    return monitor.Run();
}
