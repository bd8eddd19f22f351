#include "core/RunState.h"

#include <csignal>
#include <fcntl.h>
// This C library's header lacks the C++ linkage guards.
extern "C" {
#include <sys/pidfd.h>
}

bool CLoaderProcessHandle::IsSet() const {
    std::lock_guard lock(m_mutex);
    return m_fdProcess >= 0;
}

void CLoaderProcessHandle::Set(int fdProcess) {
    std::lock_guard lock(m_mutex);
    m_fdProcess = fdProcess;
}

void CLoaderProcessHandle::Clear() {
    std::lock_guard lock(m_mutex);
    m_fdProcess = -1;
}

bool CLoaderProcessHandle::Terminate() {
    std::lock_guard lock(m_mutex);
    if (m_fdProcess < 0)
        return false;
    return pidfd_send_signal(m_fdProcess, SIGKILL, nullptr, 0) == 0;
}
