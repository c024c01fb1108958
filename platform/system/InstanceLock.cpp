#include "platform/system/InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
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

std::string InstanceLock::DefaultDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    // A relative value is not a runtime directory; it would put the lock
    // wherever the tool happens to start.
    if (runtime != nullptr && runtime[0] == '/')
        return runtime;
    return PrivateTmpDirectory();
}

std::string InstanceLock::PrivateTmpDirectory() {
    return "/tmp/opal-agent-setting-" + std::to_string(::geteuid());
}

int EnsurePrivateDirectory(const std::string& directory) {
    if (directory.empty())
        return ENOENT;
    // Missing: made here, 0700 whatever the umask (mkdir never follows a
    // link at the name). Anything already there is judged as it is.
    if (::mkdir(directory.c_str(), 0700) == 0)
        (void)::chmod(directory.c_str(), 0700);
    else if (errno != EEXIST)
        return errno;
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0)
        return errno;
    if (S_ISLNK(info.st_mode))
        return ELOOP;
    if (!S_ISDIR(info.st_mode))
        return ENOTDIR;
    if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return EACCES;
    return 0;
}

bool InstanceLock::UsableDirectory() const {
    struct stat info {};
    if (::lstat(m_directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    if (info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    // A directory everybody may write, as /tmp: only root's, and sticky, so
    // that nobody can take away or swap what another user made there.
    return info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0;
}

bool InstanceLock::PrivateDirectory() const {
    struct stat info {};
    return ::stat(m_directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
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

std::string InstanceLock::BasePathFor(std::u16string_view name) const {
    std::string narrow;
    if (!Utf16ToUtf8(name, narrow)) {
        narrow.clear();
        for (const char16_t c : name)
            narrow.push_back(c < 0x80 ? static_cast<char>(c) : '_');
    }
    std::string path = m_directory;
    if (path.back() != '/')
        path.push_back('/');
    path += SafeFileNamePart(narrow) + "-";
    if (!PrivateDirectory())
        path += std::to_string(::geteuid()) + "-";
    return path + SessionKey();
}

std::string InstanceLock::PathFor(std::u16string_view name) const {
    return BasePathFor(name) + ".lock";
}

std::string InstanceLock::SocketPathFor(std::u16string_view name) const {
    return BasePathFor(name) + ".sock";
}

InstanceLock::Result InstanceLock::Acquire(std::u16string_view name) {
    Release();
    // The per-user directory in /tmp (or one named alike elsewhere) is made
    // here; whatever else is found at its name (another user's directory, a
    // link, a FIFO) is not used.
    if (m_directory.ends_with(PrivateTmpDirectory().substr(4))) {
        if (const int error = EnsurePrivateDirectory(m_directory); error != 0 && error != ENOENT) {
            m_lastError = error;
            return Result::ForeignFile;
        }
    }
    if (struct stat info{}; ::lstat(m_directory.c_str(), &info) != 0) {
        m_lastError = errno;
        return Result::Failed;
    }
    if (!UsableDirectory()) {
        m_lastError = EACCES;
        return Result::ForeignFile;
    }
    const std::string path = PathFor(name);
    // O_NOFOLLOW: a symlink planted in a shared directory must not make us
    // create or lock somebody else's file. O_NONBLOCK: nor may a planted FIFO
    // hang the start.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_lastError = errno;
        // The name carries our uid, so a file there that we may not open
        // (its mode, or a sticky directory's protected_regular rule), a link
        // or a directory was put there by somebody else: it must not keep
        // us from running.
        return m_lastError == EACCES || m_lastError == ELOOP || m_lastError == EISDIR ||
                       m_lastError == ENXIO || m_lastError == EPERM
                   ? Result::ForeignFile
                   : Result::Failed;
    }
    struct stat info {};
    const int statResult = ::fstat(fd, &info);
    if (statResult != 0 || !S_ISREG(info.st_mode)) {
        m_lastError = statResult != 0 ? errno : EINVAL;
        ::close(fd);
        return statResult != 0 ? Result::Failed : Result::ForeignFile;
    }
    // Another user's file that we happen to be allowed to open: whoever owns
    // it could hold its lock for ever and keep every start of ours out.
    if (info.st_uid != ::geteuid()) {
        m_lastError = EACCES;
        ::close(fd);
        return Result::ForeignFile;
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
