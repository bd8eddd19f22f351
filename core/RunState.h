#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// Handle of the running loader child. The worker publishes it while the child runs and clears it before it
// reaps the child; the window may end the child from the GUI thread at any moment in between. The handle is
// a process descriptor (pidfd): it names that one process, so a pid that the system hands out again after
// the child was reaped can never be signalled.
//
// The child leads a process group of its own, which holds whatever it started (a wrapper script's real
// loader, say); ending the child ends the whole group. Its number is the child's pid, which stays the
// child's until it is reaped, so the group cannot be another's while the handle is set.
class CLoaderProcessHandle {
public:
    bool IsSet() const;
    // Publishes the descriptor of a running child that leads process group nProcessGroup. The holder does
    // not own it.
    void Set(int fdProcess, int nProcessGroup);
    // Forgets the child. Once Clear has returned, Terminate no longer touches it, so the caller may reap
    // the child and close the descriptor.
    void Clear();
    // Ends the running child and its group at once (the close command). False when no child is held or it
    // could not be signalled.
    bool Terminate();

private:
    mutable std::mutex m_mutex;
    int m_fdProcess = -1;
    int m_nProcessGroup = -1;
};

// What a run needs to know about itself, readable by the working side without a window.
struct CRunState {
    CLoaderProcessHandle m_hLoaderProcess;
    std::string m_strPort = "COM1";
    std::string m_strFileName = "u-boot_2_lote.ldr";
    int32_t m_nBaudRate = 57600;
};
