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

void CLoaderProcessHandle::Set(int fdProcess, int nProcessGroup) {
    std::lock_guard lock(m_mutex);
    m_fdProcess = fdProcess;
    m_nProcessGroup = nProcessGroup;
}

void CLoaderProcessHandle::Clear() {
    std::lock_guard lock(m_mutex);
    m_fdProcess = -1;
    m_nProcessGroup = -1;
}

bool CLoaderProcessHandle::Terminate() {
    std::lock_guard lock(m_mutex);
    if (m_fdProcess < 0)
        return false;
    if (m_nProcessGroup > 0)
        kill(-m_nProcessGroup, SIGKILL);
    return pidfd_send_signal(m_fdProcess, SIGKILL, nullptr, 0) == 0;
}
