#pragma once

#include "core/LogConsole.h"
#include "core/StopToken.h"
#include "links/SerialLink.h"

#include <array>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The exchanges with the board's console: each writes one command (or nothing), then reads the reply one
// byte at a time into a line buffer until the text that ends the reply shows up or its budget of failed reads
// is spent, and judges the reply once it has ended. Every byte read is echoed into the log once, as it comes.
//
// An exchange that writes a command first takes in whatever the board is still sending (the answers to
// line ends written earlier, for instance while the board was starting up) until the line has been quiet
// for kQuietMs, so that a prompt, "done" or "ERROR" meant for an earlier line is never taken as the answer
// to its command. Those bytes are echoed into the log like every other byte. WaitPrompt (any prompt will
// do) and SendReboot (the waiting boot log is what it reads) do not wait for quiet.
//
// The EEPROM write, the read-back and the save are judged by what the board says before the prompt that
// closes their reply, not only by that prompt: a report of failure in it (kCommandFailureReports) fails the
// exchange. The transfer fails the same way on U-Boot's own reports of a failed transfer
// (kTransferFailureReports), unless it started again and brought its size after all. Words alone never
// prove a write: U-Boot's EEPROM command prints "done" whatever the device did, so the write is proven by
// reading the EEPROM back and comparing it with the transferred image (ReadBackEeprom).
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
    static constexpr int kReadBackBudget = 400;
    static constexpr uint32_t kBootargsPauseMs = 10;
    // A budget of failed reads runs out quickly with a short read time-out; a run gives the EEPROM's
    // exchanges (the write, its repetition, the read-back) at least this long whatever the time-out, since
    // the device takes its own time: a 256 KiB I2C EEPROM needs seconds to be read and longer to be written.
    static constexpr uint32_t kEepromAtLeastMs = 10000;
    // Where the read-back puts what it reads from the EEPROM: right after the transferred image, on a 64 KiB
    // boundary. The transfer's load address (16 MiB) is free RAM on this board, and the image is at most the
    // EEPROM's size, so the second copy needs no more than twice the image above that address (well below the
    // boot monitor's own area at the top of SDRAM), and it overwrites nothing the transfer has not.
    static constexpr uint32_t kLoadAddress = 0x1000000;
    static constexpr uint32_t kReadBackAlign = 0x10000;
    // While the stage-8 box is open, each wait for the board's boot log.
    static constexpr uint32_t kKeepReadingMs = 50;
    // What the port read during the box keeps for the next exchanges at most (the log has it all): the tail
    // of a boot log, where the shell's prompt is.
    static constexpr size_t kPendingMax = 64 * 1024;
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

    // The least time the EEPROM's exchanges wait before their budget can run out (none by default).
    void SetEepromAtLeast(uint32_t dwMs) { m_dwEepromAtLeastMs = dwMs; }

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
    // start that ends them, judged like the write. When the line stays quiet (a read that waited its whole
    // kQuietMs), the board swallowed the LF while it worked (a command that polls the console for Ctrl-C
    // does) and is idle. A port that fails or is gone meanwhile is no quiet: false.
    bool WaitWriteFinished();
    // Has the board read strSize bytes of its EEPROM back into RAM after the image and compare them with the
    // image: "mw.b" clears the area first (a read that silently reads nothing must not find an old copy),
    // "eeprom read" fills it, "cmp.b" compares. Each ends with CR alone: all three are repeatable, and the LF
    // of a CR LF would run each a second time. True only when cmp.b reports the whole image the same
    // ("Total of N byte(s) were the same", N the size). strWhy says which step failed, in Portuguese.
    bool ReadBackEeprom(const std::string& strSize, std::string& strWhy);
    // Reads the port until fnDone returns true or a stop comes, echoing every byte into the log and keeping
    // the tail for the exchanges that follow: while the stage-8 box is open, the board boots, and what it
    // prints must neither wait in the driver (which drops bytes once its buffer is full) nor be lost.
    void KeepReading(const std::function<bool()>& fnDone);
    // Waits, writing nothing, for a line that begins with "root:", then writes "reboot". Gives up after
    // 800 failed reads in a row.
    bool SendReboot();
    bool SendBootargs(const std::string& strMac);
    // "done" alone does not prove the save (a flash save prints the erase's "done" before it writes): the
    // reply is read on to the prompt at line start and judged. A prompt before "done" without a report of
    // failure is taken for a stale one.
    bool SendSaveenv();
    // Takes in what the board still sends (the answer to the save's LF, if any) until the line is quiet,
    // writes "reset", waits for the shell: a stale monitor prompt cannot pass for the shell.
    bool SendReset();

    // "Total of 1000 byte(s) were the same" (also the older "bytes") gives 1000; anything else -1.
    static long ParseBytesTheSame(const std::string& strLine);
    // The hex number of a size text such as "0x3e8"; -1 when it is none.
    static long ParseHexSize(const std::string& strSize);

    // Turns a "Bytes transferred = 672 (2a0 hex)" line into "0x2a0". Other lines leave strSize alone; a
    // "Bytes transferred" line that does not hold hex digits between "(" and " hex" empties it.
    static void ParseTransferSize(const std::string& strLine, std::string& strSize);

    // Every occurrence of `from` in `text` replaced by `to`, left to right, without rescanning the
    // replacement.
    static std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);

