#pragma once

#include "core/StopToken.h"

#include <functional>
#include <memory>

class QObject;
class QThread;

// The worker thread of a run: one thread per run, at most one at a time. The owner raises the stop request
// (the window does so when it closes); every wait of the run honours it, so the thread ends promptly.
//
// A QThread rather than a bare thread: the serial port's notifiers need a thread that Qt started.
class CWorker {
public:
    explicit CWorker(CStopToken stop);
    // Waits for a running thread to end; the owner must have raised the stop request first, or the run must
    // be about to end by itself.
    ~CWorker();
    CWorker(const CWorker&) = delete;
    CWorker& operator=(const CWorker&) = delete;

    // Starts fn on a new thread. False when a run is still going on or the thread cannot start.
    // fnEnded, when given, runs on pContext's thread once the thread has ended (IsRunning() is false by
    // then), and not at all once pContext is gone.
    bool Start(std::function<void(const CStopToken&)> fn, QObject* pContext = nullptr,
               std::function<void()> fnEnded = {});
    bool IsRunning() const;
    // Waits at most timeoutMs for the thread to end; true when it has ended (or never started).
    bool Wait(unsigned long timeoutMs);

private:
    CStopToken m_stop;
    std::unique_ptr<QThread> m_pThread;
};
