#include "common/LogTracker.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <latch>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;
namespace fs = std::filesystem;

std::time_t g_now = 1700000000; // 2023-11-14 22:13:20 UTC

std::time_t FixedClock() {
    return g_now;
}

std::string Hex5(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%05x", value);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 2;
    }
    return lines;
}

class LogTrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Nine hours east of UTC, so that local and UTC fields differ.
        ::setenv("TZ", "XST-9", 1);
        ::tzset();
        g_now = 1700000000;
        SetLogClockForTesting(&FixedClock);
        ResetLogHeaderForTesting();
    }
    void TearDown() override {
        LogShutdown();
        SetLogClockForTesting(nullptr);
    }

    CLogTrackerEx* Start(uint32_t mask, int32_t maxSize = 0, const std::string& file = {}) {
        auto* writer =
            new CLogTrackerEx(1, u"OPAL Agent Setting", mask != 0, true, mask, 0x500000, 0);
        LogInit(writer, (file.empty() ? m_log : file).c_str(), true, maxSize);
        return writer;
    }

    std::string Prefix(const char* level, const char* marker) const {
        return m_stamp + "," + Hex5(::getpid()) + ":" + Hex5(::gettid()) + ",[" + level + "], " +
               marker;
    }
    std::string InfoLine(const std::string& text) const {
        return Prefix("Info", "    ") + text + "\r\n";
    }

    // The first line of the process's log, from the program file's UTC time
    // and the clock's local time.
    static std::string HeaderLine() {
        struct stat info {};
        std::tm utc{};
        EXPECT_EQ(::stat("/proc/self/exe", &info), 0);
        gmtime_r(&info.st_mtime, &utc);
        char compiled[96];
        std::snprintf(compiled, sizeof compiled, "===== Compiled on [%d/%d/%d %d:%d:%d]",
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                      utc.tm_sec);
        return std::string(compiled) +
               "====== Log file created by OPAL Agent Setting, Wed Nov 15 07:13:20 2023\r\n";
    }

    testsupport::TempDir m_dir;
    std::string m_log = m_dir / "Setting.log";
    std::string m_stamp = "11-15 07:13:20";
};

TEST_F(LogTrackerTest, EachKindHasItsLevelNameAndMarker) {
    struct Case {
        uint32_t kind;
        const char* level;
        const char* marker;
    };
    const Case cases[] = {
        {LK_ENTER, "Info", "==> "},     {LK_LEAVE, "Info", "<== "},
        {LK_INFO, "Info", "    "},      {LK_DETAIL, "Info", "~~~ "},
        {LK_CALL, "Info", "*>> "},      {LK_RETURN, "Info", "<<* "},
        {LK_RECV, "Info", "<-@ "},      {LK_RECV_DONE, "Info", "<<@ "},
        {LK_IMPORTANT, "Info", "    "}, {LK_NOTICE, "Info", "    "},
        {LK_ERROR, "Error", "*** "},    {LK_WARNING, "Warning", "!!! "},
        {LK_TRACE, "Trace", "--- "},    {0x20000, "Error", "*** "},
        {0x1000000, "Error", "*** "},   {LK_ENTER | LK_INFO, "Error", "*** "},
    };
    Start(~LK_RAW);
    std::string want;
    for (const auto& c : cases) {
        EXPECT_TRUE(LogPrintf(c.kind, "kind %x. [%s|%d]", c.kind, "Case.cpp", 7));
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", c.kind);
        want += Prefix(c.level, c.marker) + "kind " + hex + ". [Case.cpp|7]\r\n";
    }
    EXPECT_EQ(ReadFileBytes(m_log), want);
}

