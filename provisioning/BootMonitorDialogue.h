#pragma once

#include "core/LogConsole.h"
#include "core/StopToken.h"
#include "links/SerialLink.h"

#include <string>
#include <string_view>
#include <vector>

// The exchanges with the board's console: each writes one command (or nothing), then reads the reply one
// byte at a time into a line buffer until the awaited text shows up or its budget of failed reads is spent.
// Every byte read is echoed into the log. An exchange keeps nothing once it returns.
//
// An exchange that writes a command first takes in whatever the board is still sending (the answers to
// line ends written earlier, for instance while the board was starting up) until the line has been quiet
// for kQuietMs, so that a prompt, "done" or "ERROR" meant for an earlier line is never taken as the answer
// to its command. Those bytes are echoed into the log like every other byte. WaitPrompt (any prompt will
// do), SendReboot (the waiting boot log is what it reads) and SendReset (its drain reads up to a prompt
// anyway, and only Linux can answer "root:") do not wait for quiet.
//
// A stop request ends the running exchange at once with false; no budget is spent by a stopped run.
class CBootMonitorDialogue {
public:
    static constexpr std::string_view kPrompt = "QAN640>";
    static constexpr std::string_view kShellMarker = "root:";
    static constexpr std::string_view kSaveMarker = "done";
    static constexpr std::string_view kErrorMarker = "ERROR";

    static constexpr int kWaitPromptBudget = 200;
    static constexpr int kTftpBudget = 200;
    static constexpr int kEepromBudget = 400;
    static constexpr int kRebootBudgetInARow = 800;
    static constexpr int kBootargsBudget = 400;
    static constexpr int kSaveenvBudget = 400;
    static constexpr int kResetBudget = 400;
    static constexpr uint32_t kBootargsPauseMs = 10;
    // A byte takes 0.17 ms at 57600 baud and a board answers a backlog of line ends back to back, but a USB
    // serial adapter may hold what it received for up to 16 ms (a common default) before handing it on, so
    // a board that is still talking can look idle for that long. 50 ms is three such gaps; on a line with
    // nothing waiting it delays each command by 50 ms.
    static constexpr uint32_t kQuietMs = 50;
    // A board that never goes quiet (printing without end) gets its command after this long anyway; the
    // exchange then goes on as it would without the quiet wait.
    static constexpr uint32_t kQuietCapMs = 2000;

    CBootMonitorDialogue(ISerialLink& link, CLogConsole& log, std::string strFileName, CStopToken stop = {});

    // Writes LF, then one more LF after every failed read, until "QAN640>" shows anywhere in a line.
    bool WaitPrompt();
    // strSize is passed empty; it receives "0x" and the digits of the last "Bytes transferred" line seen
    // before the prompt, or stays empty. False as soon as a line holds "ERROR" before a prompt does.
    bool SendTftp(std::string& strSize);
    bool SendEepromWrite(const std::string& strSize);
    // Waits, writing nothing, for a line that begins with "root:", then writes "reboot". Gives up after
    // 800 failed reads in a row.
    bool SendReboot();
    bool SendBootargs(const std::string& strMac);
    bool SendSaveenv();
    // Drains up to the monitor's prompt (outcome ignored), writes "reset", waits for the shell.
    bool SendReset();

    // Turns a "Bytes transferred = 672 (2a0 hex)" line into "0x2a0". Other lines leave strSize alone; a
    // "Bytes transferred" line that does not hold hex digits between "(" and " hex" empties it.
    static void ParseTransferSize(const std::string& strLine, std::string& strSize);

    // Every occurrence of `from` in `text` replaced by `to`, left to right, without rescanning the
    // replacement.
    static std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);

private:
    enum class EVerdict { Continue, Success, Failure };

    struct SExchange {
        // Tests on the line buffer after each byte, in order.
        EVerdict (*pfnTest)(const std::string& strLine) = nullptr;
        // Written before the first read, kBootargsPauseMs apart.
        std::vector<std::string> pieces;
        bool bQuietFirst = false; // wait for a quiet line before writing the pieces
        // Run on the line buffer when the byte just read was CR or LF, before the buffer is emptied.
        std::string* pSize = nullptr;
        int nBudget = 0;
        bool bInARow = false;     // the failed-read count starts over whenever a byte arrives
        bool bWaitPrompt = false; // a dot per failed read and a LF written after it
    };

    // The shared reply loop, on a line buffer owned by the caller: waits for quiet if asked, writes the
    // pieces, then reads. Returns the verdict that ended it: Success, Failure (a failure test or a stop),
    // or Continue when the budget was spent.
    EVerdict RunReplyLoop(const SExchange& exchange, std::string& strLine);
    // Reads and echoes until nothing has come for kQuietMs, a read fails outright, or kQuietCapMs passed.
    void TakeInUntilQuiet();
    void WriteText(std::string_view text);

    ISerialLink& m_link;
    CLogConsole& m_log;
    std::string m_strFileName;
    CStopToken m_stop;
};
