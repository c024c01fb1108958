#pragma once
// The debug-log settings that the agent and this tool share: the
// "DebugLogConfig" block of the agent's local configuration, and the level
// names it may hold.

#include <cstdint>
#include <string>

struct DebugLogConfigRecord {
    std::u16string DebugLogLevel;
    std::u16string DebugLogPath;
    std::u16string DebugLogFileName;
    int32_t DebugLogFileMaxSize = 0;

    bool operator==(const DebugLogConfigRecord&) const = default;
};

// Never filled by the tool: a local configuration recreated by the tool gets
// its "DebugLogConfig" block from these empty values.
extern DebugLogConfigRecord g_debugLogConfig;

// Reads directory + "AgentLocalConfig.xml"; `directory` ends with the path
// separator. A missing block or element leaves the record's values as they
// are. 0, or ERR_CONFIG_LOAD when the document could not be read.
int LoadDebugLogConfig(DebugLogConfigRecord& record, const std::u16string& directory);
// The same over the agent's home directory.
int LoadDebugLogConfig(DebugLogConfigRecord& record);

// The log level mask for a level name (case-insensitive); LL_DEFAULT for an
// unknown or empty name.
uint32_t GetIntDebugLevel(const std::string& name);
