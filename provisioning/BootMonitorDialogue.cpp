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

void CBootMonitorDialogue::TakeInUntilQuiet() {
    auto cap = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQuietCapMs);
    while (!m_stop.StopRequested()) {
        int c = m_link.ReadByteWithin(kQuietMs);
        if (c < 0) {
            m_log.AppendLogChar(0, false);
            return;
        }
        m_log.AppendLogChar(c, false);
        if (std::chrono::steady_clock::now() >= cap)
            return;
    }
}

CBootMonitorDialogue::EVerdict CBootMonitorDialogue::RunReplyLoop(const SExchange& exchange,
                                                                  std::string& strLine) {
    m_bPromptRead = false;
    if (m_stop.StopRequested())
        return EVerdict::Failure;
    if (exchange.bQuietFirst)
        TakeInUntilQuiet();
    for (size_t i = 0; i < exchange.pieces.size(); ++i) {
        if (i > 0 ? !m_stop.SleepFor(kBootargsPauseMs) : m_stop.StopRequested())
            return EVerdict::Failure;
        WriteText(exchange.pieces[i]);
    }
    // What a success of the exchange's tests means, given what the reply said before it.
    bool bReported = false;
    bool bProven = exchange.proof.empty();
    auto closing = [&](EVerdict verdict) {
        if (verdict != EVerdict::Success)
            return verdict;
        if (bReported && !(exchange.pSize && !exchange.pSize->empty()))
            return EVerdict::Failure;
        return bProven ? EVerdict::Success : EVerdict::Continue;
    };
    bool bDeciding = exchange.bSettle;
    auto decideCap = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQuietCapMs);
    int nFailed = 0;
    for (;;) {
        if (m_stop.StopRequested())
            return EVerdict::Failure;
        int c = bDeciding ? m_link.ReadByteWithin(kQuietMs) : m_link.ReadByte();
        if (c >= 0) {
            if (exchange.bInARow)
                nFailed = 0;
            strLine += char(c);
            m_log.AppendLogChar(c, false);
            bReported = bReported || ReportAppeared(strLine, exchange.reports);
            bProven = bProven || AppearedAnywhere(strLine, exchange.proof);
            // While deciding, the line is the rest of the prompt's: no answer to test yet.
            EVerdict verdict = bDeciding ? EVerdict::Continue : closing(exchange.pfnTest(strLine));
            if (verdict != EVerdict::Continue) {
                m_bPromptRead = verdict == EVerdict::Success && exchange.bClosesAtPrompt;
                return verdict;
            }
            if (IsLineEnd(c)) {
                if (exchange.pSize)
                    ParseTransferSize(strLine, *exchange.pSize);
                strLine.clear();
                bDeciding = false; // the board answers the line end
            } else if (bDeciding && std::chrono::steady_clock::now() >= decideCap) {
                bDeciding = false; // never quiet: read on as for an answer
            }
            continue;
        }
        if (bDeciding) {
            // Quiet: the board swallowed the line end and is idle at its prompt.
            m_log.AppendLogChar(0, false);
            m_bPromptRead = !bReported;
            return bReported ? EVerdict::Failure : EVerdict::Success;
        }
        // A failed read: lets a due refresh of the log happen; while waiting for the prompt it shows a dot.
        m_log.AppendLogChar(exchange.bWaitPrompt ? '.' : 0, false);
        if (++nFailed >= exchange.nBudget)
            return EVerdict::Continue;
        if (exchange.bWaitPrompt) {
            if (m_stop.StopRequested())
                return EVerdict::Failure;
            WriteText("\n");
        }
    }
}

bool CBootMonitorDialogue::WaitPrompt() {
    SExchange exchange;
    exchange.pfnTest = [](const std::string& line) {
        return AppearedAnywhere(line, kPrompt) ? EVerdict::Success : EVerdict::Continue;
    };
    exchange.pieces = {"\n"};
    exchange.nBudget = kWaitPromptBudget;
    exchange.bWaitPrompt = true;
    std::string strLine;
    return RunReplyLoop(exchange, strLine) == EVerdict::Success;
}

bool CBootMonitorDialogue::SendTftp(std::string& strSize) {
    SExchange exchange;
    exchange.pfnTest = [](const std::string& line) {
        if (AppearedAnywhere(line, kPrompt))
            return EVerdict::Success;
        if (AppearedAnywhere(line, kErrorMarker))
            return EVerdict::Failure;
        return EVerdict::Continue;
    };
    exchange.reports = kTransferFailureReports;
    exchange.pieces = {ReplaceAll(std::string(kTftpCommand), "%FILENAME", m_strFileName)};
    exchange.bQuietFirst = true;
    exchange.pSize = &strSize;
    exchange.nBudget = kTftpBudget;
    std::string strLine;
    return RunReplyLoop(exchange, strLine) == EVerdict::Success;
}

