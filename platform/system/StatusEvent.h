#pragma once
// A named, auto-reset event that any user may open: a POSIX named semaphore
// whose name is the event's name without its "Global\" (or "Local\") prefix.
// Signalling posts only while the count is 0, so a signal is either pending
// or not, as with an event, and signals never pile up.

#include <semaphore.h>
#include <string>
#include <string_view>

class StatusEvent {
public:
    StatusEvent() = default;
    ~StatusEvent();
    StatusEvent(const StatusEvent&) = delete;
    StatusEvent& operator=(const StatusEvent&) = delete;

    // Creates the event, not signalled, readable and writable by everybody
    // whatever the umask; an existing one is opened as it is. 0 or errno.
    int Create(std::u16string_view name);
    // Opens an existing event. 0 or errno (ENOENT when nobody created it).
    int Open(std::u16string_view name);
    // Sets the event. 0 or errno.
    int Signal();
    // Takes a pending signal, without waiting: true when there was one.
    bool TryWait();
    // The semaphore's count: 1 while signalled, 0 when not (never more, see
    // Signal); -1 when closed or unreadable.
    int Value() const;
    void Close();
    bool IsOpen() const { return m_semaphore != SEM_FAILED; }

    // "/<name without prefix>", every further '/' or '\' made '_'; empty when
    // the name is empty or too long for a semaphore.
    static std::string SemaphoreName(std::u16string_view name);
    // Removes the name (tests clean up with it; the program never does, the
    // agent may still want to open it).
    static int Unlink(std::u16string_view name);

private:
    sem_t* m_semaphore = SEM_FAILED;
};
