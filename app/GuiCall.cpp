#include "app/GuiCall.h"

#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <condition_variable>
#include <mutex>

namespace {

struct SGuiJob {
    std::mutex m_mutex;
    std::condition_variable_any m_cv;
    bool m_bDone = false;      // the function has run
    bool m_bDropped = false;   // the queued call was destroyed without running (its receiver went away)
    bool m_bAbandoned = false; // the caller stopped waiting before the call got its turn
};

// Lives inside the queued call; when Qt discards the call unrun, the waiting worker learns of it here.
struct SDropNotice {
    explicit SDropNotice(std::shared_ptr<SGuiJob> pJob) : m_pJob(std::move(pJob)) {}
    SDropNotice(const SDropNotice&) = delete;
    SDropNotice& operator=(const SDropNotice&) = delete;
    std::shared_ptr<SGuiJob> m_pJob;
    ~SDropNotice() {
        std::lock_guard lock(m_pJob->m_mutex);
        if (!m_pJob->m_bDone) {
            m_pJob->m_bDropped = true;
            m_pJob->m_cv.notify_all();
        }
    }
};

} // namespace

bool CallOnGuiThread(QObject* context, const CStopToken& stop, std::function<void()> fn) {
    if (!context || stop.StopRequested())
        return false;
    if (QThread::currentThread() == context->thread()) {
        fn();
        return true;
    }

    auto pJob = std::make_shared<SGuiJob>();
    auto pNotice = std::make_shared<SDropNotice>(pJob);
    bool bQueued = QMetaObject::invokeMethod(
        context,
        [pJob, pNotice, fn = std::move(fn)] {
            {
                std::lock_guard lock(pJob->m_mutex);
                if (pJob->m_bAbandoned)
                    return;
            }
            fn();
            std::lock_guard lock(pJob->m_mutex);
            pJob->m_bDone = true;
            pJob->m_cv.notify_all();
        },
        Qt::QueuedConnection);
    pNotice.reset();
    if (!bQueued)
        return false;

    std::unique_lock lock(pJob->m_mutex);
    pJob->m_cv.wait(lock, stop.Native(), [&] { return pJob->m_bDone || pJob->m_bDropped; });
    if (!pJob->m_bDone)
        pJob->m_bAbandoned = true;
    return pJob->m_bDone;
}