bool CBootMonitorDialogue::SendEepromWrite(const std::string& strSize) {
    SExchange exchange;
    exchange.pfnTest = [](const std::string& line) {
        return AtLineStart(line, kPrompt) ? EVerdict::Success : EVerdict::Continue;
    };
    exchange.reports = kCommandFailureReports;
    exchange.pieces = {ReplaceAll(std::string(kEepromCommand), "%SIZE", strSize)};
    exchange.bQuietFirst = true;
    exchange.bClosesAtPrompt = true;
    exchange.nBudget = kEepromBudget;
    std::string strLine;
    return RunReplyLoop(exchange, strLine) == EVerdict::Success;
}

bool CBootMonitorDialogue::WaitWriteFinished() {
    SExchange exchange;
    exchange.pfnTest = [](const std::string& line) {
        return AtLineStart(line, kPrompt) ? EVerdict::Success : EVerdict::Continue;
    };
    exchange.reports = kCommandFailureReports;
    exchange.bSettle = true;
    exchange.bClosesAtPrompt = true;
    exchange.nBudget = kEepromBudget;
    std::string strLine;
    return RunReplyLoop(exchange, strLine) == EVerdict::Success;
}

bool CBootMonitorDialogue::SendReboot() {
    // Writes nothing first: the boot log that waited in the input while the operator cycled the power is
    // exactly what this exchange has to read.
    SExchange exchange;
    exchange.pfnTest = [](const std::string& line) {
        return AtLineStart(line, kShellMarker) ? EVerdict::Success : EVerdict::Continue;
    };
    exchange.nBudget = kRebootBudgetInARow;
    exchange.bInARow = true;
    std::string strLine;
    if (RunReplyLoop(exchange, strLine) != EVerdict::Success)
        return false;
    WriteText(kRebootCommand);
    return true;
}

bool CBootMonitorDialogue::SendBootargs(const std::string& strMac) {
    SExchange exchange;
    exchange.pfnTest = [](const std::string& line) {
        return AtLineStart(line, kPrompt) ? EVerdict::Success : EVerdict::Continue;
    };
    exchange.pieces = {std::string(kBootargsPiece1), std::string(kBootargsPiece2),
                       ReplaceAll(std::string(kBootargsPiece3), "%MAC", strMac)};
    exchange.bQuietFirst = true;
    exchange.bClosesAtPrompt = true;
    exchange.nBudget = kBootargsBudget;
    std::string strLine;
    return RunReplyLoop(exchange, strLine) == EVerdict::Success;
}

bool CBootMonitorDialogue::SendSaveenv() {
    SExchange exchange;
    exchange.pfnTest = [](const std::string& line) {
        return AtLineStart(line, kPrompt) ? EVerdict::Success : EVerdict::Continue;
    };
    exchange.reports = kCommandFailureReports;
    exchange.proof = kSaveMarker;
    exchange.pieces = {std::string(kSaveenvCommand)};
    exchange.bQuietFirst = true;
    exchange.bClosesAtPrompt = true;
    exchange.nBudget = kSaveenvBudget;
    std::string strLine;
    return RunReplyLoop(exchange, strLine) == EVerdict::Success;
}

bool CBootMonitorDialogue::SendReset() {
    std::string strLine; // one buffer for both phases

    // Drain up to the monitor's prompt. When it shows, the buffer is emptied and the phase ends with the
    // same bookkeeping as a failed read (the NUL echo); its outcome does not matter. The drain takes in
    // what is left of the earlier answers, and a stale monitor prompt cannot pass for the shell, so the
    // reset needs no quiet line first. For the same reason it is left out when the exchange before has
    // read its closing prompt already: what may still come (the answer to that command's LF) is stale.
    if (!m_bPromptRead) {
        SExchange drain;
        drain.pfnTest = [](const std::string& line) {
            return AtLineStart(line, kPrompt) ? EVerdict::Success : EVerdict::Continue;
        };
        drain.nBudget = kResetBudget;
        if (RunReplyLoop(drain, strLine) == EVerdict::Success) {
            strLine.clear();
            m_log.AppendLogChar(0, false);
        }
    }

    SExchange shell;
    shell.pfnTest = [](const std::string& line) {
        return AtLineStart(line, kShellMarker) ? EVerdict::Success : EVerdict::Continue;
    };
    shell.pieces = {std::string(kResetCommand)};
    shell.nBudget = kResetBudget;
    return RunReplyLoop(shell, strLine) == EVerdict::Success;
}
