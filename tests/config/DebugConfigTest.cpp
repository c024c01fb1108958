// The debug-log settings block and the level names.

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/LogTracker.h"
#include "config/DebugConfig.h"
#include "tests/config/ConfigTestSupport.h"

using namespace configtest;

namespace {

constexpr char FILE_NAME[] = "AgentLocalConfig.xml";

class DebugConfigTest : public ConfigTest {};

TEST_F(DebugConfigTest, LevelNamesMapToTheirMasksWhateverTheCase) {
    const struct {
        const char* name;
        uint32_t mask;
    } cases[] = {
        {"LL_FOR_ALL", 0x01073FF8},
        {"ll_for_all", 0x01073FF8},
        {"Ll_For_All", 0x01073FF8},
        {"LL_FOR_HIGHEST", 0x01073340},
        {"LL_FOR_HIGH", 0x01071F88},
        {"LL_FOR_MEDIUM", 0x01071C88},
        {"LL_FOR_MSG", 0x01071C00},
        {"lL_fOr_ImP_iNfO", 0x01071000},
        {"LL_NONE", 0},
        {"", 0x00070000},
        {"LL_FOR_AL", 0x00070000},
        {"LL_FOR_ALL ", 0x00070000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GetIntDebugLevel(c.name), c.mask);
    }
    // Which of this tool's kinds each level lets through.
    EXPECT_NE(GetIntDebugLevel("LL_FOR_HIGHEST") & LK_INFO, 0u);
    EXPECT_EQ(GetIntDebugLevel("LL_FOR_HIGH") & LK_INFO, 0u);
    EXPECT_NE(GetIntDebugLevel("") & LK_WARNING, 0u);
    EXPECT_EQ(CountOf(Log(), InfoLine("GetIntDebugLevel. [DebugConfig.cpp|")), 15);
}

TEST_F(DebugConfigTest, TheBlockIsReadFromAnyDepthAndMissingValuesAreKept) {
    Write(FILE_NAME,
          "<Cfg><NetworkConfig/><Deeper><DebugLogConfig>"
          "<DebugLogLevel>LL_FOR_MSG</DebugLogLevel><DebugLogPath>/var/log/opal</DebugLogPath>"
          "<DebugLogFileMaxSize>4096</DebugLogFileMaxSize>"
          "</DebugLogConfig></Deeper><DebugLogConfig><DebugLogFileName>second</DebugLogFileName>"
          "</DebugLogConfig></Cfg>");
    DebugLogConfigRecord record{u"", u"", u"kept.log", 0};
    EXPECT_EQ(LoadDebugLogConfig(record), 0);
    EXPECT_EQ(record, (DebugLogConfigRecord{u"LL_FOR_MSG", u"/var/log/opal", u"kept.log", 4096}));
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, InfoLine("OPAL agent debug log level: LL_FOR_MSG. [DebugConfig.cpp|")),
              1);
    EXPECT_EQ(CountOf(log, WarningLine("Failed to find <DebugLogFileName> element, use the default "
                                       "value <kept.log>. [DebugConfig.cpp|")),
              1);

    Write(FILE_NAME, "<Cfg><DebugLogConfig><DebugLogFileMaxSize>-1</DebugLogFileMaxSize>"
                     "</DebugLogConfig></Cfg>");
    record = {u"LL_NONE", u"/p", u"f", 77};
    EXPECT_EQ(LoadDebugLogConfig(record, ToWideString(Home().string() + "/", CP_ACP)), 0);
    EXPECT_EQ(record, (DebugLogConfigRecord{u"LL_NONE", u"/p", u"f", 77}));
    EXPECT_EQ(CountOf(Log(), WarningLine("Failed to find <DebugLogFileMaxSize> element, use the "
                                         "default value <77>. [")),
              1);
}

TEST_F(DebugConfigTest, NoBlockOrNoFileLeavesTheRecordAlone) {
    const DebugLogConfigRecord original{u"LL_FOR_ALL", u"/logs", u"x.log", 10};
    DebugLogConfigRecord record = original;
    Write(FILE_NAME, "<Cfg><NetworkConfig/></Cfg>");
    EXPECT_EQ(LoadDebugLogConfig(record), 0);
    EXPECT_EQ(record, original);
    EXPECT_EQ(CountOf(Log(), WarningLine("Failed to find <DebugLogConfig> element, [")), 1);

    std::filesystem::remove(HomeFile(FILE_NAME));
    EXPECT_EQ(LoadDebugLogConfig(record), ERR_CONFIG_LOAD);
    EXPECT_EQ(record, original);
}

} // namespace
