#pragma once
// A named lock held for the life of a process and scoped to the user and the
// login session: flock() on a lock file. In the user's own runtime directory
// ($XDG_RUNTIME_DIR, 0700, cleared at logout), or where the session has none
// in a directory of the user's own in /tmp, the file is
// "<name>-<session key>.lock"; in a directory other users may write (a
// sticky one of root's) the user's id goes into the name as well,
// "<name>-<uid>-<session key>.lock", so users never share a file. The
// kernel drops the lock when the holder dies, so a crash never leaves a stale
// lock; the file itself stays and is reused.

#include <string>
#include <string_view>

class InstanceLock {
public:
    enum class Result {
        Acquired,
        AlreadyRunning, // held by another process of this user
        // What is at the lock's name is not this user's own lock file (a
        // file of another user's, a link, a directory, a FIFO), or the
        // directory is not one the lock may live in: somebody else put it
        // there. It says nothing about a running instance, and it is not
        // taken.
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

    // $XDG_RUNTIME_DIR when it is set to an absolute path, else
    // PrivateTmpDirectory().
    static std::string DefaultDirectory();
    // "/tmp/opal-agent-setting-<uid>": made 0700 by Acquire when missing,
    // and used only while it is this user's own directory (not a link, no
    // write bit for group or others).
    static std::string PrivateTmpDirectory();
    // The directory may hold our lock: this user's own with no write bit
    // for group or others, or a sticky one of root's (/tmp itself).
    bool UsableDirectory() const;
    // XDG_SESSION_ID, else DISPLAY, else "nosession"; reduced to characters
    // that are safe in a file name.
    static std::string SessionKey();

private:
    std::string BasePathFor(std::u16string_view name) const;

    std::string m_directory;
    int m_fd = -1;
    int m_lastError = 0;
};

// Makes `directory` 0700 where it is missing and checks that it is this
// user's own directory, not a link, with no write bit for group or others.
// 0, or ELOOP, ENOTDIR, EACCES for something else there, or the errno of
// mkdir.
int EnsurePrivateDirectory(const std::string& directory);
