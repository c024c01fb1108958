// The saves of the tool as an administrator meets them: documents and
// registry values behind symbolic links, read-only on purpose, writable in a
// directory that is not, unreadable, and saves killed half-way.

#include <csignal>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "platform/system/AtomicFile.h"
#include "shell/LanguageSetting.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr char LOCAL_CONFIG[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<PXRAgentLocalConfig><NetworkConfig>"
    "<ServerName>old.example</ServerName><ServerPort>80</ServerPort></NetworkConfig>"
    "</PXRAgentLocalConfig>";
constexpr char STATUS[] =
    "<AgentStatusData><RegisterStatus>1</RegisterStatus><AgentStatus>1</AgentStatus>"
    "<NetConfigChanged>0</NetConfigChanged><MonitorExitTag>0</MonitorExitTag></AgentStatusData>";
constexpr char TOOL_CONFIG[] =
    "<SettingToolSysConfig><Language>0</Language></SettingToolSysConfig>";

NetworkConfigRecord Network(const char16_t* server) {
    NetworkConfigRecord record;
    record.Reset();
    record.ServerName = server;
    record.ServerPort = 8443;
    return record;
}

mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// One save of the tool, as the settings sheet, the monitor or the menu
// makes it.
struct Operation {
    const char* name;
    std::string file; // below the home directory; empty for the registry value
    std::string before;
    // False when the save reported a failure; SaveLanguageSetting has no
    // result, only its log line.
    std::function<bool()> save;
    std::string marker;      // found in the file after a successful save
    std::string failureLine; // logged when the save is refused
};

std::vector<Operation> Operations() {
    return {
        {"SaveNetworkConfig", "AgentLocalConfig.xml", LOCAL_CONFIG,
         [] { return SaveNetworkConfig(Network(u"new.example")) == CONFIG_SUCCESS; },
         "<ServerName>new.example</ServerName>", "Failed to save "},
        {"CreateStatusData", "AgentStatus.xml", STATUS,
         [] {
             return CreateStatusData({1, 16, 0, 0, 0}) == CONFIG_SUCCESS;
         },
         "<AgentStatus>16</AgentStatus>", "Failed to save "},
        {"SaveNetConfigChange", "AgentStatus.xml", STATUS,
         [] { return SaveNetConfigChange(1) == CONFIG_SUCCESS; },
         "<NetConfigChanged>1</NetConfigChanged>", "Failed to save "},
        {"SaveLanguageSetting", "SettingToolSysConfig.xml", TOOL_CONFIG,
         [] {
             SaveLanguageSetting(3);
             return true;
         },
         "<Language>3</Language>", "Failed to save "},
        {"SaveAgentStatusReg", "", "1", [] { return SaveAgentStatusReg(16) == CONFIG_SUCCESS; },
         "16", "Failed to write register item: AgentStatus"},
    };
}

class FileSavesTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log = std::make_unique<LogCapture>(m_temp.Path() / "saves.log");
        // Parts of the tests run as nobody, who writes the log too.
        WriteFileBytes(m_log->File(), "");
        ::chmod(m_log->File().c_str(), 0666);
    }
    void TearDown() override {
        m_log.reset();
        ::chmod(m_home.c_str(), 0777);
        AgentHomeTest::TearDown();
    }

    fs::path PathOf(const Operation& op) const {
        return op.file.empty() ? AgentRegistryValueFile("AgentStatus") : m_home / op.file;
    }
    void Prepare(const Operation& op) {
        fs::create_directories(PathOf(op).parent_path());
        WriteFileBytes(PathOf(op), op.before);
    }
    std::string Log() const { return m_log->Text(); }

    std::unique_ptr<LogCapture> m_log;
};

} // namespace

TEST_F(FileSavesTest, ASaveThroughALinkUpdatesItsTargetAndKeepsTheLink) {
    const fs::path elsewhere = m_temp.Path() / "etc-opal";
    fs::create_directories(elsewhere);
    struct Link {
        const char* name;
        bool relative;
    } links[] = {{"absolute link to another directory", false},
                 {"relative link to another directory", true}};
    for (const Operation& op : Operations()) {
        if (op.file.empty())
            continue;
        for (const Link& link : links) {
            SCOPED_TRACE(std::string(op.name) + ", " + link.name);
            const fs::path target = elsewhere / op.file;
            WriteFileBytes(target, op.before);
            ::chmod(target.c_str(), 0640);
            const fs::path path = m_home / op.file;
            fs::remove(path);
            fs::create_symlink(link.relative ? fs::path("../etc-opal") / op.file : target, path);

            EXPECT_TRUE(op.save());
            EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path))) << "the link stays in place";
            EXPECT_TRUE(Contains(ReadFileBytes(target), op.marker)) << ReadFileBytes(target);
            EXPECT_EQ(ModeOf(target), 0640u);
            fs::remove(path);
        }
    }
    EXPECT_FALSE(Contains(Log(), "Failed to save"));
}

