#pragma once

#include "core/UniqueFd.h"

#include <string>
#include <sys/types.h>
#include <vector>

// A child process as its starter holds it: its pid (to reap it) and its process descriptor (to wait for it
// and to signal it; unlike the pid, it can never name another process). The child leads a process group of
// its own, so that whatever it starts can be ended with it, and is killed when the thread that started it
// ends (the program killed included): that thread must wait for it. Destroying the object kills and reaps
// what is left.
class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts program (looked up in PATH) with args (args[0] included) and fdIn as its input, fdOut as its
    // output and error, and fdShared (unless -1) as its descriptor 3, the same open file: an flock on it
    // lasts while either process holds it. Nothing else of this process's descriptors reaches it. False
    // with error (an errno value) when it could not be started.
    bool Spawn(const char* program, const std::vector<std::string>& args, int fdIn, int fdOut, int fdShared,
               int& error);

    int ProcessFd() const { return m_fdProcess.Get(); }
    int ProcessGroup() const { return m_pid; }

    // Ends what is left of the child's process group: the child itself may have ended already, but as long
    // as it is not reaped its pid still names the group.
    void EndGroup() const;
    // Waits for the ended child and returns its wait status.
    int Reap();
    void KillAndReap();

private:
    pid_t m_pid = -1;
    CUniqueFd m_fdProcess;
};
