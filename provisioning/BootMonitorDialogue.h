#pragma once

#include "core/LogConsole.h"
#include "core/StopToken.h"
#include "links/SerialLink.h"

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The exchanges with the board's console: each writes one command (or nothing), then reads the reply one
// byte at a time into a line buffer until the awaited text shows up or its budget of failed reads is spent.
// Every byte read is echoed into the log. An exchange keeps nothing once it returns, except whether it read
// the prompt that closes its command's reply (the reset then has nothing to drain).
//
// An exchange that writes a command first takes in whatever the board is still sending (the answers to
// line ends written earlier, for instance while the board was starting up) until the line has been quiet
// for kQuietMs, so that a prompt, "done" or "ERROR" meant for an earlier line is never taken as the answer
// to its command. Those bytes are echoed into the log like every other byte. WaitPrompt (any prompt will
// do), SendReboot (the waiting boot log is what it reads) and SendReset (its drain reads up to a prompt
// anyway, and only Linux can answer "root:") do not wait for quiet.
//
// The EEPROM write and the save are judged by what the board says before the prompt that closes their
// reply, not only by that prompt: a report of failure in it (kCommandFailureReports) makes the exchange
// read on to that prompt and end with false. The transfer fails the same way on U-Boot's own reports of a
// failed transfer (kTransferFailureReports), unless it started again and brought its size after all.
//
// A stop request ends the running exchange at once with false; no budget is spent by a stopped run.
class CBootMonitorDialogue {
public:
    static constexpr std::string_view kPrompt = "QAN640>";
    static constexpr std::string_view kShellMarker = "root:";
    static constexpr std::string_view kSaveMarker = "done";
    static constexpr std::string_view kErrorMarker = "ERROR";

    // What U-Boot prints when a command did not do its work, matched in any letter case because drivers and
    // versions spell them differently. Why each is here:
    //   "unknown"             "Unknown command 'eeprom' - try 'help'": the command is not in this monitor;
    //                         the flash layer's "Unknown Vendor of Flash" / "Unknown Type of Flash"
    //   "usage:"              the command refused its arguments and printed its usage
    //   "error", "fail"       drivers' and commands' reports ("General Flash Programming Error", the save's
    //                         closing "Failed (2)", "... failed")
    //   "timeout", "timed out", "time-out"
    //                         bus and flash time-outs ("Timeout writing to Flash", I2C drivers)
    //   "cannot", "can't"     "Cannot find udev for a bus" (the EEPROM command's own), "Can't write to
    //                         protected Flash sectors"
    //   "not erased", "outside", "not on sector", "abort"
    //                         the rest of the flash layer's reports ("Flash not Erased", "Outside available
    //                         Flash", "... not on sector boundary", "Flash Programming Aborted"); an older
    //                         monitor prints only these, without a closing "Failed (n)"
    // None of them occurs in what a write or a save prints when it works: "EEPROM @0x50 write: addr
    // 0x01000000  off 0x0000  count 672 ... done", "Saving Environment to Flash... Un-Protected 2 sectors",
    // "Erasing Flash...", ".. done", "Erased 2 sectors", "Writing to Flash... done", "Protected 2 sectors",
    // "OK". Kept in lower case.
    static constexpr std::array<std::string_view, 13> kCommandFailureReports = {
        "unknown", "usage:", "error",      "fail",    "timeout",       "timed out", "time-out",
        "cannot",  "can't",  "not erased", "outside", "not on sector", "abort"};
    // A transfer's failures in U-Boot's words: "TFTP error: 'File not found' (1)", "Retry count exceeded;
    // starting again" (the server went silent) and "ARP Retry count exceeded; starting again" (no host
    // answers). None of them says "ERROR". Narrower than the list above because a transfer's reply repeats
    // the file name, which may hold any word.
    static constexpr std::array<std::string_view, 2> kTransferFailureReports = {"tftp error",
                                                                                "retry count exceeded"};

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
    //
    // The same window decides, after the EEPROM write's prompt, whether the board answers the LF that waited
    // in its input during the write: the monitor reads it the moment its prompt is out, so the answer's
    // line end leaves the board right behind the prompt's blank, and reaches the tool no later than the
    // adapter's hold time after it. Only a board that swallowed the LF pays the window: 50 ms once a run.
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
    // Success is the prompt at line start after a reply that reports no failure.
    bool SendEepromWrite(const std::string& strSize);
    // After the EEPROM write's prompt, writing nothing: returns once the board is idle. The LF of the
    // command's CR LF is an empty line to the boot monitor, which repeats a repeatable command such as the
    // write. So when bytes with a line end follow the prompt within kQuietMs, the board is answering that
    // line (a new prompt at once, or the whole write again) and the exchange reads on to the prompt at line
    // start that ends them, judged like the write, within kEepromBudget failed reads. When the line stays
    // quiet, the board swallowed the LF while it worked (a command that polls the console for Ctrl-C does)
    // and is idle.
    bool WaitWriteFinished();
    // Waits, writing nothing, for a line that begins with "root:", then writes "reboot". Gives up after
    // 800 failed reads in a row.
    bool SendReboot();
    bool SendBootargs(const std::string& strMac);
    // "done" alone does not prove the save (a flash save prints the erase's "done" before it writes): the
    // reply is read on to the prompt at line start and judged. A prompt before "done" without a report of
    // failure is taken for a stale one.
    bool SendSaveenv();
    // Drains up to the monitor's prompt (outcome ignored), writes "reset", waits for the shell. The drain
    // is left out when the exchange before read the prompt that closed its reply: the board may have
    // swallowed that command's LF, and then no other prompt comes.
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
        // Reports of failure: once one shows, a success of pfnTest ends the exchange with false instead,
        // unless the size text was found after all (a transfer that started again and succeeded).
        std::span<const std::string_view> reports;
        // A text that must have shown before a success of pfnTest counts; until then it is ignored.
        std::string_view proof;
        // First decide, reading for kQuietMs at a time, whether the board answers the last command's line
        // end: a quiet line is success at once, a line end starts the reading as usual (see
        // WaitWriteFinished).
        bool bSettle = false;
        // Success means the prompt that closes the command's reply has been read.
        bool bClosesAtPrompt = false;
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
    // pieces, then reads. Returns the verdict that ended it: Success, Failure (a failure test, a report of
    // failure or a stop), or Continue when the budget was spent.
    EVerdict RunReplyLoop(const SExchange& exchange, std::string& strLine);
    // Reads and echoes until nothing has come for kQuietMs, a read fails outright, or kQuietCapMs passed.
    void TakeInUntilQuiet();
    void WriteText(std::string_view text);

    ISerialLink& m_link;
    CLogConsole& m_log;
    std::string m_strFileName;
    CStopToken m_stop;
    bool m_bPromptRead = false; // the last exchange read the prompt that closed its command's reply
};
