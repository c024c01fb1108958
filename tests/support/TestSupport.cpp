#include "tests/support/TestSupport.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"

namespace testsupport {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/opal-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

std::string ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

bool FileExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

fs::path DataFile(std::string_view relative) { return fs::path(OPAL_TEST_DATA_DIR) / relative; }

void AgentHomeTest::SetUp() {
    m_home = m_temp.Path() / "home";
    m_registryRoot = m_temp.Path() / "registry";
    fs::create_directories(m_home);
    fs::create_directories(m_registryRoot);
    // World-traversable, so that a part of a test that drops privileges can
    // still reach its files.
    fs::permissions(m_temp.Path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(m_home, fs::perms::all, fs::perm_options::add);
    m_previousDir = fs::current_path();
    fs::current_path(m_home);
    ::setenv(REGISTRY_ROOT_ENV, m_registryRoot.c_str(), 1);
    SetModuleDirectoryForTesting(m_home.string());
}

void AgentHomeTest::TearDown() {
    SetModuleDirectoryForTesting(std::nullopt);
    ::unsetenv(REGISTRY_ROOT_ENV);
    std::error_code ec;
    fs::current_path(m_previousDir, ec);
}

fs::path AgentHomeTest::AgentRegistryValueFile(std::string_view name) const {
    return m_registryRoot / "HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/OPAL4HBS/Agent" / name;
}

void AgentHomeTest::SetAgentRegistryInt(std::u16string_view name, int32_t value) {
    RegistryKey key;
    ASSERT_EQ(key.Create(AgentRegistryKey), 0);
    ASSERT_EQ(key.WriteInt(name, value), 0);
}

int32_t AgentHomeTest::AgentRegistryInt(std::u16string_view name) {
    RegistryKey key;
    int32_t value = -1;
    if (key.Create(AgentRegistryKey) == 0)
        key.ReadInt(name, value);
    return value;
}

LogCapture::LogCapture(const fs::path& file, unsigned mask, int maxSize) : m_file(file) {
    auto* writer = new CLogTrackerEx(1, u"OPAL Agent Setting", mask != 0, true, mask, 0x500000, 0);
    LogInit(writer, m_file.c_str(), true, maxSize);
}

LogCapture::~LogCapture() { LogShutdown(); }

std::string LogCapture::Text() const { return ReadFileBytes(m_file); }

int RunUnprivileged(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (::geteuid() == 0) {
            // nobody / nogroup on Debian.
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(125);
        }
        const int rc = body();
        std::fflush(nullptr);
        ::_exit(rc);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace testsupport
