// A plug-in UI library for the loader's tests: its settings entry point
// appends a line to the file named by OPAL_TEST_PLUGIN_MARK, so a test can
// see that the tool really called into the library.

#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) void ShowPluginSettingDlg() {
    if (const char* mark = std::getenv("OPAL_TEST_PLUGIN_MARK")) {
        if (std::FILE* f = std::fopen(mark, "a")) {
            std::fputs("shown\n", f);
            std::fclose(f);
        }
    }
}
