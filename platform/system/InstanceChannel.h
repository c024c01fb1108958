#pragma once
// How a later start in the same session speaks to the instance that runs:
// a Unix stream socket beside the instance lock, mode 0600, one line each
// way. Both ends check who is at the other (SO_PEERCRED): only the same user
// may ask the instance for anything, and nobody else can pose as it.

#include <string>
#include <string_view>
#include <sys/types.h>

inline constexpr std::size_t kInstanceRequestMaxChars = 64;

class InstanceChannel {
public:
    InstanceChannel() = default;
    ~InstanceChannel();
    InstanceChannel(const InstanceChannel&) = delete;
    InstanceChannel& operator=(const InstanceChannel&) = delete;

    // Listens on `path`. A socket of this user's that an instance which died
    // left there is replaced; anything else at the path is left alone and
    // EEXIST returned. 0 or errno.
    int Listen(const std::string& path);
    bool IsListening() const { return m_fd >= 0; }
    // Readable when a later start is waiting.
    int Fd() const { return m_fd; }
    const std::string& Path() const { return m_path; }

    struct Request {
        int fd = -1;
        std::string line; // without its newline
    };
    // Takes the next waiting connection of this user and reads its request
    // line, waiting at most `timeoutMs` for it. Connections of other users,
    // and ones that send no line in time, are closed unanswered. False when
    // nothing (more) is waiting.
    bool AcceptRequest(Request& request, int timeoutMs);
    // Sends `line` and closes the connection. False when the asker had
    // already gone, so that nothing is done for somebody who no longer
    // waits.
    static bool Answer(Request& request, std::string_view line);

    // Stops listening and removes the socket, if it is still ours.
    void Close();

private:
    int m_fd = -1;
    std::string m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

enum class ForwardResult {
    Answered,   // `answer` holds the instance's line
    NoInstance, // nobody listens there
    WrongUser,  // somebody else's socket: not asked
    NoAnswer    // connected, but no line came in time
};

// The later start's side: sends `request` to the instance at `path` and waits
// at most `timeoutMs` for its answer.
ForwardResult AskRunningInstance(const std::string& path, std::string_view request,
                                 std::string& answer, int timeoutMs);
