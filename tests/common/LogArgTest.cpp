#include "common/LogArg.h"

#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct NarrowCase {
    const char* format;
    std::vector<LogArg> args;
    std::string expected;
};

struct WideCase {
    const char16_t* format;
    std::vector<LogArg> args;
    std::u16string expected;
};

TEST(FormatLogText, ConversionsFlagsAndArgumentKinds) {
    // LogArg only views text, so the strings outlive the table.
    const std::string file = "AgentConfig.cpp";
    const std::u16string element = u"ServerName";
    const NarrowCase cases[] = {
        {"%d|%i|%5d|%-5d|%05d|%+d|% d",
         {42, -7, 42, 42, 42, 7, 7},
         "42|-7|   42|42   |00042|+7| 7"},
        {"%x|%X|%#x|%o|%#o|%.3d", {255, 255, 255, 8, 8, 7}, "ff|FF|0xff|10|010|007"},
        // Negative ints under unsigned conversions keep their 32-bit pattern
        // unless the format asks for 64 bits.
        {"%u|%x|%llx|%I64x|%hx",
         {-1, -1, -1LL, -1LL, -1},
         "4294967295|ffffffff|ffffffffffffffff|"
         "ffffffffffffffff|ffff"},
        {"%hd|%hhu|%I64d|%zu|%ld|%lu|%d",
         {70000, 300, 1LL << 40, std::size_t(12), 5L, 4000000000UL, 4000000000U},
         "4464|44|1099511627776|12|5|4000000000|4000000000"},
        {"%*d|%-*d|%*d|%.*s|%.*d",
         {5, 42, 4, 7, -4, 7, 3, "abcdef", -1, 9},
         "   42|7   |7   |abc|9"},
        {"%s|%6s|%-6s|%.2s", {"abc", "abc", "abc", "abc"}, "abc|   abc|abc   |ab"},
        {"%S|%ls|%hs|%ws", {u"Größe", u"w", "n", u"x"}, "Größe|w|n|x"},
        {"%c%c%C%lc", {'A', 66, u'é', 0x20AC}, "ABé€"},
        {"100%% %d%%", {5}, "100% 5%"},
        {"%f|%.2f|%e|%g|%8.3f|%-6.1f|",
         {1.5, 2.3456, 1234.5, 0.0001, 3.14159, 2.0},
         "1.500000|2.35|1.234500e+03|0.0001|   3.142|2.0   |"},
        {"%p", {static_cast<const void*>(reinterpret_cast<void*>(0x1234))}, "0000000000001234"},
        // Mismatched arguments are converted, never misread.
        {"%S|%s|%d|%s|%c|%x", {"narrow", u"wide", "text", 42, "t", 2.0}, "narrow|wide|text|42|t|2"},
        {"a%db%sc%S|%*d", {}, "abc|"},
        {"%s|%S",
         {static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr)},
         "(null)|(null)"},
        {"%S|%S", {u"\xD800x", u"\xDE00"}, "?x|?"},
        // A precision never cuts a character in two.
        {"%.1S|%.2S|%.3S", {u"é", u"éa", u"éa"}, "|é|éa"},
        {"tail %", {}, "tail %"},
        {"%y|%5", {1}, "%y|%5"},
        {"%n%d|%d", {1, 2, 3, 4}, "2|3"},
        {"<%S> [%s|%d]", {element, file, 109}, "<ServerName> [AgentConfig.cpp|109]"},
    };
    for (const auto& c : cases) {
        std::string out = "stale";
        EXPECT_TRUE(FormatLogText(c.format, c.args.data(), c.args.size(), out)) << c.format;
        EXPECT_EQ(out, c.expected) << c.format;
    }
}

TEST(FormatLogTextW, WideFormatsSwapTheMeaningOfS) {
    const WideCase cases[] = {
        {u"%s|%S|%ls|%hs|%ws", {u"wide", "narrow", u"l", "h", u"w"}, u"wide|narrow|l|h|w"},
        {u"%s|%S", {"Größe", u"Maß"}, u"Größe|Maß"},
        {u"%d|%5.1f|%x|%%", {-3, 1.5, 255}, u"-3|  1.5|ff|%"},
        {u"%c|%C|%hc|%c", {u'é', 'n', 'h', 0x1F600}, u"é|n|h|\U0001F600"},
        {u"%.1s|%.2s|%.1S", {u"\U0001F600", u"\U0001F600x", "ab"}, u"|\U0001F600|a"},
        {u"%S|%s",
         {"\xff"
          "ok",
          "x\xc3"},
         u"?ok|x?"},
        {u"%s %d", {}, u" "},
    };
    for (const auto& c : cases) {
        std::u16string out = u"stale";
        EXPECT_TRUE(FormatLogTextW(c.format, c.args.data(), c.args.size(), out));
        EXPECT_EQ(out, c.expected);
    }
}

TEST(FormatLogText, ResultsOverTheLimitAreDroppedWhole) {
    const std::string fits(LOG_MAX_FORMATTED, 'a');
    const std::string over(LOG_MAX_FORMATTED + 1, 'a');
    const std::u16string fitsW(LOG_MAX_FORMATTED, u'a');
    const std::u16string overW(LOG_MAX_FORMATTED + 1, u'a');
    struct Case {
        const char* format;
        std::vector<LogArg> args;
        bool ok;
    };
    const Case cases[] = {
        {"%s", {fits}, true},           {"%s", {over}, false},
        {"x%s", {fits}, false},         {over.c_str(), {}, false},
        {fits.c_str(), {}, true},       {"%s", {fitsW}, true},
        {"%s", {overW}, false},         {"%49151d", {1}, true},
        {"%49152d", {1}, false},        {"%99999999999999999999d", {1}, false},
        {"%.100000f", {1.0}, false},    {"%*d", {INT_MIN, 1}, false},
        {"%*d", {LLONG_MAX, 1}, false}, {"%.*s", {LLONG_MAX, "abc"}, true},
    };
    for (const auto& c : cases) {
        std::string out = "stale";
        EXPECT_EQ(FormatLogText(c.format, c.args.data(), c.args.size(), out), c.ok)
            << std::string(c.format).substr(0, 24);
        if (c.ok)
            EXPECT_LE(out.size(), LOG_MAX_FORMATTED);
        else
            EXPECT_TRUE(out.empty());
    }

    std::u16string out = u"stale";
    const LogArg fitsArg[] = {fitsW};
    EXPECT_TRUE(FormatLogTextW(u"%s", fitsArg, 1, out));
    EXPECT_EQ(out, fitsW);
    const LogArg overArgs[] = {overW, over};
    for (const auto& arg : overArgs) {
        EXPECT_FALSE(FormatLogTextW(u"%s", &arg, 1, out));
        EXPECT_TRUE(out.empty());
    }
    std::string none;
    EXPECT_FALSE(FormatLogText(nullptr, nullptr, 0, none));
}

} // namespace
