#pragma once
// The optional plug-in UI library named by the agent's system configuration,
// loaded as code at start-up; its export ShowPluginSettingDlg shows the
// plug-in's own settings dialog.

#include <cstdint>

inline constexpr int32_t ERR_PLUGIN_UI_LOAD = 0x20011;

using ShowPluginSettingDlgFn = void (*)();

// The entry point, null while the library or its export is missing. The
// Advanced page enables its "Plug-in Option..." button from it.
extern ShowPluginSettingDlgFn g_showPluginSettingDlg;

// Loads the library: a plain file name from the program directory, and only
// when the file and every directory above it pass OpenTrustedFile. `handle` receives the library,
// which stays loaded until FreePluginUIDll even when the export is missing. 0 or
// ERR_PLUGIN_UI_LOAD.
int32_t LoadPluginUIDll(void*& handle);
void ShowPluginUI();
void FreePluginUIDll(void*& handle);