TEST_F(LogTrackerTest, MaskDecidesWhichKindsAndWhetherTheHeaderAreWritten) {
    const uint32_t kinds[] = {LK_ENTER,   LK_LEAVE, LK_INFO,           LK_ERROR,
                              LK_WARNING, LK_TRACE, LK_ENTER | LK_INFO};
    struct Case {
        uint32_t mask;
        bool header;
        std::vector<uint32_t> written;
    };
    const Case cases[] = {
        {LL_FOR_ALL, true, {LK_ENTER, LK_LEAVE, LK_INFO, LK_ERROR, LK_WARNING, LK_ENTER | LK_INFO}},
        {LL_FOR_HIGH, true, {LK_ERROR, LK_WARNING}},
        {LL_FOR_HIGHEST, false, {LK_INFO, LK_ERROR, LK_WARNING, LK_ENTER | LK_INFO}},
        {LL_FOR_MEDIUM, true, {LK_ERROR, LK_WARNING}},
        {LL_DEFAULT, false, {LK_ERROR, LK_WARNING}},
        {8, false, {LK_TRACE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask);
        ResetLogHeaderForTesting();
        const std::string file = m_dir / ("mask-" + std::to_string(c.mask) + ".log");
        Start(c.mask, 0, file);
        for (uint32_t kind : kinds)
            EXPECT_TRUE(LogPrintf(kind, "%x", kind));
        LogShutdown();

        std::vector<std::string> lines = Lines(ReadFileBytes(file));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front().starts_with("===== Compiled on ["), c.header);
        if (c.header)
            lines.erase(lines.begin());
        std::vector<uint32_t> written;
        for (const auto& line : lines)
            written.push_back(std::stoul(line.substr(line.rfind(' ') + 1), nullptr, 16));
        EXPECT_EQ(written, c.written);
    }

    // Logging off: nothing is created, and every write "succeeds".
    Start(LL_NONE);
    for (uint32_t kind : kinds)
        EXPECT_TRUE(LogPrintf(kind, "%x", kind));
    EXPECT_FALSE(FileExists(m_log));
}

TEST_F(LogTrackerTest, HeaderIsWrittenOncePerProcessInUtcAndLocalTime) {
    CLogTrackerEx* writer = Start(LL_FOR_HIGH);
    EXPECT_TRUE(LogPrintf(LK_ERROR, "failed"));
    writer->SetLogLevel(LL_FOR_ALL); // reopens, but the header is not repeated
    LogShutdown();
    Start(LL_FOR_ALL); // a new writer in the same process
    EXPECT_TRUE(LogPrintf(LK_INFO, "again"));
    EXPECT_EQ(ReadFileBytes(m_log),
              HeaderLine() + Prefix("Error", "*** ") + "failed\r\n" + InfoLine("again"));
}

TEST_F(LogTrackerTest, MessageTextIsWrittenAsTheTextModeStreamWould) {
    Start(LL_FOR_ALL & ~LK_RAW);
    const int line = __LINE__ + 1;
    LOG_PRINTF(LK_INFO, "Agent setting tool starting...  [%s|%d]");
    LOG_PRINTF(LK_WARNING, "Failed to find <%S> element, use the default value <%d>. [%s|%d]",
               std::u16string(u"ServerPort"), 80);
    LOG_PRINTFW(LK_ERROR, u"Unknown <%s> in %S. [%s|%d]", u"Größe", "Datei");
    LogPrintf(LK_INFO, "first\nsecond\r\nthird");
    LogPrintf(LK_INFO, "%s", "");

    const std::string site = "LogTrackerTest.cpp|";
    EXPECT_EQ(ReadFileBytes(m_log),
              InfoLine("Agent setting tool starting...  [" + site + std::to_string(line) + "]") +
                  Prefix("Warning", "!!! ") +
                  "Failed to find <ServerPort> element, use the default value <80>. [" + site +
                  std::to_string(line + 1) + "]\r\n" + Prefix("Error", "*** ") +
                  "Unknown <Größe> in Datei. [" + site + std::to_string(line + 3) + "]\r\n" +
                  // Every LF of a message becomes CR LF, and only its first
                  // line has a prefix.
                  InfoLine("first\r\nsecond\r\r\nthird") + InfoLine(""));
}

TEST_F(LogTrackerTest, WideTextTheCharsetCannotCarryLeavesPrefixAndLineEnd) {
    CLogTrackerEx* writer = Start(LL_FOR_ALL & ~LK_RAW);
    EXPECT_TRUE(LogPrintfW(LK_INFO, u"bad %s [%s|%d]", u"\xD800", u"X.cpp", 1));
    EXPECT_TRUE(writer->WriteInfoW(u"\xDC00 alone"));
    EXPECT_TRUE(writer->WriteInfoW(nullptr));
    // In a narrow format the bad character alone is replaced.
    EXPECT_TRUE(LogPrintf(LK_INFO, "bad %S", u"\xD800!"));
    EXPECT_EQ(ReadFileBytes(m_log),
              InfoLine("") + InfoLine("") + InfoLine("") + InfoLine("bad ?!"));
}

