#include "shell/LogLocation.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/ASTCommonFunc.h"
#include "platform/system/AtomicFile.h"

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

std::string WithoutSlash(const std::string& directory) {
    return directory.size() > 1 && directory.back() == '/' ? directory.substr(0, directory.size() - 1)
                                                            : directory;
}

bool UsableOrCreated(const std::string& directory) {
    if (LogFileUsable(directory))
        return true;
    return MakeDirectory(WithoutSlash(directory)) == 0 && LogFileUsable(directory);
}

// Every missing directory of `directory` made 0700, as the XDG base
// directory rules ask of the directories they name.
bool MakePrivateDirectories(const std::string& directory) {
    for (std::size_t at = 1; at <= directory.size(); ++at) {
        if (at != directory.size() && directory[at] != '/')
            continue;
        const std::string partial = directory.substr(0, at);
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// The agent's log directory is taken below the program directory, as the
// agent takes it; an absolute path is what a Linux administrator means by
// one. "/" alone comes from an empty setting and means the program directory.
std::string BelowHome(const std::string& home, const std::string& directory) {
    if (directory == "/")
        return home;
    return directory.front() == '/' ? directory : home + directory;
}

} // namespace

std::string ToolStateLogDirectory() {
    std::string base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        std::string user = home && home[0] == '/' ? home : "";
        if (user.empty()) {
            if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir &&
                                                               entry->pw_dir[0] == '/')
                user = entry->pw_dir;
        }
        if (user.empty())
            return {};
        base = WithoutSlash(user) + "/.local/state";
    }
    return WithoutSlash(base) + "/" + STATE_LOG_DIRECTORY + "/";
}

LogFileChoice ChooseLogFile(const std::string& home, const std::u16string& debugLogPath,
                            bool enabled) {
    LogFileChoice choice;
    std::string agentDirectory = home;
    std::string fallback;
    if (!debugLogPath.empty()) {
        std::string directory = ToNarrowString(debugLogPath, CP_ACP);
        EnsureTrailingBackslash(directory);
        // A path too long to take a separator is still a directory.
        if (directory.back() != '/' && directory.back() != '\\')
            directory.push_back('/');
        agentDirectory = BelowHome(home, directory);
        fallback = home + FALLBACK_LOG_DIRECTORY + "/";
    }
    choice.agentDirectory = agentDirectory;
    choice.file = agentDirectory + LOG_FILE_NAME;
    if (!enabled)
        return choice;

    std::vector<std::string> candidates{agentDirectory};
    if (!fallback.empty())
        candidates.push_back(fallback);
    for (const std::string& directory : candidates) {
        choice.tried.push_back(directory);
        if (UsableOrCreated(directory)) {
            choice.file = directory + LOG_FILE_NAME;
            choice.enabled = true;
            return choice;
        }
    }
    const std::string state = ToolStateLogDirectory();
    if (state.empty())
        return choice;
    choice.tried.push_back(state);
    if (MakePrivateDirectories(WithoutSlash(state)) && LogFileUsable(state)) {
        choice.file = state + LOG_FILE_NAME;
        choice.enabled = true;
        choice.inStateDirectory = true;
    }
    return choice;
}
