#include "shell/ToolLog.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/DebugConfig.h"

namespace {

// The log can be written in `directory` (ending with '/'): it is a
// directory, and the log file in it is writable or can be made. A regular
// file by that name, or a directory this user may not write (the agent's
// root-owned log directory seen by a desktop user), is not usable.
bool LogFileUsable(const std::string& directory) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    const std::string file = directory + LOG_FILE_NAME;
    if (::stat(file.c_str(), &info) == 0)
        return S_ISREG(info.st_mode) && ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) == 0;
    return ::faccessat(AT_FDCWD, directory.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0;
}

// The agent's log directory is taken below the program directory, as the
// agent takes it; an absolute path is what a Linux administrator means by
// one. "/" alone comes from an empty setting and means the program directory.
std::string BelowHome(const std::string& home, const std::string& directory) {
    if (directory == "/")
        return home;
    return directory.front() == '/' ? directory : home + directory;
}

bool UsableOrCreated(const std::string& directory) {
    if (LogFileUsable(directory))
        return true;
    return ::mkdir(directory.c_str(), 0755) == 0 && LogFileUsable(directory);
}

} // namespace

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

    std::string logFile;
    if (!settings.DebugLogPath.empty()) {
        std::string directory = ToNarrowString(settings.DebugLogPath, CP_ACP);
        EnsureTrailingBackslash(directory);
        // A path too long to take a separator is still a directory.
        if (directory.back() != '/' && directory.back() != '\\')
            directory.push_back('/');
        const std::string configured = BelowHome(home, directory);
        std::string chosen = configured;
        if (!UsableOrCreated(chosen))
            chosen = home + FALLBACK_LOG_DIRECTORY + "/";
        if (!UsableOrCreated(chosen)) {
            // Nowhere to write it: told once, where somebody starting the
            // tool by hand sees it.
            if (enabled)
                std::fprintf(stderr, "%s: no log is written: neither %s nor %s can take %s\n",
                             program, configured.c_str(), chosen.c_str(), LOG_FILE_NAME);
            enabled = false;
        }
        logFile = chosen + LOG_FILE_NAME;
    } else {
        // No directory configured: the log goes beside the program rather
        // than being handed a directory it cannot open.
        logFile = home + LOG_FILE_NAME;
    }

    auto* writer =
        new CLogTrackerEx(1, component, enabled, true, enabled ? mask : 0, 0x500000, 0);
    LogInitW(writer, ToWideString(logFile, CP_ACP).c_str(), true, settings.DebugLogFileMaxSize);
    return logFile;
}
