#pragma once
// A named, auto-reset event: a POSIX named semaphore whose name is the
// event's name without its "Global\" (or "Local\") prefix, kept by glibc as
// the file /dev/shm/sem.<name>. Signalling posts only while the count is 0,
// so a signal is either pending or not, as with an event, and signals never
// pile up.
//
// The contract with the agent side. On a shared machine an event that any
// user may open is one that any user may truncate (the tool then dies with
// SIGBUS as it signals), replace or signal falsely. So:
// - The event is root's: the file /dev/shm/sem.<name> belongs to root, mode
//   0600, exactly sizeof(sem_t) bytes, a plain file. Root's tools and the
//   agent (root) create it when it is missing (sem_open with O_CREAT|O_EXCL,
//   so nothing at the name is ever taken over) and set the mode to 0600.
// - Whoever opens it (the agent to wait, the tool to signal) checks before
//   mapping: open with O_NOFOLLOW | O_NONBLOCK, fstat the descriptor (a
//   regular file, sizeof(sem_t) bytes, owned by root, or by the opening user
//   itself for a run without root, no write bit for group or others), and
//   maps that descriptor. Anything else at the name is not used; root removes
//   it and makes the event afresh.
// - A tool run by another user cannot write root's event and so does not
//   signal it: the agent learns of root's tool's exit only. (Such a tool
//   makes an event of its own only where none exists; the agent treats it
//   as foreign and replaces it.)

#include <semaphore.h>
#include <string>
#include <string_view>

class StatusEvent {
public:
    StatusEvent() = default;
    ~StatusEvent();
    StatusEvent(const StatusEvent&) = delete;
    StatusEvent& operator=(const StatusEvent&) = delete;

    // Creates the event, not signalled, mode 0600 whatever the umask; an
    // existing one that passes the checks above is opened as it is. As
    // root, anything else at the name is removed first (ReplacedForeign).
    // 0 or errno: EACCES for root's event and a user who is not root, EPERM
    // or EINVAL for another user's or a malformed one.
    int Create(std::u16string_view name);
    // Opens an existing event that passes the checks above. 0 or errno
    // (ENOENT when nobody created it).
    int Open(std::u16string_view name);
    // The last Create found something else at the name and replaced it.
    bool ReplacedForeign() const { return m_replacedForeign; }
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
    bool m_replacedForeign = false;
};
