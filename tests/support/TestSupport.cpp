#include "tests/support/TestSupport.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
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

fs::path DataFile(std::string_view relative) {
    return fs::path(OPAL_TEST_DATA_DIR) / relative;
}

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
    // A log that falls back to the user's state directory stays in the test's.
    ::setenv("XDG_STATE_HOME", (m_temp.Path() / "state").c_str(), 1);
    SetModuleDirectoryForTesting(m_home.string());
}

void AgentHomeTest::TearDown() {
    SetModuleDirectoryForTesting(std::nullopt);
    ::unsetenv(REGISTRY_ROOT_ENV);
    ::unsetenv("XDG_STATE_HOME");
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

LogCapture::~LogCapture() {
    LogShutdown();
}

std::string LogCapture::Text() const {
    return ReadFileBytes(m_file);
}

int RunUnprivileged(const std::function<int()>& body, const std::vector<gid_t>& groups) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (::geteuid() == 0) {
            // nobody / nogroup on Debian.
            if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(NOGROUP_GID) != 0 ||
                ::setuid(NOBODY_UID) != 0)
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

bool CanActAsOtherUsers() {
    return ::geteuid() == 0;
}

gid_t UnusedGroupId() {
    for (gid_t gid = 64000; gid < 65000; ++gid) {
        if (::getgrgid(gid) == nullptr)
            return gid;
    }
    throw std::runtime_error("no unused group id");
}

namespace {

void Own(const fs::path& path, gid_t group, unsigned mode) {
    if (::chown(path.c_str(), 0, group) != 0 || ::chmod(path.c_str(), mode) != 0)
        throw std::runtime_error("cannot lay out " + path.string());
}

} // namespace

void ApplyInstallModes(const fs::path& home, const fs::path& registryRoot, gid_t group) {
    if (!home.empty() && fs::is_directory(home)) {
        Own(home, 0, 0755);
        for (const char* name : {"AgentStatus.xml", "SettingToolSysConfig.xml",
                                 "AgentSysConfig.xml", "AgentWorkConfig.xml"}) {
            if (FileExists(home / name))
                Own(home / name, 0, 0644);
        }
        // The encrypted passwords: the group reads them, nobody else.
        if (FileExists(home / "AgentLocalConfig.xml"))
            Own(home / "AgentLocalConfig.xml", group, 0640);
        if (fs::is_directory(home / "log")) {
            Own(home / "log", 0, 0755);
            if (FileExists(home / "log/OPALAgentSetting.log"))
                Own(home / "log/OPALAgentSetting.log", 0, 0644);
        }
    }
    if (!fs::is_directory(registryRoot))
        return;
    Own(registryRoot, 0, 0755);
    for (const auto& entry : fs::recursive_directory_iterator(registryRoot))
        Own(entry.path(), 0, entry.is_directory() ? 0755 : 0644);
}

void ApplyGroupWritableModes(const fs::path& home, const fs::path& registryRoot, gid_t group) {
    const struct {
        const char* name;
        unsigned mode;
        bool shared;
    } files[] = {
        {"AgentLocalConfig.xml", 0660, true},     {"AgentStatus.xml", 0664, true},
        {"SettingToolSysConfig.xml", 0664, true}, {"AgentSysConfig.xml", 0644, false},
        {"AgentWorkConfig.xml", 0644, false},
    };
    if (!home.empty() && fs::is_directory(home)) {
        Own(home, group, 02775);
        for (const auto& f : files) {
            if (FileExists(home / f.name))
                Own(home / f.name, f.shared ? group : 0, f.mode);
        }
        if (fs::is_directory(home / "log")) {
            Own(home / "log", group, 02775);
            if (FileExists(home / "log/OPALAgentSetting.log"))
                Own(home / "log/OPALAgentSetting.log", group, 0664);
        }
    }
    if (!fs::is_directory(registryRoot))
        return;
    Own(registryRoot, group, 02775);
    for (const auto& entry : fs::recursive_directory_iterator(registryRoot))
        Own(entry.path(), group, entry.is_directory() ? 02775 : 0664);
}

FileOwnership OwnershipOf(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {static_cast<uid_t>(-1), static_cast<gid_t>(-1), 0};
    return {info.st_uid, info.st_gid, static_cast<unsigned>(info.st_mode & 07777)};
}

std::ostream& operator<<(std::ostream& out, const FileOwnership& o) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", o.mode);
    return out << o.uid << ":" << o.gid << " " << mode;
}

pid_t SpawnChild(const std::vector<std::string>& args, const ChildOutput& output) {
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, output.deathSignal);
        if (::getppid() != parent)
            ::_exit(127);
        if (!output.log.empty()) {
            const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (output.append ? O_APPEND : O_TRUNC);
            const int fd = ::open(output.log.c_str(), flags, 0600);
            if (fd >= 0) {
                ::dup2(fd, STDOUT_FILENO);
                ::dup2(fd, STDERR_FILENO);
            }
        }
        if (output.stdoutFd >= 0)
            ::dup2(output.stdoutFd, STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

void StopChild(pid_t& pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

bool ChildRunning(pid_t pid) {
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0;
}

} // namespace testsupport
