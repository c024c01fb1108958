#pragma once
// Test support: temporary directories, a per-test agent home and registry
// root, file fixtures, a captured log and running a piece of a test without
// root's privileges.

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& Path() const { return m_path; }
    std::string operator/(std::string_view name) const { return (m_path / name).string(); }

private:
    fs::path m_path;
};

std::string ReadFileBytes(const fs::path& path);
void WriteFileBytes(const fs::path& path, std::string_view bytes);
bool FileExists(const fs::path& path);
// A fixture file from tests/data.
fs::path DataFile(std::string_view relative);

// A test in an agent home of its own: the program directory (through the
// test seam) and the registry root both point into a temporary directory,
// which is also the working directory while the test runs.
class AgentHomeTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string HomeFile(std::string_view name) const { return (m_home / name).string(); }
    const fs::path& Home() const { return m_home; }
    const fs::path& RegistryRootDir() const { return m_registryRoot; }
    // The file that holds one registry value of the agent's key.
    fs::path AgentRegistryValueFile(std::string_view name) const;
    // One of the agent's registry values through the registry layer; -1
    // when it cannot be read.
    void SetAgentRegistryInt(std::u16string_view name, int32_t value);
    int32_t AgentRegistryInt(std::u16string_view name);

    TempDir m_temp;
    fs::path m_home;
    fs::path m_registryRoot;

private:
    fs::path m_previousDir;
};

// Sends the process-wide log to a file for the life of the object, with the
// given level mask (everything by default).
class LogCapture {
public:
    explicit LogCapture(const fs::path& file, unsigned mask = 0x1073FF8, int maxSize = 0);
    ~LogCapture();
    std::string Text() const;
    const fs::path& File() const { return m_file; }

private:
    fs::path m_file;
};

// Runs `body` in a child process; where this process is root, the child
// first drops to nobody/nogroup so that file permission bits apply to it,
// with `groups` as its supplementary groups (numeric ids need no entry in
// the group database, so a test makes a "member" of a group of its own).
// Returns the child's exit status (body's return value), or -1 when it
// died by a signal.
int RunUnprivileged(const std::function<int()>& body, const std::vector<gid_t>& groups = {});

// How a helper process of a test is started: its output and the signal it
// gets when the test process dies (so a crashed test leaves no server,
// display or bus behind).
struct ChildOutput {
    std::string log;           // standard output and error go here ("" keeps them)
    bool append = false;       // else the log is started afresh
    int stdoutFd = -1;         // standard output here instead (a pipe to read)
    int deathSignal = SIGTERM; // sent to the child when this process dies
};
// Starts `args` (searched on PATH); -1 when it could not fork.
pid_t SpawnChild(const std::vector<std::string>& args, const ChildOutput& output = {});
// SIGTERM to a child started above, then waits for it; pid becomes -1.
void StopChild(pid_t& pid);
// Whether a child started above is still running (reaps it when not).
bool ChildRunning(pid_t pid);

inline constexpr uid_t NOBODY_UID = 65534;
inline constexpr gid_t NOGROUP_GID = 65534;

// Only root can act as another user; the tests that need to are skipped,
// saying so, elsewhere (CI runs as root).
bool CanActAsOtherUsers();
#define SKIP_UNLESS_ROOT()                                                                         \
    do {                                                                                           \
        if (!::testsupport::CanActAsOtherUsers())                                                  \
            GTEST_SKIP() << "needs root, to act as a member and a non-member of a group";          \
    } while (false)

// A group id that no group of the machine has: a test's administrators'
// group.
gid_t UnusedGroupId();

// The ownership and modes the install gives the agent's files, with `group`
// as the administrators' group: applied to whatever of them exists in `home`
// (when given) and below `registryRoot`. Everything is root's and written by
// root alone (members change it through the system helper): the program
// directory, the log directory and every registry directory 0755; the local
// configuration root:group 0640, so that members can read it; every other
// document, the log and the registry values 0644.
void ApplyInstallModes(const fs::path& home, const fs::path& registryRoot, gid_t group);
// The older layout in which the group wrote the agent's files itself: the
// program directory, the log directory and every registry directory
// root:group 2775; the local configuration 0660; the status document, the
// tool's configuration, the log and the registry values 0664, all
// root:group; the agent's own documents root:root 0644. For the tests of
// saves in directories that hand down their group.
void ApplyGroupWritableModes(const fs::path& home, const fs::path& registryRoot, gid_t group);

// Owner, group and permission bits (with set-id bits) of a file.
struct FileOwnership {
    uid_t uid = 0;
    gid_t gid = 0;
    unsigned mode = 0;
    bool operator==(const FileOwnership&) const = default;
};
FileOwnership OwnershipOf(const fs::path& path);
std::ostream& operator<<(std::ostream& out, const FileOwnership& o);

} // namespace testsupport