private:
    // How a reply loop ended.
    enum class EEnd { Ended, Exhausted, Failed };

    // What the reply has said so far.
    struct SReply {
        std::string strLine;    // the line being read
        bool bReported = false; // a report of failure showed
        bool bProven = false;   // the exchange's proof showed
    };

    struct SExchange {
        // Written before the first read, kBootargsPauseMs apart, after a quiet line unless bWaitPrompt.
        std::vector<std::string> pieces;
        // The text that ends the reply, tested after each byte; at line start only, or anywhere in a line.
        std::string_view endMarker;
        bool bAtLineStart = true;
        // Reports of failure looked for in every line.
        std::span<const std::string_view> reports;
        // A text that must have shown (or a report) before the end marker counts; until then it is stale.
        std::string_view proof;
        // Run on each line as its line end is read.
        std::function<void(const std::string& strLine)> fnOnLine;
        int nBudget = 0;
        bool bInARow = false;     // the failed-read count starts over whenever a byte arrives
        bool bWaitPrompt = false; // a dot per failed read and a LF written after it
        uint32_t dwAtLeastMs = 0; // the budget runs out no sooner than this long after the first read
    };

    // The shared reply loop: waits for quiet if the exchange writes a command, writes the pieces, then reads
    // into reply. Ended: the end marker came (the caller judges the reply); Exhausted: the budget was spent;
    // Failed: a stop.
    EEnd RunReplyLoop(const SExchange& exchange, SReply& reply);
    // An exchange that ends at the prompt at line start and succeeds when no report of failure came.
    bool RunCommand(std::string strCommand, int nBudget, uint32_t dwAtLeastMs = 0,
                    std::string_view proof = {});
    // Reads and echoes until nothing has come for kQuietMs, a read fails outright, or kQuietCapMs passed.
    void TakeInUntilQuiet();
    // The next byte: what KeepReading kept first (echoed already, bEchoed true), then the port, waiting up
    // to timeoutMs. As ISerialLink's reads otherwise.
    int NextByte(uint32_t timeoutMs, bool bShort, bool& bEchoed);
    void TakeByte(SReply& reply, const SExchange& exchange, int c);
    void WriteText(std::string_view text);

    ISerialLink& m_link;
    CLogConsole& m_log;
    std::string m_strFileName;
    CStopToken m_stop;
    std::string m_strPending; // read while the stage-8 box was open, not yet taken by an exchange
    size_t m_nPendingPos = 0;
    uint32_t m_dwEepromAtLeastMs = 0;
};
