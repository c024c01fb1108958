#include "platform/system/InstanceLock.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

using Result = InstanceLock::Result;

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_had = old != nullptr;
        m_old = m_had ? old : "";
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_had)
            ::setenv(m_name, m_old.c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};

// A lock directory that everybody may write, like /tmp.
class InstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::chmod(m_dir.Path().c_str(), 01777), 0); }
    std::string Dir() const { return m_dir.Path().string(); }

    TempDir m_dir;
    ScopedEnv m_session{"XDG_SESSION_ID", "7"};
};

} // namespace

TEST(InstanceLockNames, SessionKeyAndPath) {
    const struct {
        const char* sessionId;
        const char* display;
        const char* key;
    } cases[] = {
        {"3", ":0", "3"},
        {nullptr, ":0", "_0"},
        {"", "localhost:10.0", "localhost_10.0"},
        {"../../etc", nullptr, "_._.._etc"},
        {nullptr, nullptr, "nosession"},
    };
    for (const auto& c : cases) {
        ScopedEnv session("XDG_SESSION_ID", c.sessionId);
        ScopedEnv display("DISPLAY", c.display);
        EXPECT_EQ(InstanceLock::SessionKey(), c.key);
    }
    ScopedEnv session("XDG_SESSION_ID", "2");
    EXPECT_EQ(InstanceLock("/run/x/").PathFor(u"../evil/name"),
              "/run/x/_._evil_name-" + std::to_string(::geteuid()) + "-2.lock");
}

TEST(InstanceLockNames, UserIdInTheNameUnlessTheDirectoryIsTheUsersOwn) {
    ScopedEnv session("XDG_SESSION_ID", "2");
    TempDir temp;
    const std::string uid = std::to_string(::geteuid());
    const struct {
        const char* name;
        mode_t mode;
        bool privateDirectory;
    } cases[] = {
        {"runtime", 0700, true},  {"readable", 0755, true}, {"group-writable", 0770, false},
        {"shared", 01777, false}, {"others", 0702, false},
    };
    for (const auto& c : cases) {
        const std::string dir = temp / c.name;
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
        InstanceLock lock(dir);
        EXPECT_EQ(lock.PrivateDirectory(), c.privateDirectory) << c.name;
        const std::string base =
            dir + "/OPAL_AGENT_Setting_TOOL_0-" + (c.privateDirectory ? "" : uid + "-") + "2";
        EXPECT_EQ(lock.PathFor(u"OPAL_AGENT_Setting_TOOL_0"), base + ".lock") << c.name;
        EXPECT_EQ(lock.SocketPathFor(u"OPAL_AGENT_Setting_TOOL_0"), base + ".sock") << c.name;
    }
    // A directory that does not exist is nobody's own.
    EXPECT_FALSE(InstanceLock(temp / "missing").PrivateDirectory());
}

TEST(InstanceLockNames, DefaultDirectoryIsTheRuntimeDirectory) {
    const std::string own = "/tmp/opal-agent-setting-" + std::to_string(::geteuid());
    const struct {
        const char* runtime;
        const char* directory;
    } cases[] = {
        {"/run/user/1000", "/run/user/1000"},
        {nullptr, own.c_str()},
        {"", own.c_str()},
        {"run/user/1000", own.c_str()}, // relative: not a runtime directory
    };
    for (const auto& c : cases) {
        ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime);
        EXPECT_EQ(InstanceLock::DefaultDirectory(), c.directory)
            << (c.runtime ? c.runtime : "unset");
        EXPECT_EQ(InstanceLock().Directory(), c.directory);
    }
}

