#include "platform/system/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<int> g_faultAt{0};
std::atomic<int> g_faultError{0};
std::atomic<int> g_writeCount{0};
std::atomic<bool> g_noUnnamedTempFiles{false};

// As many links as the kernel follows in one path walk.
constexpr int kMaxLinkHops = 40;

ssize_t CheckedWrite(int fd, const char* data, std::size_t size) {
    const int at = g_faultAt.load();
    if (at > 0 && g_writeCount.fetch_add(1) + 1 == at) {
        errno = g_faultError.load();
        return -1;
    }
    return ::write(fd, data, size);
}

int WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = CheckedWrite(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    void Reset(int fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    // Closes, reporting the close's own error (a deferred write error on
    // some file systems).
    int Close() {
        const int fd = m_fd;
        m_fd = -1;
        return fd >= 0 && ::close(fd) != 0 ? errno : 0;
    }

private:
    int m_fd;
};

std::string TempName(const std::string& base) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[6] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // Uniqueness is checked by O_EXCL/linkat anyway; any spread will do.
        static std::atomic<unsigned> counter{0};
        const unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u + counter++;
        for (std::size_t i = 0; i < sizeof random; ++i)
            random[i] = static_cast<unsigned char>(seed >> (i * 5));
    }
    std::string name = "." + base + SAVE_TEMP_MARKER;
    for (const unsigned char r : random)
        name += kAlphabet[r % (sizeof kAlphabet - 1)];
    return name;
}

bool IsTempNameOf(const std::string& name, const std::string& base) {
    const std::string prefix = "." + base + SAVE_TEMP_MARKER;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        const char c = name[i];
        const bool alnum =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum)
            return false;
    }
    return true;
}

// Temporary files of earlier saves of `base` that were killed before their
// rename. One that a running save holds is locked and stays.
void RemoveLeftovers(int dirFd, const std::string& base) {
    const int listFd = ::dup(dirFd);
    if (listFd < 0)
        return;
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return;
    }
    ::rewinddir(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsTempNameOf(name, base))
            continue;
        Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat held {};
        if (fd.Get() < 0 || ::fstat(fd.Get(), &held) != 0 || !S_ISREG(held.st_mode))
            continue;
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        // Only the very file that was locked goes: the name may have been
        // taken again in the meantime.
        struct stat named {};
        if (::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == held.st_dev && named.st_ino == held.st_ino)
            ::unlinkat(dirFd, name.c_str(), 0);
    }
    ::closedir(dir);
}

bool DirectoryRefuses(int error) {
    return error == EACCES || error == EPERM;
}

// The kernel's protected_symlinks rule, for every directory rather than only
// the sticky ones: a link is followed only when it is root's or the saving
// user's own. A link another user could plant (in a directory that user may
// write) must not turn a save into a write through to a file of our choosing
// being theirs.
bool LinkMayBeFollowed(const struct stat& link) {
    return link.st_uid == 0 || link.st_uid == ::geteuid();
}

// What the existing target (if any) means for the save.
struct Target {
    std::string path;
    std::string directory;
    std::string base;
    bool exists = false;
    struct stat info {};
};

int Examine(const std::string& path, Target& target) {
    if (path.empty())
        return ENOENT;
    if (!ResolveFinalTarget(path, target.path))
        return errno;
    target.directory = DirectoryOf(target.path);
    target.base = BaseNameOf(target.path);
    if (target.base.empty())
        return EISDIR;
    if (::lstat(target.path.c_str(), &target.info) == 0) {
        target.exists = true;
        if (!S_ISREG(target.info.st_mode))
            return EISDIR;
        // Read-only on purpose: no write bit for anyone. Root passes every
        // permission check, so the bits are looked at themselves.
        if ((target.info.st_mode & 0222) == 0)
            return EACCES;
        // Replacing by rename needs only the directory; a writer that opens
        // the file would need the file, and so does this one.
        if (::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0)
            return errno;
    } else if (errno != ENOENT) {
        return errno;
    }
    return 0;
}

int WriteInPlace(const Target& target, std::string_view bytes, const SaveFileOptions& options) {
    Fd fd(::open(target.path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.Get() < 0)
        return errno;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0)
        return errno;
    if (info.st_dev != target.info.st_dev || info.st_ino != target.info.st_ino)
        return EAGAIN;
    if (options.exactMode && (info.st_mode & 07777) != options.newFileMode &&
        ::fchmod(fd.Get(), options.newFileMode) != 0)
        return errno;
    int error = WriteAll(fd.Get(), bytes);
    if (error == 0 && ::ftruncate(fd.Get(), static_cast<off_t>(bytes.size())) != 0)
        error = errno;
    if (error == 0 && ::fsync(fd.Get()) != 0)
        error = errno;
    const int closed = fd.Close();
    return error != 0 ? error : closed;
}

