#include "platform/system/InstanceChannel.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool FillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool PeerIsThisUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
           peer.uid == ::geteuid();
}

// One line from `fd`, at most kInstanceRequestMaxChars, within `timeoutMs`.
bool ReadLine(int fd, std::string& line, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    line.clear();
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buffer[kInstanceRequestMaxChars + 1];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return false;
        line.append(buffer, static_cast<std::size_t>(got));
        const auto end = line.find('\n');
        if (end != std::string::npos) {
            line.resize(end);
            return true;
        }
        if (line.size() > kInstanceRequestMaxChars)
            return false;
    }
}

bool SendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

InstanceChannel::~InstanceChannel() {
    Close();
}

int InstanceChannel::Listen(const std::string& path) {
    Close();
    sockaddr_un address{};
    if (!FillAddress(path, address))
        return ENAMETOOLONG;
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        // We hold the instance lock, so a socket of ours here is dead.
        if (!S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid())
            return EEXIST;
        if (::unlink(path.c_str()) != 0)
            return errno;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return errno;
    // The socket is born with the umask's mode; nobody else may connect even
    // for the moment before the chmod.
    const mode_t previous = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(previous);
    if (bound != 0) {
        ::close(fd);
        return bindError;
    }
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 8) != 0 ||
        ::stat(path.c_str(), &info) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return error;
    }
    m_fd = fd;
    m_path = path;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    return 0;
}

bool InstanceChannel::AcceptRequest(Request& request, int timeoutMs) {
    request = Request{};
    if (m_fd < 0)
        return false;
    for (;;) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return false;
        }
        std::string line;
        if (PeerIsThisUser(fd) && ReadLine(fd, line, timeoutMs)) {
            request.fd = fd;
            request.line = std::move(line);
            return true;
        }
        ::close(fd);
    }
}

bool InstanceChannel::Answer(Request& request, std::string_view line) {
    if (request.fd < 0)
        return false;
    const bool sent = SendAll(request.fd, std::string(line) + "\n");
    ::close(request.fd);
    request.fd = -1;
    return sent;
}

void InstanceChannel::Close() {
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
    // Only our own socket: a later instance may already have put its own
    // there.
    struct stat info {};
    if (::lstat(m_path.c_str(), &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode)
        ::unlink(m_path.c_str());
    m_path.clear();
}

ForwardResult AskRunningInstance(const std::string& path, std::string_view request,
                                 std::string& answer, int timeoutMs) {
    answer.clear();
    sockaddr_un address{};
    if (!FillAddress(path, address))
        return ForwardResult::NoInstance;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return ForwardResult::NoInstance;
    int connected = -1;
    do {
        connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    ForwardResult result = ForwardResult::NoInstance;
    if (connected != 0)
        result = ForwardResult::NoInstance;
    else if (!PeerIsThisUser(fd))
        result = ForwardResult::WrongUser;
    else if (!SendAll(fd, std::string(request) + "\n") || !ReadLine(fd, answer, timeoutMs))
        result = ForwardResult::NoAnswer;
    else
        result = ForwardResult::Answered;
    ::close(fd);
    return result;
}
