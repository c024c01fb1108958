#include "platform/system/Utf.h"

#include <gtest/gtest.h>

TEST(UtfTest, RoundTripsEveryPlane) {
    const std::u16string samples[] = {u"", u"plain", u"caf\u00e9", u"\u65e5\u672c\u8a9e",
                                      u"\U0001F600 mixed \u00df", std::u16string(1, u'\0')};
    for (const auto& text : samples) {
        std::string utf8;
        ASSERT_TRUE(Utf16ToUtf8(text, utf8));
        std::u16string back;
        ASSERT_TRUE(Utf8ToUtf16(utf8, back));
        EXPECT_EQ(back, text);
    }
    std::string utf8;
    ASSERT_TRUE(Utf16ToUtf8(u"\U0001F600", utf8));
    EXPECT_EQ(utf8, "\xF0\x9F\x98\x80");
}

TEST(UtfTest, RefusesMalformedText) {
    const char* badUtf8[] = {
        "\xC0\xAF",         // overlong '/'
        "\xE0\x80\xAF",     // overlong, three bytes
        "\xED\xA0\x80",     // encoded surrogate
        "\xF4\x90\x80\x80", // past U+10FFFF
        "\xC3",             // truncated
        "\x80",             // lone continuation byte
        "\xFF",             // never valid
        "ok\xE6\x97",       // truncated at the end of otherwise good text
    };
    for (const char* bytes : badUtf8) {
        std::u16string out = u"untouched";
        EXPECT_FALSE(Utf8ToUtf16(bytes, out)) << bytes;
        EXPECT_EQ(out, u"untouched");
    }
    const std::u16string badUtf16[] = {std::u16string(1, char16_t(0xD800)),
                                       std::u16string(1, char16_t(0xDC00)),
                                       std::u16string{char16_t(0xD800), u'a'}};
    for (const auto& text : badUtf16) {
        std::string out = "untouched";
        EXPECT_FALSE(Utf16ToUtf8(text, out));
        EXPECT_EQ(out, "untouched");
    }
}