// The group's rights reduced to what others have.
mode_t WithoutGroupRights(mode_t mode) {
    return (mode & ~mode_t{070}) | ((mode & 07) << 3);
}

// Gives a new temporary file the owner and group of the file it replaces,
// as far as the caller may; the mode it may then carry.
mode_t KeepOwnership(int fd, mode_t mode, const Target& target) {
    if (!target.exists)
        return mode;
    // The owner stays where we may keep it so (as root); elsewhere the file
    // becomes ours, as any rewrite would.
    if (::geteuid() == 0) {
        (void)::fchown(fd, target.info.st_uid, target.info.st_gid);
        return mode;
    }
    struct stat made {};
    if (::fstat(fd, &made) != 0 || made.st_gid == target.info.st_gid)
        return mode;
    // A member of the file's group may hand it that group; one who is not
    // must not pass the group's rights on to whatever group the new file got.
    if (::fchown(fd, static_cast<uid_t>(-1), target.info.st_gid) == 0)
        return mode;
    return WithoutGroupRights(mode);
}

// Fills a new temporary file: bytes, owner, mode, fsync. The mode comes
// last because a change of group may clear the set-id bits.
int FillTemp(int fd, std::string_view bytes, mode_t mode, const Target& target) {
    if (::flock(fd, LOCK_EX) != 0)
        return errno;
    int error = WriteAll(fd, bytes);
    if (error == 0 && ::fchmod(fd, KeepOwnership(fd, mode, target)) != 0)
        error = errno;
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    return error;
}

// The unnamed file is given a name only at the very end: straight as the
// target when there is none yet, else a temporary name renamed over it, so
// that a kill leaves a named leftover only in the moment between the two.
int LinkUnnamed(int fd, int dirFd, const Target& target) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const auto link = [&](const std::string& name) {
        if (::linkat(AT_FDCWD, self.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return 0;
        // Without /proc, only a process that may open files by handle can
        // link one by its descriptor.
        if (errno == ENOENT && ::linkat(fd, "", dirFd, name.c_str(), AT_EMPTY_PATH) == 0)
            return 0;
        return errno;
    };
    if (!target.exists) {
        const int error = link(target.base);
        if (error != EEXIST)
            return error;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = TempName(target.base);
        const int error = link(name);
        if (error == EEXIST)
            continue;
        if (error != 0)
            return error;
        if (::renameat(dirFd, name.c_str(), dirFd, target.base.c_str()) != 0) {
            const int renameError = errno;
            ::unlinkat(dirFd, name.c_str(), 0);
            return renameError;
        }
        return 0;
    }
    return EEXIST;
}

// A named temporary file, locked; its name in `name`.
int CreateNamedTemp(int dirFd, const Target& target, std::string& name, Fd& fd) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = TempName(target.base);
        fd.Reset(::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd.Get() < 0) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        if (::flock(fd.Get(), LOCK_EX) != 0)
            return errno;
        // Another save's clean-up may have taken the file in the moment
        // before it was locked; then it is made again.
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.Get(), &held) == 0 &&
            ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            return 0;
    }
    return EEXIST;
}

int SaveThroughUnnamed(int dirFd, const Target& target, std::string_view bytes, mode_t mode,
                       bool& unsupported) {
    unsupported = false;
    if (g_noUnnamedTempFiles.load()) {
        unsupported = true;
        return 0;
    }
    Fd fd(::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (fd.Get() < 0) {
        const int error = errno;
        unsupported = error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
        return unsupported ? 0 : error;
    }
    int error = FillTemp(fd.Get(), bytes, mode, target);
    if (error == 0) {
        error = LinkUnnamed(fd.Get(), dirFd, target);
        // A kernel or file system that cannot link it at all: the named
        // way still works.
        if (error == ENOENT || error == EPERM || error == EOPNOTSUPP || error == EXDEV) {
            unsupported = true;
            return 0;
        }
    }
    const int closed = fd.Close();
    return error != 0 ? error : closed;
}

int SaveThroughNamed(int dirFd, const Target& target, std::string_view bytes, mode_t mode) {
    std::string name;
    Fd fd;
    int error = CreateNamedTemp(dirFd, target, name, fd);
    if (error != 0)
        return error;
    error = FillTemp(fd.Get(), bytes, mode, target);
    if (error == 0 && ::renameat(dirFd, name.c_str(), dirFd, target.base.c_str()) != 0)
        error = errno;
    if (error != 0)
        ::unlinkat(dirFd, name.c_str(), 0);
    // The lock goes with the last descriptor, after the rename.
    const int closed = fd.Close();
    return error != 0 ? error : closed;
}

} // namespace

