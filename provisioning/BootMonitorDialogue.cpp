#include "provisioning/BootMonitorDialogue.h"

#include <algorithm>
#include <cctype>
#include <chrono>

namespace {

constexpr std::string_view kTftpCommand = "tftp 0x1000000 %FILENAME\r\n";
constexpr std::string_view kEepromCommand = "eeprom write 0x1000000 0x0 %SIZE\r\n";
constexpr std::string_view kRebootCommand = "reboot\r\n";
constexpr std::string_view kBootargsPiece1 = "setenv bootargs root=/dev/mtdblock1 ";
constexpr std::string_view kBootargsPiece2 = "rw rootfstype=jffs2 earlyprintk=serial";
constexpr std::string_view kBootargsPiece3 = ",uart0,57600 ethaddr=%MAC\r\n";
constexpr std::string_view kSaveenvCommand = "saveenv\r\n";
constexpr std::string_view kResetCommand = "reset\r\n";
// The read-back's own commands end with CR alone: each is repeatable, and a LF would run it a second time.
constexpr std::string_view kClearCommand = "mw.b %ADDR 0x0 %SIZE\r";
constexpr std::string_view kReadBackCommand = "eeprom read %ADDR 0x0 %SIZE\r";
constexpr std::string_view kCompareCommand = "cmp.b 0x1000000 %ADDR %SIZE\r";
constexpr std::string_view kSameMarker = "Total of ";

constexpr std::string_view kSizeLineMarker = "Bytes transferred";

// The tests run after every byte and the buffer only grows by one byte between two tests, so a text that
// was not in the buffer before can only have appeared at its end. Looking at the end alone finds the same
// first occurrence as a search of the whole line, without rescanning a long line at every byte.
bool AppearedAnywhere(const std::string& line, std::string_view marker) {
    return std::string_view(line).ends_with(marker);
}

// For the same reason a text at line start shows up with the byte that makes the line exactly that text.
// Later bytes of the same line do not make it show up again: an exchange that lets a stale prompt pass (its
// reply has not proven itself yet) must not take the rest of that line for a new one.
bool AtLineStart(const std::string& line, std::string_view marker) {
    return line == marker;
}

bool IsLineEnd(int c) {
    return c == '\n' || c == '\r';
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// As AppearedAnywhere, in any letter case; the reports are kept in lower case.
bool ReportAppeared(const std::string& line, std::span<const std::string_view> reports) {
    for (std::string_view report : reports) {
        if (line.size() < report.size())
            continue;
        if (std::equal(report.begin(), report.end(), line.end() - std::ptrdiff_t(report.size()),
                       [](char r, char c) { return r == LowerAscii(c); }))
            return true;
    }
    return false;
}

} // namespace

CBootMonitorDialogue::CBootMonitorDialogue(ISerialLink& link, CLogConsole& log, std::string strFileName,
                                           CStopToken stop)
    : m_link(link), m_log(log), m_strFileName(std::move(strFileName)), m_stop(std::move(stop)) {}

std::string CBootMonitorDialogue::ReplaceAll(std::string text, std::string_view from, std::string_view to) {
    if (from.empty())
        return text;
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t hit = text.find(from, pos);
        if (hit == std::string::npos)
            break;
        out.append(text, pos, hit - pos);
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

void CBootMonitorDialogue::WriteText(std::string_view text) {
    // The link takes at most 65535 bytes per call; commands are far shorter, but a long file name must not
    // be cut short silently.
    while (!text.empty()) {
        size_t n = std::min<size_t>(text.size(), 0xFFFF);
        m_link.Write(text.data(), uint16_t(n));
        text.remove_prefix(n);
    }
}

void CBootMonitorDialogue::ParseTransferSize(const std::string& strLine, std::string& strSize) {
    if (strLine.find(kSizeLineMarker) == std::string::npos)
        return;
    size_t a = strLine.find('(');
    size_t b = strLine.find(" hex");
    // Only hex digits between the brackets make a size: anything else would end up in the EEPROM command.
    if (a == std::string::npos || b == std::string::npos || b <= a + 1) {
        strSize.clear();
        return;
    }
    std::string digits = strLine.substr(a + 1, b - a - 1);
    bool bHex = std::all_of(digits.begin(), digits.end(),
                            [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
    strSize = bHex ? "0x" + digits : std::string();
}

long CBootMonitorDialogue::ParseHexSize(const std::string& strSize) {
    std::string_view digits(strSize);
    if (!digits.starts_with("0x") || digits.size() < 3 || digits.size() > 10)
        return -1;
    digits.remove_prefix(2);
    long n = 0;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return -1;
        n = n * 16 + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return n;
}

long CBootMonitorDialogue::ParseBytesTheSame(const std::string& strLine) {
    size_t at = strLine.find(kSameMarker);
    if (at == std::string::npos)
        return -1;
    std::string_view rest = std::string_view(strLine).substr(at + kSameMarker.size());
    size_t nDigits = 0;
    while (nDigits < rest.size() && nDigits < 10 && std::isdigit(static_cast<unsigned char>(rest[nDigits])))
        ++nDigits;
    if (nDigits == 0)
        return -1;
    long n = std::stol(std::string(rest.substr(0, nDigits)));
    rest.remove_prefix(nDigits);
    // Today's "byte(s)", older monitors' "bytes", and "byte" for one.
    for (std::string_view tail : {" byte(s) were the same", " bytes were the same", " byte were the same"})
        if (rest.starts_with(tail))
            return n;
    return -1;
}

int CBootMonitorDialogue::NextByte(uint32_t timeoutMs, bool bShort, bool& bEchoed) {
    bEchoed = m_nPendingPos < m_strPending.size();
    if (bEchoed) {
        unsigned char c = static_cast<unsigned char>(m_strPending[m_nPendingPos++]);
        if (m_nPendingPos == m_strPending.size()) {
            m_strPending.clear();
            m_nPendingPos = 0;
        }
        return c;
    }
    return bShort ? m_link.ReadByteWithin(timeoutMs) : m_link.ReadByte();
}

void CBootMonitorDialogue::TakeInUntilQuiet() {
    auto cap = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQuietCapMs);
    while (!m_stop.StopRequested()) {
        bool bEchoed = false;
        int c = NextByte(kQuietMs, true, bEchoed);
        if (c < 0) {
            m_log.AppendLogChar(0, false);
            return;
        }
        if (!bEchoed)
            m_log.AppendLogChar(c, false);
        if (std::chrono::steady_clock::now() >= cap)
            return;
    }
}

void CBootMonitorDialogue::KeepReading(const std::function<bool()>& fnDone) {
    while (!m_stop.StopRequested() && !fnDone()) {
        int c = m_link.ReadByteWithin(kKeepReadingMs);
        if (c >= 0) {
            m_log.AppendLogChar(c, false);
            if (m_strPending.size() - m_nPendingPos >= kPendingMax) {
                // Only the tail matters to what follows; the log keeps the whole.
                m_strPending.erase(0, m_nPendingPos + kPendingMax / 2);
                m_nPendingPos = 0;
            }
            m_strPending += char(c);
            continue;
        }
        m_log.AppendLogChar(0, false);
        // A port that fails at once must not turn this into a busy loop while the box stays open.
        if (c != -2)
            m_stop.SleepFor(kKeepReadingMs);
    }
}

void CBootMonitorDialogue::TakeByte(SReply& reply, const SExchange& exchange, int c) {
    reply.strLine += char(c);
    reply.bReported = reply.bReported || ReportAppeared(reply.strLine, exchange.reports);
    reply.bProven = reply.bProven || AppearedAnywhere(reply.strLine, exchange.proof);
}

CBootMonitorDialogue::EEnd CBootMonitorDialogue::RunReplyLoop(const SExchange& exchange, SReply& reply) {
    if (m_stop.StopRequested())
        return EEnd::Failed;
    if (!exchange.bWaitPrompt && !exchange.pieces.empty())
        TakeInUntilQuiet();
    for (size_t i = 0; i < exchange.pieces.size(); ++i) {
        if (i > 0 ? !m_stop.SleepFor(kBootargsPauseMs) : m_stop.StopRequested())
            return EEnd::Failed;
        WriteText(exchange.pieces[i]);
    }
    reply.bProven = reply.bProven || exchange.proof.empty();
    auto tAtLeast = std::chrono::steady_clock::now() + std::chrono::milliseconds(exchange.dwAtLeastMs);
    int nFailed = 0;
    for (;;) {
        if (m_stop.StopRequested())
            return EEnd::Failed;
        bool bEchoed = false;
        int c = NextByte(0, false, bEchoed);
        if (c >= 0) {
            if (exchange.bInARow)
                nFailed = 0;
            if (!bEchoed)
                m_log.AppendLogChar(c, false);
            TakeByte(reply, exchange, c);
            bool bEnd = exchange.bAtLineStart ? AtLineStart(reply.strLine, exchange.endMarker)
                                              : AppearedAnywhere(reply.strLine, exchange.endMarker);
            // An end marker before the reply proved itself is a stale one, unless a failure was reported.
            if (bEnd && (reply.bProven || reply.bReported))
                return EEnd::Ended;
            if (IsLineEnd(c)) {
                if (exchange.fnOnLine)
                    exchange.fnOnLine(reply.strLine);
                reply.strLine.clear();
            }
            continue;
        }
        // A failed read: lets a due refresh of the log happen; while waiting for the prompt it shows a dot.
        m_log.AppendLogChar(exchange.bWaitPrompt ? '.' : 0, false);
        // The least wait is for a board that takes its time, not for a port that fails at once.
        if (++nFailed >= exchange.nBudget && (c != -2 || std::chrono::steady_clock::now() >= tAtLeast))
            return EEnd::Exhausted;
        if (exchange.bWaitPrompt) {
            if (m_stop.StopRequested())
                return EEnd::Failed;
            WriteText("\n");
        }
    }
}

bool CBootMonitorDialogue::RunCommand(std::string strCommand, int nBudget, uint32_t dwAtLeastMs,
                                      std::string_view proof) {
    SExchange exchange;
    exchange.pieces = {std::move(strCommand)};
    exchange.endMarker = kPrompt;
    exchange.reports = kCommandFailureReports;
    exchange.proof = proof;
    exchange.nBudget = nBudget;
    exchange.dwAtLeastMs = dwAtLeastMs;
    SReply reply;
    return RunReplyLoop(exchange, reply) == EEnd::Ended && !reply.bReported;
}

bool CBootMonitorDialogue::WaitPrompt() {
    SExchange exchange;
    exchange.pieces = {"\n"};
    exchange.endMarker = kPrompt;
    exchange.bAtLineStart = false;
    exchange.nBudget = kWaitPromptBudget;
    exchange.bWaitPrompt = true;
    SReply reply;
    return RunReplyLoop(exchange, reply) == EEnd::Ended;
}

bool CBootMonitorDialogue::SendTftp(std::string& strSize) {
    SExchange exchange;
    exchange.pieces = {ReplaceAll(std::string(kTftpCommand), "%FILENAME", m_strFileName)};
    exchange.endMarker = kPrompt;
    exchange.bAtLineStart = false;
    exchange.reports = kTransferFailureReports;
    bool bError = false;
    exchange.fnOnLine = [&](const std::string& strLine) {
        ParseTransferSize(strLine, strSize);
        bError = bError || strLine.find(kErrorMarker) != std::string::npos;
    };
    exchange.nBudget = kTftpBudget;
    SReply reply;
    if (RunReplyLoop(exchange, reply) != EEnd::Ended)
        return false;
    bError = bError || reply.strLine.find(kErrorMarker) != std::string::npos;
    // A transfer that failed, started again and brought its size has succeeded after all.
    return !bError && (!reply.bReported || !strSize.empty());
}

bool CBootMonitorDialogue::SendEepromWrite(const std::string& strSize) {
    return RunCommand(ReplaceAll(std::string(kEepromCommand), "%SIZE", strSize), kEepromBudget,
                      m_dwEepromAtLeastMs);
}

bool CBootMonitorDialogue::WaitWriteFinished() {
    // First decide, reading kQuietMs at a time, whether the board answers the write's LF. The line is the
    // rest of the prompt's: no answer to test yet, but a report on it counts.
    SExchange exchange;
    exchange.endMarker = kPrompt;
    exchange.reports = kCommandFailureReports;
    exchange.nBudget = kEepromBudget;
    exchange.dwAtLeastMs = m_dwEepromAtLeastMs;
    SReply reply;
    auto cap = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQuietCapMs);
    for (;;) {
        if (m_stop.StopRequested())
            return false;
        bool bEchoed = false;
        int c = NextByte(kQuietMs, true, bEchoed);
        if (c == -2) {
            // Quiet for a whole kQuietMs: the board swallowed the line end and is idle at its prompt.
            m_log.AppendLogChar(0, false);
            return !reply.bReported && !m_stop.StopRequested();
        }
        if (c < 0) {
            m_log.AppendLogText("\nA porta serial falhou enquanto a QAN640 gravava a EEPROM\n", false);
            return false;
        }
        if (!bEchoed)
            m_log.AppendLogChar(c, false);
        TakeByte(reply, exchange, c);
        if (IsLineEnd(c))
            break; // the board answers the line end: read on to the prompt that ends the answer
        if (std::chrono::steady_clock::now() >= cap)
            break; // never quiet: read on as for an answer
    }
    reply.strLine.clear();
    return RunReplyLoop(exchange, reply) == EEnd::Ended && !reply.bReported;
}

bool CBootMonitorDialogue::ReadBackEeprom(const std::string& strSize, std::string& strWhy) {
    long nSize = ParseHexSize(strSize);
    if (nSize <= 0) {
        strWhy = "tamanho transferido inválido para a conferência: " + strSize;
        return false;
    }
    uint32_t dwCopy = kLoadAddress + (uint32_t(nSize) + kReadBackAlign - 1) / kReadBackAlign * kReadBackAlign;
    char szCopy[16];
    snprintf(szCopy, sizeof szCopy, "0x%x", unsigned(dwCopy));
    auto command = [&](std::string_view text) {
        return ReplaceAll(ReplaceAll(std::string(text), "%ADDR", szCopy), "%SIZE", strSize);
    };
    for (std::string_view step : {kClearCommand, kReadBackCommand}) {
        std::string strCommand = command(step);
        if (!RunCommand(strCommand, kReadBackBudget, m_dwEepromAtLeastMs)) {
            strCommand.pop_back();
            strWhy = "a QAN640 não executou \"" + strCommand + "\"";
            return false;
        }
    }
    SExchange exchange;
    exchange.pieces = {command(kCompareCommand)};
    exchange.endMarker = kPrompt;
    exchange.reports = kCommandFailureReports;
    long nSame = -1;
    exchange.fnOnLine = [&](const std::string& strLine) {
        if (long n = ParseBytesTheSame(strLine); n >= 0)
            nSame = n;
    };
    exchange.nBudget = kReadBackBudget;
    exchange.dwAtLeastMs = m_dwEepromAtLeastMs;
    SReply reply;
    if (RunReplyLoop(exchange, reply) != EEnd::Ended || reply.bReported || nSame < 0) {
        strWhy = "a QAN640 não respondeu à comparação (cmp.b)";
        return false;
    }
    if (nSame != nSize) {
        strWhy = "a EEPROM confere com a imagem em " + std::to_string(nSame) + " de " +
                 std::to_string(nSize) + " bytes";
        return false;
    }
    return true;
}

bool CBootMonitorDialogue::SendReboot() {
    // Writes nothing first: the boot log that came while the operator cycled the power is exactly what this
    // exchange has to read.
    SExchange exchange;
    exchange.endMarker = kShellMarker;
    exchange.nBudget = kRebootBudgetInARow;
    exchange.bInARow = true;
    SReply reply;
    if (RunReplyLoop(exchange, reply) != EEnd::Ended)
        return false;
    WriteText(kRebootCommand);
    return true;
}

bool CBootMonitorDialogue::SendBootargs(const std::string& strMac) {
    SExchange exchange;
    exchange.pieces = {std::string(kBootargsPiece1), std::string(kBootargsPiece2),
                       ReplaceAll(std::string(kBootargsPiece3), "%MAC", strMac)};
    exchange.endMarker = kPrompt;
    exchange.nBudget = kBootargsBudget;
    SReply reply;
    return RunReplyLoop(exchange, reply) == EEnd::Ended;
}

bool CBootMonitorDialogue::SendSaveenv() {
    return RunCommand(std::string(kSaveenvCommand), kSaveenvBudget, 0, kSaveMarker);
}

bool CBootMonitorDialogue::SendReset() {
    SExchange exchange;
    exchange.pieces = {std::string(kResetCommand)};
    exchange.endMarker = kShellMarker;
    exchange.nBudget = kResetBudget;
    SReply reply;
    return RunReplyLoop(exchange, reply) == EEnd::Ended;
}
