#pragma once
// A named lock held for the life of a process and scoped to the login
// session: flock() on "<directory>/<name>-<session key>.lock". The kernel
// drops the lock when the holder dies, so a crash never leaves a stale lock;
// the file itself stays and is reused.

#include <string>
#include <string_view>

class InstanceLock {
public:
    enum class Result {
        Acquired,
        AlreadyRunning, // held by another process, or another user's lock we may not open
        Failed          // anything else; LastError() tells what
    };

    explicit InstanceLock(std::string directory = "/tmp");
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock `name` for this session. A lock already held by this
    // object is released first.
    Result Acquire(std::u16string_view name);
    void Release();
    bool Held() const { return m_fd >= 0; }
    // errno of the last Acquire that did not give Acquired.
    int LastError() const { return m_lastError; }

    // The lock file for `name` in this session.
    std::string PathFor(std::u16string_view name) const;
    // XDG_SESSION_ID, else DISPLAY, else "nosession"; reduced to characters
    // that are safe in a file name.
    static std::string SessionKey();

private:
    std::string m_directory;
    int m_fd = -1;
    int m_lastError = 0;
};