TEST_F(LogTrackerTest, FormattedMessagesOverTheLimitAreDropped) {
    struct Case {
        bool wide;
        std::size_t length;
        bool written;
    };
    const Case cases[] = {
        {false, 0xBFFF, true}, {false, 0xC000, false}, {true, 0xBFFF, true}, {true, 0xC000, false}};
    CLogTrackerEx* writer = Start(LL_FOR_ALL & ~LK_RAW);
    std::string expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string text(c.length, 'n');
        const std::u16string wide(c.length, u'w');
        EXPECT_EQ(c.wide ? LogPrintfW(LK_INFO, u"%s", wide) : LogPrintf(LK_INFO, "%s", text),
                  c.written);
        EXPECT_EQ(c.wide ? writer->FormatW(LK_ERROR, u"%s", wide)
                         : writer->Format(LK_ERROR, "%s", text),
                  c.written);
        if (c.written)
            expected += InfoLine(std::string(c.length, c.wide ? 'w' : 'n')) +
                        Prefix("Error", "*** ") + std::string(c.length, c.wide ? 'w' : 'n') +
                        "\r\n";
        EXPECT_EQ(ReadFileBytes(m_log), expected);
    }
    // The writer's own Format filters before it formats; LogPrintf formats
    // first and so fails on the length even for a kind it would not write.
    writer->SetLogLevel(LL_DEFAULT);
    EXPECT_TRUE(writer->Format(LK_INFO, "%s", std::string(0xC000, 'x')));
    EXPECT_FALSE(LogPrintf(LK_INFO, "%s", std::string(0xC000, 'x')));
}

TEST_F(LogTrackerTest, RotatesAtTheLimitUnderTheSecondsAsSigned32Bits) {
    struct Case {
        std::time_t now;
        const char* stamp;
        const char* suffix;
    };
    const Case cases[] = {{1700000000, "11-15 07:13:20", ".1700000000"},
                          {2147483653, "01-19 12:14:13", ".-2147483643"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.suffix);
        g_now = c.now;
        m_stamp = c.stamp;
        ResetLogHeaderForTesting();
        fs::remove(m_log);
        const std::string rotated = m_log + c.suffix;
        Start(LL_FOR_ALL, 1000);
        std::string content = ReadFileBytes(m_log);
        ASSERT_TRUE(content.starts_with("===== Compiled on ["));
        for (int i = 0;; ++i) {
            ASSERT_LT(i, 100);
            ASSERT_TRUE(LogPrintf(LK_INFO, "line %03d", i));
            content += InfoLine("line " + std::string(i < 10 ? "00" : "0") + std::to_string(i));
            if (content.size() < 1000) {
                EXPECT_EQ(ReadFileBytes(m_log), content);
                EXPECT_FALSE(FileExists(rotated));
                continue;
            }
            // The write that reached the limit moved the file aside at once.
            EXPECT_EQ(ReadFileBytes(rotated), content);
            EXPECT_TRUE(FileExists(m_log));
            EXPECT_EQ(ReadFileBytes(m_log), "");
            break;
        }
        // The next line starts the fresh file, without a header.
        EXPECT_TRUE(LogPrintf(LK_INFO, "next"));
        EXPECT_EQ(ReadFileBytes(m_log), InfoLine("next"));
        LogShutdown();
    }
}

TEST_F(LogTrackerTest, LogInitMovesAnOverLimitFileAsideWhateverTheMask) {
    struct Case {
        uint32_t mask;
        std::size_t existing;
        bool moved;
    };
    const Case cases[] = {{LL_NONE, 999, false},
                          {LL_NONE, 1000, true},
                          {LL_FOR_HIGHEST, 1000, true},
                          {LL_FOR_HIGHEST, 999, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.existing);
        const std::string old(c.existing, 'o');
        WriteFileBytes(m_log, old);
        fs::remove(m_log + ".1700000000");
        Start(c.mask, 1000);
        LogShutdown();
        EXPECT_EQ(FileExists(m_log + ".1700000000"), c.moved);
        if (c.moved) {
            EXPECT_EQ(ReadFileBytes(m_log + ".1700000000"), old);
        }
        // With logging off nothing creates a fresh file.
        EXPECT_EQ(FileExists(m_log), !c.moved || c.mask != 0);
        if (FileExists(m_log)) {
            EXPECT_EQ(ReadFileBytes(m_log), c.moved ? "" : old);
        }
    }
}

TEST_F(LogTrackerTest, NoLimitMeansNoRotation) {
    for (int32_t limit : {0, -1}) {
        const std::string file = m_dir / ("limit" + std::to_string(limit) + ".log");
        Start(LL_FOR_ALL, limit, file);
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE(LogPrintf(LK_INFO, "%060d", i));
        LogShutdown();
        EXPECT_GT(fs::file_size(file), 3000u);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.Path()), fs::directory_iterator()), 2);
}

