#include "platform/system/SignalPipe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_readFd = -1;
volatile sig_atomic_t g_writeFd = -1;
std::vector<int> g_installed;

void OnSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe drops the byte; enough bytes are already waiting to wake
    // the loop.
    if (g_writeFd >= 0)
        (void)!::write(g_writeFd, &number, 1);
    errno = saved;
}

} // namespace

int SignalPipe::Install(std::initializer_list<int> numbers) {
    if (g_readFd < 0) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return errno;
        g_readFd = fds[0];
        g_writeFd = fds[1];
    }
    for (const int signal : numbers) {
        // A signal the starter chose to ignore (nohup, a background job's
        // SIGINT) stays ignored.
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(signal, &action, nullptr) != 0)
            return errno;
        g_installed.push_back(signal);
    }
    return 0;
}

int SignalPipe::ReadFd() {
    return g_readFd;
}

std::vector<int> SignalPipe::TakePending() {
    std::vector<int> pending;
    if (g_readFd < 0)
        return pending;
    unsigned char buffer[64];
    for (;;) {
        const ssize_t got = ::read(g_readFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.insert(pending.end(), buffer, buffer + got);
    }
    return pending;
}

void SignalPipe::Uninstall() {
    for (const int signal : g_installed)
        ::signal(signal, SIG_DFL);
    g_installed.clear();
    if (g_readFd < 0)
        return;
    const int writeFd = g_writeFd;
    g_writeFd = -1;
    ::close(writeFd);
    ::close(g_readFd);
    g_readFd = -1;
}
