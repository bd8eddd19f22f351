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

// Qt's event queue orders a queued call after its posting, but Qt is built without the race checker of the
// ThreadSanitizer build, which therefore cannot see that order. This lock makes it visible, at the cost of an
// uncontended lock per call: the poster holds it while it builds and posts the call, the GUI thread takes it
// before it touches the call's captures, to run them or to drop them. Recursive because Qt may drop a call it
// cannot post on the poster's own thread.
std::recursive_mutex g_postGate;

struct SPostedCall {
    std::shared_ptr<SGuiJob> m_pJob;
    std::shared_ptr<SDropNotice> m_pNotice;
    std::function<void()> m_fn;
    ~SPostedCall() { std::lock_guard gate(g_postGate); } // runs before the members go
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
    bool bQueued;
    {
        std::lock_guard gate(g_postGate);
        bQueued = QMetaObject::invokeMethod(
            context,
            [call = SPostedCall{pJob, std::make_shared<SDropNotice>(pJob), std::move(fn)}] {
                { std::lock_guard gate(g_postGate); }
                {
                    std::lock_guard lock(call.m_pJob->m_mutex);
                    if (call.m_pJob->m_bAbandoned)
                        return;
                }
                call.m_fn();
                std::lock_guard lock(call.m_pJob->m_mutex);
                call.m_pJob->m_bDone = true;
                call.m_pJob->m_cv.notify_all();
            },
            Qt::QueuedConnection);
    }
    if (!bQueued)
        return false;

    std::unique_lock lock(pJob->m_mutex);
    pJob->m_cv.wait(lock, stop.Native(), [&] { return pJob->m_bDone || pJob->m_bDropped; });
    if (!pJob->m_bDone)
        pJob->m_bAbandoned = true;
    return pJob->m_bDone;
}
