// The system configuration: fixed-size fields and their truncation, required
// and optional elements, and the single-value readers.

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "config/AgentConfig.h"
#include "tests/config/ConfigTestSupport.h"

using namespace configtest;

namespace {

constexpr char FILE_NAME[] = "AgentSysConfig.xml";
constexpr char GUID36[] = "0123456789abcdef-0123-4567-89ab-cdef";

struct Element {
    const char* name;
    std::string text;
};

std::string SysFile(const std::vector<Element>& elements) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<AgentSysConfig>\n";
    for (const Element& e : elements)
        text += "<" + std::string(e.name) + ">" + e.text + "</" + e.name + ">\n";
    return text + "</AgentSysConfig>";
}

std::vector<Element> FullElements() {
    return {{"AgentGUID", GUID36},
            {"AgentName", "Agent-7"},
            {"Version", "4.1.0"},
            {"ServicePackVersion", "SP2"},
            {"Build", "1234"},
            {"Language", "2"},
            {"HomeDirectory", "/opt/agent"},
            {"AgentServiceName", "opal-agent"},
            {"AgentServiceDispName", "OPAL Agent"},
            {"PluginDllName", "libplugin.so"},
            {"PluginUIDllName", "libpluginui.so"},
            {"AgentType", "12"},
            {"PluginVersion", "2.0"},
            {"PluginSPVersion", "SP1"},
            {"PluginHotfixVersion", "HF3"},
            {"PluginType", "5"}};
}

std::vector<Element> With(std::vector<Element> elements, const char* name, const char* text) {
    for (Element& e : elements)
        if (std::strcmp(e.name, name) == 0)
            e.text = text;
    return elements;
}

std::vector<Element> Without(std::vector<Element> elements, const char* name) {
    std::erase_if(elements, [name](const Element& e) { return std::strcmp(e.name, name) == 0; });
    return elements;
}

class SysConfigTest : public ConfigTest {};

TEST_F(SysConfigTest, AFullFileLoadsEveryField) {
    Write(FILE_NAME, SysFile(FullElements()));
    SysConfigRecord record;
    ASSERT_EQ(LoadSysConfig(record), 0);
    EXPECT_STREQ(record.AgentGUID, GUID36);
    EXPECT_EQ(record.AgentName, u"Agent-7");
    EXPECT_STREQ(record.Version, "4.1.0");
    EXPECT_STREQ(record.ServicePackVersion, "SP2");
    EXPECT_STREQ(record.Build, "1234");
    EXPECT_EQ(record.Language, 2);
    EXPECT_EQ(record.HomeDirectory, "/opt/agent");
    EXPECT_EQ(record.AgentServiceName, u"opal-agent");
    EXPECT_EQ(record.AgentServiceDispName, u"OPAL Agent");
    EXPECT_EQ(record.PluginDllName, "libplugin.so");
    EXPECT_EQ(record.PluginUIDllName, "libpluginui.so");
    EXPECT_EQ(record.AgentType, 12);
    EXPECT_STREQ(record.PluginVersion, "2.0");
    EXPECT_STREQ(record.PluginSPVersion, "SP1");
    EXPECT_STREQ(record.PluginHotfixVersion, "HF3");
    EXPECT_EQ(record.PluginType, 5);
}

TEST_F(SysConfigTest, OverlongIdentityAndVersionsAreCutAndLogged) {
    struct Case {
        const char* element;
        std::size_t limit;
        const char* message;
        std::function<const char*(const SysConfigRecord&)> field;
    };
    const Case cases[] = {
        {"AgentGUID", 36, "Agent GUID is too long. [",
         [](const SysConfigRecord& r) { return r.AgentGUID; }},
        {"Version", 9, "Agent Version is too long. [",
         [](const SysConfigRecord& r) { return r.Version; }},
        {"ServicePackVersion", 9, "Agent SP Version is too long. [",
         [](const SysConfigRecord& r) { return r.ServicePackVersion; }},
        {"Build", 9, "Agent hotfix Version is too long. [",
         [](const SysConfigRecord& r) { return r.Build; }},
        {"PluginVersion", 9, "Agent Plugin Version is too long. [",
         [](const SysConfigRecord& r) { return r.PluginVersion; }},
        {"PluginSPVersion", 9, "Agent plugin SP Version is too long. [",
         [](const SysConfigRecord& r) { return r.PluginSPVersion; }},
        {"PluginHotfixVersion", 9, "Agent plugin hotfix Version is too long. [SysConfig.cpp|",
         [](const SysConfigRecord& r) { return r.PluginHotfixVersion; }},
    };
    const std::string digits = "1234567890123456789012345678901234567890";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.element);
        for (const std::size_t length : {c.limit, c.limit + 1, digits.size()}) {
            const std::string value = digits.substr(0, length);
            Write(FILE_NAME, SysFile(With(FullElements(), c.element, value.c_str())));
            const std::size_t before = Log().size();
            SysConfigRecord record;
            EXPECT_EQ(LoadSysConfig(record), 0);
            EXPECT_EQ(c.field(record), value.substr(0, c.limit));
            EXPECT_EQ(CountOf(Log().substr(before), WarningLine(c.message)),
                      length > c.limit ? 1 : 0);
        }
    }
}

