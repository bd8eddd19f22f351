#include "core/StopToken.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

struct CStopToken::SState {
    std::stop_source m_source;
    int m_fdWake = -1;

    SState() : m_fdWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~SState() {
        if (m_fdWake >= 0)
            close(m_fdWake);
    }
};

bool CStopToken::StopRequested() const {
    return m_pState && m_pState->m_source.stop_requested();
}

bool CStopToken::SleepFor(uint32_t ms) const {
    if (!m_pState) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return true;
    }
    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock lock(mutex);
    cv.wait_for(lock, m_pState->m_source.get_token(), std::chrono::milliseconds(ms), [] { return false; });
    return !StopRequested();
}

int CStopToken::WakeFd() const {
    return m_pState ? m_pState->m_fdWake : -1;
}

std::stop_token CStopToken::Native() const {
    return m_pState ? m_pState->m_source.get_token() : std::stop_token();
}

CStopSource::CStopSource() : m_pState(std::make_shared<CStopToken::SState>()) {}

void CStopSource::RequestStop() {
    if (!m_pState->m_source.request_stop())
        return;
    // Level-triggered for poll(): the counter is never read back, so the descriptor stays readable.
    uint64_t one = 1;
    while (write(m_pState->m_fdWake, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool CStopSource::StopRequested() const {
    return m_pState->m_source.stop_requested();
}

CStopToken CStopSource::Token() const {
    return CStopToken(m_pState);
}
