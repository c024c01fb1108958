#include "platform/system/SignalPipe.h"

#include <csignal>
#include <poll.h>

#include "tests/support/TestSupport.h"

TEST(SignalPipeTest, SignalsArriveAsBytesInOrderAndDefaultsComeBack) {
    ASSERT_EQ(SignalPipe::Install({SIGTERM, SIGINT}), 0);
    ASSERT_EQ(SignalPipe::Install({SIGHUP}), 0) << "a second call adds to the same pipe";
    ASSERT_GE(SignalPipe::ReadFd(), 0);
    EXPECT_TRUE(SignalPipe::TakePending().empty());

    // The process lives on: each signal is only written down.
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(::raise(SIGHUP), 0);
    ASSERT_EQ(::raise(SIGINT), 0);
    pollfd entry{SignalPipe::ReadFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 1000), 1);
    EXPECT_EQ(SignalPipe::TakePending(), (std::vector<int>{SIGTERM, SIGHUP, SIGINT}));
    EXPECT_TRUE(SignalPipe::TakePending().empty());

    // A burst larger than one read is not lost.
    for (int i = 0; i < 200; ++i)
        ::raise(SIGINT);
    EXPECT_EQ(SignalPipe::TakePending().size(), 200u);

    SignalPipe::Uninstall();
    EXPECT_EQ(SignalPipe::ReadFd(), -1);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction current {};
        ASSERT_EQ(::sigaction(signal, nullptr, &current), 0);
        EXPECT_EQ(current.sa_handler, SIG_DFL) << signal;
    }
}

TEST(SignalPipeTest, AnIgnoredSignalStaysIgnored) {
    // As nohup starts a program.
    ASSERT_NE(::signal(SIGHUP, SIG_IGN), SIG_ERR);
    ASSERT_EQ(SignalPipe::Install({SIGHUP, SIGTERM}), 0);
    ASSERT_EQ(::raise(SIGHUP), 0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_EQ(SignalPipe::TakePending(), (std::vector<int>{SIGTERM}));
    SignalPipe::Uninstall();
    struct sigaction current {};
    ASSERT_EQ(::sigaction(SIGHUP, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN) << "Uninstall leaves alone what it did not take";
    ::signal(SIGHUP, SIG_DFL);
}
