// What the helper accepts of a SaveSettings call before the dialog's rules
// see it.

#include "helper/HelperRequest.h"
#include "helper/HelperProtocol.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(HelperRequestTest, DecodesOnlyKnownNamesOnceWithSaneValues) {
    const std::string longest(HELPER_MAX_VALUE_BYTES, 'a');
    HelperSettings tooMany;
    for (unsigned i = 0; i <= HELPER_MAX_SETTINGS; ++i)
        tooMany.emplace_back("server", "a");
    const struct {
        const char* what;
        HelperSettings pairs;
        const char* error; // empty: accepted
    } cases[] = {
        {"nothing", {}, ""},
        {"every name", {{"server", "k"}, {"port", "1"}, {"client-cert-password", ""}}, ""},
        {"UTF-8", {{"user", "J\xc3\xbcrgen \xe6\x97\xa5"}}, ""},
        {"longest value", {{"server", longest}}, ""},
        {"one byte more", {{"server", longest + "a"}}, "too long"},
        {"unknown name", {{"Server", "k"}}, "unknown setting name"},
        {"empty name", {{"", "k"}}, "unknown setting name"},
        {"twice", {{"port", "1"}, {"port", "1"}}, "given twice"},
        {"line feed", {{"server", "a\nb"}}, "control character"},
        {"carriage return", {{"user", "a\r"}}, "control character"},
        {"NUL", {{"user", std::string("a\0b", 3)}}, "control character"},
        {"bad UTF-8", {{"user", "\xc3"}}, "not UTF-8"},
        {"overlong UTF-8", {{"user", "\xc0\xaf"}}, "not UTF-8"},
        {"too many", tooMany, "too many settings"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SettingList out;
        std::string error;
        const bool ok = DecodeHelperSettings(c.pairs, out, error);
        EXPECT_EQ(ok, *c.error == '\0') << error;
        if (ok) {
            EXPECT_EQ(out.size(), c.pairs.size());
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            EXPECT_TRUE(out.size() < c.pairs.size());
        }
    }
    SettingList out;
    std::string error;
    ASSERT_TRUE(DecodeHelperSettings({{"user", "J\xc3\xbcrgen"}}, out, error));
    EXPECT_EQ(out[0].Value, u"J\u00fcrgen");
}

} // namespace