void SetAtomicWriteFaultForTesting(int failingWrite, int error) {
    g_writeCount = 0;
    g_faultError = error;
    g_faultAt = failingWrite;
}

void SetNoUnnamedTempFilesForTesting(bool on) {
    g_noUnnamedTempFiles = on;
}

bool IsSharedDirectory(const std::string& directory) {
    struct stat info {};
    return ::stat(directory.empty() ? "." : directory.c_str(), &info) == 0 &&
           S_ISDIR(info.st_mode) && (info.st_mode & S_ISGID) != 0;
}

int MakeDirectory(const std::string& path, mode_t privateMode) {
    const bool shared = IsSharedDirectory(DirectoryOf(path));
    const mode_t mode = shared ? 02775 : privateMode;
    if (::mkdir(path.c_str(), mode & 0777) != 0)
        return errno;
    // mkdir takes the umask off and may drop the set-group-id bit.
    (void)::chmod(path.c_str(), mode);
    return 0;
}

int OpenAppendFile(const std::string& path, bool truncate, mode_t newFileMode,
                   mode_t sharedFileMode, bool* created) {
    if (created)
        *created = false;
    // The log's name is opened anew for every line: a link planted there
    // would have root append to whatever it points at. Links are followed
    // here by the same rule as in a save, and the final name no further.
    std::string target;
    if (!ResolveFinalTarget(path, target))
        return -1;
    const int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | (truncate ? O_TRUNC : O_APPEND);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(target.c_str(), flags);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        const int made = ::open(target.c_str(), flags | O_CREAT | O_EXCL, newFileMode & 0777);
        if (made >= 0) {
            const mode_t mode = sharedFileMode != 0 && IsSharedDirectory(DirectoryOf(target))
                                    ? sharedFileMode
                                    : newFileMode;
            (void)::fchmod(made, mode);
            if (created)
                *created = true;
            return made;
        }
        // Somebody else made it in the meantime: open theirs.
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

bool ResolveFinalTarget(const std::string& path, std::string& target) {
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            // Missing (a dangling link's target, or a new file) or not a
            // link: this is the file to write.
            target = current;
            return true;
        }
        if (!LinkMayBeFollowed(info)) {
            errno = EACCES;
            return false;
        }
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(current.c_str(), buffer, sizeof buffer);
        if (length < 0)
            return false;
        if (static_cast<std::size_t>(length) >= sizeof buffer) {
            errno = ENAMETOOLONG;
            return false;
        }
        const std::string link(buffer, static_cast<std::size_t>(length));
        if (link.empty()) {
            errno = ENOENT;
            return false;
        }
        current = link.front() == '/' ? link : DirectoryOf(current) + "/" + link;
    }
    errno = ELOOP;
    return false;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    bytes.clear();
    char chunk[16384];
    while (ok) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

int CheckFileReplaceable(const std::string& path) {
    Target target;
    return Examine(path, target);
}

int SaveFile(const std::string& path, std::string_view bytes, const SaveFileOptions& options,
             SaveFileReport* report) {
    if (report)
        *report = SaveFileReport{};
    Target target;
    if (const int error = Examine(path, target); error != 0)
        return error;
    mode_t mode =
        target.exists && !options.exactMode ? (target.info.st_mode & 07777) : options.newFileMode;
    if (!target.exists && options.sharedFileMode != 0 && IsSharedDirectory(target.directory))
        mode = options.sharedFileMode;

    Fd dir(::open(target.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0)
        return errno;
    RemoveLeftovers(dir.Get(), target.base);

    bool unsupported = false;
    int error = SaveThroughUnnamed(dir.Get(), target, bytes, mode, unsupported);
    if (unsupported)
        error = SaveThroughNamed(dir.Get(), target, bytes, mode);
    if (error != 0 && DirectoryRefuses(error) && options.inPlaceWhenDirectoryRefuses &&
        target.exists) {
        error = WriteInPlace(target, bytes, options);
        if (error == 0 && report)
            report->inPlace = true;
        return error;
    }
    if (error != 0)
        return error;
    (void)::fsync(dir.Get());
    return 0;
}

int WriteFileAtomic(const std::string& path, std::string_view bytes, mode_t newFileMode) {
    SaveFileOptions options;
    options.newFileMode = newFileMode;
    return SaveFile(path, bytes, options);
}
