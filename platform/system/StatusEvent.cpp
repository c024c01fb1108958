#include "platform/system/StatusEvent.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system/Utf.h"

namespace {

// Only the owner may write the event: whoever may write its file may also
// truncate it, and a mapped file cut short kills its users with SIGBUS.
constexpr mode_t kEventMode = 0600;
// glibc keeps a named semaphore "/x" as the file /dev/shm/sem.x.
constexpr const char* kSemaphoreFilePrefix = "/dev/shm/sem.";

std::string FileOf(const std::string& semaphoreName) {
    return kSemaphoreFilePrefix + semaphoreName.substr(1);
}

// Maps the event's file after checking what it is: a regular file (no
// link, no FIFO), of a semaphore's size, root's or this user's own, and
// writable by its owner alone. The checked descriptor is what gets mapped,
// so nothing can be swapped in between; and since nobody else may write
// the file, nobody else can truncate it under the mapping. 0, or ENOENT,
// ELOOP, EISDIR, EACCES from the open, EPERM for another user's or a
// shared-writable event, EINVAL for anything that is not a semaphore's
// file.
int MapChecked(const std::string& file, sem_t*& out) {
    const int fd = ::open(file.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat info {};
    int error = 0;
    if (::fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = EINVAL;
    else if ((info.st_uid != 0 && info.st_uid != ::geteuid()) ||
             (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        error = EPERM;
    else if (info.st_size != static_cast<off_t>(sizeof(sem_t)))
        error = EINVAL;
    void* mapped = MAP_FAILED;
    if (error == 0) {
        mapped = ::mmap(nullptr, sizeof(sem_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED)
            error = errno;
    }
    ::close(fd);
    if (error == 0)
        out = static_cast<sem_t*>(mapped);
    return error;
}

// Makes the event afresh: sem_open builds the file aside and links it into
// place, so it fails with EEXIST rather than take over anything at the name.
int CreateFresh(const std::string& semaphoreName) {
    sem_t* semaphore = ::sem_open(semaphoreName.c_str(), O_CREAT | O_EXCL, kEventMode, 0);
    if (semaphore == SEM_FAILED)
        return errno;
    ::sem_close(semaphore);
    // The umask may have taken the owner's own rights.
    const int fd = ::open(FileOf(semaphoreName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid())
            (void)::fchmod(fd, kEventMode);
        ::close(fd);
    }
    return 0;
}

} // namespace

StatusEvent::~StatusEvent() {
    Close();
}

std::string StatusEvent::SemaphoreName(std::u16string_view name) {
    for (const std::u16string_view prefix :
         {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")}) {
        if (name.starts_with(prefix)) {
            name.remove_prefix(prefix.size());
            break;
        }
    }
    std::string narrow;
    if (name.empty() || !Utf16ToUtf8(name, narrow))
        return {};
    for (char& c : narrow) {
        if (c == '/' || c == '\\')
            c = '_';
    }
    // "sem." is added to the name in /dev/shm.
    if (narrow.size() + 4 > NAME_MAX)
        return {};
    return "/" + narrow;
}

int StatusEvent::Unlink(std::u16string_view name) {
    const std::string semaphoreName = SemaphoreName(name);
    if (semaphoreName.empty())
        return EINVAL;
    return ::sem_unlink(semaphoreName.c_str()) == 0 ? 0 : errno;
}

int StatusEvent::Create(std::u16string_view name) {
    Close();
    m_replacedForeign = false;
    const std::string semaphoreName = SemaphoreName(name);
    if (semaphoreName.empty())
        return EINVAL;
    const std::string file = FileOf(semaphoreName);
    int error = ENOENT;
    for (int attempt = 0; attempt < 3; ++attempt) {
        sem_t* semaphore = SEM_FAILED;
        error = MapChecked(file, semaphore);
        if (error == 0) {
            m_semaphore = semaphore;
            return 0;
        }
        if (error == ENOENT) {
            error = CreateFresh(semaphoreName);
            if (error != 0 && error != EEXIST)
                return error;
            continue;
        }
        // Something another user put at the name (or a stale event of a
        // looser mode): root takes the name back for the event, nobody
        // else can.
        const bool foreign = error == EPERM || error == EINVAL || error == ELOOP || error == EISDIR;
        if (!foreign || ::geteuid() != 0)
            return error;
        if (::unlink(file.c_str()) != 0 && errno != ENOENT)
            return errno;
        m_replacedForeign = true;
    }
    return error;
}

int StatusEvent::Open(std::u16string_view name) {
    Close();
    const std::string semaphoreName = SemaphoreName(name);
    if (semaphoreName.empty())
        return EINVAL;
    sem_t* semaphore = SEM_FAILED;
    if (const int error = MapChecked(FileOf(semaphoreName), semaphore); error != 0)
        return error;
    m_semaphore = semaphore;
    return 0;
}

int StatusEvent::Signal() {
    if (m_semaphore == SEM_FAILED)
        return EBADF;
    int value = 0;
    if (::sem_getvalue(m_semaphore, &value) != 0)
        return errno;
    // Two signallers racing here may both post; the waiter then sees one
    // extra wake-up, which an event tolerates.
    if (value > 0)
        return 0;
    return ::sem_post(m_semaphore) == 0 ? 0 : errno;
}

bool StatusEvent::TryWait() {
    if (m_semaphore == SEM_FAILED)
        return false;
    while (::sem_trywait(m_semaphore) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

int StatusEvent::Value() const {
    int value = 0;
    if (m_semaphore == SEM_FAILED || ::sem_getvalue(m_semaphore, &value) != 0)
        return -1;
    return value;
}

void StatusEvent::Close() {
    if (m_semaphore != SEM_FAILED)
        ::munmap(m_semaphore, sizeof(sem_t));
    m_semaphore = SEM_FAILED;
}