TEST_F(LogTrackerTest, NothingIsLoggedWithoutAWriter) {
    EXPECT_FALSE(LogPrintf(LK_ERROR, "before"));
    EXPECT_FALSE(LogPrintfW(LK_ERROR, u"before"));
    Start(LL_FOR_ALL);
    EXPECT_TRUE(LogPrintf(LK_ERROR, "during"));
    LogShutdown();
    EXPECT_FALSE(LogPrintf(LK_ERROR, "after"));
    EXPECT_FALSE(LogPrintfW(LK_ERROR, u"after"));
}

TEST_F(LogTrackerTest, TwoThreadsNeverInterleaveLines) {
    Start(LL_FOR_ALL & ~LK_RAW);
    constexpr int kLines = 1000;
    // Lines longer than the stream's buffer reach the file in several
    // writes, so an unguarded writer would mix them.
    const std::string narrowPad(5000, 'n');
    const std::u16string widePad(5000, u'w');
    std::latch start(2);
    std::thread narrow([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kLines; ++i)
            LogPrintf(LK_INFO, "thread 1 line %d %s", i, narrowPad);
    });
    std::thread wide([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kLines; ++i)
            LogPrintfW(LK_INFO, u"thread 2 line %d %s", i, widePad);
    });
    narrow.join();
    wide.join();

    const std::regex form(R"(11-15 07:13:20,[0-9a-f]{5,}:[0-9a-f]{5,},\[Info\],     )"
                          R"(thread (\d) line (\d+) )");
    int next[3] = {0, 0, 0};
    for (const auto& line : Lines(ReadFileBytes(m_log))) {
        std::smatch match;
        const std::size_t tail = line.size() - std::min<std::size_t>(line.size(), 5000);
        const std::string head = line.substr(0, tail);
        ASSERT_TRUE(std::regex_match(head, match, form)) << head;
        const int thread = std::stoi(match[1]);
        EXPECT_EQ(line.substr(tail), std::string(5000, thread == 1 ? 'n' : 'w'));
        EXPECT_EQ(std::stoi(match[2]), next[thread]++);
    }
    EXPECT_EQ(next[1], kLines);
    EXPECT_EQ(next[2], kLines);
}

TEST_F(LogTrackerTest, WritesFailWhereTheFileCannotBeWritten) {
    fs::permissions(m_dir.Path(), fs::perms::all, fs::perm_options::add);
    fs::create_directory(m_dir.Path() / "readonly");
    fs::permissions(m_dir.Path() / "readonly", fs::perms(0555));
    for (const char* sub : {"missing/Setting.log", "readonly/Setting.log"}) {
        const std::string file = m_dir / sub;
        const int status = testsupport::RunUnprivileged([&] {
            Start(LL_FOR_ALL, 1000, file);
            const bool wrote = LogPrintf(LK_ERROR, "lost") || LogPrintfW(LK_ERROR, u"lost");
            LogShutdown();
            return wrote ? 1 : FileExists(file) ? 2 : 0;
        });
        EXPECT_EQ(status, 0) << sub;
    }

    // A device that takes no bytes: the line is reported lost, not written,
    // and the failed close leaves nothing behind to close twice.
    Start(LL_FOR_ALL & ~LK_RAW, 0, "/dev/full");
    EXPECT_FALSE(LogPrintf(LK_ERROR, "lost"));
    EXPECT_FALSE(LogPrintf(LK_ERROR, "lost again"));
}

TEST_F(LogTrackerTest, LevelChangesOpenTheFileOnlyToWriteTheHeader) {
    auto* writer = new CLogTrackerEx(1, u"OPAL Agent Setting", false, true, LL_FOR_ALL, 0, 0);
    EXPECT_EQ(writer->GetLevelMask(), 0u);
    LogInit(writer, m_log.c_str(), true, 0);
    EXPECT_FALSE(FileExists(m_log));

    writer->SetLogLevel(3);
    EXPECT_EQ(writer->GetLevelMask(), LL_FOR_HIGH);
    EXPECT_FALSE(writer->IsOpen());
    EXPECT_EQ(ReadFileBytes(m_log), HeaderLine());

    writer->SetLogLevel(0);
    EXPECT_TRUE(LogPrintf(LK_ERROR, "off"));
    EXPECT_EQ(ReadFileBytes(m_log), HeaderLine());
}

