#include "platform/system/TrustedFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

bool WritableByOthers(const struct stat& info) {
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

std::string Describe(const std::string& path, const char* what) {
    return path + ": " + what;
}

// A directory on the way, judged together with the entry below it.
bool DirectoryPasses(const std::string& path, const struct stat& directory,
                     const struct stat& entry, const TrustedOwners& owners, std::string& why) {
    if (!owners.Accepts(directory.st_uid)) {
        errno = EACCES;
        why = Describe(path, "owned by another user");
        return false;
    }
    if (WritableByOthers(directory) && (directory.st_mode & S_ISVTX) == 0) {
        errno = EACCES;
        why = Describe(path, "writable by group or others");
        return false;
    }
    if (WritableByOthers(directory) && !owners.Accepts(entry.st_uid)) {
        errno = EACCES;
        why = Describe(path, "open to others, and the entry below it is another user's");
        return false;
    }
    return true;
}

// The last check of a file or directory that code is loaded from: an
// accepted owner, and nobody else may write it.
bool OwnedAndClosed(const std::string& path, const struct stat& info, const TrustedOwners& owners,
                    std::string& why) {
    if (!owners.Accepts(info.st_uid)) {
        errno = EACCES;
        why = Describe(path, "owned by another user");
        return false;
    }
    if (WritableByOthers(info)) {
        errno = EACCES;
        why = Describe(path, "writable by group or others");
        return false;
    }
    return true;
}

// Opens `directory` component by component from the root, never following
// a link, and checks each step. With `checkLast` the directory's own entry is
// judged here as well; otherwise the caller judges it with the file below.
int OpenCheckedDirectory(const std::string& directory, const TrustedOwners& owners, bool checkLast,
                         struct stat& last, std::string& why) {
    char resolved[PATH_MAX];
    if (directory.empty() || ::realpath(directory.c_str(), resolved) == nullptr) {
        why = Describe(directory, std::strerror(errno));
        return -1;
    }
    const std::string path = resolved;
    Fd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (current.Get() < 0 || ::fstat(current.Get(), &info) != 0) {
        why = Describe("/", std::strerror(errno));
        return -1;
    }
    std::string walked;
    std::size_t at = 1;
    while (at < path.size()) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        const std::string component = path.substr(at, end - at);
        at = end + 1;
        if (component.empty())
            continue;
        Fd next(::openat(current.Get(), component.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat nextInfo {};
        if (next.Get() < 0 || ::fstat(next.Get(), &nextInfo) != 0) {
            why = Describe(walked + "/" + component, std::strerror(errno));
            return -1;
        }
        if (!DirectoryPasses(walked.empty() ? "/" : walked, info, nextInfo, owners, why))
            return -1;
        walked += "/" + component;
        current.Reset(next.Release());
        info = nextInfo;
    }
    if (checkLast && !OwnedAndClosed(path, info, owners, why))
        return -1;
    last = info;
    return current.Release();
}

} // namespace

bool TrustedOwners::Accepts(uid_t uid) const {
    return uid == 0 || std::find(extra.begin(), extra.end(), uid) != extra.end();
}

TrustedOwners OwnersForAgentHome(const std::string& agentHome) {
    TrustedOwners owners;
    struct stat info {};
    const uid_t self = ::geteuid();
    if (self != 0 && ::stat(agentHome.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == self)
        owners.extra.push_back(self);
    return owners;
}

int OpenTrustedFile(const std::string& directory, const std::string& name,
                    const TrustedOwners& owners, std::string& why) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        errno = EACCES;
        why = Describe(name, "not a plain file name");
        return -1;
    }
    struct stat directoryInfo {};
    Fd dir(OpenCheckedDirectory(directory, owners, false, directoryInfo, why));
    if (dir.Get() < 0)
        return -1;
    const std::string path = directory + (directory.ends_with('/') ? "" : "/") + name;
    // O_NONBLOCK: a FIFO at the name must not hang the start.
    Fd file(::openat(dir.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0) {
        why = Describe(path, errno == ELOOP ? "a symbolic link" : std::strerror(errno));
        return -1;
    }
    if (!DirectoryPasses(directory, directoryInfo, info, owners, why))
        return -1;
    if (!S_ISREG(info.st_mode)) {
        errno = EACCES;
        why = Describe(path, "not a regular file");
        return -1;
    }
    if (!OwnedAndClosed(path, info, owners, why))
        return -1;
    // Reads go on blocking as usual.
    (void)::fcntl(file.Get(), F_SETFL, O_RDONLY);
    return file.Release();
}

bool IsTrustedDirectory(const std::string& directory, const TrustedOwners& owners,
                        std::string& why) {
    struct stat info {};
    Fd dir(OpenCheckedDirectory(directory, owners, true, info, why));
    return dir.Get() >= 0;
}

std::string DescriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}
