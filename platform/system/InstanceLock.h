#pragma once
// A named lock held for the life of a process and scoped to the user and the
// login session: flock() on a lock file. In the user's own runtime directory
// ($XDG_RUNTIME_DIR, 0700, cleared at logout) the file is
// "<name>-<session key>.lock"; in a directory other users may write (/tmp,
// where there is no runtime directory) the user's id goes into the name as
// well, "<name>-<uid>-<session key>.lock", so users never share a file. The
// kernel drops the lock when the holder dies, so a crash never leaves a stale
// lock; the file itself stays and is reused.

#include <string>
#include <string_view>

class InstanceLock {
public:
    enum class Result {
        Acquired,
        AlreadyRunning, // held by another process of this user
        // The lock file is not this user's own: somebody else put it there.
        // It says nothing about a running instance, and it is not taken.
        ForeignFile,
        Failed // anything else; LastError() tells what
    };

    explicit InstanceLock(std::string directory = DefaultDirectory());
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
    // The instance's socket for later starts, beside the lock file.
    std::string SocketPathFor(std::u16string_view name) const;
    // True when nobody but this user can create files in the directory
    // (owned by this user, no write bit for group or others).
    bool PrivateDirectory() const;
    const std::string& Directory() const { return m_directory; }

    // $XDG_RUNTIME_DIR when it is set to an absolute path, else /tmp.
    static std::string DefaultDirectory();
    // XDG_SESSION_ID, else DISPLAY, else "nosession"; reduced to characters
    // that are safe in a file name.
    static std::string SessionKey();

private:
    std::string BasePathFor(std::u16string_view name) const;

    std::string m_directory;
    int m_fd = -1;
    int m_lastError = 0;
};
