#include "config/AgentAccess.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/ASTCommonFunc.h"
#include "config/AgentConfig.h"
#include "config/ConfigDocument.h"

namespace {

bool May(const std::string& path, int rights) {
    return ::faccessat(AT_FDCWD, path.c_str(), rights, AT_EACCESS) == 0;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

AgentSettingsAccess CheckAgentSettingsAccess() {
    const std::string file = ToNarrowString(HomeFilePath(LOCAL_CONFIG_FILE), CP_ACP);
    AgentSettingsAccess access;
    if (file.empty())
        return access;
    struct stat info {};
    const bool exists = ::stat(file.c_str(), &info) == 0;
    if (!exists && errno != ENOENT)
        return access; // a directory on the way that this user may not search
    access.readable = !exists || May(file, R_OK);
    const bool fileWritable = !exists || May(file, R_OK | W_OK);
    access.changeable = fileWritable && May(DirectoryOf(file), W_OK | X_OK);
    return access;
}

bool MayWriteAgentValue(const char16_t* name) {
    RegistryKey key;
    const long rc = key.Open(AgentRegistryKey, HKEY_LOCAL_MACHINE, KEY_READ);
    // A missing key is made by the write itself, which says so when it
    // cannot; the monitor only writes values it has just read anyway.
    if (rc == ERROR_FILE_NOT_FOUND)
        return true;
    return rc == ERROR_SUCCESS && key.CheckWriteInt(name) == ERROR_SUCCESS;
}
