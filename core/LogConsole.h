#pragma once

#include "core/LogBox.h"
#include "core/TickSource.h"

#include <cstdint>
#include <string>

// The run's log: everything the program says and every byte the board prints. Text is collected in memory
// (Windows-1252, line ends CR LF) and the log box is brought up to date at most every 200 ms unless a
// caller forces it. While it grows, the box follows the end of the text as long as the operator's caret is
// on the last line, and otherwise keeps the operator's reading position.
//
// A refresh hands the box only the text added since the last one. Rewriting the whole text each time would
// cost the size of the whole log per refresh, so a long run (a chatty boot, megabytes of board output)
// would slow down as its log grows, and with it the worker that feeds the log.
//
// One writer at a time: the worker appends while a run goes on, the GUI thread clears before a run starts.
class CLogConsole {
public:
    // pBox may be null (no window: the text is only collected). pTicks null means the system's tick counter.
    explicit CLogConsole(ILogBox* pBox = nullptr, ITickSource* pTicks = nullptr);

    // Appends the character in the low 8 bits of ch (LF is stored as CR LF, 0 appends nothing), then
    // brings the box up to date if 200 ms have passed since the last refresh, or at once with bForceRefresh.
    void AppendLogChar(int ch, bool bForceRefresh);
    // Appends a NUL-terminated text character by character; a null text does nothing at all.
    void AppendLogText(const char* text, bool bForceRefresh);
    void ClearLog();

    void SetLogBox(ILogBox* pBox) { m_pBox = pBox; }

    std::string m_strLog;
    int64_t m_nLastLogLength = 0;
    int64_t m_nLastRefreshTick = 0;

private:
    void AppendByte(int ch);
    void RefreshCheck(bool bForceRefresh);
    int64_t ReadTick() { return int64_t(m_pTicks->GetTickCount()); }

    ILogBox* m_pBox;
    ITickSource* m_pTicks;
};
