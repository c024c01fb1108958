#pragma once
// Signals as bytes on a pipe (the self-pipe way): the handler only writes
// the signal's number, the one thing a handler may safely do, and the event
// loop reads the pipe and acts at its own pace.

#include <initializer_list>
#include <vector>

class SignalPipe {
public:
    // Catches the signals `numbers` from now on; the read end becomes
    // readable when one arrives. A signal that is ignored when this is called
    // (nohup) stays ignored. Calling it again adds signals to the same pipe.
    // 0 or errno.
    static int Install(std::initializer_list<int> numbers);
    // The read end, or -1 before Install.
    static int ReadFd();
    // The signals that arrived since the last call, oldest first.
    static std::vector<int> TakePending();
    // Gives the signals their default action again and closes the pipe.
    static void Uninstall();
};
