#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// Handle of the running loader child. The worker publishes it while the child runs and clears it before it
// reaps the child; the window may end the child from the GUI thread at any moment in between. The handle is
// a process descriptor (pidfd): it names that one process, so a pid that the system hands out again after
// the child was reaped can never be signalled.
class CLoaderProcessHandle {
public:
    bool IsSet() const;
    // Publishes the descriptor of a running child. The holder does not own it.
    void Set(int fdProcess);
    // Forgets the child. Once Clear has returned, Terminate no longer touches it, so the caller may reap
    // the child and close the descriptor.
    void Clear();
    // Ends the running child at once (the close command). False when no child is held or it could not be
    // signalled.
    bool Terminate();

private:
    mutable std::mutex m_mutex;
    int m_fdProcess = -1;
};

// What a run needs to know about itself, readable by the working side without a window.
struct CRunState {
    CLoaderProcessHandle m_hLoaderProcess;
    std::string m_strPort = "COM1";
    std::string m_strFileName = "u-boot_2_lote.ldr";
    int32_t m_nBaudRate = 57600;
};