TEST_F(SysConfigTest, RequiredElementsEndTheLoadOptionalOnesKeepTheirDefault) {
    {
        Write(FILE_NAME, SysFile(Without(FullElements(), "AgentName")));
        SysConfigRecord record;
        EXPECT_EQ(LoadSysConfig(record), 0);
        EXPECT_EQ(record.AgentName, u"OPALAgentDefaultName");
        EXPECT_EQ(
            CountOf(Log(), WarningLine("Failed to find <AgentName> element. [SysConfig.cpp|")), 1);
    }
    {
        Write(FILE_NAME, SysFile(With(FullElements(), "Language", "English")));
        SysConfigRecord record;
        EXPECT_EQ(LoadSysConfig(record), 0);
        EXPECT_EQ(record.Language, 0);
        EXPECT_EQ(record.PluginType, 5);
        EXPECT_EQ(CountOf(Log(), WarningLine("Failed to find <Language> element. Use default value "
                                             "0. [SysConfig.cpp|")),
                  1);
    }
    {
        // The first six values are read before the missing one stops the load.
        Write(FILE_NAME, SysFile(Without(FullElements(), "HomeDirectory")));
        SysConfigRecord record;
        record.HomeDirectory = "stale";
        EXPECT_EQ(LoadSysConfig(record), ERR_CONFIG_LOAD);
        EXPECT_STREQ(record.Build, "1234");
        EXPECT_EQ(record.Language, 2);
        EXPECT_EQ(record.HomeDirectory, "");
        EXPECT_EQ(record.AgentServiceName, u"OPAL Agent empty");
        EXPECT_EQ(record.AgentType, 10);
        EXPECT_EQ(CountOf(Log(), WarningLine("Failed to find <HomeDirectory> element. [")), 1);
    }
    for (const char* required : {"AgentGUID", "ServicePackVersion", "PluginUIDllName", "AgentType",
                                 "PluginHotfixVersion", "PluginType"}) {
        SCOPED_TRACE(required);
        Write(FILE_NAME, SysFile(Without(FullElements(), required)));
        SysConfigRecord record;
        EXPECT_EQ(LoadSysConfig(record), ERR_CONFIG_LOAD);
    }
    Write(FILE_NAME, SysFile(With(FullElements(), "AgentType", "-10")));
    SysConfigRecord record;
    EXPECT_EQ(LoadSysConfig(record), ERR_CONFIG_LOAD);
}

TEST_F(SysConfigTest, SingleValueReadersSetTheirValueOnlyOnSuccess) {
    std::string dll = "kept";
    std::u16string service = u"kept", display = u"kept";
    EXPECT_EQ(GetPluginType(), 0); // no file
    EXPECT_EQ(GetPluginUIDLLName(dll), ERR_CONFIG_LOAD);
    EXPECT_EQ(GetAgentServiceName(service), ERR_CONFIG_LOAD);
    EXPECT_EQ(dll, "kept");
    EXPECT_EQ(service, u"kept");

    Write(FILE_NAME, SysFile(Without(FullElements(), "AgentServiceDispName")));
    EXPECT_EQ(GetPluginType(), 5);
    EXPECT_EQ(GetPluginUIDLLName(dll), 0);
    EXPECT_EQ(dll, "libpluginui.so");
    EXPECT_EQ(GetAgentServiceName(service), 0);
    EXPECT_EQ(service, u"opal-agent");
    EXPECT_EQ(GetAgentDisplayName(display), ERR_CONFIG_LOAD);
    EXPECT_EQ(display, u"kept");

    Write(FILE_NAME, SysFile(With(FullElements(), "PluginType", "x")));
    EXPECT_EQ(GetPluginType(), 0);

    const std::string log = Log();
    EXPECT_EQ(CountOf(log, InfoLine("GetPluginType, [SysConfig.cpp|")), 3);
    EXPECT_EQ(CountOf(log, InfoLine("GetPluginUIDLLName. [")), 2);
    EXPECT_EQ(CountOf(log, InfoLine("GetAgentServiceName. [")), 2);
    EXPECT_EQ(CountOf(log, InfoLine("GetAgentDisplayName. [")), 1);
    EXPECT_EQ(CountOf(log, WarningLine("Failed to find <AgentServiceDispName> element. [")), 1);
    EXPECT_EQ(CountOf(log, WarningLine("Failed to find <PluginType> element. [")), 1);
    EXPECT_EQ(CountOf(log, ErrorLine("Unknow Exception! Last Error Code=2, [SysConfig.cpp|")), 3);
}

} // namespace
