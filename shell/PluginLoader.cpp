#include "shell/PluginLoader.h"

#include <cerrno>
#include <dlfcn.h>
#include <string>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"

ShowPluginSettingDlgFn g_showPluginSettingDlg = nullptr;

namespace {

// dlopen sets no errno of its own; a missing file is the usual cause, and
// the loader's own text says the rest.
int LoadError() { return errno != 0 ? errno : ENOENT; }

void* OpenLibrary(const std::string& name) {
    // dlopen("") would hand back the program itself.
    if (name.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    errno = 0;
    if (name.find('/') == std::string::npos) {
        std::string directory;
        if (GetModuleDirectory(directory)) {
            if (void* handle = dlopen((directory + name).c_str(), RTLD_NOW | RTLD_LOCAL))
                return handle;
        }
        errno = 0;
    }
    return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

} // namespace

int32_t LoadPluginUIDll(void*& handle) {
    LOG_PRINTF(LK_INFO, "LoadPluginUIDll. [%s|%d]");
    std::string name;
    GetPluginUIDLLName(name);
    handle = OpenLibrary(name);
    if (!handle) {
        const int error = LoadError();
        if (const char* detail = dlerror())
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
