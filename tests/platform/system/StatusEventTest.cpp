#include "platform/system/StatusEvent.h"

#include <cerrno>
#include <sys/stat.h>
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

    // Another user's process opens it and takes the signal, once.
    const std::u16string name = m_name;
    const int taken = RunUnprivileged([&name] {
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

TEST_F(StatusEventTest, WorldReadableAndWritableWhateverTheUmask) {
    const mode_t previous = ::umask(077);
    StatusEvent event;
    const int created = event.Create(m_name);
    ::umask(previous);
    ASSERT_EQ(created, 0);
    struct stat info {};
    ASSERT_EQ(::stat(ShmFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
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
