// Who may do what with the agent's files, judged as a member and as a
// non-member of an administrators' group of the test's own, in a home laid
// out with the install's modes (everything root's; members read the local
// configuration and change it through the system helper) and in the older
// layout whose directories the group could write.

#include "config/AgentAccess.h"

#include <functional>
#include <sys/stat.h>

#include "config/AgentConfig.h"
#include "tests/config/ConfigTestSupport.h"

using namespace configtest;
using namespace testsupport;

namespace {

constexpr char LOCAL_CONFIG[] =
    "<AgentLocalConfig><NetworkConfig><ServerName>kestrel.example.com</ServerName>"
    "<ServerPort>8080</ServerPort></NetworkConfig></AgentLocalConfig>";

class AgentAccessTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        m_group = UnusedGroupId();
        Write("AgentLocalConfig.xml", LOCAL_CONFIG);
        Write("AgentStatus.xml", "<AgentStatusData><RegisterStatus>1</RegisterStatus>"
                                 "<NetConfigChanged>0</NetConfigChanged>"
                                 "<MonitorExitTag>0</MonitorExitTag></AgentStatusData>");
        SetAgentRegistryInt(u"AgentStatus", 32);
        SetAgentRegistryInt(u"ToolTag", 0);
    }
    void LayOut() {
        ApplyInstallModes(Home(), RegistryRootDir(), m_group);
        // The children log into the test's log as well.
        ::chmod((m_temp.Path() / "test.log").c_str(), 0666);
    }
    // Directories and shared files the group's (set-group-id directories,
    // 0660/0664 files): where a member still writes directly.
    void LayOutGroupWritable() {
        LayOut();
        ApplyGroupWritableModes(Home(), RegistryRootDir(), m_group);
    }
    int AsMember(const std::function<int()>& body) { return RunUnprivileged(body, {m_group}); }
    int AsNonMember(const std::function<int()>& body) { return RunUnprivileged(body); }
    FileOwnership Ownership(const char* name) const { return OwnershipOf(HomeFile(name)); }

    gid_t m_group = 0;
};

int Encode(const AgentSettingsAccess& access) {
    return (access.readable ? 1 : 0) | (access.changeable ? 2 : 0);
}

} // namespace

TEST_F(AgentAccessTest, SettingsMayBeChangedWhereTheFileAndItsDirectoryAllowIt) {
    SKIP_UNLESS_ROOT();
    LayOut();
    const struct {
        const char* what;
        std::function<void()> arrange;
        bool member;
        int expected; // 1 readable, 2 changeable
    } cases[] = {
        // The install's layout: members read, nobody but root writes.
        {"member", [] {}, true, 1},
        {"non-member", [] {}, false, 0},
        {"non-member, a configuration all may read",
         [&] { ::chmod(HomeFile("AgentLocalConfig.xml").c_str(), 0644); }, false, 1},
        {"member, file writable but the directory not",
         [&] { ::chmod(HomeFile("AgentLocalConfig.xml").c_str(), 0660); }, true, 1},
        {"member, the group-writable layout", [&] { LayOutGroupWritable(); }, true, 3},
        {"non-member, the group-writable layout", [&] { LayOutGroupWritable(); }, false, 0},
        {"member, no configuration yet", [&] { fs::remove(HomeFile("AgentLocalConfig.xml")); },
         true, 1},
        {"member, no configuration yet, the group-writable layout",
         [&] {
             fs::remove(HomeFile("AgentLocalConfig.xml"));
             LayOutGroupWritable();
         },
         true, 3},
        {"non-member, no configuration yet", [&] { fs::remove(HomeFile("AgentLocalConfig.xml")); },
         false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Write("AgentLocalConfig.xml", LOCAL_CONFIG);
        LayOut();
        c.arrange();
        const auto body = [] { return Encode(CheckAgentSettingsAccess()); };
        EXPECT_EQ(c.member ? AsMember(body) : AsNonMember(body), c.expected);
        EXPECT_EQ(c.member ? AsMember([] { return MayChangeAgentSettings() ? 1 : 0; })
                           : AsNonMember([] { return MayChangeAgentSettings() ? 1 : 0; }),
                  (c.expected & 2) ? 1 : 0);
    }
    // Root may do anything.
    LayOut();
    EXPECT_EQ(Encode(CheckAgentSettingsAccess()), 3);
}

TEST_F(AgentAccessTest, OnlyRootOrAGroupWritableLayoutLetsTheAgentsValuesBeWritten) {
    SKIP_UNLESS_ROOT();
    LayOut();
    for (const char16_t* name : {u"ToolTag", u"AgentStatus"}) {
        EXPECT_EQ(AsMember([name] { return MayWriteAgentValue(name) ? 1 : 0; }), 0);
        EXPECT_EQ(AsNonMember([name] { return MayWriteAgentValue(name) ? 1 : 0; }), 0);
        EXPECT_TRUE(MayWriteAgentValue(name));
    }
    LayOutGroupWritable();
    for (const char16_t* name : {u"ToolTag", u"AgentStatus"}) {
        EXPECT_EQ(AsMember([name] { return MayWriteAgentValue(name) ? 1 : 0; }), 1);
        EXPECT_EQ(AsNonMember([name] { return MayWriteAgentValue(name) ? 1 : 0; }), 0);
    }
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 0) << "asking writes nothing";
}

