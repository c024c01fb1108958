#include "platform/system/RegistryStore.h"

#include <cstdlib>
#include <functional>
#include <sys/stat.h>

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

class RegistryStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv(REGISTRY_ROOT_ENV, m_root.Path().c_str(), 1); }
    void TearDown() override { ::unsetenv(REGISTRY_ROOT_ENV); }
    TempDir m_root;
};

} // namespace

TEST_F(RegistryStoreTest, KeyIsADirectoryAndValueAFileOfUtf8) {
    RegistryKeyHandle key;
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Norvale\\OPAL4HBS\\Agent", key),
              ERROR_SUCCESS);
    const fs::path dir = m_root.Path() / "HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/OPAL4HBS/Agent";
    EXPECT_TRUE(fs::is_directory(dir));

    ASSERT_EQ(RegSetString(key, u"AgentStatus", u"-5"), ERROR_SUCCESS);
    EXPECT_EQ(ReadFileBytes(dir / "AgentStatus"), "-5") << "no terminator is stored";
    ASSERT_EQ(RegSetString(key, u"Name", u"\u65e5\u672c"), ERROR_SUCCESS);
    EXPECT_EQ(ReadFileBytes(dir / "Name"), "\xE6\x97\xA5\xE6\x9C\xAC");

    std::u16string value;
    ASSERT_EQ(RegQueryString(key, u"Name", value, 256), ERROR_SUCCESS);
    EXPECT_EQ(value, u"\u65e5\u672c");
}

TEST_F(RegistryStoreTest, ReadErrorsUseWin32Numbers) {
    RegistryKeyHandle key;
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test", key), ERROR_SUCCESS);
    std::u16string value = u"untouched";
    EXPECT_EQ(RegQueryString(key, u"Missing", value, 256), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, u"untouched");

    // 128 UTF-16 units fill a 256-byte buffer exactly; one more does not fit.
    ASSERT_EQ(RegSetString(key, u"Exact", std::u16string(128, u'7')), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryString(key, u"Exact", value, 256), ERROR_SUCCESS);
    ASSERT_EQ(RegSetString(key, u"Long", std::u16string(129, u'7')), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryString(key, u"Long", value, 256), ERROR_MORE_DATA);

    WriteFileBytes(key.directory + "/Garbled", "\xFF\xFE");
    EXPECT_EQ(RegQueryString(key, u"Garbled", value, 256), ERROR_INVALID_DATA);
}

TEST_F(RegistryStoreTest, NamesCannotEscapeTheStore) {
    RegistryKeyHandle key;
    EXPECT_NE(RegCreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\..\\..\\etc", key), ERROR_SUCCESS);
    EXPECT_NE(RegCreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\a/b", key), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\\Doubled\\", key), ERROR_SUCCESS);
    EXPECT_TRUE(fs::is_directory(m_root.Path() / "HKEY_LOCAL_MACHINE/SOFTWARE/Doubled"));
    EXPECT_NE(RegSetString(key, u"../../escape", u"1"), ERROR_SUCCESS);
    EXPECT_NE(RegSetString(key, u"..", u"1"), ERROR_SUCCESS);
    EXPECT_FALSE(FileExists(m_root.Path() / "HKEY_LOCAL_MACHINE/escape"));
}

