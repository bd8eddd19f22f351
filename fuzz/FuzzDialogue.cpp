// Any board output through any exchange of the boot-monitor dialogue, and any line through the transfer
// size parser.
//
// Input: the first byte picks the exchange (or the size parser); the rest is the board's output as read
// results. 0xFE k stands for k % 64 + 1 failed reads (0xFE 0xFE and 0xFE 0xFD for those bytes themselves);
// 0xFD switches between bytes read as the answer and bytes already waiting in the input beforehand.
//
// Holds for every input: the exchange ends, having spent no more failed reads than its budget; the log is
// exactly the bytes read (LF stored as CR LF, NUL skipped) plus one dot per failed read of the prompt wait;
// only the exchange's own command is written; a success rests on its marker having been read; a transfer
// size is empty or "0x" and hex digits that the board printed between "(" and " hex". A successful EEPROM
// write (with the wait for the board to finish it) or save has no report of failure in any line of its
// reply, and the save's reply holds "done"; a transfer that succeeds without a size has no report of a
// failed transfer in any line of its reply.
//
// Setting the boot arguments is left out: its reply loop is the EEPROM write's, and its 10 ms pauses
// between pieces would slow the fuzzer down a hundredfold.
#include "fuzz/FuzzCheck.h"
#include "provisioning/BootMonitorDialogue.h"
#include "tests/dialogue/ScriptedLink.h"

#include <algorithm>
#include <cctype>
#include <span>
#include <string>

namespace {

constexpr std::string_view kFileName = "u-boot.ldr";
constexpr std::string_view kSize = "0x2a0";

enum EExchange { WaitPrompt, Tftp, Eeprom, Reboot, Saveenv, Reset, TransferSize, kExchangeCount };

// The scripted link, noting in the order of reading what the log must show and how the reads went.
class CRecordingLink : public CScriptedLink {
public:
    explicit CRecordingLink(bool bDots) : m_bDots(bDots) {}

    int ReadByte() override {
        int c = CScriptedLink::ReadByte();
        if (c >= 0) {
            Received(c);
            m_strAnswer += char(c);
            m_nFailedInARow = 0;
        } else {
            ++m_nFailed;
            m_nMostFailedInARow = std::max(m_nMostFailedInARow, ++m_nFailedInARow);
            if (m_bDots)
                m_strExpectedLog += '.';
        }
        return c;
    }
    int ReadByteWithin(uint32_t timeoutMs) override {
        int c = CScriptedLink::ReadByteWithin(timeoutMs);
        if (c >= 0)
            Received(c);
        return c;
    }
    int Write(const void* data, uint16_t length) override {
        m_bWritten = true;
        return CScriptedLink::Write(data, length);
    }

    std::string m_strExpectedLog;
    std::string m_strAnswer; // what the full reads handed out
    std::string m_strReply;  // every byte read after the first write
    int m_nFailed = 0;
    int m_nFailedInARow = 0;
    int m_nMostFailedInARow = 0;

private:
    void Received(int c) {
        if (m_bWritten)
            m_strReply += char(c);
        if (c == '\n')
            m_strExpectedLog += "\r\n";
        else if (c != 0)
            m_strExpectedLog += char(c);
    }
    bool m_bDots;
    bool m_bWritten = false;
};

void Script(CScriptedLink& link, const uint8_t* data, size_t size) {
    bool bWaiting = false;
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = data[i];
        if (b == 0xFD) {
            bWaiting = !bWaiting;
            continue;
        }
        if (b == 0xFE && i + 1 < size) {
            uint8_t k = data[++i];
            if (k != 0xFE && k != 0xFD) {
                link.Fails(k % 64 + 1);
                continue;
            }
            b = k;
        }
        std::string_view one(reinterpret_cast<const char*>(&b), 1);
        bWaiting ? link.Waiting(one) : link.Bytes(one);
    }
}

bool IsHexDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(),
                                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

void CheckSize(const std::string& strSize, std::string_view board) {
    if (strSize.empty())
        return;
    FUZZ_CHECK(strSize.starts_with("0x") && IsHexDigits(std::string_view(strSize).substr(2)));
    FUZZ_CHECK(board.find("(" + strSize.substr(2) + " hex") != std::string_view::npos);
}

