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

TEST_F(StatusDataTest, PeekingChangesNothing) {
    const struct {
        const char* what;
        const char* document; // nullptr: no document
        const char* agentStatus;
        const char* toolTag;
        bool documentRead;
        AgentStatusRecord expected;
    } cases[] = {
        {"nothing there", nullptr, nullptr, nullptr, false, {9, 9, 9, 9, 9}},
        {"all there",
         "<AgentStatusData><RegisterStatus>1</RegisterStatus><NetConfigChanged>1</NetConfigChanged>"
         "<MonitorExitTag>3</MonitorExitTag><AgentStatus>8</AgentStatus></AgentStatusData>",
         "16", "2", true, {1, 16, 2, 1, 3}},
        {"a broken document, one value", "<AgentStatusData><Reg", "4", nullptr, false, {9, 4, 9, 9, 9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(RegistryRootDir() / "HKEY_LOCAL_MACHINE");
        std::filesystem::remove(HomeFile(FILE_NAME));
        if (c.document)
            WriteFileBytes(HomeFile(FILE_NAME), c.document);
        if (c.agentStatus)
            SetRegistry("AgentStatus", c.agentStatus);
        if (c.toolTag)
            SetRegistry("ToolTag", c.toolTag);
        AgentStatusSnapshot snapshot;
        snapshot.Record = {9, 9, 9, 9, 9};
        PeekAgentStatus(snapshot);
        EXPECT_EQ(snapshot.Record, c.expected);
        EXPECT_EQ(snapshot.DocumentRead, c.documentRead);
        EXPECT_EQ(snapshot.AgentStatusRead, c.agentStatus != nullptr);
        EXPECT_EQ(snapshot.ToolTagRead, c.toolTag != nullptr);
        // No document made or replaced, no key or value written.
        EXPECT_EQ(std::filesystem::exists(HomeFile(FILE_NAME)), c.document != nullptr);
        if (c.document) {
            EXPECT_EQ(ReadFileBytes(HomeFile(FILE_NAME)), c.document);
        }
        EXPECT_FALSE(std::filesystem::exists(HomeFile("AgentStatus.xml.unreadable")));
        EXPECT_EQ(std::filesystem::exists(AgentRegistryValueFile("ToolTag")), c.toolTag != nullptr);
        EXPECT_EQ(std::filesystem::exists(RegistryRootDir() / "HKEY_LOCAL_MACHINE"),
                  c.agentStatus != nullptr || c.toolTag != nullptr);
    }
}
