// Every loader against damaged, hostile and odd files: none may crash, and
// none may change a file it only reads. (A status document that cannot be
// read is the one exception: it is rewritten from the caller's record.)

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "config/AgentConfig.h"
#include "config/DebugConfig.h"
#include "tests/config/ConfigTestSupport.h"

using namespace configtest;

namespace {

struct Loader {
    const char* name;
    const char* file;
    std::string valid;
    std::function<int()> load;
    int unreadable; // result for a file that does not parse
    int unrelated;  // result for a well-formed file without the expected values
};

std::vector<Loader> Loaders() {
    static AgentStatusRecord status;
    static DebugLogConfigRecord debug;
    static SysConfigRecord sys;
    return {
        {"local", "AgentLocalConfig.xml",
         "<?xml "
         "version=\"1.0\"?>\n<PXRAgentLocalConfig>\n<NetworkConfig>\n<ServerName>s</ServerName>"
         "\n<ServerPort>80</ServerPort>\n</NetworkConfig>\n</PXRAgentLocalConfig>",
         [] { return LoadLocalConfig(); }, ERR_CONFIG_LOAD, ERR_CONFIG_LOAD},
        {"debug", "AgentLocalConfig.xml",
         "<Cfg>\n<DebugLogConfig>\n<DebugLogLevel>LL_NONE</DebugLogLevel>\n<DebugLogPath>/l"
         "</DebugLogPath>\n</DebugLogConfig>\n</Cfg>",
         [] { return LoadDebugLogConfig(debug); }, ERR_CONFIG_LOAD, 0},
        {"working", "AgentWorkConfig.xml",
         "<PXRAgentWorkingConfig>\n<EnableAgent>1</EnableAgent>\n<CommandInterval>60"
         "</CommandInterval>\n</PXRAgentWorkingConfig>",
         [] { return LoadWorkingConfig(); }, ERR_CONFIG_LOAD, 0},
        {"system", "AgentSysConfig.xml",
         "<AgentSysConfig>\n<AgentGUID>g</AgentGUID>\n<Version>1</Version>\n<ServicePackVersion>"
         "0</ServicePackVersion>\n<Build>2</Build>\n<HomeDirectory>/h</HomeDirectory>\n"
         "<PluginDllName>p</PluginDllName>\n<PluginUIDllName>u</PluginUIDllName>\n<AgentType>1"
         "</AgentType>\n<PluginVersion>1</PluginVersion>\n<PluginSPVersion>0</PluginSPVersion>\n"
         "<PluginHotfixVersion>0</PluginHotfixVersion>\n<PluginType>3</PluginType>\n"
         "</AgentSysConfig>",
         [] { return LoadSysConfig(sys); }, ERR_CONFIG_LOAD, ERR_CONFIG_LOAD},
        {"plug-in type", "AgentSysConfig.xml",
         "<AgentSysConfig><PluginType>3</PluginType></AgentSysConfig>",
         [] { return GetPluginType() == 3 ? 0 : ERR_CONFIG_LOAD; }, ERR_CONFIG_LOAD,
         ERR_CONFIG_LOAD},
        {"status", "AgentStatus.xml",
         "<AgentStatusData>\n<RegisterStatus>1</RegisterStatus>\n<NetConfigChanged>0"
         "</NetConfigChanged>\n<MonitorExitTag>0</MonitorExitTag>\n</AgentStatusData>",
         [] { return LoadStatusData(status); }, 0, 0},
    };
}

// A copy of the valid file's root content after itself: every element twice.
std::string Duplicated(const std::string& valid) {
    std::size_t start = valid.find('<');
    if (valid.compare(start, 2, "<?") == 0)
        start = valid.find('<', start + 2);
    const std::size_t open = valid.find('>', start) + 1;
    const std::size_t close = valid.rfind("</");
    return valid.substr(0, close) + valid.substr(open, close - open) + valid.substr(close);
}

struct Input {
    const char* name;
    std::function<std::string(const std::string& valid)> make;
    bool parses;
};

const Input INPUTS[] = {
    {"empty", [](const std::string&) { return std::string(); }, false},
    {"truncated", [](const std::string& v) { return v.substr(0, v.size() / 2); }, false},
    {"malformed", [](const std::string&) { return std::string("<a><b></a></b>"); }, false},
    {"not UTF-8",
     [](const std::string&) {
         return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a><b>\xff\xfe\xc3</b></a>");
     },
     false},
    {"binary", [](const std::string&) { return std::string("\0\x01\x02<a>\0</a>", 11); }, false},
    {"10 MB",
     [](const std::string&) { return "<a><pad>" + std::string(10 << 20, 'x') + "</pad></a>"; },
     true},
    {"deeply nested",
     [](const std::string&) {
         std::string text;
         for (int i = 0; i < 100000; ++i)
             text += "<n>";
         for (int i = 0; i < 100000; ++i)
             text += "</n>";
         return text;
     },
     true},
    {"entity expansion",
     [](const std::string&) {
         return std::string("<!DOCTYPE a [<!ENTITY e \"eeeeeeeeee\"><!ENTITY f \"&e;&e;&e;&e;&e;"
                            "&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
                            "<!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\">]><a>&h;&h;&h;</a>");
     },
     false},
};

class ConfigBadInputTest : public ConfigTest {};

TEST_F(ConfigBadInputTest, LoadersNeitherCrashNorChangeFilesTheyRead) {
    for (const Loader& loader : Loaders()) {
        for (const Input& input : INPUTS) {
            SCOPED_TRACE(std::string(loader.name) + " / " + input.name);
            const std::string bytes = input.make(loader.valid);
            Write(loader.file, bytes);
            const std::size_t before = Log().size();
            EXPECT_EQ(loader.load(), input.parses ? loader.unrelated : loader.unreadable);
            const bool recreated = !input.parses && std::string(loader.name) == "status";
            if (recreated)
                EXPECT_EQ(Read(loader.file)
                              .rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" "
                                     "standalone=\"yes\"?>\r\r\n<AgentStatusData>\r",
                                     0),
                          0u);
            else
                EXPECT_TRUE(Read(loader.file) == bytes);
            EXPECT_EQ(
                CountOf(Log().substr(before), ErrorLine("Unknow Exception! Last Error Code=")),
                input.parses ? 0 : 1);
        }
    }
}

TEST_F(ConfigBadInputTest, DuplicatedElementsLoadTheFirstOfEach) {
    for (const Loader& loader : Loaders()) {
        SCOPED_TRACE(loader.name);
        const std::string bytes = Duplicated(loader.valid);
        ASSERT_NE(bytes, loader.valid);
        Write(loader.file, bytes);
        EXPECT_EQ(loader.load(), 0);
        EXPECT_EQ(Read(loader.file), bytes);
    }
}

} // namespace
