#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <stop_token>

// The signals that both front ends turn into a stop request rather than dying of them, so that the run is
// recorded as stopped: SIGINT (Ctrl-C), SIGTERM, SIGHUP (the terminal or the session that started the
// program went away) and SIGQUIT. Windows has no SIGHUP or SIGQUIT, and the Windows build has no front end
// that would use the list.
#ifndef _WIN32
inline constexpr int kRunStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
#endif

// A stop request shared by the window and the worker of a run. The window raises it when it closes; every
// wait of the worker (pauses, serial reads, the loader's pipes, the ARP socket, calls into the GUI thread)
// ends within a fraction of a second once it is raised.
class CStopToken {
public:
    // A token that never stops: for code run outside a window (tools, tests).
    CStopToken() = default;

    bool StopRequested() const;

    // Pauses for ms milliseconds. Returns false at once when a stop is requested before or during the pause.
    bool SleepFor(uint32_t ms) const;

    // A descriptor that becomes readable once a stop is requested, for poll(); -1 for a token that never
    // stops.
    int WakeFd() const;

    // For std::condition_variable_any waits.
    std::stop_token Native() const;

private:
    friend class CStopSource;
    struct SState;
    explicit CStopToken(std::shared_ptr<SState> pState) : m_pState(std::move(pState)) {}
    std::shared_ptr<SState> m_pState;
};

class CStopSource {
public:
    CStopSource();
    CStopSource(const CStopSource&) = delete;
    CStopSource& operator=(const CStopSource&) = delete;

    void RequestStop();
    bool StopRequested() const;
    CStopToken Token() const;

private:
    std::shared_ptr<CStopToken::SState> m_pState;
};
