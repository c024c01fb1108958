#include "platform/system/InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system/Utf.h"

namespace {

// Anything outside this set becomes '_' so that neither the name nor the
// session key can leave the lock directory or make a hidden path.
std::string SafeFileNamePart(std::string_view text) {
    std::string safe;
    safe.reserve(text.size());
    for (const char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        safe.push_back(plain ? c : '_');
    }
    if (!safe.empty() && safe.front() == '.')
        safe.front() = '_';
    return safe;
}

} // namespace

InstanceLock::InstanceLock(std::string directory) : m_directory(std::move(directory)) {
    if (m_directory.empty())
        m_directory = "/tmp";
}

InstanceLock::~InstanceLock() {
    Release();
}

std::string InstanceLock::SessionKey() {
    for (const char* variable : {"XDG_SESSION_ID", "DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            return SafeFileNamePart(value);
    }
    return "nosession";
}

std::string InstanceLock::PathFor(std::u16string_view name) const {
    std::string narrow;
    if (!Utf16ToUtf8(name, narrow)) {
        narrow.clear();
        for (const char16_t c : name)
            narrow.push_back(c < 0x80 ? static_cast<char>(c) : '_');
    }
    std::string path = m_directory;
    if (path.back() != '/')
        path.push_back('/');
    return path + SafeFileNamePart(narrow) + "-" + SessionKey() + ".lock";
}

InstanceLock::Result InstanceLock::Acquire(std::u16string_view name) {
    Release();
    const std::string path = PathFor(name);
    // O_NOFOLLOW: a symlink planted in a shared directory must not make us
    // create or lock somebody else's file. O_NONBLOCK: nor may a planted FIFO
    // hang the start.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_lastError = errno;
        // A lock file of another user, which we may not open (its mode, or
        // the sticky directory's protected_regular rule), means an instance
        // of that user runs in this session.
        return m_lastError == EACCES ? Result::AlreadyRunning : Result::Failed;
    }
    struct stat info {};
    const int statResult = ::fstat(fd, &info);
    if (statResult != 0 || !S_ISREG(info.st_mode)) {
        m_lastError = statResult != 0 ? errno : EINVAL;
        ::close(fd);
        return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_lastError = errno;
        ::close(fd);
        return m_lastError == EWOULDBLOCK ? Result::AlreadyRunning : Result::Failed;
    }
    m_fd = fd;
    m_lastError = 0;
    return Result::Acquired;
}

void InstanceLock::Release() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