TEST_F(FileSavesTest, ADanglingLinkIsWrittenThrough) {
    const fs::path target = m_temp.Path() / "etc-opal" / "AgentStatus.xml";
    fs::create_directories(target.parent_path());
    fs::create_symlink(target, m_home / "AgentStatus.xml");
    ASSERT_EQ(CreateStatusData({1, 4, 0, 0, 0}), CONFIG_SUCCESS);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(m_home / "AgentStatus.xml")));
    EXPECT_TRUE(Contains(ReadFileBytes(target), "<AgentStatus>4</AgentStatus>"));
}

TEST_F(FileSavesTest, AFileWithoutWriteBitsStaysByteIdenticalForRootAndForUsers) {
    for (const bool unprivileged : {false, true}) {
        for (const Operation& op : Operations()) {
            SCOPED_TRACE(std::string(op.name) + (unprivileged ? " as nobody" : " as root"));
            Prepare(op);
            // The key's directories are nobody's to write into as well, so
            // that only the value's own mode stands in the way.
            if (op.file.empty())
                for (fs::path dir = PathOf(op).parent_path(); dir != m_temp.Path();
                     dir = dir.parent_path())
                    ::chmod(dir.c_str(), 0777);
            ::chmod(PathOf(op).c_str(), 0444);
            const std::size_t before = Log().size();
            const int failed = unprivileged ? RunUnprivileged([&] { return op.save() ? 1 : 0; })
                                            : (op.save() ? 1 : 0);
            if (op.name != std::string("SaveLanguageSetting")) {
                EXPECT_EQ(failed, 0) << "the save reports its failure";
            }
            EXPECT_EQ(ReadFileBytes(PathOf(op)), op.before);
            EXPECT_EQ(ModeOf(PathOf(op)), 0444u);
            EXPECT_TRUE(Contains(Log().substr(before), op.failureLine)) << Log().substr(before);
            EXPECT_FALSE(FileExists(PathOf(op).string() + ".unreadable"));
            ::chmod(PathOf(op).c_str(), 0644);
        }
    }
}

TEST_F(FileSavesTest, AWritableFileInADirectoryNobodyMayWriteIsSavedInPlace) {
    for (const Operation& op : Operations()) {
        // The registry's keys are the tool's own directories.
        if (op.file.empty())
            continue;
        SCOPED_TRACE(op.name);
        ::chmod(m_home.c_str(), 0777);
        Prepare(op);
        ::chmod(PathOf(op).c_str(), 0666);
        ::chmod(m_home.c_str(), 0755);
        const std::size_t before = Log().size();
        EXPECT_EQ(RunUnprivileged([&] { return op.save() ? 0 : 1; }), 0);
        const std::string saved = ReadFileBytes(PathOf(op));
        EXPECT_TRUE(Contains(saved, op.marker)) << saved;
        EXPECT_EQ(ModeOf(PathOf(op)), 0666u);
        EXPECT_TRUE(Contains(Log().substr(before), "Saved " + PathOf(op).string() +
                                                       " in place: its directory does not take "
                                                       "new files. ["))
            << Log().substr(before);
    }
}

