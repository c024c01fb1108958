#include "shell/LanguageSetting.h"

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

class LanguageSettingTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log = std::make_unique<LogCapture>(m_home / "tool.log");
    }
    void TearDown() override {
        m_log.reset();
        AgentHomeTest::TearDown();
    }
    std::unique_ptr<LogCapture> m_log;
};

LanguageCandidate Library(std::u16string number, std::u16string version, std::u16string name) {
    return {number, version, name, true, true, true};
}

} // namespace

TEST_F(LanguageSettingTest, ReadsTheSavedNumberOrFallsBackToEnglish) {
    struct Case {
        const char* file; // null: no file at all
        int32_t number;
        const char* logged;
    } cases[] = {
        {"<SettingToolSysConfig><Language>3</Language></SettingToolSysConfig>", 3, nullptr},
        {"<SettingToolSysConfig>\n<Language> 7x</Language>\n</SettingToolSysConfig>", 7, nullptr},
        {"<SettingToolSysConfig/>", 0, "Failed to find <Language> element. [LanguageSetting.cpp|"},
        {"<Other><Language>5</Language></Other>", 5, nullptr},
        {"<SettingToolSysConfig><Language>3</Lang", 0, "Unknow Exception! Last Error Code="},
        {nullptr, 0, "Unknow Exception! Last Error Code="},
    };
    for (const auto& c : cases) {
        fs::remove(HomeFile("SettingToolSysConfig.xml"));
        if (c.file)
            WriteFileBytes(HomeFile("SettingToolSysConfig.xml"), c.file);
        EXPECT_EQ(ReadLanguageSetting(), c.number) << (c.file ? c.file : "(none)");
        if (c.logged) {
            EXPECT_NE(m_log->Text().find(c.logged), std::string::npos) << m_log->Text();
        }
    }
}

TEST_F(LanguageSettingTest, SaveReplacesTheElementKeepingTheRestAndNeverCreatesTheFile) {
    SaveLanguageSetting(3);
    EXPECT_FALSE(FileExists(HomeFile("SettingToolSysConfig.xml")));

    WriteFileBytes(HomeFile("SettingToolSysConfig.xml"),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SettingToolSysConfig>\n"
                   "<!-- chosen by the administrator -->\n<Language>0</Language>\n"
                   "<Other>kept</Other>\n</SettingToolSysConfig>");
    SaveLanguageSetting(3);
    EXPECT_EQ(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\r\n<SettingToolSysConfig>\r\n"
              "<!-- chosen by the administrator -->\r\n<Language>3</Language>\r\n"
              "<Other>kept</Other>\r\n</SettingToolSysConfig>");
    EXPECT_EQ(ReadLanguageSetting(), 3);

    // Missing element: appended at the end of the root, followed by a CR.
    WriteFileBytes(HomeFile("SettingToolSysConfig.xml"), "<SettingToolSysConfig></SettingToolSysConfig>");
    SaveLanguageSetting(0);
    EXPECT_EQ(ReadFileBytes(HomeFile("SettingToolSysConfig.xml")),
              "<SettingToolSysConfig><Language>0</Language>\r</SettingToolSysConfig>");
}

TEST(LanguageSelectionTest, VersionMatchingComparesUpToTheFirstBlankOrEnd) {
    struct Case {
        std::u16string version;
        bool matches;
    } cases[] = {
        {u"2.5.0", true},  {u"2.5.0.1234", true}, {u"2.5", true},    {u"  2.5.0 beta", true},
        {u"2.6.0", false}, {u"2.4.9", false},     {u"", true},       {u"3", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchesAcceptedVersion(c.version, "2.5.0"), c.matches)
            << std::string(c.version.begin(), c.version.end());
}

TEST(LanguageSelectionTest, FirstOfADuplicateNumberWinsAndTheMenuIsSortedAfterTheParenthesis) {
    std::vector<LanguageCandidate> libraries = {
        Library(u"3", u"2.5.0.1234", u"\u65e5\u672c\u8a9e (Japanese)"),
        Library(u"3", u"2.5.0", u"Second Japanese (Japanese)"),
        Library(u"7", u"2.6.0", u"Too new (Newer)"),
        Library(u"5", u"2.5.0", u"Deutsch (Deutsch)"),
        {u"9", u"2.5.0", u"", true, true, false}, // no display name
        {u"", u"2.5.0", u"No number (None)", false, true, true},
        Library(u"4", u"2.5", u"Fran\u00e7ais (French)"),
    };
    const auto chosen = SelectLanguages(libraries, {"2.5.0"});
    ASSERT_EQ(chosen.size(), 3u);
    EXPECT_EQ(chosen[0].number, 5);
    EXPECT_EQ(chosen[0].candidate, 3u);
    EXPECT_EQ(chosen[1].number, 4);
    EXPECT_EQ(chosen[2].number, 3);
    EXPECT_EQ(chosen[2].name, u"\u65e5\u672c\u8a9e (Japanese)");
    EXPECT_EQ(chosen[2].candidate, 0u);
}

TEST(LanguageSelectionTest, NamesWithoutParenthesisKeepTheirPlaceAndLongNamesAreCut) {
    std::vector<LanguageCandidate> libraries = {
        Library(u"1", u"2.5.0", u"Zulu (Z)"),
        Library(u"2", u"2.5.0", u"Plain"),
        Library(u"3", u"2.5.0", u"Alpha (A)"),
        Library(u"4", u"2.5.0", u"x (" + std::u16string(300, u'n') + u")"),
    };
    const auto chosen = SelectLanguages(libraries, {"2.5.0"});
    ASSERT_EQ(chosen.size(), 4u);
    // "Plain" ties with both neighbours, so nothing moves past it.
    EXPECT_EQ(chosen[0].number, 1);
    EXPECT_EQ(chosen[1].number, 2);
    EXPECT_EQ(chosen[2].number, 3);
    EXPECT_EQ(chosen[3].name.size(), 254u);
}
