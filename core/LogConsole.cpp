#include "core/LogConsole.h"

namespace {
constexpr int64_t kRefreshIntervalMs = 200;
}

CLogConsole::CLogConsole(ILogBox* pBox, ITickSource* pTicks)
    : m_pBox(pBox), m_pTicks(pTicks ? pTicks : &CSystemTickSource::Instance()) {
    m_nLastRefreshTick = ReadTick();
}

void CLogConsole::AppendByte(int ch) {
    char c = char(ch & 0xFF);
    if (c == '\n') {
        m_strLog += "\r\n";
    } else if (c != 0) {
        m_strLog += c;
    }
}

void CLogConsole::AppendLogChar(int ch, bool bForceRefresh) {
    AppendByte(ch);
    RefreshCheck(bForceRefresh);
}

void CLogConsole::AppendLogText(const char* text, bool bForceRefresh) {
    if (!text)
        return;
    for (const char* p = text; *p; ++p) {
        AppendByte(static_cast<unsigned char>(*p));
        RefreshCheck(false);
    }
    AppendLogChar(0, bForceRefresh);
}

void CLogConsole::ClearLog() {
    m_strLog.clear();
    if (m_pBox)
        m_pBox->SetText(std::string());
    m_nLastLogLength = 0;
}

void CLogConsole::RefreshCheck(bool bForceRefresh) {
    if (!bForceRefresh) {
        // A negative difference (the 32-bit counter wrapped since the last check) also holds the refresh
        // back, until the next forced check stores a fresh tick.
        if (ReadTick() - m_nLastRefreshTick < kRefreshIntervalMs)
            return;
    }
    m_nLastRefreshTick = ReadTick();

    int64_t nLength = int64_t(m_strLog.size());
    if (nLength == m_nLastLogLength)
        return;
    int64_t nShown = m_nLastLogLength;
    m_nLastLogLength = nLength;
    if (!m_pBox)
        return;

    // Where the operator left the caret decides: on the last line the box follows the end of the log,
    // anywhere else it keeps the line that was at the top.
    int caretLineStart = m_pBox->LineIndex(-1);
    int lastLineStart = m_pBox->LineIndex(m_pBox->GetLineCount() - 1);
    int firstVisible = m_pBox->GetFirstVisibleLine();

    if (nShown > nLength) // the text was cut behind the console's back: show it afresh
        m_pBox->SetText(m_strLog);
    else
        m_pBox->AppendText(m_strLog.substr(size_t(nShown)));

    if (caretLineStart == lastLineStart) {
        int s = m_pBox->LineIndex(m_pBox->GetLineCount() - 1);
        m_pBox->SetSel(s, s);
        m_pBox->ScrollCaret();
    } else {
        m_pBox->SetFirstVisibleLine(firstVisible);
    }
}
