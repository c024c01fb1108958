#include "shell/ToolLog.h"

#include <cstdio>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/DebugConfig.h"

std::string OpenToolLog(const char16_t* component, const char* program) {
    std::string home;
    GetModuleDirectory(home);

    // A missing or unreadable size keeps this one; an explicit 0 still means
    // that the agent wants no rotation.
    DebugLogConfigRecord settings;
    settings.DebugLogFileMaxSize = DEFAULT_LOG_MAX_SIZE;
    LoadDebugLogConfig(settings);
    const uint32_t mask = GetIntDebugLevel(ToNarrowString(settings.DebugLogLevel, CP_ACP));
    bool enabled = mask != 0;

    const LogFileChoice choice = ChooseLogFile(home, settings.DebugLogPath, enabled);
    // Nowhere to write it: told once, where somebody starting the tool by
    // hand sees it.
    if (enabled && !choice.enabled) {
        std::string tried;
        for (const std::string& directory : choice.tried)
            tried += (tried.empty() ? "" : ", ") + directory;
        std::fprintf(stderr, "%s: no log is written: none of %s can take %s\n", program,
                     tried.c_str(), LOG_FILE_NAME);
    }
    enabled = choice.enabled;

    auto* writer =
        new CLogTrackerEx(1, component, enabled, true, enabled ? mask : 0, 0x500000, 0);
    LogInitW(writer, ToWideString(choice.file, CP_ACP).c_str(), true, settings.DebugLogFileMaxSize);
    if (choice.inStateDirectory)
        LOG_PRINTF(LK_WARNING,
                   "The agent's log directory %s cannot be written by this user; the log is kept "
                   "in %s instead. [%s|%d]",
                   choice.agentDirectory, choice.file);
    return choice.file;
}