// The status a user outside the group reads is the agent's, not the
// defaults a key that could not be opened for writing left in the record.
TEST_F(AgentAccessTest, ANonMemberReadsTheTrueStatusAndChangesNothing) {
    SKIP_UNLESS_ROOT();
    // A value the agent has not written yet: only a member would create it.
    fs::remove(AgentRegistryValueFile("ToolTag"));
    LayOut();
    const std::string document = Read("AgentStatus.xml");
    const int status = AsNonMember([] {
        AgentStatusRecord record{0, 4, 0, 0, 0};
        if (LoadStatusData(record) != 0 || ReadStatusReg(record) != 0)
            return 255;
        return record.RegisterStatus == 1 ? record.AgentStatus : 254;
    });
    EXPECT_EQ(status, 32);
    EXPECT_EQ(Read("AgentStatus.xml"), document);
    EXPECT_FALSE(FileExists(AgentRegistryValueFile("ToolTag")));
    EXPECT_EQ(CountOf(Log(), "Failed to open register entry"), 0) << Log();
    EXPECT_EQ(CountOf(Log(), "Failed to write register item"), 0) << Log();

    // A member reads the same and creates nothing either: the key is root's.
    EXPECT_EQ(AsMember([] {
                  AgentStatusRecord record{0, 4, 0, 0, 0};
                  return ReadStatusReg(record) == 0 && record.AgentStatus == 32 ? 0 : 1;
              }),
              0);
    EXPECT_FALSE(FileExists(AgentRegistryValueFile("ToolTag")));
    // In the group-writable layout a member's read creates it, in the group.
    LayOutGroupWritable();
    EXPECT_EQ(AsMember([] {
                  AgentStatusRecord record{0, 4, 0, 0, 0};
                  return LoadStatusReg(record) == 0 && record.AgentStatus == 32 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(OwnershipOf(AgentRegistryValueFile("ToolTag")),
              (FileOwnership{NOBODY_UID, m_group, 0664}));
}

TEST_F(AgentAccessTest, InTheInstallsLayoutNoMemberWritesTheFiles) {
    SKIP_UNLESS_ROOT();
    LayOut();
    const std::string local = Read("AgentLocalConfig.xml");
    const std::string status = Read("AgentStatus.xml");
    const struct {
        const char* what;
        std::function<int()> save;
    } cases[] = {
        {"network configuration", [] { return SaveNetworkConfig(NetworkConfigRecord()); }},
        {"status document", [] { return SaveNetConfigChange(1); }},
        {"agent's value", [] { return SaveToolExitTagReg(2); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(AsMember([&] { return c.save() == ERR_CONFIG_SAVE ? 0 : 1; }), 0);
    }
    EXPECT_EQ(Read("AgentLocalConfig.xml"), local);
    EXPECT_EQ(Read("AgentStatus.xml"), status);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 0);
    EXPECT_EQ(Ownership("AgentLocalConfig.xml"), (FileOwnership{0, m_group, 0640}));
}

TEST_F(AgentAccessTest, AMembersSavesKeepTheGroupAndTheModesOfAGroupWritableLayout) {
    SKIP_UNLESS_ROOT();
    LayOutGroupWritable();
    const struct {
        const char* what;
        const char* file;
        std::function<int()> save;
        unsigned mode;
    } cases[] = {
        {"network configuration", "AgentLocalConfig.xml",
         [] {
             NetworkConfigRecord record;
             record.ServerName = u"kestrel2.example.com";
             record.HTTPAuthPassword = "s3cret";
             return SaveNetworkConfig(record);
         },
         0660},
        {"status document", "AgentStatus.xml", [] { return SaveNetConfigChange(1); }, 0664},
        {"agent's value", nullptr, [] { return SaveToolExitTagReg(2); }, 0664},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // An exit status carries eight bits only.
        EXPECT_EQ(AsNonMember([&] { return c.save() == ERR_CONFIG_SAVE ? 0 : 1; }), 0);
        EXPECT_EQ(AsMember(c.save), 0);
        const fs::path file =
            c.file ? fs::path(HomeFile(c.file)) : AgentRegistryValueFile("ToolTag");
        EXPECT_EQ(OwnershipOf(file), (FileOwnership{NOBODY_UID, m_group, c.mode}));
    }
    EXPECT_NE(Read("AgentLocalConfig.xml").find("kestrel2.example.com"), std::string::npos);
    EXPECT_NE(Read("AgentStatus.xml").find("<NetConfigChanged>1</NetConfigChanged>"),
              std::string::npos);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 2);

    // Made anew by a member: the group may write it, nobody else may read it.
    fs::remove(HomeFile("AgentLocalConfig.xml"));
    EXPECT_EQ(AsMember([] { return CreateNetworkConfig(NetworkConfigRecord()); }), 0);
    EXPECT_EQ(Ownership("AgentLocalConfig.xml"), (FileOwnership{NOBODY_UID, m_group, 0660}));
}

// Outside the install's shared layout a new configuration is its owner's
// alone: the creator's group may be one that every user shares.
TEST_F(AgentAccessTest, ANewConfigurationOutsideTheSharedLayoutIsPrivate) {
    fs::remove(HomeFile("AgentLocalConfig.xml"));
    ASSERT_EQ(CreateNetworkConfig(NetworkConfigRecord()), 0);
    EXPECT_EQ(FileMode(HomeFile("AgentLocalConfig.xml")), 0600u);
    fs::remove(HomeFile("AgentStatus.xml"));
    ASSERT_EQ(CreateStatusData({0, 4, 0, 0, 0}), 0);
    EXPECT_EQ(FileMode(HomeFile("AgentStatus.xml")), 0644u);
}