TEST_F(InstanceLockTest, OneHolderPerNameAndSession) {
    InstanceLock first(Dir());
    ASSERT_EQ(first.Acquire(u"OPAL_AGENT_Setting_TOOL_3"), Result::Acquired);
    EXPECT_TRUE(first.Held());

    struct stat info {};
    ASSERT_EQ(::stat(first.PathFor(u"OPAL_AGENT_Setting_TOOL_3").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    InstanceLock second(Dir());
    EXPECT_EQ(second.Acquire(u"OPAL_AGENT_Setting_TOOL_3"), Result::AlreadyRunning);
    EXPECT_EQ(second.LastError(), EWOULDBLOCK);
    EXPECT_FALSE(second.Held());
    // Another plug-in type is another name.
    EXPECT_EQ(second.Acquire(u"OPAL_AGENT_Setting_TOOL_4"), Result::Acquired);
    {
        // Another session may run its own copy.
        ScopedEnv otherSession("XDG_SESSION_ID", "8");
        InstanceLock third(Dir());
        EXPECT_EQ(third.Acquire(u"OPAL_AGENT_Setting_TOOL_3"), Result::Acquired);
    }

    first.Release();
    EXPECT_FALSE(first.Held());
    InstanceLock fourth(Dir());
    EXPECT_EQ(fourth.Acquire(u"OPAL_AGENT_Setting_TOOL_3"), Result::Acquired);
}

TEST_F(InstanceLockTest, LockGoesWithTheProcessThatDies) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const std::string dir = Dir();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        InstanceLock lock(dir);
        const char answer =
            lock.Acquire(u"OPAL_AGENT_Setting_TOOL_0") == Result::Acquired ? 'y' : 'n';
        (void)!::write(ready[1], &answer, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(answer, 'y');

    InstanceLock lock(dir);
    EXPECT_EQ(lock.Acquire(u"OPAL_AGENT_Setting_TOOL_0"), Result::AlreadyRunning);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(lock.Acquire(u"OPAL_AGENT_Setting_TOOL_0"), Result::Acquired);
}

TEST_F(InstanceLockTest, AnotherUsersLockFileNeverCountsAsRunning) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to leave a lock file in another user's name";
    // The file nobody's start would use, left by root in the shared
    // directory: unreadable to nobody, or readable but still root's. Root
    // even holds its lock; neither blocks nobody, and nobody never takes it.
    const std::string path = m_dir / "OPAL_AGENT_Setting_TOOL_0-65534-7.lock";
    for (const mode_t mode : {mode_t{0600}, mode_t{0666}}) {
        ::unlink(path.c_str());
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::fchmod(fd, mode), 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        const std::string dir = Dir();
        const int verdict = RunUnprivileged([&dir, &path] {
            InstanceLock lock(dir);
            if (lock.PathFor(u"OPAL_AGENT_Setting_TOOL_0") != path)
                return 9;
            if (lock.Acquire(u"OPAL_AGENT_Setting_TOOL_0") != Result::ForeignFile || lock.Held() ||
                lock.LastError() != EACCES)
                return 10;
            // Another name in the same directory is nobody's own.
            InstanceLock own(dir);
            return own.Acquire(u"OPAL_AGENT_Setting_TOOL_1") == Result::Acquired ? 0 : 11;
        });
        EXPECT_EQ(verdict, 0) << std::oct << mode;
        ::close(fd);
    }
}

TEST_F(InstanceLockTest, PlantedLinksAndOddFilesAreNeverFollowed) {
    InstanceLock lock(Dir());
    const std::string path = lock.PathFor(u"OPAL_AGENT_Setting_TOOL_0");
    const std::string target = m_dir / "victim";
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(lock.Acquire(u"OPAL_AGENT_Setting_TOOL_0"), Result::ForeignFile);
    EXPECT_EQ(lock.LastError(), ELOOP);
    EXPECT_FALSE(FileExists(target)) << "the link must not create its target";

    const std::string fifoPath = lock.PathFor(u"OPAL_AGENT_Setting_TOOL_1");
    ASSERT_EQ(::mkfifo(fifoPath.c_str(), 0666), 0);
    EXPECT_EQ(lock.Acquire(u"OPAL_AGENT_Setting_TOOL_1"), Result::ForeignFile);
    EXPECT_EQ(lock.LastError(), EINVAL);

    const std::string directoryPath = lock.PathFor(u"OPAL_AGENT_Setting_TOOL_2");
    ASSERT_EQ(::mkdir(directoryPath.c_str(), 0700), 0);
    EXPECT_EQ(lock.Acquire(u"OPAL_AGENT_Setting_TOOL_2"), Result::ForeignFile);

    InstanceLock missing(Dir() + "/no/such/dir");
    EXPECT_EQ(missing.Acquire(u"OPAL_AGENT_Setting_TOOL_0"), Result::Failed);
    EXPECT_EQ(missing.LastError(), ENOENT);
}

// Without a runtime directory the lock lives in a directory of the user's
// own in /tmp, made 0700 at the first start. Whatever another user puts at
// that name first is never used, and never keeps the tool from running.
TEST_F(InstanceLockTest, ThePerUserDirectoryInTmpIsMadePrivateAndAnythingElseThereIsForeign) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as two users";
    constexpr uid_t kAttacker = 64123;
    constexpr uid_t kVictim = 64124;
    const fs::path tmp = m_dir.Path() / "tmp";
    fs::create_directories(tmp);
    ASSERT_EQ(::chmod(tmp.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0755), 0);
    const std::string own = (tmp / ("opal-agent-setting-" + std::to_string(kVictim))).string();
    const auto asUser = [](uid_t uid, const std::function<int()>& body) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
                ::_exit(90);
            ::_exit(body());
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
    };
    const fs::path elsewhere = tmp / "elsewhere";
    struct Case {
        const char* what;
        std::function<int()> plant; // run as the attacker
    } cases[] = {
        {"the attacker's directory", [&] { return ::mkdir(own.c_str(), 01777); }},
        {"a FIFO", [&] { return ::mkfifo(own.c_str(), 0666); }},
        {"a link to a directory the victim owns",
         [&] { return ::symlink(elsewhere.c_str(), own.c_str()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(own);
        fs::remove_all(elsewhere);
        fs::create_directory(elsewhere);
        ASSERT_EQ(::chown(elsewhere.c_str(), kVictim, kVictim), 0);
        ::chmod(elsewhere.c_str(), 0700);
        ASSERT_EQ(asUser(kAttacker, c.plant), 0);
        const int verdict = asUser(kVictim, [&] {
            InstanceLock lock(own);
            const Result result = lock.Acquire(u"OPAL_AGENT_Setting_TOOL_0");
            return result == Result::ForeignFile ? 0 : 10 + static_cast<int>(result);
        });
        EXPECT_EQ(verdict, 0);
        EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing is made through the link";
        struct stat info {};
        ASSERT_EQ(::lstat(own.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, kAttacker) << "the planted thing stays as it was";
    }

    // Nothing there: made 0700, the victim's, and the lock is taken in it.
    fs::remove_all(own);
    const int verdict = asUser(kVictim, [&] {
        InstanceLock lock(own);
        if (lock.Acquire(u"OPAL_AGENT_Setting_TOOL_0") != Result::Acquired)
            return 1;
        return lock.PathFor(u"OPAL_AGENT_Setting_TOOL_0").rfind(own + "/", 0) == 0 ? 0 : 2;
    });
    EXPECT_EQ(verdict, 0);
    struct stat info {};
    ASSERT_EQ(::lstat(own.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_uid, kVictim);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
}