TEST_F(RegistryStoreTest, KeyWithoutRightsIsAccessDenied) {
    RegistryKeyHandle key;
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Agent", key), ERROR_SUCCESS);
    fs::permissions(m_root.Path(), fs::perms::owner_all | fs::perms::group_exec |
                                       fs::perms::group_read | fs::perms::others_exec |
                                       fs::perms::others_read,
                    fs::perm_options::replace);
    // Administrators only: as nobody, neither opening nor creating works.
    const int rc = RunUnprivileged([] {
        RegistryKeyHandle k;
        const long existing = RegCreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Agent", k);
        const long created = RegCreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Other", k);
        return existing == ERROR_ACCESS_DENIED && created == ERROR_ACCESS_DENIED ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
}

// The group-writable layout: every key directory root:G 2775, values root:G
// 0664, with G a group of the test's own. Reading needs only read rights;
// a member writes, and what it writes stays in the group.
TEST_F(RegistryStoreTest, ReadingNeedsNoWriteRightsAndAMembersWritesStayInTheGroup) {
    SKIP_UNLESS_ROOT();
    const gid_t group = UnusedGroupId();
    const std::u16string agentKey = u"SOFTWARE\\Norvale\\OPAL4HBS\\Agent";
    const fs::path dir = m_root.Path() / "HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/OPAL4HBS/Agent";
    {
        RegistryKeyHandle key;
        ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, agentKey, key), ERROR_SUCCESS);
        ASSERT_EQ(RegSetString(key, u"AgentStatus", u"32"), ERROR_SUCCESS);
    }
    ApplyGroupWritableModes({}, m_root.Path(), group);

    const auto open = [&](unsigned long access, std::u16string_view subKey = {}) {
        RegistryKeyHandle key;
        return RegOpenKey(HKEY_LOCAL_MACHINE, subKey.empty() ? agentKey : subKey, access, key);
    };
    const auto read = [&]() -> long {
        RegistryKeyHandle key;
        std::u16string value;
        long rc = RegOpenKey(HKEY_LOCAL_MACHINE, agentKey, KEY_READ, key);
        if (rc == ERROR_SUCCESS)
            rc = RegQueryString(key, u"AgentStatus", value, 256);
        return rc == ERROR_SUCCESS && value != u"32" ? ERROR_INVALID_DATA : rc;
    };
    const auto set = [&](unsigned long access, const char16_t* name) {
        RegistryKeyHandle key;
        long rc = RegOpenKey(HKEY_LOCAL_MACHINE, agentKey, access, key);
        return rc == ERROR_SUCCESS ? RegSetString(key, name, u"16") : rc;
    };
    const auto check = [&](const char16_t* name) {
        RegistryKeyHandle key;
        long rc = RegOpenKey(HKEY_LOCAL_MACHINE, agentKey, KEY_READ, key);
        return rc == ERROR_SUCCESS ? RegCheckSetValue(key, name) : rc;
    };
    const struct {
        const char* what;
        bool member;
        std::function<long()> operation;
        long result;
    } cases[] = {
        {"non-member reads", false, read, ERROR_SUCCESS},
        {"non-member opens to set", false, [&] { return open(KEY_READ | KEY_SET_VALUE); },
         ERROR_ACCESS_DENIED},
        {"non-member opens a missing key", false, [&] { return open(KEY_READ, u"SOFTWARE\\Gone"); },
         ERROR_FILE_NOT_FOUND},
        {"non-member creates a key", false,
         [&] {
             RegistryKeyHandle key;
             return RegCreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Made", key);
         },
         ERROR_ACCESS_DENIED},
        {"non-member may not set", false, [&] { return check(u"AgentStatus"); }, ERROR_ACCESS_DENIED},
        {"read handle sets nothing", true, [&] { return set(KEY_READ, u"AgentStatus"); },
         ERROR_ACCESS_DENIED},
        {"write handle reads nothing", true,
         [&] {
             RegistryKeyHandle key;
             std::u16string value;
             const long rc = RegOpenKey(HKEY_LOCAL_MACHINE, agentKey, KEY_SET_VALUE, key);
             return rc == ERROR_SUCCESS ? RegQueryString(key, u"AgentStatus", value, 256) : rc;
         },
         ERROR_ACCESS_DENIED},
        {"member may set", true, [&] { return check(u"AgentStatus"); }, ERROR_SUCCESS},
        {"member replaces a value", true, [&] { return set(KEY_WRITE, u"AgentStatus"); },
         ERROR_SUCCESS},
        {"member adds a value", true, [&] { return set(KEY_ALL_ACCESS, u"ToolTag"); }, ERROR_SUCCESS},
        {"member adds a key", true,
         [&] {
             RegistryKeyHandle key;
             const long rc = RegCreateKey(HKEY_LOCAL_MACHINE, agentKey + u"\\Sub\\Deeper", key);
             return rc == ERROR_SUCCESS ? RegSetString(key, u"V", u"1") : rc;
         },
         ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int rc = RunUnprivileged(
            [&] {
                ::umask(077);
                return static_cast<int>(c.operation());
            },
            c.member ? std::vector<gid_t>{group} : std::vector<gid_t>{});
        EXPECT_EQ(rc, static_cast<int>(c.result));
    }
    EXPECT_FALSE(FileExists(m_root.Path() / "HKEY_LOCAL_MACHINE/SOFTWARE/Gone"));
    EXPECT_FALSE(FileExists(m_root.Path() / "HKEY_LOCAL_MACHINE/SOFTWARE/Made"));
    EXPECT_EQ(ReadFileBytes(dir / "AgentStatus"), "16");
    EXPECT_EQ(OwnershipOf(dir / "AgentStatus"), (FileOwnership{NOBODY_UID, group, 0664}));
    EXPECT_EQ(OwnershipOf(dir / "ToolTag"), (FileOwnership{NOBODY_UID, group, 0664}));
    EXPECT_EQ(OwnershipOf(dir / "Sub"), (FileOwnership{NOBODY_UID, group, 02775}));
    EXPECT_EQ(OwnershipOf(dir / "Sub/Deeper"), (FileOwnership{NOBODY_UID, group, 02775}));
    EXPECT_EQ(OwnershipOf(dir / "Sub/Deeper/V"), (FileOwnership{NOBODY_UID, group, 0664}));
}
