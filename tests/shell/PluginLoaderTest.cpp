#include "shell/PluginLoader.h"

#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

class PluginLoaderTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        // Language libraries and plug-ins are read only from a tree nobody
        // else can write; the directory above stays open to the parts that
        // run as another user, but sticky, as /tmp is.
        fs::permissions(m_temp.Path(), fs::perms::sticky_bit, fs::perm_options::add);
        fs::permissions(m_home, fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
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
        {"<PluginUIDllName>libplugin_no_export.so</PluginUIDllName>", true,
         "Failed to load ShowPluginSettingDlg Function. WinError="},
    };
    fs::copy_file(TEST_PLUGIN_NO_EXPORT, m_home / "libplugin_no_export.so");
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
    EXPECT_NE(
        m_log->Text().find("ShowPluginUI: Fail to get the function pointer. [PluginLoader.cpp|"),
        std::string::npos);
    EXPECT_FALSE(FileExists(HomeFile("mark")));
}

// Whatever another user could have written is never loaded: the library
// itself, the agent home, a directory above it, a link, or a path of the
// user's choosing. Each case starts from a sound layout that loads.
TEST_F(PluginLoaderTest, ALibraryAnotherUserCouldHaveWrittenIsNotLoaded) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another user";
    constexpr uid_t kMember = 64123;
    const fs::path library = m_home / "libplugin_ui.so";
    const fs::path elsewhere = m_temp.Path() / "elsewhere.so";
    struct Case {
        const char* what;
        std::function<void()> plant;
        std::string name;
        std::string reason;
    } cases[] = {
        {"the member's library", [&] { ASSERT_EQ(::chown(library.c_str(), kMember, 0), 0); },
         "libplugin_ui.so", "owned by another user"},
        {"a group-writable library", [&] { ::chmod(library.c_str(), 0664); }, "libplugin_ui.so",
         "writable by group or others"},
        {"a group-writable agent home", [&] { ::chmod(m_home.c_str(), 02775); }, "libplugin_ui.so",
         "writable by group or others"},
        {"an agent home the member owns",
         [&] { ASSERT_EQ(::chown(m_home.c_str(), kMember, 0), 0); }, "libplugin_ui.so",
         "owned by another user"},
        {"a writable directory above the home", [&] { ::chmod(m_temp.Path().c_str(), 0777); },
         "libplugin_ui.so", "writable by group or others"},
        {"a link to root's library",
         [&] {
             fs::rename(library, elsewhere);
             fs::create_symlink(elsewhere, library);
         },
         "libplugin_ui.so", "a symbolic link"},
        {"a path instead of a name", [&] { fs::rename(library, elsewhere); }, elsewhere.string(),
         "not a plain file name"},
    };
    for (const Case& c : cases) {
        fs::remove(library);
        fs::remove(elsewhere);
        ::chown(m_home.c_str(), 0, 0);
        ::chmod(m_home.c_str(), 0755);
        ::chmod(m_temp.Path().c_str(), 0755);
        fs::copy_file(TEST_PLUGIN_UI, library);
        ::chmod(library.c_str(), 0644);
        WriteSysConfig("<PluginUIDllName>" + c.name + "</PluginUIDllName>");
        c.plant();
        m_log.reset();
        m_log = std::make_unique<LogCapture>(m_temp.Path() / (std::string(c.what) + ".log"));
        EXPECT_EQ(LoadPluginUIDll(m_handle), ERR_PLUGIN_UI_LOAD) << c.what;
        EXPECT_EQ(m_handle, nullptr) << c.what;
        EXPECT_EQ(g_showPluginSettingDlg, nullptr) << c.what;
        const std::string log = m_log->Text();
        EXPECT_NE(log.find("The plug-in library is not loaded: "), std::string::npos) << log;
        EXPECT_NE(log.find(c.reason), std::string::npos) << c.what << "\n" << log;
        FreePluginUIDll(m_handle);
    }
    ::chown(m_home.c_str(), 0, 0);
    ::chmod(m_home.c_str(), 0755);
    EXPECT_FALSE(FileExists(HomeFile("mark")));

    // The same library, root's and in root's tree, loads.
    fs::remove(library);
    fs::remove(elsewhere);
    fs::copy_file(TEST_PLUGIN_UI, library);
    WriteSysConfig("<PluginUIDllName>libplugin_ui.so</PluginUIDllName>");
    ASSERT_EQ(LoadPluginUIDll(m_handle), 0);
    ShowPluginUI();
    EXPECT_EQ(ReadFileBytes(HomeFile("mark")), "shown\n");
}
