#pragma once

#include "tools/sim/PtyLine.h"

#include <cstdio>
#include <string>
#include <string_view>

// The board's record of what it received and did, one line per entry:
//   <seconds> <KIND> <text>
// with the steady clock's time (CLOCK_MONOTONIC, the clock of std::chrono::steady_clock) in seconds and
// six decimals, so another process on the machine can compare it with its own readings. Kinds:
//   CMD      a line the board's console took in (text escaped, empty for a bare line end); the time is
//            when its first byte arrived
//   PROMPT   the monitor's prompt has gone onto the line; the time is when its last byte went out
//   SHELL    the same for the Linux shell's prompt
//   EVENT    anything else (boot stages, power cycle, EEPROM contents, hook, hang-up)
class CTranscript {
public:
    CTranscript() = default;
    ~CTranscript();
    CTranscript(const CTranscript&) = delete;
    CTranscript& operator=(const CTranscript&) = delete;

    bool Open(const std::string& strPath);
    void Write(SimClock::time_point t, std::string_view kind, std::string_view text);

    // Printable ASCII as it is; backslash, quote and everything else as \xNN.
    static std::string Escape(std::string_view bytes);
    static double Seconds(SimClock::time_point t);

private:
    FILE* m_pFile = nullptr;
};
