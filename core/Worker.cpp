#include "core/Worker.h"

#include <QPointer>
#include <QThread>

CWorker::CWorker(CStopToken stop) : m_stop(std::move(stop)) {}

CWorker::~CWorker() {
    if (m_pThread)
        m_pThread->wait();
}

bool CWorker::Start(std::function<void(const CStopToken&)> fn, QObject* pContext,
                    std::function<void()> fnEnded) {
    if (IsRunning())
        return false;
    if (m_pThread)
        m_pThread->wait();
    m_pThread.reset(QThread::create([fn = std::move(fn), stop = m_stop] { fn(stop); }));
    if (pContext && fnEnded) {
        // The thread sends "finished" just before it ends: the wait that follows is its last few steps. A
        // thread already replaced by the next one has nothing to report.
        QPointer<QThread> pThread = m_pThread.get();
        QObject::connect(pThread, &QThread::finished, pContext, [pThread, fnEnded = std::move(fnEnded)] {
            if (!pThread)
                return;
            pThread->wait();
            fnEnded();
        });
    }
    m_pThread->start();
    return m_pThread->isRunning() || m_pThread->isFinished();
}

bool CWorker::IsRunning() const {
    return m_pThread && !m_pThread->isFinished();
}

bool CWorker::Wait(unsigned long timeoutMs) {
    return !m_pThread || m_pThread->wait(timeoutMs);
}
