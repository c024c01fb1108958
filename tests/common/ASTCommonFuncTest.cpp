#include "common/ASTCommonFunc.h"

#include <climits>
#include <thread>

#include "tests/support/TestSupport.h"

using namespace testsupport;

TEST(ASTCommonFuncTest, ParseNonNegativeIntAcceptsOnlyPlainDigitsUpToIntMax) {
    struct Case {
        const char* text;
        int32_t value;
        bool error;
    } cases[] = {
        {"0", 0, false},
        {"0000000001", 1, false},
        {"2147483647", INT32_MAX, false},
        {"2147483648", INT32_MAX, true},
        {"9999999999", INT32_MAX, true},
        {"99999999999", 0, true},
        {"-1", 0, true},
        {"+1", 0, true},
        {"12a", 0, true},
        {" 12", 0, true},
        {"1.5", 0, true},
        {"", 0, true},
        {nullptr, 0, true},
    };
    for (const auto& c : cases) {
        bool error = !c.error;
        EXPECT_EQ(ParseNonNegativeInt(c.text, error), c.value) << (c.text ? c.text : "(null)");
        EXPECT_EQ(error, c.error) << (c.text ? c.text : "(null)");
    }
}

TEST(ASTCommonFuncTest, EnsureTrailingBackslashAtThePathLimit) {
    struct Case {
        std::string in;
        bool ok;
        std::string out;
    } cases[] = {
        {"/opt/agent", true, "/opt/agent/"},
        {"/opt/agent/", true, "/opt/agent/"},
        {"C:\\agent\\", true, "C:\\agent\\"},
        {"", true, "/"},
        {std::string(258, 'a'), true, std::string(258, 'a') + "/"},
        {std::string(257, 'a') + "/", true, std::string(257, 'a') + "/"},
        {std::string(259, 'a'), false, std::string(259, 'a')},
        // A multi-byte character whose last byte is not a separator.
        {"/opt/\xE6\x97\xA5", true, "/opt/\xE6\x97\xA5/"},
    };
    TempDir dir;
    LogCapture log(dir.Path() / "test.log");
    for (auto c : cases) {
        std::string path = c.in;
        EXPECT_EQ(EnsureTrailingBackslash(path), c.ok) << c.in.size();
        EXPECT_EQ(path, c.out);
    }
    const std::string text = log.Text();
    EXPECT_NE(text.find(",[Warning], !!! The path <" + std::string(259, 'a') +
                        "> length is too long, [ASTCommonFunc.cpp|"),
              std::string::npos)
        << text;
}

TEST(ASTCommonFuncTest, ConversionsRoundTripAndRefuseBadText) {
    const std::u16string wide = u"Agent \u65e5\u672c\u8a9e \U0001F600";
    const std::string narrow = ToNarrowString(wide, CP_ACP);
    EXPECT_EQ(narrow, "Agent \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80");
    EXPECT_EQ(ToWideString(narrow, CP_ACP), wide);

    EXPECT_EQ(ToWideString("bad \xFF", CP_ACP), u"");
    EXPECT_EQ(ToNarrowString(std::u16string(1, char16_t(0xDC00)), CP_ACP), "");
    EXPECT_EQ(MultiByteToWide(nullptr, CP_ACP), nullptr);
    EXPECT_EQ(MultiByteToWide("\xC0\xAF", CP_ACP), nullptr);
    EXPECT_EQ(WideToMultiByte(nullptr, CP_ACP), nullptr);

    auto w = MultiByteToWide("caf\xC3\xA9", CP_ACP);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(std::u16string(w.get()), u"caf\u00e9");
    auto n = WideToMultiByte(u"caf\u00e9", CP_ACP);
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n.get(), "caf\xC3\xA9");
}

