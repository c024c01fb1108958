#include "platform/system/InstanceChannel.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

class InstanceChannelTest : public ::testing::Test {
protected:
    std::string SocketPath() const { return m_dir / "tool.sock"; }
    bool WaitReadable(int fd, int ms = 5000) {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, ms) == 1;
    }
    // Connects, sends `bytes` and closes at once, as an impatient asker.
    static bool SendAndLeave(const std::string& path, const std::string& bytes) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        const bool sent =
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(bytes.size());
        ::close(fd);
        return sent;
    }

    TempDir m_dir;
};

} // namespace

TEST_F(InstanceChannelTest, AskedAndAnsweredByTheSameUser) {
    InstanceChannel channel;
    ASSERT_EQ(channel.Listen(SocketPath()), 0);
    struct stat info {};
    ASSERT_EQ(::lstat(SocketPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    std::string answer;
    ForwardResult result = ForwardResult::NoInstance;
    std::thread asker(
        [&] { result = AskRunningInstance(SocketPath(), "configure", answer, 5000); });
    ASSERT_TRUE(WaitReadable(channel.Fd()));
    InstanceChannel::Request request;
    ASSERT_TRUE(channel.AcceptRequest(request, 5000));
    EXPECT_EQ(request.line, "configure");
    EXPECT_TRUE(InstanceChannel::Answer(request, "ok"));
    asker.join();
    EXPECT_EQ(result, ForwardResult::Answered);
    EXPECT_EQ(answer, "ok");
    EXPECT_FALSE(channel.AcceptRequest(request, 100)) << "nothing more is waiting";

    channel.Close();
    EXPECT_FALSE(FileExists(SocketPath()));
    EXPECT_EQ(AskRunningInstance(SocketPath(), "configure", answer, 100),
              ForwardResult::NoInstance);
}

TEST_F(InstanceChannelTest, LeftoversOfOursAreReplacedAnythingElseIsLeftAlone) {
    // A socket whose instance died: nobody listens, so it is replaced.
    {
        InstanceChannel dead;
        ASSERT_EQ(dead.Listen(SocketPath()), 0);
        // The file outlives its listener, as after a crash.
        ASSERT_EQ(::link(SocketPath().c_str(), (m_dir / "kept").c_str()), 0);
    }
    ASSERT_EQ(::rename((m_dir / "kept").c_str(), SocketPath().c_str()), 0);
    std::string answer;
    EXPECT_EQ(AskRunningInstance(SocketPath(), "configure", answer, 100), ForwardResult::NoInstance)
        << "a socket nobody listens on is no instance";
    InstanceChannel channel;
    EXPECT_EQ(channel.Listen(SocketPath()), 0);
    channel.Close();

    const std::string file = m_dir / "file.sock";
    WriteFileBytes(file, "not a socket");
    EXPECT_EQ(channel.Listen(file), EEXIST);
    EXPECT_FALSE(channel.IsListening());
    EXPECT_EQ(ReadFileBytes(file), "not a socket");

    EXPECT_EQ(channel.Listen(std::string(200, 'x')), ENAMETOOLONG);
}

TEST_F(InstanceChannelTest, NothingIsDoneForAnAskerThatHasGone) {
    InstanceChannel channel;
    ASSERT_EQ(channel.Listen(SocketPath()), 0);
    // Nobody accepts in time: the asker gives up.
    std::string answer;
    EXPECT_EQ(AskRunningInstance(SocketPath(), "configure", answer, 50), ForwardResult::NoAnswer);
    // Its request is still read, but the answer finds nobody to take it.
    InstanceChannel::Request request;
    ASSERT_TRUE(channel.AcceptRequest(request, 1000));
    EXPECT_EQ(request.line, "configure");
    EXPECT_FALSE(InstanceChannel::Answer(request, "ok"));
}

TEST_F(InstanceChannelTest, ConnectionsWithoutAProperLineAreClosedUnanswered) {
    InstanceChannel channel;
    ASSERT_EQ(channel.Listen(SocketPath()), 0);
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"no newline", "configure"},
        {"nothing", ""},
        {"too long", std::string(kInstanceRequestMaxChars + 10, 'a') + "\n"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SendAndLeave(SocketPath(), c.bytes)) << c.name;
        InstanceChannel::Request request;
        EXPECT_FALSE(channel.AcceptRequest(request, 200)) << c.name;
    }
    // The longest line that is taken.
    const std::string longest(kInstanceRequestMaxChars, 'b');
    ASSERT_TRUE(SendAndLeave(SocketPath(), longest + "\n"));
    InstanceChannel::Request request;
    ASSERT_TRUE(channel.AcceptRequest(request, 200));
    EXPECT_EQ(request.line, longest);
}

TEST_F(InstanceChannelTest, OtherUsersCanNeitherAskNorPoseAsTheInstance) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to be two users";
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0777), 0);
    InstanceChannel channel;
    ASSERT_EQ(channel.Listen(SocketPath()), 0);
    const std::string path = SocketPath();

    // As made, the socket lets nobody else even connect.
    EXPECT_EQ(RunUnprivileged([&path] {
                  std::string answer;
                  return static_cast<int>(AskRunningInstance(path, "configure", answer, 500));
              }),
              static_cast<int>(ForwardResult::NoInstance));

    // Opened to all (a socket another user planted): a later start does not
    // talk to somebody else's instance, and the instance does not listen to
    // somebody else's request.
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    EXPECT_EQ(RunUnprivileged([&path] {
                  std::string answer;
                  return static_cast<int>(AskRunningInstance(path, "configure", answer, 500));
              }),
              static_cast<int>(ForwardResult::WrongUser));
    InstanceChannel::Request request;
    EXPECT_FALSE(channel.AcceptRequest(request, 100));
    EXPECT_EQ(RunUnprivileged([&path] { return SendAndLeave(path, "configure\n") ? 0 : 1; }), 0);
    EXPECT_FALSE(channel.AcceptRequest(request, 500));
}
