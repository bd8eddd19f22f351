#include "core/Worker.h"

#include <QThread>

CWorker::CWorker(CStopToken stop) : m_stop(std::move(stop)) {}

CWorker::~CWorker() {
    if (m_pThread)
        m_pThread->wait();
}

bool CWorker::Start(std::function<void(const CStopToken&)> fn) {
    if (IsRunning())
        return false;
    if (m_pThread)
        m_pThread->wait();
    m_pThread.reset(QThread::create([fn = std::move(fn), stop = m_stop] { fn(stop); }));
    m_pThread->start();
    return m_pThread->isRunning() || m_pThread->isFinished();
}

bool CWorker::IsRunning() const {
    return m_pThread && !m_pThread->isFinished();
}

bool CWorker::Wait(unsigned long timeoutMs) {
    return !m_pThread || m_pThread->wait(timeoutMs);
}
