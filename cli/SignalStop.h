#pragma once

#include "core/StopToken.h"
#include "core/UniqueFd.h"

#include <atomic>
#include <thread>

// The stop signals (kRunStopSignals: SIGINT, SIGTERM, SIGHUP, SIGQUIT) raise the run's stop request, as
// closing the window does, instead of killing the program halfway: the run then ends the loader, frees the
// port and is recorded as stopped.
//
// Construct it first thing in main, before any other thread exists: it blocks the signals in the calling
// thread, every thread started afterwards inherits that, and one watcher thread takes them from a signalfd.
// (Child processes get their own signal mask from the loader runner.)
class CSignalStop {
public:
    explicit CSignalStop(CStopSource& stop);
    ~CSignalStop();
    CSignalStop(const CSignalStop&) = delete;
    CSignalStop& operator=(const CSignalStop&) = delete;

    // The first signal received, 0 when none came.
    int Signal() const { return m_nSignal.load(); }

private:
    void Watch();

    CStopSource& m_stop;
    CUniqueFd m_fdSignal;
    CUniqueFd m_fdQuit;
    std::atomic<int> m_nSignal = 0;
    std::thread m_thread;
};
