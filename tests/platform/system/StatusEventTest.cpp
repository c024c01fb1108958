#include "platform/system/StatusEvent.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

// A name of this test process's own, so that parallel tests never share an
// event; removed again at the end.
class StatusEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string pid = std::to_string(::getpid());
        m_name = u"Global\\OPAL_TEST_STATUS_NOTIFY_" + std::u16string(pid.begin(), pid.end());
        StatusEvent::Unlink(m_name);
    }
    void TearDown() override { StatusEvent::Unlink(m_name); }
    std::string ShmFile() const {
        return "/dev/shm/sem." + StatusEvent::SemaphoreName(m_name).substr(1);
    }

    std::u16string m_name;
};

// Runs `body` in a child process of the same user; its result, or 99.
int InChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

} // namespace

TEST(StatusEventNames, PrefixDroppedAndSlashesNeutralised) {
    const struct {
        std::u16string event;
        std::string semaphore;
    } cases[] = {
        {u"Global\\OPAL_AGENT_STATUS_NOTIFY_0", "/OPAL_AGENT_STATUS_NOTIFY_0"},
        {u"Local\\x", "/x"},
        {u"plain", "/plain"},
        {u"Global\\a/b\\c", "/a_b_c"},
        {u"Global\\", ""},
        {u"", ""},
        {std::u16string(300, u'n'), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StatusEvent::SemaphoreName(c.event), c.semaphore);
}

TEST_F(StatusEventTest, SignalIsPendingOnceAndSeenByAnotherProcess) {
    StatusEvent event;
    ASSERT_EQ(event.Create(m_name), 0);
    EXPECT_EQ(event.Value(), 0);
    EXPECT_EQ(event.Signal(), 0);
    EXPECT_EQ(event.Signal(), 0);
    EXPECT_EQ(event.Value(), 1) << "signals must not pile up";

    // Another process of the same user (the agent, root as the tool) opens
    // it and takes the signal, once.
    const std::u16string name = m_name;
    const int taken = InChild([&name] {
        StatusEvent opener;
        if (opener.Open(name) != 0)
            return 10;
        if (opener.Value() != 1)
            return 11;
        return opener.TryWait() && !opener.TryWait() ? 0 : 12;
    });
    EXPECT_EQ(taken, 0);
    EXPECT_EQ(event.Value(), 0);

    // Creating it again opens the same event as it is.
    ASSERT_EQ(event.Signal(), 0);
    StatusEvent again;
    ASSERT_EQ(again.Create(m_name), 0);
    EXPECT_EQ(again.Value(), 1);
}

TEST_F(StatusEventTest, OnlyItsOwnerMayWriteItWhateverTheUmask) {
    for (const mode_t mask : {mode_t{0}, mode_t{077}, mode_t{0277}}) {
        StatusEvent::Unlink(m_name);
        const mode_t previous = ::umask(mask);
        StatusEvent event;
        const int created = event.Create(m_name);
        ::umask(previous);
        ASSERT_EQ(created, 0) << std::oct << mask;
        struct stat info {};
        ASSERT_EQ(::stat(ShmFile().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << std::oct << mask;
        EXPECT_EQ(info.st_uid, ::geteuid());
        EXPECT_EQ(event.Signal(), 0);
    }
}

// Nobody else can crash the tool through the event (a file cut short under
// its mapping), block it (a FIFO at the name) or have it signal an event of
// theirs: what another user puts at the name before the start is replaced by
// root, and during the run nobody else may write the event at all.
TEST_F(StatusEventTest, AnotherUserCanNeitherCrashNorBlockNorReceiveTheSignal) {
    SKIP_UNLESS_ROOT();
    const std::string file = ShmFile();
    const std::string semaphore = StatusEvent::SemaphoreName(m_name);
    struct Case {
        const char* what;
        std::function<int()> plant; // as nobody
    } cases[] = {
        {"a semaphore of theirs",
         [&] {
             sem_t* s = ::sem_open(semaphore.c_str(), O_CREAT | O_EXCL, 0666, 0);
             return s == SEM_FAILED ? 1 : (::sem_close(s), ::chmod(file.c_str(), 0666));
         }},
        {"a semaphore of theirs cut to 0 bytes",
         [&] {
             sem_t* s = ::sem_open(semaphore.c_str(), O_CREAT | O_EXCL, 0666, 0);
             return s == SEM_FAILED ? 1 : (::sem_close(s), ::truncate(file.c_str(), 0));
         }},
        {"a FIFO", [&] { return ::mkfifo(file.c_str(), 0666); }},
        {"a link", [&] { return ::symlink("/dev/null", file.c_str()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(file.c_str());
        ASSERT_EQ(RunUnprivileged(c.plant), 0);
        // The planted thing, as its owner keeps it.
        const int planted = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
        StatusEvent event;
        ASSERT_EQ(event.Create(m_name), 0);
        EXPECT_TRUE(event.ReplacedForeign());
        EXPECT_EQ(event.Signal(), 0);
        EXPECT_EQ(event.Value(), 1);
        struct stat info {};
        ASSERT_EQ(::lstat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 0u);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        if (planted >= 0) {
            // Not a byte of theirs was written: their count is still 0.
            struct stat theirs {};
            ASSERT_EQ(::fstat(planted, &theirs), 0);
            if (S_ISREG(theirs.st_mode) && theirs.st_size == static_cast<off_t>(sizeof(sem_t))) {
                sem_t value{};
                ASSERT_EQ(::pread(planted, &value, sizeof value, 0),
                          static_cast<ssize_t>(sizeof value));
                sem_t fresh{};
                ::sem_init(&fresh, 1, 0);
                EXPECT_EQ(std::memcmp(&value, &fresh, sizeof value), 0);
            }
            ::close(planted);
        }
    }

    // During the run: the event is root's alone; nobody can cut it short,
    // open it or signal it, and the exit's signal still works.
    StatusEvent event;
    ASSERT_EQ(event.Create(m_name), 0);
    const int attempts = RunUnprivileged([&] {
        if (::truncate(file.c_str(), 0) == 0 || errno != EACCES)
            return 1;
        StatusEvent intruder;
        if (intruder.Open(m_name) != EACCES || intruder.Create(m_name) != EACCES)
            return 2;
        return ::open(file.c_str(), O_RDWR) < 0 ? 0 : 3;
    });
    EXPECT_EQ(attempts, 0);
    EXPECT_EQ(event.Signal(), 0);
    EXPECT_EQ(event.Value(), 1);
}

TEST_F(StatusEventTest, ClosedOrMissingEventsFailCleanly) {
    StatusEvent event;
    EXPECT_EQ(event.Open(m_name), ENOENT);
    EXPECT_FALSE(event.IsOpen());
    EXPECT_EQ(event.Signal(), EBADF);
    EXPECT_EQ(event.Value(), -1);
    EXPECT_FALSE(event.TryWait());
    EXPECT_EQ(event.Create(u""), EINVAL);

    ASSERT_EQ(event.Create(m_name), 0);
    event.Close();
    EXPECT_FALSE(event.IsOpen());
    EXPECT_EQ(event.Signal(), EBADF);
}
