#include "common/TextEscape.h"

#include <gtest/gtest.h>

namespace {

TEST(TextEscapeTest, EscapesControlCharactersOnly) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"nginx/1.22.1", "nginx/1.22.1"},
        {"tab\tand\nline feed stay", "tab\tand\nline feed stay"},
        {"\x1b]0;owned\x07\x1b[2J", "\\x1b]0;owned\\x07\\x1b[2J"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"carriage\rreturn", "carriage\\x0dreturn"},
        {"crlf\r\nline\r", "crlf\r\nline\\x0d"},
        {"del\x7f", "del\\x7f"},
        // C1 as UTF-8 (U+009B, the one-character CSI) and as a bare byte.
        {"csi\xc2\x9b"
         "2J",
         "csi\\x9b2J"},
        {"bare\x9b", "bare\\x9b"},
        // Well-formed UTF-8 beyond C1 is text.
        {"\xc2\xa0\xe6\x97\xa5\xe6\x9c\xac\xf0\x9f\x98\x80",
         "\xc2\xa0\xe6\x97\xa5\xe6\x9c\xac\xf0\x9f\x98\x80"},
        // Broken sequences: a cut-off lead, an overlong form, a surrogate.
        {"cut\xe6\x97", "cut\\xe6\\x97"},
        {"overlong\xc0\x9b", "overlong\\xc0\\x9b"},
        {"surrogate\xed\xa0\x80", "surrogate\\xed\\xa0\\x80"},
        {"back\\slash\\x1b kept", "back\\slash\\x1b kept"},
    };
    for (const auto& c : cases) {
        const std::string escaped = EscapeControlChars(c.in);
        EXPECT_EQ(escaped, c.out) << c.in;
        EXPECT_EQ(HasControlChars(c.in), escaped != c.in) << c.in;
        EXPECT_FALSE(HasControlChars(escaped)) << c.in;
        EXPECT_EQ(EscapeControlChars(escaped), escaped) << c.in;
    }
}

TEST(TextEscapeTest, NoByteOfEscapedTextIsAControlByte) {
    std::string every;
    for (int i = 0; i < 256; ++i)
        every += static_cast<char>(i);
    for (const unsigned char byte : EscapeControlChars(every)) {
        EXPECT_FALSE(byte < 0x20 && byte != '\t' && byte != '\n') << int(byte);
        EXPECT_FALSE(byte >= 0x7F && byte <= 0x9F) << int(byte);
    }
}

} // namespace
