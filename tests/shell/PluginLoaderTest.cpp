#include "shell/PluginLoader.h"

#include <cstdlib>

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

class PluginLoaderTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log = std::make_unique<LogCapture>(m_home / "tool.log");
        ::setenv("OPAL_TEST_PLUGIN_MARK", HomeFile("mark").c_str(), 1);
    }
    void TearDown() override {
        FreePluginUIDll(m_handle);
        m_log.reset();
        ::unsetenv("OPAL_TEST_PLUGIN_MARK");
        AgentHomeTest::TearDown();
    }
    void WriteSysConfig(const std::string& pluginElement) {
        WriteFileBytes(HomeFile("AgentSysConfig.xml"),
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<AgentSysConfig>" +
                           pluginElement + "<PluginType>0</PluginType></AgentSysConfig>");
    }

    std::unique_ptr<LogCapture> m_log;
    void* m_handle = nullptr;
};

} // namespace

TEST_F(PluginLoaderTest, LibraryWithTheExportIsCalled) {
    fs::copy_file(TEST_PLUGIN_UI, m_home / "libplugin_ui.so");
    // A bare name is found in the program directory.
    WriteSysConfig("<PluginUIDllName>libplugin_ui.so</PluginUIDllName>");
    ASSERT_EQ(LoadPluginUIDll(m_handle), 0);
    ASSERT_NE(m_handle, nullptr);
    ASSERT_NE(g_showPluginSettingDlg, nullptr);
    ShowPluginUI();
    ShowPluginUI();
    EXPECT_EQ(ReadFileBytes(HomeFile("mark")), "shown\nshown\n");
    FreePluginUIDll(m_handle);
    EXPECT_EQ(g_showPluginSettingDlg, nullptr);
    EXPECT_EQ(m_handle, nullptr);
}

TEST_F(PluginLoaderTest, MissingNameLibraryOrExportIsLoggedAndLeavesNoEntryPoint) {
    struct Case {
        std::string element;
        bool loads;
        std::string expected;
    } cases[] = {
        {"", false, "Failed to load . WinError="},
        {"<PluginUIDllName>libnot_there.so</PluginUIDllName>", false,
         "Failed to load libnot_there.so. WinError="},
        {"<PluginUIDllName>" + std::string(TEST_PLUGIN_NO_EXPORT) + "</PluginUIDllName>", true,
         "Failed to load ShowPluginSettingDlg Function. WinError="},
    };
    for (const auto& c : cases) {
        WriteSysConfig(c.element);
        EXPECT_EQ(LoadPluginUIDll(m_handle), ERR_PLUGIN_UI_LOAD) << c.element;
        // Without the export the library stays loaded until exit.
        EXPECT_EQ(m_handle != nullptr, c.loads) << c.element;
        EXPECT_EQ(g_showPluginSettingDlg, nullptr);
        EXPECT_NE(m_log->Text().find(c.expected), std::string::npos) << m_log->Text();
        FreePluginUIDll(m_handle);
    }
    ShowPluginUI();
    EXPECT_NE(m_log->Text().find("ShowPluginUI: Fail to get the function pointer. [PluginLoader.cpp|"),
              std::string::npos);
    EXPECT_FALSE(FileExists(HomeFile("mark")));
}
