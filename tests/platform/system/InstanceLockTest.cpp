#include "platform/system/InstanceLock.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
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
    EXPECT_EQ(InstanceLock().PathFor(u"OPAL_AGENT_Setting_TOOL_0"),
              "/tmp/OPAL_AGENT_Setting_TOOL_0-2.lock");
    EXPECT_EQ(InstanceLock("/run/x/").PathFor(u"../evil/name"), "/run/x/_._evil_name-2.lock");
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

TEST_F(InstanceLockTest, AnotherUsersLockCountsAsRunning) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to create a lock that another user may not open";
    InstanceLock root(Dir());
    ASSERT_EQ(root.Acquire(u"OPAL_AGENT_Setting_TOOL_0"), Result::Acquired);
    const std::string dir = Dir();
    // 1: counted as running; 2: the same user could lock another name in the
    // same directory, so the refusal came from the other user's file.
    const int verdict = RunUnprivileged([&dir] {
        InstanceLock other(dir);
        if (other.Acquire(u"OPAL_AGENT_Setting_TOOL_0") != Result::AlreadyRunning ||
            other.LastError() != EACCES)
            return 10;
        InstanceLock own(dir);
        return own.Acquire(u"OPAL_AGENT_Setting_TOOL_1") == Result::Acquired ? 0 : 11;
    });
    EXPECT_EQ(verdict, 0);
}

TEST_F(InstanceLockTest, PlantedLinksAndOddFilesAreNeverFollowed) {
    InstanceLock lock(Dir());
    const std::string path = lock.PathFor(u"OPAL_AGENT_Setting_TOOL_0");
    const std::string target = m_dir / "victim";
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(lock.Acquire(u"OPAL_AGENT_Setting_TOOL_0"), Result::Failed);
    EXPECT_EQ(lock.LastError(), ELOOP);
    EXPECT_FALSE(FileExists(target)) << "the link must not create its target";

    const std::string fifoPath = lock.PathFor(u"OPAL_AGENT_Setting_TOOL_1");
    ASSERT_EQ(::mkfifo(fifoPath.c_str(), 0666), 0);
    EXPECT_EQ(lock.Acquire(u"OPAL_AGENT_Setting_TOOL_1"), Result::Failed);
    EXPECT_EQ(lock.LastError(), EINVAL);

    InstanceLock missing(Dir() + "/no/such/dir");
    EXPECT_EQ(missing.Acquire(u"OPAL_AGENT_Setting_TOOL_0"), Result::Failed);
    EXPECT_EQ(missing.LastError(), ENOENT);
}
