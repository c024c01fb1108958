// The debug-log settings in the "DebugLogConfig" block of the agent's local
// configuration, and the masks behind their level names.

#include "config/DebugConfig.h"

#include <cerrno>
#include <strings.h>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "config/ConfigDocument.h"

DebugLogConfigRecord g_debugLogConfig;

namespace {

struct LevelName {
    const char* name;
    uint32_t mask;
};

constexpr LevelName LEVEL_NAMES[] = {
    {"LL_FOR_ALL", LL_FOR_ALL},   {"LL_FOR_HIGHEST", LL_FOR_HIGHEST},
    {"LL_FOR_HIGH", LL_FOR_HIGH}, {"LL_FOR_MEDIUM", LL_FOR_MEDIUM},
    {"LL_FOR_MSG", LL_FOR_MSG},   {"LL_FOR_IMP_INFO", LL_FOR_IMP_INFO},
    {"LL_NONE", LL_NONE},
};

} // namespace

int LoadDebugLogConfig(DebugLogConfigRecord& record, const std::u16string& directory) {
    try {
        auto xml = OpenDocument(directory + LOCAL_CONFIG_FILE);
        DOMElement* block = FindFirstElement(*xml, DEBUG_LOG_CONFIG);
        if (!block) {
            LOG_PRINTF(LK_WARNING, MSG_NO_ROOT, DEBUG_LOG_CONFIG);
            return CONFIG_SUCCESS;
        }
        if (!GetChildText(*xml, block, DEBUG_LOG_LEVEL, record.DebugLogLevel))
            LOG_MISSING_DEFAULT_TEXT(DEBUG_LOG_LEVEL, record.DebugLogLevel);
        LOG_PRINTFW(LK_INFO, u"OPAL agent debug log level: %s. [%s|%d]", record.DebugLogLevel);
        if (!GetChildText(*xml, block, DEBUG_LOG_PATH, record.DebugLogPath))
            LOG_MISSING_DEFAULT_TEXT(DEBUG_LOG_PATH, record.DebugLogPath);
        if (!GetChildText(*xml, block, DEBUG_LOG_FILE_NAME, record.DebugLogFileName))
            LOG_MISSING_DEFAULT_TEXT(DEBUG_LOG_FILE_NAME, record.DebugLogFileName);
        if (!GetChildInt(*xml, block, DEBUG_LOG_FILE_MAX_SIZE, record.DebugLogFileMaxSize))
            LOG_PRINTF(LK_WARNING, MSG_MISSING_DEFAULT_INT, DEBUG_LOG_FILE_MAX_SIZE,
                       record.DebugLogFileMaxSize);
        return CONFIG_SUCCESS;
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return ERR_CONFIG_LOAD;
}

int LoadDebugLogConfig(DebugLogConfigRecord& record) {
    return LoadDebugLogConfig(record, HomeDirectory());
}

uint32_t GetIntDebugLevel(const std::string& name) {
    LOG_PRINTF(LK_INFO, "GetIntDebugLevel. [%s|%d]");
    for (const LevelName& level : LEVEL_NAMES) {
        if (::strcasecmp(name.c_str(), level.name) == 0)
            return level.mask;
    }
    return LL_DEFAULT;
}
