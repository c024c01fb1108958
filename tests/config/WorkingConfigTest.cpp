// The working configuration: defaults, bounds and what a failed load leaves.

#include <string>

#include <gtest/gtest.h>

#include "config/AgentConfig.h"
#include "tests/config/ConfigTestSupport.h"

using namespace configtest;

namespace {

constexpr char FILE_NAME[] = "AgentWorkConfig.xml";

std::string WorkFile(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<PXRAgentWorkingConfig>\n" + body + "</PXRAgentWorkingConfig>";
}

class WorkingConfigTest : public ConfigTest {};

TEST_F(WorkingConfigTest, ValuesOutsideTheirBoundsTakeTheDefault) {
    struct Case {
        const char* body;
        WorkingConfigRecord expected;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"<EnableAgent>7</EnableAgent><LogUploadMaxInterval>3600</LogUploadMaxInterval>"
         "<LogUploadMaxSize>1024</LogUploadMaxSize><CommandInterval>30</CommandInterval>"
         "<AutoUpdate>9</AutoUpdate>",
         {7, 3600, 1024, 30, 9},
         {}},
        {"<LogUploadMaxSize>2097152</LogUploadMaxSize><CommandInterval>3600</CommandInterval>"
         "<LogUploadMaxInterval>30</LogUploadMaxInterval><AutoUpdate>0</AutoUpdate>"
         "<EnableAgent>0</EnableAgent>",
         {0, 30, 2097152, 3600, 0},
         {}},
        {"<EnableAgent>1</EnableAgent><LogUploadMaxInterval>29</LogUploadMaxInterval>"
         "<LogUploadMaxSize>1023</LogUploadMaxSize><CommandInterval>29</CommandInterval>"
         "<AutoUpdate>1</AutoUpdate>",
         {1, 30, 204800, 300, 1},
         {"The value(29) is smaller than the minimum value(30).",
          "LogUploadMaxInterval is invalid, [",
          "The value(1023) is smaller than the minimum value(1024).",
          "LogUploadMaxSize is invalid, [", "The value(29) is smaller than the minimum value(30).",
          "CommandInterval is invalid, [WorkingConfig.cpp|"}},
        {"<EnableAgent>1</EnableAgent><LogUploadMaxInterval>3601</LogUploadMaxInterval>"
         "<LogUploadMaxSize>2097153</LogUploadMaxSize><CommandInterval>3601</CommandInterval>"
         "<AutoUpdate>1</AutoUpdate>",
         {1, 30, 204800, 300, 1},
         {"The value(3601) is larger than the maximum value(3600).",
          "LogUploadMaxInterval is invalid, [",
          "The value(2097153) is larger than the maximum value(2097152).",
          "LogUploadMaxSize is invalid, [",
          "The value(3601) is larger than the maximum value(3600).",
          "CommandInterval is invalid, ["}},
        {"<EnableAgent>-1</EnableAgent><LogUploadMaxSize>9000</LogUploadMaxSize>",
         {1, 30, 9000, 300, 1},
         {"Can't convert into integer, [",
          "Failed to find <EnableAgent> element, use the default value <1>. [WorkingConfig.cpp|",
          "Failed to find <LogUploadMaxInterval> element, use the default value <30>. [",
          "Failed to find <CommandInterval> element, use the default value <300>. [",
          "Failed to find <AutoUpdate> element, use the default value <1>. ["}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        Write(FILE_NAME, WorkFile(c.body));
        const std::size_t before = Log().size();
        EXPECT_EQ(LoadWorkingConfig(), 0);
        EXPECT_EQ(g_workingConfig, c.expected);
        const std::string added = Log().substr(before);
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            at = added.find(WarningLine(line), at);
            ASSERT_NE(at, std::string::npos) << line << "\n" << added;
        }
        EXPECT_EQ(CountOf(added, "[Warning]"),
                  static_cast<int>(c.lines.size()) + CountOf(added, "Failed to read the value of"));
    }
}

TEST_F(WorkingConfigTest, EveryLoadStartsFromTheDefaults) {
    Write(FILE_NAME, WorkFile("<EnableAgent>0</EnableAgent><CommandInterval>60</CommandInterval>"));
    ASSERT_EQ(LoadWorkingConfig(), 0);
    EXPECT_EQ(g_workingConfig, (WorkingConfigRecord{0, 30, 204800, 60, 1}));

    std::filesystem::remove(HomeFile(FILE_NAME));
    EXPECT_EQ(LoadWorkingConfig(), ERR_CONFIG_LOAD);
    EXPECT_EQ(g_workingConfig, WorkingConfigRecord{});
    EXPECT_EQ(CountOf(Log(), ErrorLine("Unknow Exception! Last Error Code=")), 1);
}

} // namespace
