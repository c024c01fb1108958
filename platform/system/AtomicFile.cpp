#include "platform/system/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<int> g_faultAt{0};
std::atomic<int> g_faultError{0};
std::atomic<int> g_writeCount{0};

ssize_t CheckedWrite(int fd, const char* data, std::size_t size) {
    const int at = g_faultAt.load();
    if (at > 0 && g_writeCount.fetch_add(1) + 1 == at) {
        errno = g_faultError.load();
        return -1;
    }
    return ::write(fd, data, size);
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace

void SetAtomicWriteFaultForTesting(int failingWrite, int error) {
    g_writeCount = 0;
    g_faultError = error;
    g_faultAt = failingWrite;
}

int WriteFileAtomic(const std::string& path, std::string_view bytes, mode_t newFileMode) {
    if (path.empty())
        return ENOENT;

    mode_t mode = newFileMode;
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode))
            return EISDIR;
        mode = existing.st_mode & 07777;
    } else if (errno != ENOENT) {
        return errno;
    }

    // mkostemp creates the file exclusively with mode 0600, so a secret is
    // never readable by others, not even for the moment before the rename.
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;

    int error = 0;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = CheckedWrite(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fchmod(fd, mode) != 0)
        error = errno;
    // The owner of a replaced file stays its owner where we may keep it so
    // (as root); elsewhere the file becomes ours, as any rewrite would.
    if (error == 0 && existing.st_ino != 0 && ::geteuid() == 0)
        (void)::fchown(fd, existing.st_uid, existing.st_gid);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return error;
    }

    const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return 0;
}
