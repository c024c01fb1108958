// The state the agent publishes for the tool in "AgentStatus.xml". The
// registry holds the authoritative AgentStatus and ToolTag; the document's
// copies of them are written, never read.

#include <cerrno>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "config/ConfigDocument.h"

namespace {

constexpr char16_t ROOT_NAME[] = u"AgentStatusData";
constexpr char16_t REGISTER_STATUS[] = u"RegisterStatus";
constexpr char16_t AGENT_STATUS[] = u"AgentStatus";
constexpr char16_t TOOL_EXIT_TAG[] = u"ToolExitTag";
constexpr char16_t NET_CONFIG_CHANGED[] = u"NetConfigChanged";
constexpr char16_t MONITOR_EXIT_TAG[] = u"MonitorExitTag";

void ReadOptional(CXMLObject& xml, DOMElement* root, const char16_t* name, int32_t& value,
                  const char* sourceFile, int line) {
    if (!GetChildInt(xml, root, name, value))
        LogPrintf(LK_WARNING, MSG_MISSING, name, SourceFileName(sourceFile), line);
}
#define READ_OPTIONAL(xml, root, name, value)                                                      \
    ReadOptional((xml), (root), (name), (value), __FILE__, __LINE__)

// The fall-back of a load that failed: the document is made afresh from the
// record, once whatever could not be read is kept beside it.
int ReplaceUnreadableStatus(const AgentStatusRecord& record) {
    if (!KeepUnreadableDocument(HomeFilePath(STATUS_FILE)))
        return ERR_CONFIG_SAVE;
    return CreateStatusData(record);
}

} // namespace

int LoadStatusData(AgentStatusRecord& record) {
    ConfigLockGuard lock;
    LOG_PRINTF(LK_INFO, "Begin to load Agent status data. [%s|%d]");
    try {
        auto xml = OpenDocument(HomeFilePath(STATUS_FILE));
        DOMElement* root = DocumentRoot(*xml);
        if (!root) {
            LOG_PRINTF(LK_WARNING, MSG_NO_ROOT, ROOT_NAME);
            xml.reset();
            return ReplaceUnreadableStatus(record);
        }
        READ_OPTIONAL(*xml, root, REGISTER_STATUS, record.RegisterStatus);
        LoadStatusReg(record);
        READ_OPTIONAL(*xml, root, NET_CONFIG_CHANGED, record.NetConfigChanged);
        READ_OPTIONAL(*xml, root, MONITOR_EXIT_TAG, record.MonitorExitTag);
        return CONFIG_SUCCESS;
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return ReplaceUnreadableStatus(record);
}

int CreateStatusData(const AgentStatusRecord& record) {
    ConfigLockGuard lock;
    LOG_PRINTF(LK_INFO, "CreateStatusData. [%s|%d]");
    try {
        DOMElement* root = nullptr;
        auto xml = NewDocument(ROOT_NAME, root);
        AppendChildInt(*xml, root, REGISTER_STATUS, record.RegisterStatus);
        AppendChildInt(*xml, root, AGENT_STATUS, record.AgentStatus);
        AppendChildInt(*xml, root, TOOL_EXIT_TAG, record.ToolTag);
        AppendChildInt(*xml, root, NET_CONFIG_CHANGED, record.NetConfigChanged);
        AppendChildInt(*xml, root, MONITOR_EXIT_TAG, record.MonitorExitTag);
        if (!SAVE_DOCUMENT(*xml, HomeFilePath(STATUS_FILE), DOCUMENT_MODE))
            return ERR_CONFIG_SAVE;
        return CONFIG_SUCCESS;
    } catch (const DOMException& e) {
        LOG_DOM_EXCEPTION(e);
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return ERR_CONFIG_SAVE;
}

int SaveNetConfigChange(int32_t value) {
    ConfigLockGuard lock;
    LOG_PRINTF(LK_INFO, "Begin to SaveNetConfigChange: %d, [%s|%d]", value);
    try {
        const std::u16string path = HomeFilePath(STATUS_FILE);
        auto xml = OpenDocument(path);
        DOMElement* root = DocumentRoot(*xml);
        if (!root) {
            LOG_PRINTF(LK_WARNING, "Failed to find root element, [%s|%d]");
            return ERR_CONFIG_SAVE;
        }
        SetChildInt(*xml, root, NET_CONFIG_CHANGED, value);
        if (!SAVE_DOCUMENT(*xml, path, DOCUMENT_MODE))
            return ERR_CONFIG_SAVE;
        return CONFIG_SUCCESS;
    } catch (const DOMException& e) {
        LOG_DOM_EXCEPTION(e);
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return ERR_CONFIG_SAVE;
}

void PeekAgentStatus(AgentStatusSnapshot& snapshot) {
    {
        ConfigLockGuard lock;
        try {
            auto xml = OpenDocument(HomeFilePath(STATUS_FILE));
            if (DOMElement* root = DocumentRoot(*xml)) {
                snapshot.DocumentRead = true;
                GetChildInt(*xml, root, REGISTER_STATUS, snapshot.Record.RegisterStatus);
                GetChildInt(*xml, root, NET_CONFIG_CHANGED, snapshot.Record.NetConfigChanged);
                GetChildInt(*xml, root, MONITOR_EXIT_TAG, snapshot.Record.MonitorExitTag);
            }
        } catch (...) {
            // Unreadable is an answer here too: DocumentRead stays false.
        }
    }
    PeekStatusReg(snapshot);
}