TEST(ASTCommonFuncTest, CallerSizedConversionsAskAndRefuseShortBuffers) {
    // -1: up to and including the terminator.
    EXPECT_EQ(AnsiToWide("abc", -1, nullptr, 0), 4);
    EXPECT_EQ(AnsiToWide("abc", 3, nullptr, 0), 3);
    char16_t wide[4] = {};
    EXPECT_EQ(AnsiToWide("abc", -1, wide, 3), 0);
    EXPECT_EQ(AnsiToWide("abc", -1, wide, 4), 4);
    EXPECT_EQ(std::u16string(wide), u"abc");

    EXPECT_EQ(WideToAnsi(u"\u00e9", -1, nullptr, 0), 3);
    char narrow[3] = {};
    EXPECT_EQ(WideToAnsi(u"\u00e9", -1, narrow, 3), 3);
    EXPECT_STREQ(narrow, "\xC3\xA9");
}

TEST(ASTCommonFuncTest, WideToLongFollowsWtolRules) {
    struct Case {
        std::u16string text;
        long value;
    } cases[] = {
        {u"123abc", 123}, {u"abc", 0},         {u"", 0},          {u"  \t-5", -5},
        {u"+7", 7},       {u"- 7", 0},         {u"0012", 12},     {u"99999999999", INT32_MAX},
        {u"-99999999999", INT32_MIN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WideToLong(c.text), c.value);
}

class RegistryKeyTest : public AgentHomeTest {};

TEST_F(RegistryKeyTest, IntegersRoundTripAsDecimalText) {
    RegistryKey key;
    int32_t value = 42;
    EXPECT_EQ(key.ReadInt(u"AgentStatus", value), ERROR_INVALID_HANDLE);
    EXPECT_EQ(key.WriteInt(u"AgentStatus", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(value, 42);

    ASSERT_EQ(key.Create(u"SOFTWARE\\Norvale\\OPAL4HBS\\Agent"), ERROR_SUCCESS);
    for (int32_t v : {0, -5, 16, INT32_MAX, INT32_MIN}) {
        ASSERT_EQ(key.WriteInt(u"ToolTag", v), ERROR_SUCCESS);
        int32_t read = 7;
        ASSERT_EQ(key.ReadInt(u"ToolTag", read), ERROR_SUCCESS);
        EXPECT_EQ(read, v);
    }
    ASSERT_EQ(key.WriteInt(u"AgentStatus", -5), ERROR_SUCCESS);
    EXPECT_EQ(ReadFileBytes(AgentRegistryValueFile("AgentStatus")), "-5");

    EXPECT_EQ(key.ReadInt(u"Missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 42);

    // Values written by others are read with _wtol rules.
    WriteFileBytes(AgentRegistryValueFile("ToolTag"), "123abc");
    ASSERT_EQ(key.ReadInt(u"ToolTag", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 123);
    WriteFileBytes(AgentRegistryValueFile("ToolTag"), "none");
    ASSERT_EQ(key.ReadInt(u"ToolTag", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 0);

    key.Close();
    EXPECT_EQ(key.ReadInt(u"ToolTag", value), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryKeyTest, ModuleDirectorySeamAndRealProgramPath) {
    std::string dir;
    ASSERT_TRUE(GetModuleDirectory(dir));
    EXPECT_EQ(dir, Home().string() + "/");
    std::u16string wide;
    ASSERT_TRUE(GetModuleDirectoryW(wide));
    EXPECT_EQ(ToNarrowString(wide, CP_ACP), dir);

    SetModuleDirectoryForTesting(std::nullopt);
    ASSERT_TRUE(GetModuleDirectory(dir));
    EXPECT_EQ(dir, fs::canonical("/proc/self/exe").parent_path().string() + "/");
}

TEST(ASTCommonFuncTest, ConfigLockIsRecursiveAndExclusive) {
    ConfigLockGuard outer;
    {
        ConfigLockGuard inner; // must not deadlock on the same thread
    }
    bool otherGotIt = true;
    std::thread other([&] { otherGotIt = g_configLock.try_lock(); if (otherGotIt) g_configLock.unlock(); });
    other.join();
    EXPECT_FALSE(otherGotIt);
}
