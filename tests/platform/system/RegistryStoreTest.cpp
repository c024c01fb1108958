#include "platform/system/RegistryStore.h"

#include <cstdlib>

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
