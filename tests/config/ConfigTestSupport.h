#pragma once
// A test of the configuration store: an agent home of its own, the
// process-wide log captured in it, and small helpers to look at both.

#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "tests/support/TestSupport.h"

namespace configtest {

// The log writes "[<level>], <marker>" in front of every text.
inline std::string InfoLine(std::string_view text) {
    return "[Info],     " + std::string(text);
}
inline std::string WarningLine(std::string_view text) {
    return "[Warning], !!! " + std::string(text);
}
inline std::string ErrorLine(std::string_view text) {
    return "[Error], *** " + std::string(text);
}

inline int CountOf(const std::string& text, std::string_view piece) {
    int count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + piece.size()))
        ++count;
    return count;
}

inline mode_t FileMode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class ConfigTest : public testsupport::AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log.emplace(m_temp.Path() / "test.log");
    }
    void TearDown() override {
        m_log.reset();
        AgentHomeTest::TearDown();
    }

    std::string Log() const { return m_log->Text(); }
    void Write(std::string_view name, std::string_view bytes) const {
        testsupport::WriteFileBytes(HomeFile(name), bytes);
    }
    std::string Read(std::string_view name) const {
        return testsupport::ReadFileBytes(HomeFile(name));
    }

    std::optional<testsupport::LogCapture> m_log;
};

} // namespace configtest
