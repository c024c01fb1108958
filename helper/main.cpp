// opal-agent-helper: the system helper through which users who are not root
// change the agent's settings, the language and the status marks, each call
// checked with polkit (see HelperProtocol.h). Started by D-Bus activation as
// root with no arguments; the options are for tests, which lay out an agent
// home of their own.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "helper/HelperService.h"
#include "platform/system/RegistryStore.h"
#include "shell/ToolLog.h"

#ifndef OPAL_HELPER_PROGRAM_DIR
#error "the build names the agent's home"
#endif

namespace {

bool TakeOption(const char* argument, const char* name, std::string& value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=')
        return false;
    value = argument + length + 1;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    HelperOptions options;
    options.programDirectory = OPAL_HELPER_PROGRAM_DIR;
    options.registryRoot = REGISTRY_ROOT_DEFAULT;
    for (int i = 1; i < argc; ++i) {
        std::string seconds;
        if (TakeOption(argv[i], "--program-dir", options.programDirectory) ||
            TakeOption(argv[i], "--registry-root", options.registryRoot))
            continue;
        if (TakeOption(argv[i], "--idle-timeout", seconds)) {
            options.idleTimeoutUsec = std::strtoull(seconds.c_str(), nullptr, 10) * 1000000ULL;
            continue;
        }
        std::fprintf(stderr, "opal-agent-helper: unknown argument '%s'\n", argv[i]);
        return 2;
    }
    if (options.programDirectory.empty() || options.programDirectory[0] != '/' ||
        options.registryRoot.empty() || options.registryRoot[0] != '/') {
        std::fprintf(stderr, "opal-agent-helper: the directories must be absolute\n");
        return 2;
    }
    // Whatever the environment says, the store is the one named here.
    ::setenv(REGISTRY_ROOT_ENV, options.registryRoot.c_str(), 1);
    SetProgramDirectory(options.programDirectory);
    // Files the helper makes get the modes the save code asks for.
    ::umask(022);
    OpenToolLog(u"opal-agent-helper", "opal-agent-helper");
    const int status = RunHelperService(options);
    LogShutdown();
    return status;
}
