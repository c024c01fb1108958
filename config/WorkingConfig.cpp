// The agent's working configuration, "AgentWorkConfig.xml": read only, shown
// on the Advanced page.

#include <cerrno>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "config/ConfigDocument.h"

WorkingConfigRecord g_workingConfig;

namespace {

constexpr char16_t ROOT_NAME[] = u"PXRAgentWorkingConfig";
constexpr char16_t ENABLE_AGENT[] = u"EnableAgent";
constexpr char16_t LOG_UPLOAD_MAX_INTERVAL[] = u"LogUploadMaxInterval";
constexpr char16_t LOG_UPLOAD_MAX_SIZE[] = u"LogUploadMaxSize";
constexpr char16_t COMMAND_INTERVAL[] = u"CommandInterval";
constexpr char16_t AUTO_UPDATE[] = u"AutoUpdate";

void ReadWithDefault(CXMLObject& xml, DOMElement* root, const char16_t* name, int32_t& value,
                     const char* sourceFile, int line) {
    if (!GetChildInt(xml, root, name, value))
        LogPrintf(LK_WARNING, MSG_MISSING_DEFAULT_INT, name, value, SourceFileName(sourceFile),
                  line);
}
#define READ_WITH_DEFAULT(xml, root, name, value)                                                  \
    ReadWithDefault((xml), (root), (name), (value), __FILE__, __LINE__)

} // namespace

int LoadWorkingConfig() {
    LOG_PRINTF(LK_INFO, "Begin to load working config. [%s|%d]");
    ConfigLockGuard lock;
    WorkingConfigRecord& config = g_workingConfig;
    config = WorkingConfigRecord{};
    try {
        auto xml = OpenDocument(HomeFilePath(WORKING_CONFIG_FILE));
        DOMElement* root = DocumentRoot(*xml);
        if (!root) {
            LOG_PRINTF(LK_WARNING, MSG_NO_ROOT, ROOT_NAME);
            return ERR_CONFIG_LOAD;
        }
        READ_WITH_DEFAULT(*xml, root, ENABLE_AGENT, config.EnableAgent);
        READ_WITH_DEFAULT(*xml, root, LOG_UPLOAD_MAX_INTERVAL, config.LogUploadMaxInterval);
        if (!CheckRange(config.LogUploadMaxInterval, 3600, 30, 30))
            LOG_PRINTF(LK_WARNING, "LogUploadMaxInterval is invalid, [%s|%d]");
        READ_WITH_DEFAULT(*xml, root, LOG_UPLOAD_MAX_SIZE, config.LogUploadMaxSize);
        if (!CheckRange(config.LogUploadMaxSize, 2097152, 1024, 204800))
            LOG_PRINTF(LK_WARNING, "LogUploadMaxSize is invalid, [%s|%d]");
        READ_WITH_DEFAULT(*xml, root, COMMAND_INTERVAL, config.CommandInterval);
        if (!CheckRange(config.CommandInterval, 3600, 30, 300))
            LOG_PRINTF(LK_WARNING, "CommandInterval is invalid, [%s|%d]");
        READ_WITH_DEFAULT(*xml, root, AUTO_UPDATE, config.AutoUpdate);
        return CONFIG_SUCCESS;
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return ERR_CONFIG_LOAD;
}