// Whether a line of the reply holds one of the reports, in any letter case: the whole-line view of what the
// exchanges look for byte by byte.
bool AnyLineReports(std::string_view reply, std::span<const std::string_view> reports) {
    std::string line;
    for (size_t i = 0; i <= reply.size(); ++i) {
        if (i == reply.size() || reply[i] == '\r' || reply[i] == '\n') {
            for (std::string_view report : reports)
                if (line.find(report) != std::string::npos)
                    return true;
            line.clear();
        } else {
            line += char(std::tolower(static_cast<unsigned char>(reply[i])));
        }
    }
    return false;
}

void FuzzTransferSize(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    std::string strSize = "kept";
    CBootMonitorDialogue::ParseTransferSize(line, strSize);
    if (line.find("Bytes transferred") == std::string::npos) {
        FUZZ_CHECK(strSize == "kept");
        return;
    }
    CheckSize(strSize, line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    auto exchange = EExchange(data[0] % kExchangeCount);
    if (exchange == TransferSize) {
        FuzzTransferSize(data + 1, size - 1);
        return 0;
    }

    CRecordingLink link(exchange == WaitPrompt);
    Script(link, data + 1, size - 1);
    CLogConsole log;
    CBootMonitorDialogue dialogue(link, log, std::string(kFileName));

    bool bOk = false;
    std::string strSize;
    std::string strCommand;
    std::string_view marker = CBootMonitorDialogue::kPrompt;
    int nBudget = 0;
    switch (exchange) {
    case WaitPrompt:
        bOk = dialogue.WaitPrompt();
        nBudget = CBootMonitorDialogue::kWaitPromptBudget;
        break;
    case Tftp:
        bOk = dialogue.SendTftp(strSize);
        strCommand = "tftp 0x1000000 " + std::string(kFileName) + "\r\n";
        nBudget = CBootMonitorDialogue::kTftpBudget;
        break;
    case Eeprom:
        // The write, then the wait for the board to finish it (which writes nothing).
        bOk = dialogue.SendEepromWrite(std::string(kSize)) && dialogue.WaitWriteFinished();
        strCommand = "eeprom write 0x1000000 0x0 " + std::string(kSize) + "\r\n";
        nBudget = 2 * CBootMonitorDialogue::kEepromBudget;
        break;
    case Reboot:
        bOk = dialogue.SendReboot();
        strCommand = bOk ? "reboot\r\n" : "";
        marker = CBootMonitorDialogue::kShellMarker;
        break;
    case Saveenv:
        bOk = dialogue.SendSaveenv();
        strCommand = "saveenv\r\n";
        nBudget = CBootMonitorDialogue::kSaveenvBudget;
        break;
    case Reset:
        bOk = dialogue.SendReset();
        strCommand = "reset\r\n";
        marker = CBootMonitorDialogue::kShellMarker;
        nBudget = 2 * CBootMonitorDialogue::kResetBudget; // the drain and the wait for the shell
        break;
    case TransferSize:
    case kExchangeCount:
        break;
    }

    if (exchange == Reboot)
        FUZZ_CHECK(link.m_nMostFailedInARow <= CBootMonitorDialogue::kRebootBudgetInARow);
    else
        FUZZ_CHECK(link.m_nFailed <= nBudget);
    FUZZ_CHECK(log.m_strLog == link.m_strExpectedLog);
    if (exchange == WaitPrompt)
        FUZZ_CHECK(link.m_strWritten == std::string(link.m_strWritten.size(), '\n') &&
                   !link.m_strWritten.empty());
    else
        FUZZ_CHECK(link.m_strWritten == strCommand);
    if (bOk)
        FUZZ_CHECK(link.m_strAnswer.ends_with(marker));
    if (bOk && (exchange == Eeprom || exchange == Saveenv))
        FUZZ_CHECK(!AnyLineReports(link.m_strReply, CBootMonitorDialogue::kCommandFailureReports));
    if (bOk && exchange == Saveenv)
        FUZZ_CHECK(link.m_strAnswer.find(CBootMonitorDialogue::kSaveMarker) != std::string::npos);
    if (bOk && exchange == Tftp && strSize.empty())
        FUZZ_CHECK(!AnyLineReports(link.m_strReply, CBootMonitorDialogue::kTransferFailureReports));
    CheckSize(strSize, link.m_strAnswer);
    return 0;
}
