#include "cli/SignalStop.h"

#include <csignal>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>

CSignalStop::CSignalStop(CStopSource& stop) : m_stop(stop) {
    sigset_t set;
    sigemptyset(&set);
    for (int nSignal : kRunStopSignals)
        sigaddset(&set, nSignal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_fdSignal = CUniqueFd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    m_fdQuit = CUniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_fdSignal.IsOpen() || !m_fdQuit.IsOpen()) {
        // Without a watcher the signals keep their default action rather than being ignored.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    m_thread = std::thread([this] { Watch(); });
}

CSignalStop::~CSignalStop() {
    if (!m_thread.joinable())
        return;
    uint64_t one = 1;
    if (write(m_fdQuit.Get(), &one, sizeof one) != sizeof one) {
        // Cannot happen for a fresh eventfd; the watcher would then end with the process.
    }
    m_thread.join();
}

void CSignalStop::Watch() {
    for (;;) {
        pollfd fds[2] = {{m_fdSignal.Get(), POLLIN, 0}, {m_fdQuit.Get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        signalfd_siginfo info;
        if (read(m_fdSignal.Get(), &info, sizeof info) == sizeof info) {
            int nExpected = 0;
            m_nSignal.compare_exchange_strong(nExpected, int(info.ssi_signo));
            m_stop.RequestStop();
        }
    }
}
