// The agent status document and its registry values, and the two threads
// that share them.

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "config/AgentConfig.h"
#include "tests/config/ConfigTestSupport.h"

using namespace configtest;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

constexpr char FILE_NAME[] = "AgentStatus.xml";

// What CreateStatusData writes for the record {0, 4, 2, 1, 7}.
constexpr char STATUS_FILE_BYTES[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\r\n"
    "<AgentStatusData>\r"
    "<RegisterStatus>0</RegisterStatus>\r"
    "<AgentStatus>4</AgentStatus>\r"
    "<ToolExitTag>2</ToolExitTag>\r"
    "<NetConfigChanged>1</NetConfigChanged>\r"
    "<MonitorExitTag>7</MonitorExitTag>\r"
    "</AgentStatusData>";

class StatusDataTest : public ConfigTest {
protected:
    void SetRegistry(const char* name, const char* text) {
        std::filesystem::create_directories(AgentRegistryValueFile(name).parent_path());
        WriteFileBytes(AgentRegistryValueFile(name), text);
    }
};

TEST_F(StatusDataTest, CreateWritesTheExactLayout) {
    EXPECT_EQ(CreateStatusData({0, 4, 2, 1, 7}), 0);
    EXPECT_EQ(Read(FILE_NAME), STATUS_FILE_BYTES);
    EXPECT_EQ(FileMode(HomeFile(FILE_NAME)), 0644u);
    EXPECT_EQ(CountOf(Log(), InfoLine("CreateStatusData. [StatusData.cpp|")), 1);
}

TEST_F(StatusDataTest, AMissingDocumentIsCreatedFromTheRecordAndMissingValuesFromIt) {
    SetRegistry("AgentStatus", "16");
    AgentStatusRecord record{0, 4, 2, 1, 7};
    EXPECT_EQ(LoadStatusData(record), 0);
    EXPECT_EQ(Read(FILE_NAME), STATUS_FILE_BYTES);
    EXPECT_EQ(record, (AgentStatusRecord{0, 4, 2, 1, 7})); // the registry is not read then

    // The next load reads the document and the registry, writing ToolTag,
    // which the registry does not have yet, from the record.
    EXPECT_EQ(LoadStatusData(record), 0);
    EXPECT_EQ(record, (AgentStatusRecord{0, 16, 2, 1, 7}));
    EXPECT_EQ(ReadFileBytes(AgentRegistryValueFile("ToolTag")), "2");
    EXPECT_EQ(ReadFileBytes(AgentRegistryValueFile("AgentStatus")), "16");
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, InfoLine("Begin to load Agent status data. [StatusData.cpp|")), 2);
    EXPECT_EQ(CountOf(log, ErrorLine("Unknow Exception! Last Error Code=2, [StatusData.cpp|")), 1);
    EXPECT_EQ(CountOf(log, WarningLine("Failed to read register item: ToolTag, [")), 1);
}

TEST_F(StatusDataTest, TheRegistryWinsOverTheDocumentsCopies) {
    Write(FILE_NAME, "<S><RegisterStatus>1</RegisterStatus><AgentStatus>1</AgentStatus>"
                     "<ToolExitTag>1</ToolExitTag><NetConfigChanged>0</NetConfigChanged></S>");
    SetRegistry("AgentStatus", "16");
    SetRegistry("ToolTag", "0");
    AgentStatusRecord record{0, 4, 0, 5, 9};
    EXPECT_EQ(LoadStatusData(record), 0);
    EXPECT_EQ(record, (AgentStatusRecord{1, 16, 0, 0, 9}));
    EXPECT_EQ(CountOf(Log(), WarningLine("Failed to find <MonitorExitTag> element. [")), 1);
}

TEST_F(StatusDataTest, SaveNetConfigChangeEditsOnlyAnExistingDocument) {
    EXPECT_EQ(SaveNetConfigChange(1), ERR_CONFIG_SAVE);
    EXPECT_FALSE(testsupport::FileExists(HomeFile(FILE_NAME)));

    Write(FILE_NAME, "<S>\n<!-- agent -->\n<RegisterStatus>1</RegisterStatus>\n</S>");
    EXPECT_EQ(SaveNetConfigChange(1), 0);
    EXPECT_EQ(Read(FILE_NAME), "<S>\r\n<!-- agent -->\r\n<RegisterStatus>1</RegisterStatus>\r\n"
                               "<NetConfigChanged>1</NetConfigChanged>\r</S>");
    // Read back, the carriage return is a line end like any other.
    EXPECT_EQ(SaveNetConfigChange(0), 0);
    EXPECT_EQ(Read(FILE_NAME), "<S>\r\n<!-- agent -->\r\n<RegisterStatus>1</RegisterStatus>\r\n"
                               "<NetConfigChanged>0</NetConfigChanged>\r\n</S>");
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, InfoLine("Begin to SaveNetConfigChange: 1, [StatusData.cpp|")), 2);
    EXPECT_EQ(CountOf(log, ErrorLine("Unknow Exception! Last Error Code=2, [StatusData.cpp|")), 1);
}

// The monitor thread reloads the status while the UI thread saves it; a
// reader must never see a document that is half written or empty, which
// would make it recreate the document from its own record.
TEST_F(StatusDataTest, ConcurrentLoadsNeverSeeATornDocument) {
    m_log.reset();
    m_log.emplace(m_temp.Path() / "failures.log", LK_WARNING | LK_ERROR);
    ASSERT_EQ(CreateStatusData({3, 1, 0, 0, 0}), 0);
    SetRegistry("AgentStatus", "1");
    SetRegistry("ToolTag", "0");

    constexpr int ROUNDS = 2000;
    std::atomic<bool> writerDone{false};
    std::atomic<int> badReads{0};
    std::thread ui([&] {
        for (int i = 0; i < ROUNDS; ++i) {
            if (i % 10 == 0)
                EXPECT_EQ(CreateStatusData({3, 1, 0, i % 2, 0}), 0);
            else
                EXPECT_EQ(SaveNetConfigChange(i % 2), 0);
        }
        writerDone = true;
    });
    int reads = 0;
    while (!writerDone || reads < ROUNDS) {
        AgentStatusRecord record{-1, -1, -1, -1, -1};
        if (LoadStatusData(record) != 0 || record.RegisterStatus != 3 ||
            (record.NetConfigChanged != 0 && record.NetConfigChanged != 1) ||
            record.MonitorExitTag != 0)
            ++badReads;
        // A reader that takes no lock, as the agent's own, sees whole files.
        const std::string bytes = Read(FILE_NAME);
        if (bytes.size() < 100 || bytes.substr(bytes.size() - 18) != "</AgentStatusData>")
            ++badReads;
        ++reads;
    }
    ui.join();
    EXPECT_EQ(badReads, 0);
    EXPECT_EQ(Log(), "");
}

} // namespace