TEST_F(LogTrackerTest, WithoutReopeningTheFileStaysOpenAndIsFlushedPerLine) {
    CLogTrackerEx writer(1, u"", true, false, LL_FOR_ALL & ~LK_RAW, 0, 0);
    ASSERT_TRUE(writer.OpenLogFile(m_log.c_str(), false));
    EXPECT_TRUE(writer.Format(LK_LEAVE, "(%d) = SetServerInfo(), [%s|%d]", 0, "A.cpp", 3));
    EXPECT_TRUE(writer.IsOpen());
    EXPECT_EQ(ReadFileBytes(m_log),
              Prefix("Info", "<== ") + "(0) = SetServerInfo(), [A.cpp|3]\r\n");
    EXPECT_TRUE(writer.CloseLogFile());
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_FALSE(writer.Write(LK_INFO, "closed"));
}

TEST_F(LogTrackerTest, LogInitTakesOwnershipAndAcceptsWideNames) {
    struct Tracked : CLogTrackerEx {
        explicit Tracked(bool& gone)
            : CLogTrackerEx(1, u"x", true, true, LL_FOR_ALL & ~LK_RAW, 0, 0), m_gone(gone) {}
        ~Tracked() override { m_gone = true; }
        bool& m_gone;
    };
    bool firstGone = false;
    bool secondGone = false;
    LogInit(new Tracked(firstGone), m_log.c_str(), true, 0);
    const std::u16string wideName = u"журнал.log";
    EXPECT_TRUE(LogInitW(new Tracked(secondGone),
                         (m_dir.Path().u16string() + u"/" + wideName).c_str(), true, 0));
    EXPECT_TRUE(firstGone);
    EXPECT_TRUE(LogPrintf(LK_INFO, "here"));
    EXPECT_EQ(ReadFileBytes(m_dir.Path() / fs::path(wideName)), InfoLine("here"));
    LogShutdown();
    EXPECT_TRUE(secondGone);
}

TEST(LogTrackerNames, SourceFileNameAndLevelNumbers) {
    const std::pair<const char*, std::string> names[] = {
        {"/src/config/AgentConfig.cpp", "AgentConfig.cpp"},
        {"config/sub/Debug.h", "Debug.h"},
        {"Plain.cpp", "Plain.cpp"},
        {"C:\\src\\Win.cpp", "Win.cpp"},
        {"/dir/NoExtension", "NoExtension"},
        {"/dir/", ""},
        {nullptr, ""},
    };
    for (const auto& [path, name] : names) {
        EXPECT_EQ(SourceFileName(path), name);
        EXPECT_EQ(SourceFileNameW(path), std::u16string(name.begin(), name.end()));
    }

    const uint32_t masks[] = {0,          LL_FOR_ALL,      LL_FOR_ALL, LL_FOR_HIGH, LL_FOR_MEDIUM,
                              LL_FOR_MSG, LL_FOR_IMP_INFO, 0x70000,    0x80000,     9};
    for (uint32_t level = 0; level < std::size(masks); ++level)
        EXPECT_EQ(LevelToMask(level), masks[level]) << level;
    EXPECT_EQ(LevelToMask(LL_FOR_HIGHEST), LL_FOR_HIGHEST);
}

} // namespace

// The log names the server, the user and the proxy: what root creates is
// for root and the administrators' group only, and a file already there
// keeps its owner and mode (the rotated one's successor is a new file).
TEST_F(LogTrackerTest, RootsNewLogIsForTheAdministratorsOnly) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    struct Case {
        const char* group;
        gid_t gid;
        mode_t mode;
    } cases[] = {
        {"nogroup", 65534, 0640},
        {"no-such-group-of-opal", 0, 0600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group);
        SetLogAdminGroupForTesting(c.group);
        const std::string file = m_dir / (std::string(c.group) + ".log");
        Start(LL_FOR_ALL, 200, file);
        EXPECT_TRUE(LogPrintf(LK_ERROR, "Server: example.com user alice"));
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 0u);
        EXPECT_EQ(info.st_gid, c.gid);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
        // Past the limit the log is moved aside and made anew, alike.
        for (int i = 0; i < 10; ++i)
            LogPrintf(LK_ERROR, "a line long enough to reach the limit soon");
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_gid, c.gid);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
        LogShutdown();
    }
    SetLogAdminGroupForTesting(nullptr);

    // An existing log keeps what it has.
    const std::string kept = m_dir / "kept.log";
    WriteFileBytes(kept, "");
    ASSERT_EQ(::chown(kept.c_str(), 0, 65534), 0);
    ::chmod(kept.c_str(), 0664);
    Start(LL_FOR_ALL, 0, kept);
    EXPECT_TRUE(LogPrintf(LK_ERROR, "appended"));
    struct stat info {};
    ASSERT_EQ(::stat(kept.c_str(), &info), 0);
    EXPECT_EQ(info.st_gid, 65534u);
    EXPECT_EQ(info.st_mode & 07777, 0664u);
}
