#include "platform/system/StatusEvent.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system/Utf.h"

namespace {

constexpr mode_t kEventMode = 0666;
// glibc keeps a named semaphore "/x" as the file /dev/shm/sem.x.
constexpr const char* kSemaphoreFilePrefix = "/dev/shm/sem.";

// sem_open's mode passes through the umask. The file is made world
// read/write afterwards through a descriptor that cannot follow a symlink,
// and only when it is ours, so nothing but the semaphore we just created is
// ever changed.
void OpenUpMode(const std::string& semaphoreName) {
    const std::string file = kSemaphoreFilePrefix + semaphoreName.substr(1);
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid())
        ::fchmod(fd, kEventMode);
    ::close(fd);
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
    const std::string semaphoreName = SemaphoreName(name);
    if (semaphoreName.empty())
        return EINVAL;
    sem_t* semaphore = ::sem_open(semaphoreName.c_str(), O_CREAT | O_EXCL, kEventMode, 0);
    if (semaphore != SEM_FAILED) {
        OpenUpMode(semaphoreName);
    } else if (errno == EEXIST) {
        semaphore = ::sem_open(semaphoreName.c_str(), 0);
    }
    if (semaphore == SEM_FAILED)
        return errno;
    m_semaphore = semaphore;
    return 0;
}

int StatusEvent::Open(std::u16string_view name) {
    Close();
    const std::string semaphoreName = SemaphoreName(name);
    if (semaphoreName.empty())
        return EINVAL;
    sem_t* semaphore = ::sem_open(semaphoreName.c_str(), 0);
    if (semaphore == SEM_FAILED)
        return errno;
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
        ::sem_close(m_semaphore);
    m_semaphore = SEM_FAILED;
}