TEST_F(FileSavesTest, ADocumentThatFailedToLoadIsKeptBesideItBeforeItIsReplaced) {
    struct Case {
        const char* name;
        const char* file;
        std::function<void()> replace;
        const char* marker;
    } cases[] = {
        {"LoadStatusData", "AgentStatus.xml",
         [] {
             AgentStatusRecord record{1, 4, 0, 0, 0};
             LoadStatusData(record);
         },
         "<AgentStatusData>"},
        {"SaveNetworkConfig", "AgentLocalConfig.xml",
         [] { SaveNetworkConfig(Network(u"fresh.example")); }, "fresh.example"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = m_home / c.file;
        const fs::path copy = path.string() + ".unreadable";
        for (const std::string bad : {"<AgentStatusData><Broken", "\x01\x02 second, worse"}) {
            WriteFileBytes(path, bad);
            ::chmod(path.c_str(), 0640);
            const std::size_t before = Log().size();
            c.replace();
            EXPECT_TRUE(Contains(ReadFileBytes(path), c.marker)) << "the fall-back still runs";
            EXPECT_EQ(ReadFileBytes(copy), bad) << "only the latest copy is kept";
            EXPECT_EQ(ModeOf(copy), 0640u);
            const std::string added = Log().substr(before);
            EXPECT_EQ(
                CountOf(added, "The unreadable document was kept as " + copy.string() + ". ["), 1u)
                << added;
        }
        fs::remove(copy);
        // A document that loads is no business of the copy.
        c.replace();
        EXPECT_FALSE(FileExists(copy));
    }
}

TEST_F(FileSavesTest, ADocumentTheUserCannotReadIsNeverReplaced) {
    for (const char* file : {"AgentStatus.xml", "AgentLocalConfig.xml"}) {
        SCOPED_TRACE(file);
        const fs::path path = m_home / file;
        WriteFileBytes(path, "root's own");
        ::chmod(path.c_str(), 0602); // others may write, but not read
        const int rc = RunUnprivileged([&] {
            AgentStatusRecord record{1, 4, 0, 0, 0};
            return std::string(file) == "AgentStatus.xml"
                       ? LoadStatusData(record)
                       : SaveNetworkConfig(Network(u"fresh.example"));
        });
        EXPECT_NE(rc, 0);
        EXPECT_EQ(ReadFileBytes(path), "root's own");
        EXPECT_FALSE(FileExists(path.string() + ".unreadable"));
    }
    EXPECT_TRUE(Contains(Log(), "Failed to keep the unreadable "));
}

namespace {

// Temporary files of saves of `file`, named or leftover, beside it.
std::size_t TempFilesOf(const fs::path& file) {
    const std::string prefix = "." + file.filename().string() + SAVE_TEMP_MARKER;
    std::size_t found = 0;
    for (const auto& entry : fs::directory_iterator(file.parent_path()))
        found += entry.path().filename().string().rfind(prefix, 0) == 0 ? 1 : 0;
    return found;
}

} // namespace

TEST_F(FileSavesTest, SavesKilledAtRandomMomentsLeaveEveryFileOldOrNewAndNoPileOfLeftovers) {
    m_log.reset(); // hundreds of children need no log
    const fs::path local = m_home / "AgentLocalConfig.xml";
    const fs::path status = m_home / "AgentStatus.xml";
    const fs::path value = AgentRegistryValueFile("AgentStatus");
    const auto saveRound = [](bool first) {
        SaveNetworkConfig(Network(first ? u"a.example" : u"b.example"));
        CreateStatusData({1, first ? 1 : 16, 0, 0, 0});
        SaveAgentStatusReg(first ? 1 : 16);
    };
    // The first save creates the document, later ones update it: the bytes
    // of both versions are those of updates.
    saveRound(true);
    saveRound(false);
    saveRound(true);
    std::set<std::string> localValid{ReadFileBytes(local)};
    std::set<std::string> statusValid{ReadFileBytes(status)};
    saveRound(false);
    localValid.insert(ReadFileBytes(local));
    statusValid.insert(ReadFileBytes(status));
    const std::set<std::string> valueValid{"1", "16"};
    ASSERT_EQ(localValid.size(), 2u);
    ASSERT_EQ(statusValid.size(), 2u);

    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> delayUs(0, 25000);
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary files" : "named temporary files");
        int killsWithLeftover = 0;
        constexpr int kKills = 150;
        for (int kill = 0; kill < kKills; ++kill) {
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                SetNoUnnamedTempFilesForTesting(!unnamed);
                for (bool first = true;; first = !first)
                    saveRound(first);
            }
            ::usleep(static_cast<useconds_t>(delayUs(random)));
            ::kill(child, SIGKILL);
            int exit = 0;
            ASSERT_EQ(::waitpid(child, &exit, 0), child);
            ASSERT_TRUE(WIFSIGNALED(exit));

            ASSERT_EQ(localValid.count(ReadFileBytes(local)), 1u) << "kill " << kill;
            ASSERT_EQ(statusValid.count(ReadFileBytes(status)), 1u) << "kill " << kill;
            ASSERT_EQ(valueValid.count(ReadFileBytes(value)), 1u) << "kill " << kill;
            // Per file at most the one its last interrupted save left: the
            // next save of it removes that before it makes its own.
            std::size_t leftovers = 0;
            for (const fs::path& file : {local, status, value}) {
                ASSERT_LE(TempFilesOf(file), 1u) << file << ", kill " << kill;
                leftovers += TempFilesOf(file);
            }
            killsWithLeftover += leftovers != 0 ? 1 : 0;
        }
        std::printf("%s: %d of %d kills left a temporary file for the next save to remove\n",
                    unnamed ? "unnamed" : "named", killsWithLeftover, kKills);
    }
    saveRound(true);
    for (const fs::path& file : {local, status, value})
        EXPECT_EQ(TempFilesOf(file), 0u) << file;
}
