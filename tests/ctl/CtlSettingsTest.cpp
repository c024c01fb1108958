// The command line's names over the dialog's page states: what each
// assignment does to the pages, which check refuses, and the arguments.

#include "ctl/CtlSettings.h"

#include "ctl/CtlCommon.h"
#include "res/Resource.h"
#include "tests/support/TestSupport.h"

namespace {

class CtlSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(m_texts.Load(&why)) << why;
        // The pages as a stored HTTPS server with an HTTP proxy load.
        NetworkConfigRecord record;
        record.ServerName = u"kestrel.example.com";
        record.ServerPort = 443;
        record.IsUseHTTPS = 1;
        record.CACertPath = u"ca.pem";
        record.Http = {1, u"proxy.example.com", 3128, u"", "", 0};
        m_stored = {LoadNetworkPage(record), LoadAdvancedPage(record, WorkingConfigRecord())};
    }

    SettingsCheck Apply(SettingsPages& pages, const SettingList& values) {
        // No name lookups: the same-host test is not what this is about.
        return ApplyAndValidate(pages, values, m_texts,
                                [](const std::string&) { return std::optional<std::string>(); });
    }

    CtlTexts m_texts;
    SettingsPages m_stored;
};

} // namespace

TEST_F(CtlSettingsTest, AssignmentsActAsTypingAndClickingInThePages) {
    const struct {
        const char* what;
        SettingList values;
        // The settings as the pages then show them.
        SettingList expected;
    } cases[] = {
        {"a user name turns authentication on",
         {{"user", u"bob"}},
         {{"auth", u"basic"}, {"user", u"bob"}}},
        {"unless auth is given too",
         {{"auth", u"none"}, {"user", u"bob"}},
         {{"auth", u"none"}, {"user", u""}}},
        {"a method turns it on", {{"auth", u"NTLM"}, {"user", u"u"}}, {{"auth", u"ntlm"}}},
        {"proxy off", {{"proxy-type", u"none"}}, {{"proxy-type", u"none"}, {"proxy", u""}, {"proxy-port", u""}}},
        {"a proxy address after proxy-type none keeps it off",
         {{"proxy", u"other"}, {"proxy-type", u"none"}},
         {{"proxy-type", u"none"}, {"proxy", u""}}},
        {"a proxy user turns the proxy's authentication on",
         {{"proxy-user", u"pu"}},
         {{"proxy-auth-method", u"basic"}, {"proxy-user", u"pu"}}},
        {"SOCKS 4 drops the proxy's authentication",
         {{"proxy-type", u"socks4"}},
         {{"proxy-type", u"socks4"}, {"proxy-auth-method", u"none"}}},
        {"a client certificate is then required",
         {{"client-cert", u"c.p12"}, {"client-cert-password", u"pw"}},
         {{"client-cert", u"c.p12"}, {"client-cert-password", u"pw"}}},
        {"blanks trimmed where the pages trim them",
         {{"server", u" h "}, {"port", u" 8443"}, {"retry", u" 90 "}},
         {{"server", u"h"}, {"port", u"8443"}, {"retry", u"90"}}},
        {"protocol", {{"protocol", u"HTTP"}}, {{"protocol", u"http"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SettingsPages pages = m_stored;
        const SettingsCheck check = Apply(pages, c.values);
        ASSERT_TRUE(check.Passed()) << check.UsageError << (check.Failure ? check.Failure->messageId : 0u) << " "
                                    << (check.Failure ? std::string(check.Failure->text.begin(),
                                                                    check.Failure->text.end())
                                                      : "");
        const SettingList shown = SettingsOf(pages.General, pages.Advanced);
        for (const SettingValue& expected : c.expected)
            EXPECT_EQ(FindSetting(shown, expected.Name), expected.Value) << expected.Name;
    }
}

TEST_F(CtlSettingsTest, ChangesAreNamedAgainstWhatIsStored) {
    SettingsPages pages = m_stored;
    ASSERT_TRUE(Apply(pages, {{"port", u"8443"}, {"proxy-password", u"x"}, {"proxy-user", u"u"}}).Passed());
    const SettingList before = SettingsOf(m_stored.General, m_stored.Advanced);
    EXPECT_EQ(ChangedSettings(before, SettingsOf(pages.General, pages.Advanced)),
              (std::vector<std::string>{"port", "proxy-user", "proxy-password", "proxy-auth-method"}));
    EXPECT_TRUE(ChangedSettings(before, before).empty());
    // A record saved from the pages shows the same settings again.
    const NetworkConfigRecord saved = BuildNetworkConfigRecord(pages.General, pages.Advanced, 3);
    EXPECT_EQ(SettingsOf(saved, WorkingConfigRecord()), SettingsOf(pages.General, pages.Advanced));
}

TEST_F(CtlSettingsTest, RefusalsNameTheSettingAndPage) {
    const struct {
        SettingList values;
        unsigned message;
        const char* setting;
        const char* page;
    } cases[] = {
        {{{"server", u""}}, IDS_EMPTY_ADDRESS, "server", "general"},
        {{{"proxy-port", u"x"}}, IDS_NON_DIGIT, "proxy-port", "general"},
        {{{"protocol", u"https"}, {"ca", u""}}, IDS_CA_PATH_BLANK, "ca", "https"},
        {{{"auth", u"basic"}, {"user", u" "}}, IDS_EMPTY_USER, "user", "general"},
        {{{"timeout", u"5000"}}, IDS_NUMBER_OUT_OF_RANGE, "timeout", "advanced"},
        {{{"server", std::u16string(257, u'a')}}, IDS_TEXT_TOO_LONG, "server", "general"},
    };
    for (const auto& c : cases) {
        SettingsPages pages = m_stored;
        const SettingsCheck check = Apply(pages, c.values);
        ASSERT_TRUE(check.Failure.has_value()) << c.setting;
        EXPECT_EQ(check.Failure->messageId, c.message) << c.setting;
        EXPECT_EQ(check.FailedSetting, c.setting);
        EXPECT_EQ(check.FailedPage, c.page);
    }
}

TEST_F(CtlSettingsTest, MeaninglessRequestsAreUsageErrors) {
    const struct {
        SettingList values;
        const char* says;
    } cases[] = {
        {{{"colour", u"x"}}, "unknown setting"},
        {{{"port", u"1"}, {"port", u"2"}}, "more than once"},
        {{{"protocol", u"ftp"}}, "protocol"},
        {{{"auth", u"kerberos"}}, "auth"},
        {{{"proxy-type", u"socks6"}}, "proxy-type"},
        {{{"proxy-auth-method", u"magic"}}, "proxy-auth-method"},
        {{{"proxy-type", u"socks4"}, {"proxy-auth-method", u"basic"}}, "SOCKS 4"},
        {{{"client-cert", u""}, {"client-cert-password", u"pw"}}, "client-cert-password"},
    };
    for (const auto& c : cases) {
        SettingsPages pages = m_stored;
        const SettingsCheck check = Apply(pages, c.values);
        EXPECT_NE(check.UsageError.find(c.says), std::string::npos) << check.UsageError;
    }
}

TEST(CtlArgumentsTest, AssignmentsAndPasswordOptions) {
    const struct {
        std::string argument;
        bool taken;
        const char* error; // a part of it; nullptr for none
    } cases[] = {
        {"server=h", true, nullptr},
        {"server=", true, nullptr},
        {"password=", true, nullptr},
        {"password=p", true, nullptr},
        {"colour=blue", true, "unknown setting"},
        {"=x", false, nullptr},
        {"--diagnose", false, nullptr},
        {"--password-stdin", true, nullptr},
        {"--password-stdin=proxy-password,client-cert-password", true, nullptr},
        {"--password-stdin=server", true, "is not a password"},
        {"--password-file=/f", true, nullptr},
        {"--password-file=proxy-password=/f", true, nullptr},
        {"--password-file=", true, "no file"},
        {"--password-file", true, "takes its file"},
    };
    AssignmentArguments all;
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(TakeAssignmentArgument(c.argument, all, error), c.taken) << c.argument;
        if (c.error)
            EXPECT_NE(error.find(c.error), std::string::npos) << c.argument << ": " << error;
        else
            EXPECT_EQ(error, "") << c.argument;
    }
    EXPECT_EQ(all.values, (SettingList{{"server", u"h"}, {"server", u""}, {"password", u""}}));
    EXPECT_EQ(all.refusedSecrets, std::vector<std::string>{"password"});
    EXPECT_EQ(all.stdinSecrets,
              (std::vector<std::string>{"password", "proxy-password", "client-cert-password"}));
    EXPECT_EQ(all.fileSecrets.size(), 3u);
    EXPECT_EQ(all.fileSecrets[0], (std::pair<std::string, std::string>{"password", "/f"}));
    EXPECT_EQ(all.fileSecrets[1], (std::pair<std::string, std::string>{"proxy-password", "/f"}));
    CtlContext context;
    EXPECT_EQ(ReadSecrets(context, all), RefusedSecretMessage("password"));
}
