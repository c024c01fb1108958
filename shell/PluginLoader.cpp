#include "shell/PluginLoader.h"

#include <cerrno>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "platform/system/TrustedFile.h"

ShowPluginSettingDlgFn g_showPluginSettingDlg = nullptr;

namespace {

// dlopen sets no errno of its own; a missing file is the usual cause, and
// the loader's own text says the rest.
int LoadError() {
    return errno != 0 ? errno : ENOENT;
}

// Code runs in the tray of whoever starts the tool, root's included, so a
// library is taken only by a plain name from the program directory and only
// when nobody but root (or the user who keeps this agent home, see
// OwnersForAgentHome) could have put it there. The checked descriptor is what
// gets loaded.
void* OpenLibrary(const std::string& name, std::string& refused) {
    // dlopen("") would hand back the program itself.
    if (name.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    std::string directory;
    if (!GetModuleDirectory(directory)) {
        errno = ENOENT;
        return nullptr;
    }
    std::string why;
    const int fd = OpenTrustedFile(directory, name, OwnersForAgentHome(directory), why);
    if (fd < 0) {
        const int error = errno != 0 ? errno : EACCES;
        if (error != ENOENT)
            refused = why;
        errno = error;
        return nullptr;
    }
    errno = 0;
    void* handle = dlopen(DescriptorPath(fd).c_str(), RTLD_NOW | RTLD_LOCAL);
    const int error = errno;
    ::close(fd);
    errno = error;
    return handle;
}

} // namespace

int32_t LoadPluginUIDll(void*& handle) {
    LOG_PRINTF(LK_INFO, "LoadPluginUIDll. [%s|%d]");
    std::string name;
    GetPluginUIDLLName(name);
    std::string refused;
    handle = OpenLibrary(name, refused);
    if (!handle) {
        const int error = LoadError();
        if (!refused.empty())
            LOG_PRINTF(LK_WARNING, "The plug-in library is not loaded: %s. [%s|%d]", refused);
        else if (const char* detail = dlerror())
            LOG_PRINTF(LK_INFO, "%s [%s|%d]", detail);
        LOG_PRINTF(LK_WARNING, "Failed to load %s. WinError=%d. [%s|%d]", name, error);
        return ERR_PLUGIN_UI_LOAD;
    }
    dlerror();
    void* symbol = dlsym(handle, "ShowPluginSettingDlg");
    if (!symbol) {
        LOG_PRINTF(LK_WARNING, "Failed to load ShowPluginSettingDlg Function. WinError=%d. [%s|%d]",
                   LoadError());
        return ERR_PLUGIN_UI_LOAD;
    }
    g_showPluginSettingDlg = reinterpret_cast<ShowPluginSettingDlgFn>(symbol);
    return 0;
}

void ShowPluginUI() {
    LOG_PRINTF(LK_INFO, "ShowPluginUI. [%s|%d]");
    if (g_showPluginSettingDlg)
        g_showPluginSettingDlg();
    else
        LOG_PRINTF(LK_WARNING, "ShowPluginUI: Fail to get the function pointer. [%s|%d]");
}

void FreePluginUIDll(void*& handle) {
    g_showPluginSettingDlg = nullptr;
    if (handle) {
        dlclose(handle);
        handle = nullptr;
    }
}
